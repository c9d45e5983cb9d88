#include <gtest/gtest.h>

#include <vector>

#include "console/Options.h"

namespace quvo::test {
namespace {

ParsedOptions Parse(const std::vector<const char*>& args) {
    std::vector<const char*> argv = {"quvoconnect"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

TEST(ConsoleOptions, NoOptionsRunAsBefore) {
    const ParsedOptions parsed = Parse({});
    EXPECT_FALSE(parsed.exitStatus);
    EXPECT_FALSE(parsed.options.script);
    EXPECT_FALSE(parsed.options.timestamps);
    EXPECT_EQ(parsed.options.linger.count(), 0);
    EXPECT_EQ(parsed.out + parsed.err, "");
}

TEST(ConsoleOptions, OptionsCombineInAnyOrder) {
    const ParsedOptions parsed = Parse({"--timestamps", "--linger", "2.5", "--script"});
    ASSERT_FALSE(parsed.exitStatus) << parsed.err;
    EXPECT_TRUE(parsed.options.script);
    EXPECT_TRUE(parsed.options.timestamps);
    EXPECT_EQ(parsed.options.linger.count(), 2500);
    EXPECT_EQ(Parse({"--linger=0.001"}).options.linger.count(), 1);
    EXPECT_EQ(Parse({"--linger", "0"}).options.linger.count(), 0);
    EXPECT_EQ(Parse({"--linger", "604800"}).options.linger.count(), 604800000);
}

TEST(ConsoleOptions, HelpAndVersionEndAtOnceWithStatusZero) {
    const ParsedOptions help = Parse({"--script", "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out, UsageText());
    EXPECT_EQ(help.err, "");
    for (const char* option : {"--script", "--linger SECONDS", "--timestamps", "--help", "--version"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const ParsedOptions version = Parse({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "QUVOConnect 1.0\n");
}

TEST(ConsoleOptions, AnythingElseIsRefusedWithTheUsageOnStandardError) {
    const std::vector<std::vector<const char*>> refused = {
        {"--bogus"},          {"-s"},
        {"script"},           {"--linger"},
        {"--linger", "-1"},   {"--linger", "abc"},
        {"--linger", "1e3"},  {"--linger", "604801"},
        {"--linger", ""},     {"--linger=", "5"},
        {"--linger", "0x10"}, {"--script", "--SCRIPT"},
        {"--help=1"},
    };
    for (const auto& args : refused) {
        const ParsedOptions parsed = Parse(args);
        EXPECT_EQ(parsed.exitStatus, 2) << args.front();
        EXPECT_EQ(parsed.out, "");
        EXPECT_EQ(parsed.err.rfind("quvoconnect: ", 0), 0u) << parsed.err;
        EXPECT_NE(parsed.err.find(UsageText()), std::string::npos);
    }
    EXPECT_NE(Parse({"--bogus"}).err.find("unknown option '--bogus'"), std::string::npos);
}

}  // namespace
}  // namespace quvo::test
