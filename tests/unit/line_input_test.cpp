#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quvo::test
