// The softphone's automation object on the D-Bus session bus.
#include "platform/SoftphoneBinding.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/AutomationError.h"
#include "contract/SoftphoneContract.h"
#include "platform/Text.h"
#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

using bus::kBusName;
using bus::kObjectPath;
constexpr const char* kOperations = bus::kSoftphoneInterface;
constexpr const char* kEvents = bus::kEventsInterface;
constexpr auto kCallTimeout = std::chrono::seconds(5);

// Messages drained from the call connection in one go at most, so that a peer
// flooding it cannot keep the connection's lock for ever.
constexpr int kDrainLimit = 100000;

// The softphone's error text (UTF-8 on the bus) in the console's character set,
// made fit for one console line like every other softphone text.
std::string FailureText(const std::string& utf8) {
    return ToPrintable(Utf8ToWide(utf8));
}

// The unique name that owns the softphone's well-known name; throws sdbus::Error
// when nobody does.
std::string NameOwner(sdbus::IConnection& connection) {
    auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::string owner;
    bus->callMethod("GetNameOwner")
        .onInterface("org.freedesktop.DBus")
        .withTimeout(kCallTimeout)
        .withArguments(std::string(kBusName))
        .storeResultsTo(owner);
    return owner;
}

// A failed call as the console reports it: the status, the error's name and the
// softphone's text.
link::CAutomationError ToAutomationError(const sdbus::Error& error) {
    const std::string& name = error.getName();
    if (name == bus::kErrorFailed) return {link::kStatusFailed, name, FailureText(error.getMessage())};
    if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut")
        return {link::kStatusTimeout, name, ""};
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == "org.freedesktop.DBus.Error.Disconnected" || name == "org.freedesktop.DBus.Error.NoServer")
        return {link::kStatusUnavailable, name, ""};
    return {link::kStatusFailed, name, FailureText(error.getMessage())};
}

