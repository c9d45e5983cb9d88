#include "console/Completion.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/Text.h"
#include "console/CommandTable.h"

namespace quvo::test {
namespace {

using Words = std::vector<std::string>;

TEST(Completion, AUniqueCommandWordIsCompletedInItsOwnSpellingWithABlank) {
    const CompletionResult result = Complete("  MAKEc");
    EXPECT_EQ(result.wordStart, 2u);
    EXPECT_EQ(result.replacement, "MakeCall ");
    EXPECT_TRUE(result.choices.empty());
    EXPECT_EQ(Complete("q").replacement, "Quit ");
    EXPECT_EQ(Complete("snap").replacement, "Snapshot ");
}

TEST(Completion, SharedStartsGrowFirstAndListOnlyWhenNothingIsGained) {
    CompletionResult result = Complete("ipccl");
    EXPECT_EQ(result.replacement, "IPCCLog");
    EXPECT_TRUE(result.choices.empty());
    result = Complete("IPCCLog");
    EXPECT_EQ(result.replacement, "IPCCLog");
    EXPECT_EQ(result.choices, (Words{"IPCCLogin", "IPCCLogout", "IPCCLogoutReasons"}));
    // An exact word that begins others is not settled either.
    EXPECT_EQ(Complete("transfer").choices,
              (Words{"Transfer", "TransferInitiate", "TransferComplete", "TransferCancel"}));
    EXPECT_EQ(Complete("").choices.size(), CommandTable().size());
}

TEST(Completion, ArgumentsOfHelpSoftkeyIPCCStateAndMute) {
    EXPECT_EQ(Complete("help ConferenceC").choices, (Words{"ConferenceComplete", "ConferenceCancel"}));
    EXPECT_EQ(Complete("Softkey DROP").replacement, "droplastconferee ");
    EXPECT_EQ(Complete("softkey  c").choices, (Words{"cfwdall", "conference", "callback", "cbarge"}));
    EXPECT_EQ(Complete("IPCCSTATE w").replacement, "work");
    EXPECT_EQ(Complete("ipccstate workn").replacement, "worknotready ");
    EXPECT_EQ(Complete("mute o").choices, (Words{"on", "off"}));
    EXPECT_EQ(Complete("Mute OF").replacement, "off ");
    EXPECT_EQ(Complete("Softkey hold ").wordStart, 13u);
}

TEST(Completion, NothingWhereNoWordList) {
    for (const char* text : {"MakeCall 12", "Softkey hold 1", "zz", "Help MakeCall x", "\"Mak",
                             "Softkey \"tr", "\"\" Mak", "Mak\tx", "Help zz", "EMLogin b"}) {
        const CompletionResult result = Complete(text);
        EXPECT_EQ(result.replacement, "") << text;
        EXPECT_TRUE(result.choices.empty()) << text;
    }
}

TEST(Completion, CommandWordsComeFromTheCommandTable) {
    const Words words = CommandWords();
    ASSERT_EQ(words.size(), CommandTable().size());
    for (size_t i = 0; i < words.size(); ++i) {
        EXPECT_TRUE(EqualsNoCase(words[i], CommandTable()[i].name)) << words[i];
    }
}

TEST(Completion, SoftkeyNamesAreThoseTheSoftkeyHelpLists) {
    const CommandEntry* softkey = nullptr;
    for (const CommandEntry& entry : CommandTable()) {
        if (EqualsNoCase(entry.name, "Softkey")) softkey = &entry;
    }
    ASSERT_NE(softkey, nullptr);
    std::string description = softkey->description;
    description = description.substr(description.find(':') + 1);
    for (char& c : description) {
        if (c == ',' || IsTrimSpace(c)) c = ' ';
    }
    std::istringstream words(description);
    std::set<std::string> listed;
    for (std::string word; words >> word;) listed.insert(word);
    const std::set<std::string> offered(SoftkeyNames().begin(), SoftkeyNames().end());
    EXPECT_EQ(offered, listed);
    EXPECT_EQ(SoftkeyNames().size(), 24u);
}

TEST(Completion, PasswordLinesAndBlankLinesAreNeverRemembered) {
    for (const char* line : {"EMLogin bob secret", "  emlogin bob secret", "IPCCLogin 1 pw 2",
                             "\"IPCCLOGIN\" a b c", "", "   ", "\"\" EMLogin x"}) {
        EXPECT_FALSE(MayKeepInHistory(line)) << line;
    }
    for (const char* line : {"MakeCall 1234", "help emlogin", "EMLogout", "IPCCLogout", "zz"}) {
        EXPECT_TRUE(MayKeepInHistory(line)) << line;
    }
}

}  // namespace
}  // namespace quvo::test
