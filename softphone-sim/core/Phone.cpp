#include "Phone.h"

#include <algorithm>

#include "Text.h"

namespace quvo::sim {
namespace {

struct Reason {
    int32_t code;
    const char* text;
};
constexpr Reason kNotReadyReasons[] = {{1, "Break"}, {2, "Lunch"}, {3, "Meeting"}, {4, "Training"}};
constexpr Reason kLogoutReasons[] = {{10, "End of shift"}, {11, "Training"}, {12, "Personal"}};

}  // namespace

Phone::Phone(server::EngineHost& host, PhoneConfig config)
    : host_(host),
      config_(config),
      line_(kLineText, calls_, [this](int32_t dispid, Args args) { host_.Send(dispid, args); }) {}

// ---- the calls' actions -----------------------------------------------------------------------

void Phone::Calls::CheckDestination(const std::string& destination) {
    if (destination.empty()) throw PhoneFailure("no destination");
    if (StartsWithNoCase(destination, "fail")) throw PhoneFailure("call rejected");
}

// Starts an outgoing call; it is answered (or found busy) after the ring time.
int32_t Phone::Calls::Dial(const std::string& destination) {
    Phone& p = phone_;
    server::LineCall& call = p.line_.Add(destination, true);
    const int32_t ref = call.ref;
    ++p.demoGeneration_;
    p.line_.Show(call, kTsRingOut);
    const bool busy = StartsWithNoCase(destination, "busy");
    p.host_.After(p.config_.ring, [&p, ref, busy] {
        server::LineCall* c = p.line_.Find(ref);
        if (!c || c->state != kTsRingOut) return;
        if (!busy) {
            p.line_.Show(*c, kTsConnected);
            p.host_.Send(kPartyPickup, {ref});
            p.Changed();
            return;
        }
        p.line_.Show(*c, kTsBusy);
        p.host_.Send(kPartyBusy, {ref});
        p.Changed();
        // The busy tone ends by itself after another ring time.
        p.host_.After(p.config_.ring, [&p, ref] {
            server::LineCall* b = p.line_.Find(ref);
            if (b && b->state == kTsBusy) p.End(ref, false);
        });
    });
    p.Changed();
    return ref;
}

void Phone::Calls::Answer(server::LineCall& call) {
    phone_.line_.Show(call, kTsConnected);
}

void Phone::Calls::Hold(server::LineCall& call) {
    phone_.line_.Show(call, kTsHold);
}

void Phone::Calls::Resume(server::LineCall& call) {
    phone_.line_.Show(call, kTsConnected);
}

void Phone::Calls::HangUp(server::LineCall& call) {
    phone_.End(call.ref, false);
}

void Phone::Calls::Decline(server::LineCall& call) {
    phone_.End(call.ref, false);
}

void Phone::Calls::Refer(server::LineCall& call, const std::string&) {
    phone_.End(call.ref, true);
}

bool Phone::Calls::ReferToCall(server::LineCall& held, server::LineCall& consult) {
    const int32_t consultRef = consult.ref;
    phone_.End(held.ref, true);
    phone_.End(consultRef, true);
    return true;
}

bool Phone::Calls::Mix(server::LineCall& held, server::LineCall& consult) {
    phone_.line_.ShowAsMember(held);
    phone_.line_.ShowAsMember(consult);
    phone_.Changed();
    return true;
}

void Phone::End(int32_t ref, bool transferred) {
    server::LineCall* call = line_.Find(ref);
    if (!call) return;
    if (transferred) line_.Show(*call, kTsCallTransfer);
    line_.Show(*call, kTsIdle);
    line_.Remove(ref);
    if (line_.Calls().empty()) ArmDemoCall();
    Changed();
}

// Demo mode: an incoming call after the configured idle time while a client is active.
void Phone::ArmDemoCall() {
    if (config_.incomingAfter.count() <= 0 || !clientActive_ || !line_.Calls().empty()) return;
    const uint64_t generation = ++demoGeneration_;
    host_.After(config_.incomingAfter, [this, generation] {
        if (generation != demoGeneration_ || !clientActive_ || !line_.Calls().empty()) return;
        PlaceIncomingCall("555010" + std::to_string(demoCallers_++ % 10));
    });
}

void Phone::Changed() {
    host_.StatusChanged(Status());
}

std::string Phone::Status() const {
    return line_.Status();
}

// ---- operations -------------------------------------------------------------------------------

void Phone::SetClientActive(int32_t flag) {
    if (config_.failClientActive) throw PhoneFailure("client activation refused");
    clientActive_ = flag != 0;
    if (clientActive_) {
        // A new client subscribes to the events right after it activates: tell it
        // about the call server connection a moment later.
        host_.After(std::chrono::milliseconds(300), [this] {
            if (clientActive_) host_.Send(kCallManagerStatus, {int32_t{1}});
        });
        ArmDemoCall();
    } else {
        ++demoGeneration_;
    }
}

void Phone::Answer(int32_t callRef) {
    line_.Answer(callRef);
    Changed();
}

void Phone::EndCall() {
    line_.EndCall();
}

void Phone::Hold() {
    line_.Hold();
    Changed();
}

void Phone::MakeCall(const std::string& destination) {
    line_.MakeCall(destination);
}

void Phone::OffHook(int32_t) {
    line_.OffHook();
    Changed();
}

void Phone::OnHook(int32_t) {
    line_.OnHook();
    Changed();
}

void Phone::Resume(int32_t callRef) {
    line_.Resume(callRef);
    Changed();
}

void Phone::SendDtmf(const std::string&) {}

// A softkey that finds nothing to act on does nothing, as on the real phone, and so does one
// that this phone does not have: every softkey of the console's list is taken.
void Phone::Softkey(const std::string& name, int32_t, int32_t callRef) {
    try {
        line_.Softkey(Lower(name), callRef);
    } catch (const PhoneFailure&) {
    }
    Changed();
}

void Phone::Transfer(const std::string& destination) {
    line_.Transfer(destination);
}

void Phone::TransferInitiate(const std::string& destination) {
    line_.Consult(destination, server::Consultation::Transfer);
}

void Phone::TransferComplete() {
    line_.TransferComplete();
}

void Phone::ConferenceInitiate(const std::string& destination) {
    line_.Consult(destination, server::Consultation::Conference);
}

void Phone::ConferenceComplete() {
    line_.ConferenceComplete();
}

void Phone::ExitProgram() {
    host_.RequestExit();
}

void Phone::SpeakerVolume(int step) {
    speakerLevel_ = std::clamp(speakerLevel_ + step, 0, 10);
}

void Phone::MicVolume(int step) {
    micLevel_ = std::clamp(micLevel_ + step, 0, 10);
}

void Phone::SetMute(int32_t flag) {
    muted_ = flag != 0;
}

void Phone::Messages() {
    MakeCall("voicemail");
}

void Phone::Snapshot() {}

void Phone::CallStats() {
    const server::LineCall* call = line_.Active();
    int32_t seconds = 0;
    if (call && call->connectedAt != std::chrono::steady_clock::time_point{})
        seconds = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::steady_clock::now() - call->connectedAt)
                                           .count());
    const int32_t packets = seconds * 50;
    host_.Send(kCallStatsUpdate, {call ? call->ref : int32_t{0}, std::string(call ? "G.711u" : ""),
                                  std::string(kLineText), call ? call->OtherParty() : std::string(), seconds,
                                  packets, packets > 0 ? packets - 2 : int32_t{0},
                                  packets > 0 ? int32_t{1} : 0, int32_t{0}, call ? int32_t{3} : 0});
}

