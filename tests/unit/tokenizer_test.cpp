#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/CommandTokenizer.h"

namespace quvo {
namespace {

// The slots up to and including the last non-empty one.
std::vector<std::string> Tokens(const std::string& line) {
    CCommandTokenizer tokenizer;
    tokenizer.Tokenize(line);
    std::vector<std::string> words;
    for (int slot = 0; slot < CCommandTokenizer::kSlots; ++slot) words.push_back(tokenizer.Word(slot));
    while (!words.empty() && words.back().empty()) words.pop_back();
    return words;
}

struct TokenizerCase {
    const char* name;
    std::string line;
    std::vector<std::string> words;
};

class TokenizerTest : public testing::TestWithParam<TokenizerCase> {};

TEST_P(TokenizerTest, FillsTheSlots) {
    EXPECT_EQ(Tokens(GetParam().line), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TokenizerTest,
    testing::Values(
        TokenizerCase{"Empty", "", {}}, TokenizerCase{"WhiteSpaceOnly", " \t\r\n\v\f ", {}},
        TokenizerCase{"TrimmedAtBothEnds", " \t MakeCall 1234\r\n", {"MakeCall", "1234"}},
        TokenizerCase{"BlankRunsCountAsOne", "Softkey    hold     2", {"Softkey", "hold", "2"}},
        TokenizerCase{"LongBlankRun", "a" + std::string(300, ' ') + "b", {"a", "b"}},
        TokenizerCase{"TabIsPartOfAWord", "MakeCall\t1234 x", {"MakeCall\t1234", "x"}},
        TokenizerCase{"QuotedWordsKeepBlanks",
                      "IPCCLogin \"agent one\" \"pass word\" 42",
                      {"IPCCLogin", "agent one", "pass word", "42"}},
        TokenizerCase{"BlankRunsInsideQuotesCollapse", "MakeCall \"12   34\"", {"MakeCall", "12 34"}},
        TokenizerCase{"QuotedWordKeepsOuterBlanks", "MakeCall \" 12 \" x", {"MakeCall", " 12 ", "x"}},
        TokenizerCase{"EmptyQuotesLeaveTheirSlotEmpty", "Softkey \"\" hold", {"Softkey", "", "hold"}},
        TokenizerCase{"UnterminatedQuoteDropsTheRest", "IPCCLogin a \"b c d", {"IPCCLogin", "a"}},
        TokenizerCase{"UnterminatedQuoteAtTheEnd", "MakeCall \"", {"MakeCall"}},
        TokenizerCase{"QuotedCommandWord", "\"Help\" x", {"Help", "x"}},
        // The first word is never read in quote mode: it ends at the first blank.
        TokenizerCase{"FirstWordIsNotQuoted", "\"Make Call\" x", {"\"Make", "Call\"", "x"}},
        TokenizerCase{"TextAfterClosingQuoteIsSkipped", "a \"b c\"xyz d", {"a", "b c", "d"}},
        TokenizerCase{"QuoteInsideAWordIsKept", "a b\"c d", {"a", "b\"c", "d"}},
        TokenizerCase{"WordsPastTheTenthAreIgnored",
                      "w0 w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11",
                      {"w0", "w1", "w2", "w3", "w4", "w5", "w6", "w7", "w8", "w9"}}),
    [](const testing::TestParamInfo<TokenizerCase>& info) { return std::string(info.param.name); });

TEST(Tokenizer, EmptyFirstQuotedWordLeavesTheCommandWordEmpty) {
    CCommandTokenizer tokenizer;
    tokenizer.Tokenize("\"\" Hold");
    EXPECT_EQ(tokenizer.Word(0), "");
    EXPECT_EQ(tokenizer.Word(1), "Hold");
}

TEST(Tokenizer, HandlesVeryLongLines) {
    const std::string word(100000, 'x');
    const std::string phrase(50000, 'y');
    EXPECT_EQ(Tokens("MakeCall " + word + " \"" + phrase + " " + phrase + "\""),
              (std::vector<std::string>{"MakeCall", word, phrase + " " + phrase}));
}

}  // namespace
}  // namespace quvo
