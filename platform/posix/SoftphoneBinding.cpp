// The softphone's automation object on the D-Bus session bus.
#include "platform/SoftphoneBinding.h"

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "base/AutomationError.h"
#include "platform/posix/SoftphoneBus.h"
#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

using bus::kBusName;
using bus::kObjectPath;
constexpr const char* kOperations = bus::kSoftphoneInterface;
constexpr const char* kEvents = bus::kEventsInterface;
constexpr auto kCallTimeout = std::chrono::seconds(5);

// A failed call as the console reports it: the status, the error's name and the
// softphone's text.
link::CAutomationError ToAutomationError(const sdbus::Error& error) {
    const std::string& name = error.getName();
    if (name == bus::kErrorFailed) return {link::kStatusFailed, name, error.getMessage()};
    if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut")
        return {link::kStatusTimeout, name, ""};
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == "org.freedesktop.DBus.Error.Disconnected" || name == "org.freedesktop.DBus.Error.NoServer")
        return {link::kStatusUnavailable, name, ""};
    return {link::kStatusFailed, name, error.getMessage()};
}

// The sd-bus message behind a received signal, read directly: going through
// sdbus::Variant would copy every argument into a message of its own.
struct MessageAccess : sdbus::Message {
    static sd_bus_message* Raw(const sdbus::Message& message) {
        return static_cast<sd_bus_message*>(message.*(&MessageAccess::msg_));
    }
};

// Reads an Event signal's body (i dispid, av args). Arguments are I4, BSTR or
// BOOL; anything else never matches a declared type, so such an event is
// dropped here. False when the body is not what it should be.
bool ReadEvent(const sdbus::Message& signal, int32_t& dispid, link::EventArgs& args) {
    sd_bus_message* message = MessageAccess::Raw(signal);
    if (!message || sd_bus_message_rewind(message, 1) < 0) return false;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_INT32, &dispid) <= 0) return false;
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "v") <= 0) return false;
    for (;;) {
        const int end = sd_bus_message_at_end(message, 0);
        if (end < 0) return false;
        if (end > 0) break;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_peek_type(message, &type, &contents) <= 0 || type != SD_BUS_TYPE_VARIANT ||
            !contents)
            return false;
        if (std::strcmp(contents, "i") == 0) {
            int32_t value = 0;
            if (sd_bus_message_read(message, "v", "i", &value) <= 0) return false;
            args.emplace_back(value);
        } else if (std::strcmp(contents, "s") == 0) {
            const char* value = nullptr;
            if (sd_bus_message_read(message, "v", "s", &value) <= 0 || !value) return false;
            args.emplace_back(Utf8ToWide(value));
        } else if (std::strcmp(contents, "b") == 0) {
            int value = 0;
            if (sd_bus_message_read(message, "v", "b", &value) <= 0) return false;
            args.emplace_back(value != 0);
        } else {
            return false;
        }
    }
    return sd_bus_message_exit_container(message) >= 0;
}

class DBusSoftphone final : public link::ISoftphone, public link::IEventSource {
  public:
    DBusSoftphone(std::unique_ptr<sdbus::IConnection> connection, std::string owner)
        : m_connection(std::move(connection)),
          m_owner(std::move(owner)),
          m_proxy(sdbus::createProxy(*m_connection, m_owner, kObjectPath)) {
        m_proxy->finishRegistration();
    }

    ~DBusSoftphone() override { StopEvents(); }

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
            m_eventConnection->enterEventLoopAsync();
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
        try {
            auto call = m_proxy->createMethodCall(kOperations, method);
            if constexpr (sizeof...(Args) > 0) (call << ... << args);
            m_proxy->callMethod(call,
                                std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
        } catch (const sdbus::Error& error) {
            throw ToAutomationError(error);
        }
    }

    // Whether the object lists its events interface: an object without it has no
    // connection point for the events.
    bool OffersEvents() {
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
        try {
            m_eventConnection->leaveEventLoop();
        } catch (...) {
        }
        m_eventProxy.reset();
        m_eventConnection.reset();
    }

    std::unique_ptr<sdbus::IConnection> m_connection;  // synchronous calls, main thread only
    std::string m_owner;                               // the unique name found at binding
    std::unique_ptr<sdbus::IProxy> m_proxy;

    std::mutex m_eventsMutex;
    std::unique_ptr<sdbus::IConnection> m_eventConnection;  // signals, on its own event-loop thread
    std::unique_ptr<sdbus::IProxy> m_eventProxy;
};

}  // namespace

std::unique_ptr<link::ISoftphone> BindSoftphone() {
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        std::string owner;
        bus->callMethod("GetNameOwner")
            .onInterface("org.freedesktop.DBus")
            .withTimeout(kCallTimeout)
            .withArguments(std::string(kBusName))
            .storeResultsTo(owner);
        bus.reset();
        return std::make_unique<DBusSoftphone>(std::move(connection), std::move(owner));
    } catch (const sdbus::Error&) {
        return nullptr;  // no bus, or nobody owns the name
    }
}

}  // namespace quvo::platform
