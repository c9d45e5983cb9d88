// The settings key as a file under $XDG_CONFIG_HOME: where it lives, its creation,
// and how name=value lines are read.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Settings.h"
#include "platform/posix/Files.h"
#include "platform/posix/SettingsFile.h"

namespace quvo::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSubKey = "Software\\Quelbo\\QUVO";

class SettingsFileTest : public testing::Test {
  protected:
    void SetUp() override {
        m_oldConfig = Get("XDG_CONFIG_HOME");
        m_oldHome = Get("HOME");
        m_root =
            fs::temp_directory_path() / ("quvo-settings-" + std::to_string(static_cast<long>(::getpid())));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        ::setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
    }

    void TearDown() override {
        if (m_key) CloseSettingsKey(m_key);
        Restore("XDG_CONFIG_HOME", m_oldConfig);
        Restore("HOME", m_oldHome);
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    static std::optional<std::string> Get(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    fs::path SettingsFile() const { return m_root / "config" / "Quelbo" / "QUVO.ini"; }

    void WriteFile(const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    SettingsKey* Open() {
        m_key = OpenSettingsKey(kSubKey);
        return m_key;
    }

    std::optional<std::string> Read(const std::string& name) {
        std::string value = "<untouched>";
        if (!ReadSettingsValue(m_key, name, value)) {
            EXPECT_EQ(value, "<untouched>") << "a failed read changed the destination";
            return std::nullopt;
        }
        return value;
    }

    fs::path m_root;
    SettingsKey* m_key = nullptr;
    std::optional<std::string> m_oldConfig;
    std::optional<std::string> m_oldHome;
};

TEST_F(SettingsFileTest, OpeningCreatesTheMissingFolderAndAnEmptyFile) {
    ASSERT_FALSE(fs::exists(SettingsFile().parent_path()));
    ASSERT_NE(Open(), nullptr);
    ASSERT_TRUE(fs::is_regular_file(SettingsFile()));
    EXPECT_EQ(fs::file_size(SettingsFile()), 0u);
    EXPECT_EQ(Read("sExePath"), std::nullopt);
}

TEST_F(SettingsFileTest, OpeningNeverChangesAnExistingFile) {
    const std::string content = "sExePath=/opt/quvo\n; comment\n";
    WriteFile(SettingsFile(), content);
    ASSERT_NE(Open(), nullptr);
    CloseSettingsKey(m_key);
    m_key = nullptr;
    std::ifstream in(SettingsFile(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST_F(SettingsFileTest, LinesAreReadAsTheRegistryWouldHoldThem) {
    const std::string longValue = "/opt/" + std::string(5000, 'x') + "/";
    WriteFile(SettingsFile(),
              "; a comment=with an equals sign\n"
              "#sDeviceName=commented out\n"
              "\n"
              "SEXEPATH=  /opt/quvo/bin/  \n"
              "sExeFileName=quvo=phone\r\n"
              "not a value line\n"
              "sPhoneOnline=\n"
              "sExePath=second occurrence loses\n"
              "Long=" +
                  longValue +
                  "\n"
                  " IpAddress=a leading blank is part of the name\n"
                  "sDeviceName=SEP0001");  // no final line end

    ASSERT_NE(Open(), nullptr);
    // Names ignore case; values keep their blanks and everything after the first '='.
    EXPECT_EQ(Read("sExePath"), "  /opt/quvo/bin/  ");
    EXPECT_EQ(Read("sexefilename"), "quvo=phone");  // the final '\r' is dropped
    EXPECT_EQ(Read("sPhoneOnline"), "");
    EXPECT_EQ(Read("Long"), longValue);
    EXPECT_EQ(Read("sDeviceName"), "SEP0001");
    EXPECT_EQ(Read("IpAddress"), std::nullopt);
    EXPECT_EQ(Read("a comment"), std::nullopt);
    EXPECT_EQ(Read("#sDeviceName"), std::nullopt);
    EXPECT_EQ(Read("not a value line"), std::nullopt);
    EXPECT_EQ(Read(""), std::nullopt);
}

TEST_F(SettingsFileTest, EachReadSeesTheFileAsItIsNow) {
    WriteFile(SettingsFile(), "IpAddress=10.0.0.1\n");
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(Read("IpAddress"), "10.0.0.1");
    WriteFile(SettingsFile(), "IpAddress=10.0.0.2:8080\n");
    EXPECT_EQ(Read("IpAddress"), "10.0.0.2:8080");
}

TEST_F(SettingsFileTest, ConfigFolderFallsBackToHomeWhenNotAbsolute) {
    ::setenv("HOME", (m_root / "home").c_str(), 1);
    for (const char* config : {"", "relative/config"}) {
        ::setenv("XDG_CONFIG_HOME", config, 1);
        SettingsKey* key = OpenSettingsKey(kSubKey);
        ASSERT_NE(key, nullptr) << config;
        CloseSettingsKey(key);
    }
    ::unsetenv("XDG_CONFIG_HOME");
    WriteFile(m_root / "home" / ".config" / "Quelbo" / "QUVO.ini", "sExePath=/from/home\n");
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(Read("sExePath"), "/from/home");
    EXPECT_FALSE(fs::exists(m_root / "relative"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "relative" / "config"));
}

// The console and the simulator share this rule; without HOME the user database
// names the home folder.
TEST_F(SettingsFileTest, SharedPathRuleWithoutHome) {
    EXPECT_EQ(SoftphoneSettingsFile(), SettingsFile().string());
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(SoftphoneSettingsFile(), std::string(user->pw_dir) + "/.config/Quelbo/QUVO.ini");
    EXPECT_TRUE(SettingsNameEquals("sExePath", "SEXEPATH"));
    EXPECT_FALSE(SettingsNameEquals("sExePath", "sExePath "));
}

TEST_F(SettingsFileTest, OtherKeysMapToTheirOwnFiles) {
    WriteFile(m_root / "config" / "Other" / "Vendor" / "App.ini", "Name=other\n");
    m_key = OpenSettingsKey("Software\\Other\\Vendor\\App");
    ASSERT_NE(m_key, nullptr);
    EXPECT_EQ(Read("Name"), "other");
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(SettingsFileTest, KeysThatCouldLeaveTheConfigFolderAreRefused) {
    for (const char* subKey :
         {"Software\\..\\..\\escape", "Software\\Quelbo\\\\QUVO", "Software\\", "", "Software\\a/b\\c"}) {
        SettingsKey* key = OpenSettingsKey(subKey);
        EXPECT_EQ(key, nullptr) << subKey;
        if (key) CloseSettingsKey(key);
    }
    EXPECT_FALSE(fs::exists(m_root / "escape.ini"));
}

// The folders of the settings file, the history and the SIP phone's state: each
// missing one made for its owner only, whatever the umask; the first that cannot be
// made named for the error message.
TEST_F(SettingsFileTest, FoldersAreMadePrivateAndTheOneThatCannotBeIsNamed) {
    const mode_t previous = ::umask(0);
    const fs::path deep = m_root / "a" / "b" / "c";
    EXPECT_TRUE(MakeFolders(deep.string()));
    EXPECT_TRUE(MakeFolders(deep.string()));  // all there already
    ::umask(previous);
    for (const fs::path& folder : {m_root / "a", deep}) {
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0) << folder;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
    }
    EXPECT_TRUE(MakeFolders(""));  // the root's

    WriteFile(m_root / "file", "not a folder");
    std::string failed;
    EXPECT_FALSE(MakeFolders((m_root / "file" / "x" / "y").string(), &failed));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(failed, (m_root / "file" / "x").string());
}

TEST_F(SettingsFileTest, SomethingElseInThePlaceOfTheFolderOrFileGivesNoKey) {
    WriteFile(m_root / "config" / "Quelbo", "a file where the folder should be");
    EXPECT_EQ(Open(), nullptr);
    fs::remove(m_root / "config" / "Quelbo");
    fs::create_directories(SettingsFile());  // a folder where the file should be
    EXPECT_EQ(Open(), nullptr);
    std::string value = "kept";
    EXPECT_FALSE(ReadSettingsValue(nullptr, "sExePath", value));
    EXPECT_EQ(value, "kept");
}

TEST_F(SettingsFileTest, ALeadingByteOrderMarkIsNotPartOfTheFirstName) {
    WriteFile(SettingsFile(), "\xEF\xBB\xBFsExePath=/opt/phone\nsPhoneOnline=\xEF\xBB\xBFTitle\n");
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(Read("sExePath"), "/opt/phone");
    // Only the file's first three bytes are a mark; elsewhere they are text.
    EXPECT_EQ(Read("sPhoneOnline"), "\xEF\xBB\xBFTitle");
}

// Every value query reads the file afresh, so a huge file would cost its size in
// time and memory each time; past 1 MiB it is a file without values.
TEST_F(SettingsFileTest, AFileLargerThanOneMebibyteHasNoValues) {
    const std::string content = "sExePath=/opt/phone\n";
    WriteFile(SettingsFile(), content);
    ASSERT_NE(Open(), nullptr);
    fs::resize_file(SettingsFile(), kSettingsFileMaxBytes);  // sparse: zero bytes after the line
    EXPECT_EQ(Read("sExePath"), "/opt/phone");
    for (const auto size : {kSettingsFileMaxBytes + 1, 512LL * 1024 * 1024}) {
        fs::resize_file(SettingsFile(), static_cast<std::uintmax_t>(size));
        EXPECT_EQ(Read("sExePath"), std::nullopt) << size;
    }
}

}  // namespace
}  // namespace quvo::platform
