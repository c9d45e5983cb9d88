#include "CallLine.h"

namespace quvo::sip {

using State = linphone::Call::State;

Emission LineUpdate(const std::string& lineText, int32_t callRef, int32_t state,
                    const std::string& otherParty, int32_t direction) {
    return {kLineUpdate, server::LineUpdateArgs(lineText, callRef, state, otherParty, direction)};
}

bool IsRingingIn(State state) {
    return state == State::IncomingReceived || state == State::PushIncomingReceived ||
           state == State::IncomingEarlyMedia;
}

bool IsTalking(State state) {
    return state == State::Connected || state == State::StreamsRunning || state == State::Updating ||
           state == State::UpdatedByRemote;
}

bool IsHeld(State state) {
    return state == State::Pausing || state == State::Paused || state == State::PausedByRemote ||
           state == State::Resuming;
}

bool IsOver(State state) {
    return state == State::End || state == State::Error || state == State::Released;
}

int32_t FailureState(linphone::Reason reason, int sipCode) {
    if (sipCode == 404 || sipCode == 484 || sipCode == 604 || reason == linphone::Reason::NotFound ||
        reason == linphone::Reason::AddressIncomplete)
        return kTsInvalidNumber;
    return kTsCongestion;
}

std::vector<Emission> OnCallState(CallLine& line, State state, linphone::Reason reason,
                                  const std::string& lineText, int sipCode) {
    std::vector<Emission> out;
    const int32_t direction = line.outgoing ? 1 : 0;
    auto update = [&](int32_t lineState) {
        if (line.state == lineState) return;
        line.state = lineState;
        out.push_back(LineUpdate(lineText, line.ref, lineState, line.OtherParty(), direction));
    };
    switch (state) {
        case State::IncomingReceived:
        case State::PushIncomingReceived:
        case State::IncomingEarlyMedia:
            if (line.state == -1) out.push_back({kIncomingCall, {line.ref, lineText, line.callerId}});
            update(kTsRingIn);
            break;
        case State::OutgoingProgress:
        case State::OutgoingRinging:
        case State::OutgoingEarlyMedia: update(kTsRingOut); break;
        case State::Connected:
        case State::StreamsRunning:
            update(kTsConnected);
            if (line.outgoing && !line.pickedUp) {
                line.pickedUp = true;
                out.push_back({kPartyPickup, {line.ref}});
            }
            break;
        case State::Pausing:
        case State::Paused:
        case State::PausedByRemote: update(kTsHold); break;
        case State::Error:
            if (line.state == kTsIdle) break;
            if (reason == linphone::Reason::Busy || sipCode == 486 || sipCode == 600) {
                update(kTsBusy);
                out.push_back({kPartyBusy, {line.ref}});
            } else if (!line.endedHere) {
                if (reason == linphone::Reason::Declined) out.push_back({kPartyHangup, {line.ref}});
                // Why a call placed here failed shows on the line before it goes idle.
                if (line.outgoing) update(FailureState(reason, sipCode));
            }
            update(kTsIdle);
            break;
        case State::End:
        case State::Released:
            if (line.state == kTsIdle) break;
            if (line.transferred)
                update(kTsCallTransfer);
            else if (!line.endedHere && line.state != -1)
                out.push_back({kPartyHangup, {line.ref}});
            update(kTsIdle);
            break;
        default: break;  // OutgoingInit, Resuming, Updating, Referred, Idle: nothing new on the line
    }
    return out;
}

}  // namespace quvo::sip
