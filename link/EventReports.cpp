// The event reports: one "Event : " line for each event the softphone fires.
#include <cstring>

#include "base/Output.h"
#include "link/EventSink.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo::link {

namespace {

template <size_t N>
std::string NameOf(const char* const (&names)[N], int32_t value) {
    const auto index = static_cast<uint32_t>(value);
    return index < N ? names[index] : "";
}

// Every text in an event comes from the softphone or the far end: one event is
// one line, whatever the text holds.
std::string Narrow(const std::wstring& text) {
    return platform::ToPrintable(text);
}

}  // namespace

std::string GetLineStateName(int32_t state) {
    static const char* const kNames[] = {"TsIdle",         "TsOffHook",
                                         "TsOnHook",       "TsRingOut",
                                         "TsRingIn",       "TsConnected",
                                         "TsBusy",         "TsCongestion",
                                         "TsHold",         "TsCallWaiting",
                                         "TsCallTransfer", "TsCallPark",
                                         "TsProceed",      "TsCallRemoteMultiline",
                                         "TsInvalidNumber"};
    return NameOf(kNames, state);
}

std::string GetDirectionName(int32_t direction) {
    static const char* const kNames[] = {"incoming", "outgoing", "incoming", "incoming"};
    return NameOf(kNames, direction);
}

std::string GetAgentStateName(int32_t state) {
    static const char* const kNames[] = {
        "IPCC unavailable", "Unknown",    "Logged Out", "Not Ready", "Ready",   "Work",
        "Work Not Ready",   "Work Ready", "Talking",    "Hold",      "Reserved"};
    return NameOf(kNames, state);
}

void CEventSink::OnPartyHangup(int32_t callRef) {
    quvo::PrintEvent("Event : PartyHangup,  CallRef=%d", callRef);
}

void CEventSink::OnPartyBusy(int32_t callRef) {
    quvo::PrintEvent("Event : PartyBusy,    CallRef=%d", callRef);
}

void CEventSink::OnPartyPickup(int32_t callRef) {
    quvo::PrintEvent("Event : PartyPickup,  CallRef=%d", callRef);
}

void CEventSink::OnIncomingCall(int32_t callRef, const std::wstring& line, const std::wstring& callerId) {
    // The reference is stored before the line is printed: a script that answers as
    // soon as it reads the line answers this call.
    if (m_pOwner) m_pOwner->SetCallRef(callRef);
    quvo::PrintEvent("Event : IncomingCall, CallRef=%d, Line=%s, CallerID=%s", callRef, Narrow(line).c_str(),
                     Narrow(callerId).c_str());
}

void CEventSink::IgnoreEventNoArgs() {}
void CEventSink::IgnoreEventOneArg(int32_t) {}
void CEventSink::IgnoreEventOneBool(bool) {}
void CEventSink::IgnoreEventTwoArgs(const std::wstring&, int32_t) {}
void CEventSink::IgnoreEventNumberBool(int32_t, bool) {}
void CEventSink::IgnoreEventBoolNumber(bool, int32_t) {}

void CEventSink::OnLineUpdate(int32_t line, int32_t callRef, const std::wstring& lineText2,
                              const std::wstring& lineText, int32_t state, const std::wstring& otherParty,
                              int32_t direction, int32_t /*unused*/, int32_t button) {
    if (state == 0 || state == 1 || state == 2) direction = -1;

    const std::string narrowText = Narrow(lineText);
    const std::string narrowText2 = Narrow(lineText2);
    const std::string label = platform::EqualsIgnoringCase(lineText2, lineText)
                                  ? quvo::Format("%d(%s)", line, narrowText.c_str())
                                  : quvo::Format("%d(%s|%s)", line, narrowText.c_str(), narrowText2.c_str());

    // The call that a bare "Answer" answers: the ringing or connected call, none
    // in any other state. Stored before the line is printed, as for IncomingCall.
    if (m_pOwner) m_pOwner->SetCallRef(state == 4 || state == 5 ? callRef : 0);

    quvo::PrintEvent(
        "Event : LineUpdate, Line=%s, Button=%d, State=%d(%s), CallRef=%d, Direction=%s, OtherParty=%s",
        label.c_str(), button, state, GetLineStateName(state).c_str(), callRef,
        GetDirectionName(direction).c_str(), Narrow(otherParty).c_str());
}

void CEventSink::OnSpeedDialUpdate(int32_t number, const std::wstring& text, int32_t /*unused*/,
                                   int32_t button) {
    quvo::PrintEvent("Event : SpeedDialUpdate, Speeddial=%d(%s), Button=%d", number, Narrow(text).c_str(),
                     button);
}

void CEventSink::OnCallParkReturned(const std::wstring& parkedAt) {
    quvo::PrintEvent("Event : CallParkReturned, ParkedAt=%s", Narrow(parkedAt).c_str());
}

void CEventSink::OnCallManagerStatus(int32_t status) {
    if (status == 1) {
        quvo::PrintEvent("Event : Connected to CallManager");
    } else if (status == 0) {
        quvo::PrintEvent("Event : Disconnected from CallManager");
    }
}

void CEventSink::OnConnectionKeepAlive() {
    quvo::PrintEvent("Event : ConnectionKeepAlive");
}

void CEventSink::OnIPCCAgentState(int32_t state, const std::wstring& text) {
    quvo::PrintEvent("Event : IPCC agent state %d (%s) %s", state, GetAgentStateName(state).c_str(),
                     Narrow(text).c_str());
}

void CEventSink::OnIPCCReasonCode(int32_t kind, int32_t code, const std::wstring& text) {
    if (kind == 1) {
        quvo::PrintEvent("Event : IPCC Logout Reason Code %d - %s ", code, Narrow(text).c_str());
    } else if (kind == 2) {
        quvo::PrintEvent("Event : IPCC NotReady Reason Code %d - %s ", code, Narrow(text).c_str());
    }
}

void CEventSink::OnCallStatsUpdate(int32_t callRef, const std::wstring& codec,
                                   const std::wstring& thisStation, const std::wstring& otherStation,
                                   int32_t callLength, int32_t sent, int32_t received, int32_t lost,
                                   int32_t discarded, int32_t jitter) {
    quvo::PrintEventWithoutPrompt(
        "Event : CallStatsUpdate, CallRef=%d, Codec=%s, ThisStation=%s, OtherStation=%s, CallLen=%d, "
        "Sent=%d, "
        "Recvd=%d, Lost=%d, Discarded=%d, Jitter=%d",
        callRef, Narrow(codec).c_str(), Narrow(thisStation).c_str(), Narrow(otherStation).c_str(), callLength,
        sent, received, lost, discarded, jitter);
}

}  // namespace quvo::link
