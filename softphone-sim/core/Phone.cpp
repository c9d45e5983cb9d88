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

Phone::Phone(PhoneHost& host, PhoneConfig config) : host_(host), config_(config) {}

// ---- helpers ----------------------------------------------------------------------------------

void Phone::LineEvent(int32_t callRef, int32_t state, const std::string& otherParty, int32_t direction) {
    host_.Emit(kLineUpdate, {kLine, callRef, std::string(kLineText), std::string(kLineText), state,
                             otherParty, direction, int32_t{0}, kButton});
}

void Phone::Update(Call& call, int32_t state) {
    call.state = state;
    if (state == kTsConnected && call.connectedAt == std::chrono::steady_clock::time_point{})
        call.connectedAt = std::chrono::steady_clock::now();
    LineEvent(call.ref, state, call.otherParty, call.direction);
}

Phone::Call* Phone::Find(int32_t ref) {
    auto it = calls_.find(ref);
    return it == calls_.end() ? nullptr : &it->second;
}

// The call that EndCall, OnHook and CallStats act on: the newest connected call, else the
// newest one being placed (ringing out or busy), else the newest held one; a call ringing
// in only when there is no other, so that hanging up never takes a waiting call instead of
// the one in talk.
Phone::Call* Phone::Active() {
    auto rank = [](int32_t state) {
        switch (state) {
            case kTsConnected: return 3;
            case kTsHold: return 1;
            case kTsRingIn: return 0;
            default: return 2;  // ringing out, busy
        }
    };
    Call* best = nullptr;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (!best || rank(it->second.state) > rank(best->state)) best = &it->second;
    return best;
}

Phone::Call* Phone::Latest(int32_t state) {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->second.state == state) return &it->second;
    return nullptr;
}

void Phone::HoldConnected() {
    for (auto& [ref, call] : calls_)
        if (call.state == kTsConnected) Update(call, kTsHold);
}

void Phone::End(int32_t ref, bool transferred) {
    Call* call = Find(ref);
    if (!call) return;
    if (transferred) Update(*call, kTsCallTransfer);
    Update(*call, kTsIdle);
    calls_.erase(ref);
    if (pending_ != Pending::None && (ref == heldRef_ || ref == consultRef_)) pending_ = Pending::None;
    if (calls_.empty()) ArmDemoCall();
    Changed();
}

void Phone::CheckDestination(const std::string& destination) const {
    if (destination.empty()) throw PhoneFailure("no destination");
    if (StartsWithNoCase(destination, "fail")) throw PhoneFailure("call rejected");
}

// Starts an outgoing call; it is answered (or found busy) after the ring time.
int32_t Phone::Dial(const std::string& destination) {
    lastDialled_ = destination;
    offHook_ = false;
    Call call;
    call.ref = nextRef_++;
    call.otherParty = destination;
    call.direction = 1;
    const int32_t ref = call.ref;
    ++demoGeneration_;
    Update(calls_[ref] = call, kTsRingOut);
    const bool busy = StartsWithNoCase(destination, "busy");
    host_.After(config_.ring, [this, ref, busy] {
        Call* c = Find(ref);
        if (!c || c->state != kTsRingOut) return;
        if (!busy) {
            Update(*c, kTsConnected);
            host_.Emit(kPartyPickup, {ref});
            Changed();
            return;
        }
        Update(*c, kTsBusy);
        host_.Emit(kPartyBusy, {ref});
        Changed();
        // The busy tone ends by itself after another ring time.
        host_.After(config_.ring, [this, ref] {
            Call* b = Find(ref);
            if (b && b->state == kTsBusy) End(ref, false);
        });
    });
    Changed();
    return ref;
}

void Phone::StartConsultation(const std::string& destination, Pending kind) {
    if (pending_ != Pending::None) throw PhoneFailure("transfer or conference already in progress");
    if (destination.empty()) throw PhoneFailure("no destination");
    Call* connected = Latest(kTsConnected);
    if (!connected) throw PhoneFailure("no connected call");
    CheckDestination(destination);
    heldRef_ = connected->ref;
    Update(*connected, kTsHold);
    consultRef_ = Dial(destination);
    pending_ = kind;
}

// Ends the consultation call and takes the held call back.
void Phone::CancelConsultation() {
    const int32_t held = heldRef_;
    pending_ = Pending::None;
    End(consultRef_, false);
    if (Call* c = Find(held); c && c->state == kTsHold) Update(*c, kTsConnected);
    Changed();
}

