// The D-Bus binding on a private session bus, with this test owning the softphone's
// name: whether the bound softphone still serves, and a bus that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "base/AutomationError.h"
#include "platform/SoftphoneBinding.h"

extern char** environ;

namespace quvo::platform {
namespace {

constexpr const char* kName = "com.quelbo.QUVO";

class PrivateBusTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (old) m_oldAddress = old;
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>("dbus-daemon"),       const_cast<char*>("--session"),
                        const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
                        const_cast<char*>("--print-address=1"), nullptr};
        const int spawned = ::posix_spawnp(&m_daemon, "dbus-daemon", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            m_daemon = 0;
            GTEST_SKIP() << "no dbus-daemon";
        }
        std::string address;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n') address += c;
        ::close(out[0]);
        ASSERT_FALSE(address.empty());
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }

    void TearDown() override {
        m_binding.reset();
        m_owner.reset();
        EndBus();
        if (m_oldAddress) {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", m_oldAddress->c_str(), 1);
        } else {
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
    }

    void EndBus() {
        if (m_daemon <= 0) return;
        ::kill(m_daemon, SIGTERM);
        int status = 0;
        ::waitpid(m_daemon, &status, 0);
        m_daemon = 0;
    }

    // A connection standing in for the softphone: it owns the name.
    std::unique_ptr<sdbus::IConnection> Softphone() {
        auto connection = sdbus::createSessionBusConnection();
        connection->requestName(kName);
        return connection;
    }

    pid_t m_daemon = 0;
    std::optional<std::string> m_oldAddress;
    std::unique_ptr<sdbus::IConnection> m_owner;
    std::unique_ptr<link::ISoftphone> m_binding;
};

TEST_F(PrivateBusTest, StillServedWhileTheBoundOwnerKeepsTheName) {
    m_owner = Softphone();
    m_binding = BindSoftphone();
    ASSERT_NE(m_binding, nullptr);
    EXPECT_TRUE(m_binding->StillServed());

    // Gone, then served again by a new process: not the one bound.
    m_owner->releaseName(kName);
    m_owner.reset();
    EXPECT_FALSE(m_binding->StillServed());
    m_owner = Softphone();
    EXPECT_FALSE(m_binding->StillServed());
}

TEST_F(PrivateBusTest, ALostBusFailsCallsAsAutomationFailures) {
    m_owner = Softphone();
    m_binding = BindSoftphone();
    ASSERT_NE(m_binding, nullptr);
    EndBus();
    EXPECT_THROW(m_binding->Hold(), link::CAutomationError);
    EXPECT_THROW(m_binding->MakeCall(L"123"), link::CAutomationError);
    EXPECT_FALSE(m_binding->StillServed());
    // A bus that is lost is not a softphone that ended.
    EXPECT_FALSE(m_binding->ServerGone());
}

// Another process owning the name is known at once, the lock never seen free;
// a name that nobody owns tells nothing yet.
TEST_F(PrivateBusTest, GoneOnceAnotherProcessOwnsTheName) {
    m_owner = Softphone();
    m_binding = BindSoftphone();
    ASSERT_NE(m_binding, nullptr);
    EXPECT_FALSE(m_binding->ServerGone());
    auto bound = std::move(m_owner);
    bound->releaseName(kName);
    EXPECT_FALSE(m_binding->ServerGone());
    m_owner = Softphone();  // while the bound process still runs
    EXPECT_TRUE(m_binding->ServerGone());
}

TEST_F(PrivateBusTest, GoneOnceACallFindsTheBoundProcessLeftTheBus) {
    m_owner = Softphone();
    m_binding = BindSoftphone();
    ASSERT_NE(m_binding, nullptr);
    m_owner.reset();
    EXPECT_FALSE(m_binding->ServerGone());
    // Until the bus has seen the process go, the call reaches it and fails there.
    uint32_t status = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         status != link::kStatusUnavailable && std::chrono::steady_clock::now() < deadline;) {
        EXPECT_FALSE(m_binding->ServerGone());
        try {
            m_binding->Hold();
        } catch (const link::CAutomationError& error) {
            status = error.Status();
        }
        if (status != link::kStatusUnavailable) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(status, link::kStatusUnavailable);
    EXPECT_TRUE(m_binding->ServerGone());
}

}  // namespace
}  // namespace quvo::platform
