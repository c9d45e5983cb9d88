// The settings key in the registry: creation, the two-attempt read, and reads that
// must leave the destination alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Settings.h"

namespace quvo::platform {
namespace {

class SettingsKeyTest : public testing::Test {
  protected:
    void SetUp() override {
        m_subKey = "Software\\QUVOConnectTest\\Settings" + std::to_string(::GetCurrentProcessId());
        DeleteTestKey();
    }

    void TearDown() override {
        if (m_key) CloseSettingsKey(m_key);
        DeleteTestKey();
        ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QUVOConnectTest");  // only when empty
    }

    void DeleteTestKey() { ::RegDeleteTreeA(HKEY_CURRENT_USER, m_subKey.c_str()); }

    bool TestKeyExists() {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, m_subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(key);
        return true;
    }

    // Stores raw bytes under name with the given type, exactly as given.
    void Store(const char* name, DWORD type, const std::string& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, m_subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                   static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    void StoreString(const char* name, const std::string& text) { Store(name, REG_SZ, text + '\0'); }

    SettingsKey* Open() {
        m_key = OpenSettingsKey(m_subKey);
        return m_key;
    }

    std::string m_subKey;
    SettingsKey* m_key = nullptr;
};

TEST_F(SettingsKeyTest, OpeningCreatesTheMissingKeyEmpty) {
    ASSERT_FALSE(TestKeyExists());
    ASSERT_NE(Open(), nullptr);
    EXPECT_TRUE(TestKeyExists());

    std::string value = "before";
    EXPECT_FALSE(ReadSettingsValue(m_key, "sExePath", value));
    EXPECT_EQ(value, "before");
}

TEST_F(SettingsKeyTest, ValuesOfEveryLengthAreReadWhole) {
    // 63 characters and the zero fill the first buffer exactly; 64 need the second try.
    const std::string fits(63, 'a');
    const std::string justTooLong(64, 'b');
    const std::string long_ = "C:\\Program Files\\Quelbo\\" + std::string(1000, 'c') + "\\";
    StoreString("Fits", fits);
    StoreString("JustTooLong", justTooLong);
    StoreString("Long", long_);
    StoreString("Empty", "");
    ASSERT_NE(Open(), nullptr);

    std::string value;
    ASSERT_TRUE(ReadSettingsValue(m_key, "Fits", value));
    EXPECT_EQ(value, fits);
    ASSERT_TRUE(ReadSettingsValue(m_key, "JustTooLong", value));
    EXPECT_EQ(value, justTooLong);
    ASSERT_TRUE(ReadSettingsValue(m_key, "Long", value));
    EXPECT_EQ(value, long_);
    ASSERT_TRUE(ReadSettingsValue(m_key, "empty", value));  // names ignore case
    EXPECT_EQ(value, "");
}

TEST_F(SettingsKeyTest, TextEndsAtTheFirstZeroOrAtTheDataEnd) {
    // The stored type is not looked at; data without a terminating zero must not be
    // read past its end, whichever attempt reads it.
    Store("Embedded", REG_SZ, std::string("abc\0def", 7));
    Store("Unterminated", REG_BINARY, std::string(64, 'x'));
    Store("LongUnterminated", REG_BINARY, std::string(200, 'y'));
    Store("NoData", REG_BINARY, std::string());
    ASSERT_NE(Open(), nullptr);

    std::string value;
    ASSERT_TRUE(ReadSettingsValue(m_key, "Embedded", value));
    EXPECT_EQ(value, "abc");
    ASSERT_TRUE(ReadSettingsValue(m_key, "Unterminated", value));
    EXPECT_EQ(value, std::string(64, 'x'));
    ASSERT_TRUE(ReadSettingsValue(m_key, "LongUnterminated", value));
    EXPECT_EQ(value, std::string(200, 'y'));
    value = "stale";
    ASSERT_TRUE(ReadSettingsValue(m_key, "NoData", value));
    EXPECT_EQ(value, "");
}

TEST_F(SettingsKeyTest, FailedReadsLeaveTheDestinationUntouched) {
    StoreString("sExePath", "C:\\Apps\\Phone\\");
    ASSERT_NE(Open(), nullptr);

    std::string value = "unchanged";
    EXPECT_FALSE(ReadSettingsValue(m_key, "sExeFileName", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_FALSE(ReadSettingsValue(nullptr, "sExePath", value));
    EXPECT_EQ(value, "unchanged");
}

}  // namespace
}  // namespace quvo::platform