// ---- contact-centre agent ---------------------------------------------------------------------

void Phone::AgentLogin(const std::string& agentId, const std::string& password, const std::string&) {
    if (agentId.empty()) throw PhoneFailure("no agent id");
    if (password == "bad") throw PhoneFailure("invalid credentials");
    agentId_ = agentId;
    agentState_ = kAgentNotReady;
    host_.Send(kIPCCAgentState, {agentState_, "agent " + agentId_});
}

void Phone::AgentLogout(const std::string&) {
    if (agentState_ == kAgentLoggedOut) throw PhoneFailure("agent not logged in");
    agentState_ = kAgentLoggedOut;
    host_.Send(kIPCCAgentState, {agentState_, "agent " + agentId_});
}

void Phone::AgentSetState(const std::string& state, const std::string&) {
    if (agentState_ == kAgentLoggedOut) throw PhoneFailure("agent not logged in");
    static const std::map<std::string, int32_t> kStates = {
        {"ready", kAgentReady},         {"notready", kAgentNotReady},         {"work", kAgentWork},
        {"workready", kAgentWorkReady}, {"worknotready", kAgentWorkNotReady},
    };
    if (!state.empty()) {
        auto it = kStates.find(Lower(state));
        if (it == kStates.end()) throw PhoneFailure("invalid state");
        agentState_ = it->second;
    }
    host_.Send(kIPCCAgentState, {agentState_, "agent " + agentId_});
}

void Phone::AgentNotReadyReasons() {
    for (const Reason& r : kNotReadyReasons)
        host_.Send(kIPCCReasonCode, {int32_t{2}, r.code, std::string(r.text)});
}

void Phone::AgentLogoutReasons() {
    for (const Reason& r : kLogoutReasons)
        host_.Send(kIPCCReasonCode, {int32_t{1}, r.code, std::string(r.text)});
}

// ---- far end ----------------------------------------------------------------------------------

int32_t Phone::PlaceIncomingCall(const std::string& callerId) {
    server::LineCall& call = line_.Add(callerId, false);
    ++demoGeneration_;
    host_.Send(kIncomingCall, {call.ref, std::string(kLineText), callerId});
    line_.Show(call, kTsRingIn);
    Changed();
    return call.ref;
}

void Phone::HangupFarEnd() {
    const server::LineCall* call = line_.Active();
    if (!call) throw PhoneFailure("no active call");
    const int32_t ref = call->ref;
    host_.Send(kPartyHangup, {ref});
    End(ref, false);
}

}  // namespace quvo::sim
