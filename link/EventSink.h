// CEventSink: receives the softphone's events and routes each, by its DISPID, to
// one typed handler through the static EventSinkMap.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/ISoftphone.h"

namespace quvo::link {

class CSoftphoneControl;

// Parameter types of an event, as the softphone declares them.
enum class EventType : uint16_t { Empty = 0, I4 = 3, BSTR = 8, BOOL = 11 };

struct EventCallInfo {
    uint16_t paramCount;
    std::array<EventType, 10> paramTypes;
};

class CEventSink : public IEventReceiver {
  public:
    // Connects to the softphone's events when softphone is not null; on failure
    // prints the connection-failure line and stays unconnected.
    CEventSink(ISoftphone* softphone, CSoftphoneControl* owner);
    ~CEventSink() override;
    CEventSink(const CEventSink&) = delete;
    CEventSink& operator=(const CEventSink&) = delete;

    // Routes one event. Unknown DISPIDs, and events whose arguments do not match
    // the declared count and types, are ignored. Never throws.
    void Invoke(int32_t dispid, const EventArgs& args) override;

    bool IsConnected() const { return m_dwAdviseCookie != kNotConnected; }

    // Forgets the connection without disconnecting it, for a softphone that is
    // gone: its binding's own tear-down releases what is left.
    void Abandon() { m_dwAdviseCookie = kNotConnected; }

    // Event handlers (link/EventReports.cpp).
    void OnPartyHangup(int32_t callRef);
    void OnPartyBusy(int32_t callRef);
    void OnPartyPickup(int32_t callRef);
    void OnIncomingCall(int32_t callRef, const std::wstring& line, const std::wstring& callerId);
    void IgnoreEventNoArgs();
    void IgnoreEventOneArg(int32_t value);
    void IgnoreEventOneBool(bool value);
    void IgnoreEventTwoArgs(const std::wstring& text, int32_t value);
    void IgnoreEventNumberBool(int32_t value, bool flag);
    void IgnoreEventBoolNumber(bool flag, int32_t value);
    void OnLineUpdate(int32_t line, int32_t callRef, const std::wstring& lineText2,
                      const std::wstring& lineText, int32_t state, const std::wstring& otherParty,
                      int32_t direction, int32_t unused, int32_t button);
    void OnSpeedDialUpdate(int32_t number, const std::wstring& text, int32_t unused, int32_t button);
    void OnCallParkReturned(const std::wstring& parkedAt);
    void OnCallManagerStatus(int32_t status);
    void OnConnectionKeepAlive();
    void OnIPCCAgentState(int32_t state, const std::wstring& text);
    void OnIPCCReasonCode(int32_t kind, int32_t code, const std::wstring& text);
    void OnCallStatsUpdate(int32_t callRef, const std::wstring& codec, const std::wstring& thisStation,
                           const std::wstring& otherStation, int32_t callLength, int32_t sent,
                           int32_t received, int32_t lost, int32_t discarded, int32_t jitter);

    static constexpr uint32_t kNotConnected = 0xFEFEFEFE;

  private:
    uint32_t m_dwAdviseCookie = kNotConnected;
    ISoftphone* m_pSoftphone;
    CSoftphoneControl* m_pOwner;
};

// Name tables of the event reports; values outside a table give the empty text.
std::string GetLineStateName(int32_t state);
std::string GetDirectionName(int32_t direction);
std::string GetAgentStateName(int32_t state);

// The DISPID's call description, or null when the map does not list it.
const EventCallInfo* FindEventCallInfo(int32_t dispid);

}  // namespace quvo::link
