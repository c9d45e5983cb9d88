#include <gtest/gtest.h>

#include <ios>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console/LineInput.h"

namespace quvo::test {
namespace {

using Read = std::pair<LineStatus, std::string>;

std::vector<Read> ReadAll(const std::string& text, size_t maxLength) {
    std::istringstream input(text);
    std::vector<Read> reads;
    for (;;) {
        std::string line;
        const LineStatus status = ReadCappedLine(input, line, maxLength);
        reads.emplace_back(status, line);
        if (status == LineStatus::End) return reads;
    }
}

TEST(LineInput, LinesAsGetlineGivesThem) {
    const std::vector<Read> expected = {
        {LineStatus::Line, "one"},  {LineStatus::Line, ""}, {LineStatus::Line, "two\r"},
        {LineStatus::Line, "last"}, {LineStatus::End, ""},
    };
    EXPECT_EQ(ReadAll("one\n\ntwo\r\nlast", 10), expected);
    EXPECT_EQ(ReadAll("", 10), (std::vector<Read>{{LineStatus::End, ""}}));
    EXPECT_EQ(ReadAll("\n", 10), (std::vector<Read>{{LineStatus::Line, ""}, {LineStatus::End, ""}}));
}

TEST(LineInput, LongerLinesAreDroppedUpToTheirEndOnly) {
    const std::vector<Read> expected = {
        {LineStatus::Line, "12345"}, {LineStatus::TooLong, ""}, {LineStatus::Line, "ok"},
        {LineStatus::TooLong, ""},   {LineStatus::End, ""},
    };
    EXPECT_EQ(ReadAll("12345\n123456\nok\n" + std::string(100000, 'x'), 5), expected);
}

TEST(LineInput, TheDefaultLimitIs64KiB) {
    const std::string atLimit(kMaxLineLength, 'a');
    const std::vector<Read> reads = ReadAll(atLimit + "\n" + atLimit + "b\nHelp\n", kMaxLineLength);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0], Read(LineStatus::Line, atLimit));
    EXPECT_EQ(reads[1].first, LineStatus::TooLong);
    EXPECT_EQ(reads[2], Read(LineStatus::Line, "Help"));
    EXPECT_EQ(kMaxLineLength, 65536u);
}

// A file buffer whose file fails to read after some text, as libstdc++'s throws.
class FailingBuffer : public std::stringbuf {
  public:
    explicit FailingBuffer(const std::string& text) : std::stringbuf(text) {}

  protected:
    int_type underflow() override {
        const int_type c = std::stringbuf::underflow();
        if (traits_type::eq_int_type(c, traits_type::eof()))
            throw std::ios_base::failure("error reading the file");
        return c;
    }
};

TEST(LineInput, AReadErrorEndsTheInputAsItsEndDoes) {
    FailingBuffer buffer("one\ntw");
    std::istream input(&buffer);
    std::string line;
    EXPECT_EQ(ReadCappedLine(input, line), LineStatus::Line);
    EXPECT_EQ(line, "one");
    EXPECT_EQ(ReadCappedLine(input, line), LineStatus::Line);
    EXPECT_EQ(line, "tw");
    EXPECT_EQ(ReadCappedLine(input, line), LineStatus::End);
}

}  // namespace
}  // namespace quvo::test
