#include "Line.h"

#include <vector>

namespace quvo::server {

Args LineUpdateArgs(const std::string& lineText, int32_t callRef, int32_t state,
                    const std::string& otherParty, int32_t direction) {
    return {kLineId, callRef, lineText, lineText, state, otherParty, direction, int32_t{0}, kLineButton};
}

// ---- the calls ----------------------------------------------------------------------------------

LineCall& Line::Add(std::string number, bool outgoing) {
    LineCall call;
    call.ref = nextRef_++;
    call.number = std::move(number);
    call.callerId = call.number;
    call.outgoing = outgoing;
    return calls_[call.ref] = std::move(call);
}

LineCall* Line::Find(int32_t ref) {
    auto it = calls_.find(ref);
    return it == calls_.end() ? nullptr : &it->second;
}

void Line::Remove(int32_t ref) {
    Forget(ref);
    calls_.erase(ref);
}

void Line::Forget(int32_t ref) {
    if (pending_ != Consultation::None && (ref == heldRef_ || ref == consultRef_))
        pending_ = Consultation::None;
}

void Line::Show(LineCall& call, int32_t state) {
    if (call.state == state) return;
    call.state = state;
    if (state == kTsConnected && call.connectedAt == std::chrono::steady_clock::time_point{})
        call.connectedAt = std::chrono::steady_clock::now();
    Send(call.ref, state, call.OtherParty(), call.Direction());
}

void Line::Send(int32_t callRef, int32_t state, const std::string& otherParty, int32_t direction) {
    emit_(bus::kLineUpdate, LineUpdateArgs(lineText_, callRef, state, otherParty, direction));
}

void Line::ShowAsMember(LineCall& call) {
    call.conference = true;
    call.state = -1;
    Show(call, kTsConnected);
}

LineCall* Line::Active() {
    auto rank = [](int32_t state) {
        switch (state) {
            case kTsConnected: return 3;
            case kTsHold: return 1;
            case kTsRingIn: return 0;
            default: return 2;  // being placed: ringing out, busy
        }
    };
    LineCall* best = nullptr;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (!it->second.Over() && (!best || rank(it->second.state) > rank(best->state))) best = &it->second;
    return best;
}

LineCall* Line::Latest(int32_t state) {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (it->second.state == state) return &it->second;
    return nullptr;
}

LineCall* Line::LatestHeldHere() {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (!it->second.Over() && backend_.HeldHere(it->second)) return &it->second;
    return nullptr;
}

// Puts every call in talk on hold but except (and the conference's members: the conference
// stays as it is). One that cannot be held stays as it is: the operation goes on.
void Line::HoldTalking(const LineCall* except) {
    for (auto& [ref, call] : calls_)
        if (&call != except && !call.conference && call.state == kTsConnected) TryHold(call);
}

void Line::TryHold(LineCall& call) {
    try {
        backend_.Hold(call);
    } catch (const LineFailure&) {
    }
}

void Line::EndConference() {
    std::vector<int32_t> members;
    for (const auto& [ref, call] : calls_)
        if (call.conference && !call.Over()) members.push_back(ref);
    for (int32_t ref : members)
        if (LineCall* call = Find(ref); call && !call->Over()) backend_.HangUp(*call);
}

int32_t Line::Dial(const std::string& destination) {
    const int32_t ref = backend_.Dial(destination);
    lastDialled_ = destination;
    offHook_ = false;
    return ref;
}

std::string Line::Status() const {
    std::string status = "Line " + lineText_ + ": ";
    if (calls_.empty()) return status + (offHook_ ? "off hook" : "idle");
    bool first = true;
    for (const auto& [ref, call] : calls_) {
        const char* name = LineStateText(call.state);
        status += (first ? "" : ", ") + call.OtherParty() + " (" + (name ? name : "calling") + ")";
        first = false;
    }
    return status;
}

// ---- the operations -----------------------------------------------------------------------------

void Line::Answer(int32_t ref) {
    LineCall* call = ref != 0 ? Find(ref) : Latest(kTsRingIn);
    if (!call || call->state != kTsRingIn) throw LineFailure("no such call");
    HoldTalking(call);
    backend_.Answer(*call);
}

void Line::EndCall() {
    LineCall* call = Active();
    if (!call) throw LineFailure("no active call");
    if (call->conference)
        EndConference();
    else
        backend_.HangUp(*call);
}

void Line::Hold() {
    LineCall* call = Latest(kTsConnected);
    if (!call) throw LineFailure("no connected call");
    backend_.Hold(*call);
}

void Line::Resume(int32_t ref) {
    LineCall* call = ref == 0 ? LatestHeldHere() : Find(ref);
    if (!call) throw LineFailure(ref == 0 ? "no held call" : "no such call");
    if (call->Over() || !backend_.HeldHere(*call)) throw LineFailure("call not on hold");
    HoldTalking(call);
    backend_.Resume(*call);
    if (pending_ != Consultation::None && call->ref == heldRef_) pending_ = Consultation::None;
}

void Line::MakeCall(const std::string& destination) {
    backend_.CheckDestination(destination);
    HoldTalking(nullptr);
    Dial(destination);
}

void Line::OffHook() {
    offHook_ = true;
    Send(0, kTsOffHook, "", 1);
}

void Line::OnHook() {
    offHook_ = false;
    LineCall* call = Active();
    const bool ends = call && call->state != kTsHold && call->state != kTsRingIn;
    Send(ends ? call->ref : 0, kTsOnHook, ends ? call->OtherParty() : "", ends ? call->Direction() : 1);
    if (!ends) return;
    if (call->conference)
        EndConference();
    else
        backend_.HangUp(*call);
}

void Line::Transfer(const std::string& destination) {
    backend_.CheckDestination(destination);
    LineCall* call = Latest(kTsConnected);
    if (!call) call = LatestHeldHere();
    if (!call) throw LineFailure("no connected call");
    backend_.Refer(*call, destination);
}

void Line::Consult(const std::string& destination, Consultation kind) {
    if (pending_ != Consultation::None) throw LineFailure("transfer or conference already in progress");
    backend_.CheckDestination(destination);
    LineCall* connected = Latest(kTsConnected);
    if (!connected) throw LineFailure("no connected call");
    const int32_t held = connected->ref;
    if (!connected->conference) TryHold(*connected);
    const int32_t consult = Dial(destination);
    pending_ = kind;
    heldRef_ = held;
    consultRef_ = consult;
}

void Line::TransferComplete() {
    LineCall* held = pending_ == Consultation::Transfer ? Find(heldRef_) : nullptr;
    LineCall* consult = pending_ == Consultation::Transfer ? Find(consultRef_) : nullptr;
    if (!held || !consult || held->Over() || consult->Over()) throw LineFailure("no transfer in progress");
    if (backend_.ReferToCall(*held, *consult)) pending_ = Consultation::None;
}

void Line::ConferenceComplete() {
    LineCall* held = pending_ == Consultation::Conference ? Find(heldRef_) : nullptr;
    LineCall* consult = pending_ == Consultation::Conference ? Find(consultRef_) : nullptr;
    if (!held || !consult || held->Over() || consult->Over()) throw LineFailure("no conference in progress");
    if (backend_.Mix(*held, *consult)) pending_ = Consultation::None;
}

// Ends the consultation call and takes the held call back.
void Line::CancelConsultation() {
    const int32_t held = heldRef_;
    pending_ = Consultation::None;
    if (LineCall* consult = Find(consultRef_); consult && !consult->Over()) backend_.HangUp(*consult);
    if (LineCall* h = Find(held); h && !h->Over() && backend_.HeldHere(*h)) backend_.Resume(*h);
}

bool Line::Softkey(const std::string& name, int32_t callRef) {
    // Without a call reference (the console sends -1) a softkey acts on the call it finds.
    const int32_t ref = callRef > 0 ? callRef : 0;
    if (name == "redial") {
        if (lastDialled_.empty()) throw LineFailure("nothing to redial");
        MakeCall(lastDialled_);
    } else if (name == "newcall") {
        HoldTalking(nullptr);
        OffHook();
    } else if (name == "hold") {
        Hold();
    } else if (name == "resume") {
        Resume(ref);
    } else if (name == "answer") {
        Answer(ref);
    } else if (name == "endcall") {
        // The call named ends (a call ringing in is declined), else a consultation is taken
        // back, else the active call ends.
        if (ref > 0) {
            LineCall* call = Find(ref);
            if (!call || call->Over()) throw LineFailure("no such call");
            if (call->state == kTsRingIn) {
                backend_.Decline(*call);
            } else if (call->conference) {
                EndConference();
            } else {
                Forget(ref);
                backend_.HangUp(*call);
            }
        } else if (pending_ != Consultation::None) {
            CancelConsultation();
        } else {
            EndCall();
        }
    } else if (name == "transfer") {
        if (pending_ != Consultation::Transfer)
            throw LineFailure("no transfer in progress (TransferInitiate first)");
        TransferComplete();
    } else if (name == "conference" || name == "join") {
        if (pending_ == Consultation::None) throw LineFailure("no second call to join");
        pending_ = Consultation::Conference;
        ConferenceComplete();
    } else {
        return false;
    }
    return true;
}

}  // namespace quvo::server
