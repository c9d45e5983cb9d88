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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/AutomationError.h"
#include "platform/SoftphoneBinding.h"

extern char** environ;

namespace quvo::platform {
namespace {

constexpr const char* kName = "com.quelbo.QUVO";
constexpr const char* kPath = "/com/quelbo/QUVO/Softphone";
constexpr const char* kEvents = "com.quelbo.QUVO.SoftphoneEvents";

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

// The events that the binding delivers, as its event thread hands them over.
class ReceivedEvents final : public link::IEventReceiver {
  public:
    using Event = std::pair<int32_t, link::EventArgs>;

    void Invoke(int32_t dispid, const link::EventArgs& args) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.emplace_back(dispid, args);
        m_arrived.notify_all();
    }

    // Everything delivered once the event with dispid last has come (or 5 seconds passed).
    std::vector<Event> Until(int32_t last) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait_for(lock, std::chrono::seconds(5),
                           [&] { return !m_events.empty() && m_events.back().first == last; });
        return m_events;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Event> m_events;
};

// An Event signal whose body is not (i dispid, av args) of I4, BSTR and BOOL
// arguments is dropped whole; the signals around it arrive as sent. What follows a
// well-formed body is not looked at.
TEST_F(PrivateBusTest, EventSignalsOfAnotherShapeAreDroppedWhole) {
    m_owner = Softphone();
    auto object = sdbus::createObject(*m_owner, kPath);
    object->registerSignal(kEvents, "Event", "iav");
    object->finishRegistration();
    m_owner->enterEventLoopAsync();  // answers the binding's introspection
    m_binding = BindSoftphone();
    ASSERT_NE(m_binding, nullptr);
    auto* source = dynamic_cast<link::IEventSource*>(m_binding.get());
    ASSERT_NE(source, nullptr);
    ReceivedEvents received;
    uint32_t cookie = 0;
    ASSERT_TRUE(source->Advise(received, cookie));

    const auto emit = [&](const std::function<void(sdbus::Signal&)>& body) {
        auto signal = object->createSignal(kEvents, "Event");
        body(signal);
        object->emitSignal(signal);
    };
    const auto argument = [](sdbus::Signal& signal, const char* type, const auto& value) {
        signal.openVariant(type);
        signal << value;
        signal.closeVariant();
    };
    emit([&](sdbus::Signal& s) {
        s << int32_t(3);
        s.openContainer("v");
        argument(s, "i", int32_t(5));
        argument(s, "s", std::string("Zo\xC3\xAB"));
        argument(s, "b", true);
        s.closeContainer();
    });
    emit([](sdbus::Signal&) {});                                                 // no body
    emit([](sdbus::Signal& s) { s << std::string("3"); });                       // no dispid
    emit([](sdbus::Signal& s) { s << int32_t(4); });                             // no arguments
    emit([](sdbus::Signal& s) { s << int32_t(4) << std::vector<int32_t>{1}; });  // not variants
    emit([&](sdbus::Signal& s) {                                                 // a type no event has
        s << int32_t(4);
        s.openContainer("v");
        argument(s, "i", int32_t(1));
        argument(s, "d", 1.5);
        s.closeContainer();
    });
    emit([&](sdbus::Signal& s) {  // a container in a variant
        s << int32_t(4);
        s.openContainer("v");
        s.openVariant("as");
        s << std::vector<std::string>{"a"};
        s.closeVariant();
        s.closeContainer();
    });
    emit([&](sdbus::Signal& s) {
        s << int32_t(6);
        s.openContainer("v");
        argument(s, "b", false);
        s.closeContainer();
        s << std::string("more");
    });
    emit([](sdbus::Signal& s) { s << int32_t(7) << std::vector<sdbus::Variant>{}; });

    const std::vector<ReceivedEvents::Event> expected = {
        {3, {int32_t(5), std::wstring(L"Zo\u00EB"), true}}, {6, {false}}, {7, {}}};
    EXPECT_EQ(received.Until(7), expected);
    source->Unadvise(cookie);
}

}  // namespace
}  // namespace quvo::platform
