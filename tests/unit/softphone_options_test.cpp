#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "softphone-server/OptionReader.h"

namespace quvo::test {
namespace {

using server::OptionReader;
using server::OptionResult;

struct Read {
    OptionResult result;
    std::string error;
};

Read ReadWords(const OptionReader& reader, std::vector<std::string> words) {
    std::vector<char*> argv{const_cast<char*>("phone")};
    for (auto& word : words) argv.push_back(word.data());
    Read read{OptionResult::Run, ""};
    read.result = reader.Read(static_cast<int>(argv.size()), argv.data(), read.error);
    return read;
}

TEST(SoftphoneOptions, SharedOptionsAndTheWordThatEndsTheReading) {
    std::optional<std::string> title;
    bool window = true, quiet = false;
    OptionReader reader;
    reader.Shared(title, window, quiet).Answer("--version", OptionResult::Version);

    EXPECT_EQ(ReadWords(reader, {"--title=", "--no-window", "--quiet"}).result, OptionResult::Run);
    EXPECT_EQ(title, "");  // an empty title is a title
    EXPECT_FALSE(window);
    EXPECT_TRUE(quiet);
    EXPECT_EQ(ReadWords(reader, {"--title", "--quiet"}).result, OptionResult::Run);
    EXPECT_EQ(title, "--quiet");  // the next word is the value, whatever it looks like

    // The first word that ends the reading decides; what follows it is not looked at.
    EXPECT_EQ(ReadWords(reader, {"--quiet", "-h", "--bogus"}).result, OptionResult::Help);
    EXPECT_EQ(ReadWords(reader, {"--help=x"}).result, OptionResult::Help);
    EXPECT_EQ(ReadWords(reader, {"--version", "--help"}).result, OptionResult::Version);
    const Read bad = ReadWords(reader, {"--quiet=1", "--help"});
    EXPECT_EQ(bad.result, OptionResult::Error);
    EXPECT_EQ(bad.error, "option --quiet takes no value");
    EXPECT_EQ(ReadWords(reader, {"--title"}).error, "option --title needs a value");
}

TEST(SoftphoneOptions, ValuesAreCheckedAndARefusedOneChangesNothing) {
    int port = 7;
    std::string path = "old";
    OptionReader reader;
    reader.Number("--port", 1, 65535, port, "a port number").NonEmpty("--file", path, "a file name");

    EXPECT_EQ(ReadWords(reader, {"--port=1"}).result, OptionResult::Run);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(ReadWords(reader, {"--port", "65535"}).result, OptionResult::Run);
    EXPECT_EQ(port, 65535);
    for (const std::string value : {"0", "65536", "", "12x", "99999999999999999999"}) {
        port = 7;
        const Read read = ReadWords(reader, {"--port", value});
        EXPECT_EQ(read.error, "--port needs a port number, not '" + value + "'");
        EXPECT_EQ(port, 7) << value;
    }
    EXPECT_EQ(ReadWords(reader, {"--file="}).error, "--file needs a file name");
    EXPECT_EQ(path, "old");
}

TEST(SoftphoneOptions, AWordThatNamesNoOptionIsRefusedAsTheProgramSays) {
    OptionReader reader;
    EXPECT_EQ(ReadWords(reader, {"--bogus=1"}).error, "unknown option '--bogus' (see --help)");
    EXPECT_EQ(ReadWords(reader, {"--version"}).error, "unknown option '--version' (see --help)");
    reader.Unknown([](const server::OptionWords& word) { return "stray '" + word.Word() + "'"; });
    EXPECT_EQ(ReadWords(reader, {"--bogus=1"}).error, "stray '--bogus=1'");
}

}  // namespace
}  // namespace quvo::test
