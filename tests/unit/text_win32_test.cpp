// Narrow (ANSI code page) and wide text.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Text.h"

namespace quvo::platform {
namespace {

TEST(Text, AsciiRoundTrips) {
    std::string all;
    for (char c = 0x20; c < 0x7F; ++c) all += c;
    const std::wstring wide = ToWide(all);
    ASSERT_EQ(wide.size(), all.size());
    EXPECT_EQ(wide[0], L' ');
    EXPECT_EQ(wide.back(), L'~');
    EXPECT_EQ(ToNarrow(wide), all);
    EXPECT_EQ(ToWide(""), L"");
    EXPECT_EQ(ToNarrow(L""), "");
}

TEST(Text, AnsiCodePageCharactersRoundTrip) {
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP();
    const std::string narrow = "Caf\xE9 M\xFCller \x80";
    const std::wstring wide = ToWide(narrow);
    EXPECT_EQ(wide, L"Caf\u00E9 M\u00FCller \u20AC");
    EXPECT_EQ(ToNarrow(wide), narrow);
}

TEST(Text, Utf8FromTheAnsiCodePage) {
    EXPECT_EQ(ToUtf8("plain ~%"), "plain ~%");
    EXPECT_EQ(ToUtf8(""), "");
    if (::GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << ::GetACP();
    EXPECT_EQ(ToUtf8("M\xFCller \x80"), "M\xC3\xBCller \xE2\x82\xAC");
}

TEST(Text, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    if (::GetACP() == CP_UTF8) GTEST_SKIP() << "every character converts to UTF-8";
    // A lone surrogate exists in no code page; CJK is absent from the single-byte ones.
    EXPECT_EQ(ToNarrow(std::wstring(L"a\xD800z")), "a?z");
    if (::GetACP() == 1252) {
        EXPECT_EQ(ToNarrow(L"x\u4E2D\u6587y"), "x??y");
    }
}

}  // namespace
}  // namespace quvo::platform
