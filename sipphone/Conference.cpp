// The phone's own conference: the held call and the consultation call joined, mixed in this
// phone so that each party hears the other two and this phone's microphone.
#include <linphone++/linphone.hh>
#include <stdexcept>

#include "SipEngine.h"

namespace quvo::sip {

bool SipEngine::Mix(server::LineCall& heldLine, server::LineCall& consultLine) {
    Record& held = Of(heldLine);
    Record& consult = Of(consultLine);
    if (!IsTalking(consult.call->getState()))
        throw server::LineFailure("the third party has not answered yet");
    if (waiting_.kind != Pending::None) throw server::LineFailure("the conference is already being set up");
    if (WaitForHold(heldLine, Pending::Conference)) return false;
    if (!conference_) {
        auto params = core_->createConferenceParams();
        params->enableVideo(false);
        params->enableAudio(true);
        params->enableLocalParticipant(true);
        params->enableOneParticipantConference(false);
        conference_ = core_->createConferenceWithParams(params);
        if (!conference_) throw server::LineFailure("the conference could not be set up");
        conference_->setConferenceAddress(
            linphone::Factory::get()->createAddress(config_.account.ContactUri()));
    }
    // addParticipant's status is not to be trusted (it reports failure for a call that it
    // did add): the call's own conference tells.
    for (Record* record : {&held, &consult}) {
        if (record->line.conference) continue;
        conference_->addParticipant(record->call);
        line_.ShowAsMember(record->line);
    }
    return true;
}

}  // namespace quvo::sip
