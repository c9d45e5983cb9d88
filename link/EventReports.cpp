// The event reports: one "Event : " line for each event the softphone fires.
#include <cstring>

#include "link/EventSink.h"
#include "link/SoftphoneControl.h"
#include "base/Output.h"
#include "platform/Text.h"

namespace quvo::link {

namespace {

template <size_t N>
std::string NameOf(const char* const (&names)[N], int32_t value) {
    const auto index = static_cast<uint32_t>(value);
    return index < N ? names[index] : "";
}

std::string Narrow(const std::wstring& text) {
    return platform::ToNarrow(text);
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
    quvo::Print("Event : PartyHangup,  CallRef=%d\n> ", callRef);
}

void CEventSink::OnPartyBusy(int32_t callRef) {
    quvo::Print("Event : PartyBusy,    CallRef=%d\n> ", callRef);
}

void CEventSink::OnPartyPickup(int32_t callRef) {
    quvo::Print("Event : PartyPickup,  CallRef=%d\n> ", callRef);
}

void CEventSink::OnIncomingCall(int32_t callRef, const std::wstring& line, const std::wstring& callerId) {
    quvo::Print("Event : IncomingCall, CallRef=%d, Line=%s, CallerID=%s\n> ", callRef,
                    Narrow(line).c_str(), Narrow(callerId).c_str());
    if (m_pOwner) m_pOwner->SetCallRef(callRef);
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
    const std::string label =
        platform::EqualsIgnoringCase(lineText2, lineText)
            ? quvo::Format("%d(%s)", line, narrowText.c_str())
            : quvo::Format("%d(%s|%s)", line, narrowText.c_str(), narrowText2.c_str());

    quvo::Print(
        "Event : LineUpdate, Line=%s, Button=%d, State=%d(%s), CallRef=%d, Direction=%s, OtherParty=%s\n> ",
        label.c_str(), button, state, GetLineStateName(state).c_str(), callRef,
        GetDirectionName(direction).c_str(), Narrow(otherParty).c_str());

    // The call that a bare "Answer" answers: the ringing or connected call, none
    // in any other state.
    if (m_pOwner) m_pOwner->SetCallRef(state == 4 || state == 5 ? callRef : 0);
}

void CEventSink::OnSpeedDialUpdate(int32_t number, const std::wstring& text, int32_t /*unused*/,
                                   int32_t button) {
    quvo::Print("Event : SpeedDialUpdate, Speeddial=%d(%s), Button=%d\n> ", number, Narrow(text).c_str(),
                    button);
}

void CEventSink::OnCallParkReturned(const std::wstring& parkedAt) {
    quvo::Print("Event : CallParkReturned, ParkedAt=%s\n> ", Narrow(parkedAt).c_str());
}

void CEventSink::OnCallManagerStatus(int32_t status) {
    if (status == 1) {
        quvo::Print("Event : Connected to CallManager\n> ");
    } else if (status == 0) {
        quvo::Print("Event : Disconnected from CallManager\n> ");
    }
}

void CEventSink::OnConnectionKeepAlive() {
    quvo::Print("Event : ConnectionKeepAlive\n> ");
}

void CEventSink::OnIPCCAgentState(int32_t state, const std::wstring& text) {
    quvo::Print("Event : IPCC agent state %d (%s) %s\n> ", state, GetAgentStateName(state).c_str(),
                    Narrow(text).c_str());
}

void CEventSink::OnIPCCReasonCode(int32_t kind, int32_t code, const std::wstring& text) {
    if (kind == 1) {
        quvo::Print("Event : IPCC Logout Reason Code %d - %s \n> ", code, Narrow(text).c_str());
    } else if (kind == 2) {
        quvo::Print("Event : IPCC NotReady Reason Code %d - %s \n> ", code, Narrow(text).c_str());
    }
}

void CEventSink::OnCallStatsUpdate(int32_t callRef, const std::wstring& codec,
                                   const std::wstring& thisStation, const std::wstring& otherStation,
                                   int32_t callLength, int32_t sent, int32_t received, int32_t lost,
                                   int32_t discarded, int32_t jitter) {
    quvo::Print(
        "Event : CallStatsUpdate, CallRef=%d, Codec=%s, ThisStation=%s, OtherStation=%s, CallLen=%d, "
        "Sent=%d, "
        "Recvd=%d, Lost=%d, Discarded=%d, Jitter=%d\n",
        callRef, Narrow(codec).c_str(), Narrow(thisStation).c_str(), Narrow(otherStation).c_str(), callLength,
        sent, received, lost, discarded, jitter);
}

}  // namespace quvo::link
