// The presence probe against real lock files: only the softphone's own write lock
// on a private file of this user counts as running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Presence.h"

namespace quvo::platform {
namespace {

namespace fs = std::filesystem;

class PresenceProbeTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old) m_oldRuntime = old;
        m_root =
            fs::temp_directory_path() / ("quvo-presence-" + std::to_string(static_cast<long>(::getpid())));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        ::setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    }

    void TearDown() override {
        if (m_lockFd >= 0) ::close(m_lockFd);
        if (m_oldRuntime) {
            ::setenv("XDG_RUNTIME_DIR", m_oldRuntime->c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }

    fs::path LockFile() const { return m_root / "mutex_QUVO"; }

    // Creates the lock file with mode and holds a lock of type on it through an
    // open file description of its own, as another process would.
    void HoldLock(mode_t mode, short type) {
        const int create = ::open(LockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(create, 0);
        ASSERT_EQ(::fchmod(create, mode), 0);
        ::close(create);
        m_lockFd = ::open(LockFile().c_str(), (type == F_WRLCK ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        ASSERT_GE(m_lockFd, 0);
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(::fcntl(m_lockFd, F_OFD_SETLK, &lock), 0);
    }

    fs::path m_root;
    std::optional<std::string> m_oldRuntime;
    int m_lockFd = -1;
};

TEST_F(PresenceProbeTest, AWriteLockOnAPrivateFileIsRunningAndLeavesNothingBehind) {
    EXPECT_FALSE(IsSoftphoneRunning());
    EXPECT_FALSE(fs::exists(LockFile())) << "the probe created the file";

    HoldLock(0600, F_WRLCK);
    EXPECT_TRUE(IsSoftphoneRunning());
    ::close(m_lockFd);
    m_lockFd = -1;
    EXPECT_FALSE(IsSoftphoneRunning()) << "the lock went with its holder";
}

TEST_F(PresenceProbeTest, ALockThatAnyoneCouldTakeIsNotRunning) {
    // Anyone who can read the file can take a read lock.
    HoldLock(0644, F_RDLCK);
    EXPECT_FALSE(IsSoftphoneRunning());
}

TEST_F(PresenceProbeTest, AWriteLockOnAFileOthersMayWriteIsNotRunning) {
    for (const mode_t mode : {0666, 0620, 0602}) {
        HoldLock(mode, F_WRLCK);
        EXPECT_FALSE(IsSoftphoneRunning()) << std::oct << mode;
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

}  // namespace
}  // namespace quvo::platform