// Demo mode: an incoming call after the configured idle time while a client is active.
void Phone::ArmDemoCall() {
    if (config_.incomingAfter.count() <= 0 || !clientActive_ || !calls_.empty()) return;
    const uint64_t generation = ++demoGeneration_;
    host_.After(config_.incomingAfter, [this, generation] {
        if (generation != demoGeneration_ || !clientActive_ || !calls_.empty()) return;
        PlaceIncomingCall("555010" + std::to_string(demoCallers_++ % 10));
    });
}

void Phone::Changed() {
    host_.StatusChanged(Status());
}

std::string Phone::Status() const {
    std::string status = std::string("Line ") + kLineText + ": ";
    if (calls_.empty()) return status + (offHook_ ? "off hook" : "idle");
    bool first = true;
    for (const auto& [ref, call] : calls_) {
        const char* name = server::LineStateText(call.state);
        status += (first ? "" : ", ") + call.otherParty + " (" + (name ? name : "?") + ")";
        first = false;
    }
    return status;
}

// ---- operations -------------------------------------------------------------------------------

void Phone::SetClientActive(int32_t flag) {
    if (config_.failClientActive) throw PhoneFailure("client activation refused");
    clientActive_ = flag != 0;
    if (clientActive_) {
        // A new client subscribes to the events right after it activates: tell it
        // about the call server connection a moment later.
        host_.After(std::chrono::milliseconds(300), [this] {
            if (clientActive_) host_.Emit(kCallManagerStatus, {int32_t{1}});
        });
        ArmDemoCall();
    } else {
        ++demoGeneration_;
    }
}

void Phone::Answer(int32_t callRef) {
    Call* call = callRef != 0 ? Find(callRef) : nullptr;
    if (!call || call->state != kTsRingIn) throw PhoneFailure("no such call");
    HoldConnected();
    Update(*call, kTsConnected);
    Changed();
}

void Phone::EndCall() {
    Call* call = Active();
    if (!call) throw PhoneFailure("no active call");
    if (call->conference) {
        std::vector<int32_t> members;
        for (const auto& [ref, c] : calls_)
            if (c.conference) members.push_back(ref);
        for (int32_t ref : members) End(ref, false);
        return;
    }
    End(call->ref, false);
}

void Phone::Hold() {
    Call* call = Latest(kTsConnected);
    if (!call) throw PhoneFailure("no connected call");
    Update(*call, kTsHold);
    Changed();
}

void Phone::MakeCall(const std::string& destination) {
    CheckDestination(destination);
    HoldConnected();
    Dial(destination);
}

void Phone::OffHook(int32_t) {
    offHook_ = true;
    LineEvent(0, kTsOffHook, "", 1);
    Changed();
}

void Phone::OnHook(int32_t) {
    offHook_ = false;
    Call* call = Active();
    const bool ends = call && call->state != kTsHold && call->state != kTsRingIn;
    LineEvent(ends ? call->ref : 0, kTsOnHook, ends ? call->otherParty : "", ends ? call->direction : 1);
    if (ends) End(call->ref, false);
    Changed();
}

void Phone::Resume(int32_t callRef) {
    Call* call = callRef == 0 ? Latest(kTsHold) : Find(callRef);
    if (!call) throw PhoneFailure(callRef == 0 ? "no held call" : "no such call");
    if (call->state != kTsHold) throw PhoneFailure("call not on hold");
    const int32_t ref = call->ref;
    HoldConnected();
    Update(*Find(ref), kTsConnected);
    if (pending_ != Pending::None && ref == heldRef_) pending_ = Pending::None;
    Changed();
}

void Phone::SendDtmf(const std::string&) {}

void Phone::Softkey(const std::string& rawName, int32_t lineId, int32_t callRef) {
    const std::string name = Lower(rawName);
    // A softkey that finds nothing to act on does nothing, as on the real phone.
    try {
        if (name == "hold") {
            if (Latest(kTsConnected)) Hold();
        } else if (name == "resume") {
            Call* call = callRef > 0 ? Find(callRef) : Latest(kTsHold);
            if (call && call->state == kTsHold) Resume(call->ref);
        } else if (name == "endcall") {
            if (pending_ != Pending::None)
                CancelConsultation();
            else if (Active())
                EndCall();
        } else if (name == "answer") {
            Call* call = callRef > 0 ? Find(callRef) : Latest(kTsRingIn);
            if (call && call->state == kTsRingIn) Answer(call->ref);
        } else if (name == "newcall") {
            OffHook(lineId);
        } else if (name == "redial") {
            if (!lastDialled_.empty()) MakeCall(lastDialled_);
        }
    } catch (const PhoneFailure&) {
    }
}

