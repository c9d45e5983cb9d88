// The softphone's line: its calls as the automation contract shows them (references,
// LineUpdate states, the conference), and the rules of the call operations: which call an
// operation acts on, who is held for whom, the consultation that a transfer or conference
// waits on, and the softkeys. The simulated phone and the SIP phone share it; each does the
// calls' actions itself, behind LineBackend, and tells the line what becomes of its calls.
// Nothing here knows about a bus or a platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "Engine.h"

namespace quvo::server {

// An operation that the phone refuses; the text becomes the error reply.
class LineFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr int32_t kLineId = 1;
inline constexpr int32_t kLineButton = 1;

// One call as the line shows it.
struct LineCall {
    int32_t ref = 0;
    std::string number;    // the other party
    std::string callerId;  // "Name <number>", or the number: what IncomingCall announces
    bool outgoing = true;
    int32_t state = -1;        // the last LineUpdate state sent; -1: none yet
    bool pickedUp = false;     // PartyPickup sent
    bool endedHere = false;    // this phone hung up: no PartyHangup
    bool transferred = false;  // handed on by a transfer: TsCallTransfer before TsIdle
    bool conference = false;   // a member of the phone's conference: other party "Conference"
    std::chrono::steady_clock::time_point connectedAt{};

    std::string OtherParty() const { return conference ? "Conference" : number; }
    int32_t Direction() const { return outgoing ? 1 : 0; }
    bool Over() const { return state == kTsIdle; }
};

// The arguments of a LineUpdate of this phone's line.
Args LineUpdateArgs(const std::string& lineText, int32_t callRef, int32_t state,
                    const std::string& otherParty, int32_t direction);

enum class Consultation { None, Transfer, Conference };

// The actions on the phone's calls. Each refuses with LineFailure before it changes anything;
// what it sets going reaches the line through Line::Show and Line::Remove, at once or later.
class LineBackend {
  public:
    virtual ~LineBackend() = default;
    // Refuses a destination that cannot be called.
    virtual void CheckDestination(const std::string& destination) = 0;
    // Places a call; returns its reference (Line::Add), 0 when it has none yet.
    virtual int32_t Dial(const std::string& destination) = 0;
    virtual void Answer(LineCall& call) = 0;
    virtual void Hold(LineCall& call) = 0;
    virtual void Resume(LineCall& call) = 0;
    virtual void HangUp(LineCall& call) = 0;
    virtual void Decline(LineCall& call) = 0;  // a call ringing in
    virtual void Refer(LineCall& call, const std::string& destination) = 0;
    // Hands the held call on to the consulted one, or joins the two in a conference. False:
    // it goes on later, and runs again then (TransferComplete, ConferenceComplete).
    virtual bool ReferToCall(LineCall& held, LineCall& consult) = 0;
    virtual bool Mix(LineCall& held, LineCall& consult) = 0;
    // Whether the call is held by this phone (Resume takes it up).
    virtual bool HeldHere(const LineCall& call) const { return call.state == kTsHold; }
};

class Line {
  public:
    using Emit = std::function<void(int32_t dispid, Args args)>;

    Line(std::string lineText, LineBackend& backend, Emit emit)
        : lineText_(std::move(lineText)), backend_(backend), emit_(std::move(emit)) {}

    // ---- the calls ----
    LineCall& Add(std::string number, bool outgoing);
    LineCall* Find(int32_t ref);
    void Remove(int32_t ref);
    std::map<int32_t, LineCall>& Calls() { return calls_; }
    const std::map<int32_t, LineCall>& Calls() const { return calls_; }
    // Sends the call's LineUpdate when its state changes.
    void Show(LineCall& call, int32_t state);
    // A LineUpdate as it is, for a change that no state of a call shows.
    void Send(int32_t callRef, int32_t state, const std::string& otherParty, int32_t direction);
    // Makes the call a member of the conference, shown afresh as one.
    void ShowAsMember(LineCall& call);

    // The call that EndCall, OnHook and CallStats act on: the newest call in talk, else the
    // newest one being placed (ringing out, busy), else the newest held one; a call ringing
    // in only when there is no other, so that hanging up never takes a waiting call instead
    // of the one in talk.
    LineCall* Active();
    // The newest call in that state.
    LineCall* Latest(int32_t state);
    LineCall* LatestHeldHere();

    // ---- the consultation of a transfer or conference ----
    Consultation Pending() const { return pending_; }
    int32_t HeldRef() const { return heldRef_; }
    int32_t ConsultRef() const { return consultRef_; }
    // A call of the consultation that is gone leaves nothing to complete.
    void Forget(int32_t ref);

    // ---- the operations; a refused one throws LineFailure ----
    void Answer(int32_t ref);  // 0: the newest call ringing in
    void EndCall();
    void Hold();
    void Resume(int32_t ref);  // 0: the newest call held here
    void MakeCall(const std::string& destination);
    void OffHook();
    void OnHook();
    void Transfer(const std::string& destination);
    void Consult(const std::string& destination, Consultation kind);
    void TransferComplete();
    void ConferenceComplete();
    void CancelConsultation();
    // The softkeys of a call (redial, newcall, hold, resume, answer, endcall, transfer,
    // conference, join); false for another name, which is the phone's own.
    bool Softkey(const std::string& lowerName, int32_t callRef);

    // "Line 1001: 1234 (connected), 5550123 (on hold)", "Line 1001: idle".
    std::string Status() const;

  private:
    void HoldTalking(const LineCall* except);
    void TryHold(LineCall& call);
    void EndConference();
    int32_t Dial(const std::string& destination);

    std::string lineText_;
    LineBackend& backend_;
    Emit emit_;
    std::map<int32_t, LineCall> calls_;
    int32_t nextRef_ = 1001;
    Consultation pending_ = Consultation::None;
    int32_t heldRef_ = 0;
    int32_t consultRef_ = 0;
    std::string lastDialled_;
    bool offHook_ = false;
};

}  // namespace quvo::server
