// How one SIP call shows on the softphone's line: which LineUpdate states, far-end events
// and incoming-call announcements its liblinphone call states give rise to.
#pragma once

#include <cstdint>
#include <linphone++/call.hh>
#include <linphone++/enums.hh>
#include <string>
#include <vector>

#include "softphone-server/Line.h"

namespace quvo::sip {

using enum bus::EventId;
using enum server::LineState;

struct Emission {
    int32_t dispid;
    server::Args args;
};

// What the phone remembers of one call for its events: the line's record of it.
using CallLine = server::LineCall;

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
