// Softphone texts on their way to the console: control characters never reach the
// terminal, and the C locale's text is UTF-8.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "base/AutomationError.h"
#include "platform/Text.h"

namespace quvo::platform {
namespace {

class LocaleTest : public testing::Test {
  protected:
    void SetUp() override { m_previous = std::setlocale(LC_ALL, nullptr); }
    void TearDown() override { std::setlocale(LC_ALL, m_previous.c_str()); }
    std::string m_previous;
};

TEST_F(LocaleTest, ControlCharactersBecomeQuestionMarksAndNothingElseChanges) {
    ASSERT_TRUE(std::setlocale(LC_ALL, "C.UTF-8"));
    EXPECT_EQ(ToPrintable(L"a\nb\rc\x1b[2J\td\x7f\x85\x9b\x9f"), "a?b?c?[2J?d????");
    EXPECT_EQ(ToPrintable(L"\x00A0Zo\x00EB \x20AC ~"), "\xC2\xA0Zo\xC3\xAB \xE2\x82\xAC ~");
    EXPECT_EQ(ToPrintable(std::wstring(L"x\0y", 3)), "x?y");
    // Unicode line ends and bidirectional controls, as a caller's name may carry them.
    EXPECT_EQ(ToPrintable(L"Bob\x2028"
                          L"Event : x\x2029|\x202E"
                          L"evil\x202C|\x2066"
                          L"a\x2069|\x200E\x200F\x061C|\x2027\x202F"),
              "Bob?Event : x?|?evil?|?a?|???|\xE2\x80\xA7\xE2\x80\xAF");
    // The plain conversion (used for server answers) keeps them.
    EXPECT_EQ(ToNarrow(L"a\nb"), "a\nb");
}

TEST_F(LocaleTest, TheCLocaleConvertsAsUtf8) {
    for (const char* name : {"C", "POSIX"}) {
        ASSERT_TRUE(std::setlocale(LC_ALL, name));
        EXPECT_EQ(ToNarrow(L"Zo\x00EB \x20AC"), "Zo\xC3\xAB \xE2\x82\xAC") << name;
        EXPECT_EQ(ToWide("Zo\xC3\xAB \xFF"), L"Zo\x00EB \xFFFD") << name;
        EXPECT_EQ(ToUtf8("Zo\xC3\xAB \xFF"), "Zo\xC3\xAB \xEF\xBF\xBD") << name;
    }
}

TEST(AutomationFailureLine, ControlBytesInTheTextDoNotEndTheLine) {
    const link::CAutomationError error(link::kStatusFailed, "com.quelbo.QUVO.Error.Failed",
                                       "busy\n> Error : forged\r\x1b[2J\x7f \xC3\xA9");
    EXPECT_EQ(error.Describe(), "Automation failure 0x80004005 - busy?> Error : forged??[2J? \xC3\xA9");
}

}  // namespace
}  // namespace quvo::platform