void Phone::Transfer(const std::string& destination) {
    if (destination.empty()) throw PhoneFailure("no destination");
    Call* call = Latest(kTsConnected);
    if (!call) throw PhoneFailure("no connected call");
    if (StartsWithNoCase(destination, "fail")) throw PhoneFailure("transfer rejected");
    End(call->ref, true);
}

void Phone::TransferInitiate(const std::string& destination) {
    StartConsultation(destination, Pending::Transfer);
}

void Phone::TransferComplete() {
    if (pending_ != Pending::Transfer) throw PhoneFailure("no transfer in progress");
    const int32_t held = heldRef_, consult = consultRef_;
    pending_ = Pending::None;
    End(held, true);
    End(consult, true);
}

void Phone::ConferenceInitiate(const std::string& destination) {
    StartConsultation(destination, Pending::Conference);
}

void Phone::ConferenceComplete() {
    if (pending_ != Pending::Conference) throw PhoneFailure("no conference in progress");
    pending_ = Pending::None;
    for (int32_t ref : {heldRef_, consultRef_}) {
        if (Call* call = Find(ref)) {
            call->conference = true;
            call->otherParty = "Conference";
            Update(*call, kTsConnected);
        }
    }
    Changed();
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
    Call* call = Active();
    int32_t seconds = 0;
    if (call && call->connectedAt != std::chrono::steady_clock::time_point{})
        seconds = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::steady_clock::now() - call->connectedAt)
                                           .count());
    const int32_t packets = seconds * 50;
    host_.Emit(kCallStatsUpdate, {call ? call->ref : int32_t{0}, std::string(call ? "G.711u" : ""),
                                  std::string(kLineText), call ? call->otherParty : std::string(), seconds,
                                  packets, packets > 0 ? packets - 2 : int32_t{0},
                                  packets > 0 ? int32_t{1} : 0, int32_t{0}, call ? int32_t{3} : 0});
}

// ---- contact-centre agent ---------------------------------------------------------------------

void Phone::AgentLogin(const std::string& agentId, const std::string& password, const std::string&) {
    if (agentId.empty()) throw PhoneFailure("no agent id");
    if (password == "bad") throw PhoneFailure("invalid credentials");
    agentId_ = agentId;
    agentState_ = kAgentNotReady;
    host_.Emit(kIPCCAgentState, {agentState_, "agent " + agentId_});
}

void Phone::AgentLogout(const std::string&) {
    if (agentState_ == kAgentLoggedOut) throw PhoneFailure("agent not logged in");
    agentState_ = kAgentLoggedOut;
    host_.Emit(kIPCCAgentState, {agentState_, "agent " + agentId_});
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
    host_.Emit(kIPCCAgentState, {agentState_, "agent " + agentId_});
}

void Phone::AgentNotReadyReasons() {
    for (const Reason& r : kNotReadyReasons)
        host_.Emit(kIPCCReasonCode, {int32_t{2}, r.code, std::string(r.text)});
}

void Phone::AgentLogoutReasons() {
    for (const Reason& r : kLogoutReasons)
        host_.Emit(kIPCCReasonCode, {int32_t{1}, r.code, std::string(r.text)});
}

// ---- far end ----------------------------------------------------------------------------------

int32_t Phone::PlaceIncomingCall(const std::string& callerId) {
    Call call;
    call.ref = nextRef_++;
    call.otherParty = callerId;
    call.direction = 0;
    ++demoGeneration_;
    host_.Emit(kIncomingCall, {call.ref, std::string(kLineText), callerId});
    Update(calls_[call.ref] = call, kTsRingIn);
    Changed();
    return call.ref;
}

void Phone::HangupFarEnd() {
    Call* call = Active();
    if (!call) throw PhoneFailure("no active call");
    const int32_t ref = call->ref;
    host_.Emit(kPartyHangup, {ref});
    End(ref, false);
}

}  // namespace quvo::sim