// Parks the calling thread until stop (an eventfd) is signalled. A loop thread
// whose bus went away waits there to be stopped and joined like any other.
void WaitForStop(int stop) {
    if (stop < 0) return;
    pollfd entry{stop, POLLIN, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

void Signal(int stop) {
    const uint64_t one = 1;
    if (stop >= 0 && ::write(stop, &one, sizeof one) < 0) {
        // The counter is full: it is signalled already.
    }
}

// Runs a connection's event loop on a thread of the console's own. The library's
// loop throws when the bus goes away; nothing may leave a thread of the console,
// so the loop ends then and the thread waits for stop.
std::thread RunEventLoop(sdbus::IConnection& connection, int stop) {
    return std::thread([&connection, stop] {
        try {
            connection.enterEventLoop();
        } catch (...) {
        }
        WaitForStop(stop);
    });
}

// Reads an Event signal's body (i dispid, av args) in place, through the message's
// own reading operations: going through sdbus::Variant would copy every argument
// into a message of its own. Arguments are I4, BSTR or BOOL; anything else never
// matches a declared type, so such an event is dropped here. False when the body
// is not what it should be: the reading operations throw on an item of another
// type and clear the message's flag at the end of the body or of a container.
bool ReadEvent(sdbus::Message& signal, int32_t& dispid, link::EventArgs& args) {
    try {
        if (!signal.isValid()) return false;
        signal.rewind(true);
        signal.clearFlags();
        signal >> dispid;
        if (!signal || !signal.enterContainer("v")) return false;
        for (;;) {
            // Inside "av" every item is a variant: anything else is the array's end.
            std::string type;
            std::string contents;
            signal.peekType(type, contents);
            if (type != "v") break;
            if (contents == "i") {
                int32_t value = 0;
                if (!signal.enterVariant("i") || !(signal >> value)) return false;
                args.emplace_back(value);
            } else if (contents == "s") {
                std::string value;
                if (!signal.enterVariant("s") || !(signal >> value)) return false;
                args.emplace_back(Utf8ToWide(value));
            } else if (contents == "b") {
                bool value = false;
                if (!signal.enterVariant("b") || !(signal >> value)) return false;
                args.emplace_back(value);
            } else {
                return false;
            }
            signal.exitVariant();
        }
        signal.exitContainer();
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

class DBusSoftphone final : public link::ISoftphone, public link::IEventSource {
  public:
    DBusSoftphone(std::unique_ptr<sdbus::IConnection> connection, std::string owner)
        : m_connection(std::move(connection)),
          m_owner(std::move(owner)),
          m_proxy(sdbus::createProxy(*m_connection, m_owner, kObjectPath)) {
        m_proxy->finishRegistration();
        StartDrain();
    }

    ~DBusSoftphone() override {
        StopEvents();
        StopDrain();
    }

    // Whether the bus still names the unique name bound at start-up as the owner of
    // the softphone's name; false when it cannot tell.
    bool StillServed() override {
        try {
            std::lock_guard<std::mutex> lock(m_callMutex);
            return NameOwner(*m_connection) == m_owner;
        } catch (...) {
            return false;
        }
    }

    // Gone when a call found the bound unique name no longer on the bus, or when
    // another unique name owns the softphone's name. A name that nobody owns tells
    // nothing (the bound process may still be about to end, or a new one about to
    // take it), nor does a bus that cannot be asked.
    bool ServerGone() override {
        if (m_gone.load()) return true;
        try {
            std::lock_guard<std::mutex> lock(m_callMutex);
            const std::string owner = NameOwner(*m_connection);
            return !owner.empty() && owner != m_owner;
        } catch (...) {
            return false;
        }
    }

    void SetClientActive(int32_t flag) override { Call(bus::kSetClientActive.name, flag); }
    void Answer(int32_t callRefId) override { Call(bus::kAnswer.name, callRefId); }
    void EndCall() override { Call(bus::kEndCall.name); }
    void Hold() override { Call(bus::kHold.name); }
    void MakeCall(const std::wstring& destination) override {
        Call(bus::kMakeCall.name, WideToUtf8(destination));
    }
    void OffHook(int32_t line) override { Call(bus::kOffHook.name, line); }
    void OnHook(int32_t line) override { Call(bus::kOnHook.name, line); }
    void Resume(int32_t callRefId) override { Call(bus::kResume.name, callRefId); }
    void SendDtmf(const std::wstring& key) override { Call(bus::kSendDtmf.name, WideToUtf8(key)); }
    void Softkey(const std::wstring& name, int32_t lineId, int32_t callRefId) override {
        Call(bus::kSoftkey.name, WideToUtf8(name), lineId, callRefId);
    }
    void Transfer(const std::wstring& destination) override {
        Call(bus::kTransfer.name, WideToUtf8(destination));
    }
    void TransferInitiate(const std::wstring& destination) override {
        Call(bus::kTransferInitiate.name, WideToUtf8(destination));
    }
    void TransferComplete() override { Call(bus::kTransferComplete.name); }
    void ExitProgram() override { Call(bus::kExitProgram.name); }
    void SpkrVolumeUp() override { Call(bus::kSpkrVolumeUp.name); }
    void SpkrVolumeDown() override { Call(bus::kSpkrVolumeDown.name); }
    void MicVolumeUp() override { Call(bus::kMicVolumeUp.name); }
    void MicVolumeDown() override { Call(bus::kMicVolumeDown.name); }
    void SetMute(int32_t flag) override { Call(bus::kSetMute.name, flag); }
    void Messages() override { Call(bus::kMessages.name); }
    void Snapshot() override { Call(bus::kSnapshot.name); }
    void CallStats() override { Call(bus::kCallStats.name); }
    void ConferenceInitiate(const std::wstring& destination) override {
        Call(bus::kConferenceInitiate.name, WideToUtf8(destination));
    }
    void ConferenceComplete() override { Call(bus::kConferenceComplete.name); }
    void IPCCLogin(const std::wstring& agentId, const std::wstring& password,
                   const std::wstring& extension) override {
        Call(bus::kIPCCLogin.name, WideToUtf8(agentId), WideToUtf8(password), WideToUtf8(extension));
    }
    void IPCCLogout(const std::wstring& reason) override { Call(bus::kIPCCLogout.name, WideToUtf8(reason)); }
    void IPCCSetState(const std::wstring& state, const std::wstring& reason) override {
        Call(bus::kIPCCSetState.name, WideToUtf8(state), WideToUtf8(reason));
    }
    void IPCCNotReadyReasons() override { Call(bus::kIPCCNotReadyReasons.name); }
    void IPCCLogoutReasons() override { Call(bus::kIPCCLogoutReasons.name); }

    bool Advise(link::IEventReceiver& receiver, uint32_t& cookie) override {
        try {
            if (!OffersEvents()) return false;
            std::lock_guard<std::mutex> lock(m_eventsMutex);
            if (m_eventConnection) return false;  // one receiver
            m_eventConnection = sdbus::createSessionBusConnection();
            m_eventProxy = sdbus::createProxy(*m_eventConnection, m_owner, kObjectPath);
            m_eventProxy->registerSignalHandler(kEvents, bus::kEventSignal,
                                                [&receiver](sdbus::Signal& signal) {
                                                    // Nothing that arrives from the bus may end the process.
                                                    try {
                                                        int32_t dispid = 0;
                                                        link::EventArgs args;
                                                        if (ReadEvent(signal, dispid, args))
                                                            receiver.Invoke(dispid, args);
                                                    } catch (...) {
                                                    }
                                                });
            m_eventProxy->finishRegistration();
            m_eventStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (m_eventStop < 0) throw sdbus::Error("org.freedesktop.DBus.Error.NoMemory", "no eventfd");
            m_eventThread = RunEventLoop(*m_eventConnection, m_eventStop);
            cookie = 1;
            return true;
        } catch (const sdbus::Error&) {
            StopEvents();
            return false;
        }
    }

    void Unadvise(uint32_t) override { StopEvents(); }

  private:
    template <typename... Args>
    void Call(const char* method, const Args&... args) {
        std::lock_guard<std::mutex> lock(m_callMutex);
        try {
            auto call = m_proxy->createMethodCall(kOperations, method);
            if constexpr (sizeof...(Args) > 0) (call << ... << args);
            m_proxy->callMethod(call,
                                std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
        } catch (const sdbus::Error& error) {
            Drain();
            // Calls go to the unique name bound: the bus knowing no such name any
            // more means that the process left it for good.
            if (error.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                error.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner")
                m_gone.store(true);
            throw ToAutomationError(error);
        }
        // A synchronous call reads everything that arrived before its reply into
        // the connection's queue; what was not the reply is dealt with now.
        Drain();
    }

    // Processes and drops whatever other bus clients sent to the call connection:
    // standard peer and introspection calls are answered, anything else refused or
    // ignored. Caller holds m_callMutex.
    void Drain() {
        try {
            for (int i = 0; i < kDrainLimit && m_connection->processPendingRequest(); ++i) {
            }
        } catch (...) {
            // The bus is gone; the next call reports it.
        }
    }

    // Between calls, the drain thread watches the call connection so that nothing
    // addressed to it piles up while the console waits for input.
    void StartDrain() {
        m_drainStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_drainStop < 0) return;  // drained around each call only
        try {
            m_drainThread = std::thread([this] { DrainLoop(); });
        } catch (...) {
            ::close(m_drainStop);
            m_drainStop = -1;
        }
    }

    void DrainLoop() {
        try {
            for (;;) {
                sdbus::IConnection::PollData data{};
                {
                    std::lock_guard<std::mutex> lock(m_callMutex);
                    data = m_connection->getEventLoopPollData();
                }
                pollfd fds[2] = {{data.fd, static_cast<short>(data.events | POLLIN), 0},
                                 {m_drainStop, POLLIN, 0}};
                if (::poll(fds, 2, data.getPollTimeout()) < 0 && errno != EINTR) break;
                if (fds[1].revents) return;
                std::lock_guard<std::mutex> lock(m_callMutex);
                if (!m_connection->processPendingRequest()) continue;
                Drain();
            }
        } catch (...) {
            // The bus is gone: nothing more will arrive.
        }
        WaitForStop(m_drainStop);
    }

    void StopDrain() {
        if (m_drainStop < 0) return;
        Signal(m_drainStop);
        if (m_drainThread.joinable()) m_drainThread.join();
        ::close(m_drainStop);
        m_drainStop = -1;
    }

    // Whether the object lists its events interface: an object without it has no
    // connection point for the events.
    bool OffersEvents() {
        std::lock_guard<std::mutex> lock(m_callMutex);
        std::string xml;
        m_proxy->callMethod("Introspect")
            .onInterface("org.freedesktop.DBus.Introspectable")
            .withTimeout(kCallTimeout)
            .storeResultsTo(xml);
        return xml.find(std::string("\"") + kEvents + "\"") != std::string::npos;
    }

    void StopEvents() {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        if (!m_eventConnection) return;
        Signal(m_eventStop);
        try {
            m_eventConnection->leaveEventLoop();
        } catch (...) {
        }
        if (m_eventThread.joinable()) m_eventThread.join();
        if (m_eventStop >= 0) ::close(m_eventStop);
        m_eventStop = -1;
        m_eventProxy.reset();
        m_eventConnection.reset();
    }

    std::mutex m_callMutex;                            // guards the call connection and its proxy
    std::unique_ptr<sdbus::IConnection> m_connection;  // synchronous calls
    std::string m_owner;                               // the unique name found at binding
    std::atomic<bool> m_gone{false};                   // a call found m_owner gone from the bus
    std::unique_ptr<sdbus::IProxy> m_proxy;
    std::thread m_drainThread;
    int m_drainStop = -1;  // eventfd that ends the drain thread

    std::mutex m_eventsMutex;
    std::unique_ptr<sdbus::IConnection> m_eventConnection;  // signals, on its own event-loop thread
    std::unique_ptr<sdbus::IProxy> m_eventProxy;
    std::thread m_eventThread;
    int m_eventStop = -1;  // eventfd that lets the event thread end after its bus went away
};

}  // namespace

std::unique_ptr<link::ISoftphone> BindSoftphone() {
    try {
        auto connection = sdbus::createSessionBusConnection();
        std::string owner = NameOwner(*connection);
        return std::make_unique<DBusSoftphone>(std::move(connection), std::move(owner));
    } catch (const sdbus::Error&) {
        return nullptr;  // no bus, or nobody owns the name
    }
}

}  // namespace quvo::platform
