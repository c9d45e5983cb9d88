// The softphone's automation interface as the console uses it, and its events.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quvo::link {

// Every operation raises CAutomationError (link/AutomationError.h) when the
// softphone reports a failure or cannot be reached. No operation returns data:
// answers come back as events.
class ISoftphone {
  public:
    virtual ~ISoftphone() = default;

    virtual void SetClientActive(int32_t flag) = 0;
    virtual void Answer(int32_t callRefId) = 0;
    virtual void EndCall() = 0;
    virtual void Hold() = 0;
    virtual void MakeCall(const std::wstring& destination) = 0;
    virtual void OffHook(int32_t line) = 0;
    virtual void OnHook(int32_t line) = 0;
    virtual void Resume(int32_t callRefId) = 0;
    virtual void SendDtmf(const std::wstring& key) = 0;
    virtual void Softkey(const std::wstring& name, int32_t lineId, int32_t callRefId) = 0;
    virtual void Transfer(const std::wstring& destination) = 0;
    virtual void TransferInitiate(const std::wstring& destination) = 0;
    virtual void TransferComplete() = 0;
    virtual void ExitProgram() = 0;
    virtual void SpkrVolumeUp() = 0;
    virtual void SpkrVolumeDown() = 0;
    virtual void MicVolumeUp() = 0;
    virtual void MicVolumeDown() = 0;
    virtual void SetMute(int32_t flag) = 0;
    virtual void Messages() = 0;
    virtual void Snapshot() = 0;
    virtual void CallStats() = 0;
    virtual void ConferenceInitiate(const std::wstring& destination) = 0;
    virtual void ConferenceComplete() = 0;
    virtual void IPCCLogin(const std::wstring& agentId, const std::wstring& password,
                           const std::wstring& extension) = 0;
    virtual void IPCCLogout(const std::wstring& reason) = 0;
    virtual void IPCCSetState(const std::wstring& state, const std::wstring& reason) = 0;
    virtual void IPCCNotReadyReasons() = 0;
    virtual void IPCCLogoutReasons() = 0;

    // Whether the softphone process this binding reaches still serves the automation
    // object (asked when the softphone appears again after it was seen gone). A
    // binding that cannot tell answers false and is renewed at every such appearance.
    virtual bool StillServed() { return false; }

    // Whether the softphone process this binding reaches is known to be gone while
    // the presence lock may never have been seen free: a call found its server gone,
    // or another process now serves the softphone in its place. Asked at every poll
    // of the presence monitor and after every failed call, so it costs no more than
    // one short exchange; a binding that cannot tell answers false.
    virtual bool ServerGone() { return false; }
};

// One argument of an event: I4, BSTR or BOOL. Anything else the transport
// delivers arrives as std::monostate and never matches a declared type.
using EventArg = std::variant<std::monostate, int32_t, std::wstring, bool>;
using EventArgs = std::vector<EventArg>;

// What receives the softphone's events, arguments in declaration order.
class IEventReceiver {
  public:
    virtual ~IEventReceiver() = default;
    virtual void Invoke(int32_t dispid, const EventArgs& args) = 0;
};

// The softphone object's connection point for its events. A softphone object that
// does not implement it (or whose Advise fails) offers no events.
class IEventSource {
  public:
    virtual ~IEventSource() = default;
    // Connects receiver; true and a cookie on success. Events may arrive on other
    // threads from the moment this returns.
    virtual bool Advise(IEventReceiver& receiver, uint32_t& cookie) = 0;
    // Disconnects; when this returns no event is being or will be delivered.
    virtual void Unadvise(uint32_t cookie) = 0;
};

}  // namespace quvo::link
