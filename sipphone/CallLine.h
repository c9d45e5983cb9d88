// How one SIP call shows on the softphone's line: which LineUpdate states, far-end events
// and incoming-call announcements its liblinphone call states give rise to.
#pragma once

#include <cstdint>
#include <linphone++/call.hh>
#include <linphone++/enums.hh>
#include <string>
#include <vector>

#include "softphone-server/Engine.h"

namespace quvo::sip {

using enum bus::EventId;
using enum server::LineState;

inline constexpr int32_t kLine = 1;
inline constexpr int32_t kButton = 1;

struct Emission {
    int32_t dispid;
    server::Args args;
};

// What the phone remembers of one call for its events.
struct CallLine {
    int32_t ref = 0;
    std::string number;    // the other party's number (user part of its address)
    std::string callerId;  // "Name <number>" or the number
    bool outgoing = true;
    int32_t state = -1;        // the last LineUpdate state sent; -1: none yet
    bool pickedUp = false;     // PartyPickup sent
    bool endedHere = false;    // this phone hung up: no PartyHangup
    bool transferred = false;  // handed on by a transfer: TsCallTransfer before TsIdle
    bool conference = false;   // a member of the phone's conference: other party "Conference"

    std::string OtherParty() const { return conference ? "Conference" : number; }
};

// A LineUpdate of this phone's line (line text: the SIP user).
Emission LineUpdate(const std::string& lineText, int32_t callRef, int32_t state,
                    const std::string& otherParty, int32_t direction);

// The events that a change of the call's state brings, in order; updates line.state. A
// state that shows nothing new (a repeat, a re-INVITE) brings none. sipCode: the final
// answer's status of a call that failed (0: none came).
std::vector<Emission> OnCallState(CallLine& line, linphone::Call::State state, linphone::Reason reason,
                                  const std::string& lineText, int sipCode = 0);

// The line state that shows why a call placed here failed: TsInvalidNumber for a number that
// does not exist (404, 484, 604), TsCongestion for any other failure but busy.
int32_t FailureState(linphone::Reason reason, int sipCode);

// A state in which the call is ringing here, talking, or held (here or by the far end).
bool IsRingingIn(linphone::Call::State state);
bool IsTalking(linphone::Call::State state);
bool IsHeld(linphone::Call::State state);
bool IsOver(linphone::Call::State state);

}  // namespace quvo::sip
