// The program commands against the Linux desktop seams (settings file, X11).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/FakeSoftphone.h"

namespace quvo::test {
namespace {

// Sets an environment variable (or removes it, for null) for the length of a test.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// A desktop of the test's own: empty softphone settings and no display, so that
// the program commands find no installation and no window.
class IsolatedDesktop {
  public:
    IsolatedDesktop()
        : m_folder(std::filesystem::temp_directory_path() /
                   ("quvo-unit-" + std::to_string(static_cast<long>(::getpid())))),
          m_settings("XDG_CONFIG_HOME", m_folder.c_str()),
          m_display("DISPLAY", nullptr) {
        std::filesystem::create_directories(m_folder);
    }
    ~IsolatedDesktop() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

  private:
    std::filesystem::path m_folder;
    ScopedEnv m_settings;
    ScopedEnv m_display;
};

TEST(ProgramCommands, RunProgramSkipsTheRunningCheck) {
    IsolatedDesktop desktop;
    FakeControl fake = MakeFakeControl(FakeControlOptions().NotRunning());
    EXPECT_EQ(fake.Run("RunProgram"), ERROR_PHONE_NOT_FOUND);
}

TEST(ProgramCommands, ShowAndHideProgramNeverCallTheSoftphone) {
    IsolatedDesktop desktop;
    FakeControl fake = MakeFakeControl();
    EXPECT_EQ(fake.Run("ShowProgram"), SUCCESS);
    EXPECT_EQ(fake.Run("HideProgram"), SUCCESS);
    EXPECT_EQ(fake.phone->CommandCalls(), std::vector<std::string>{});
}

}  // namespace
}  // namespace quvo::test
