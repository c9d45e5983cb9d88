// The phone's own conference: the held call and the consultation call joined, mixed in this
// phone so that each party hears the other two and this phone's microphone.
#include <linphone++/linphone.hh>
#include <stdexcept>

#include "SipEngine.h"

namespace quvo::sip {

void SipEngine::ConferenceComplete() {
    if (pending_ != Pending::Conference) throw std::runtime_error("no conference in progress");
    Record* held = Find(heldRef_);
    Record* consult = Find(consultRef_);
    if (!held || !consult || IsOver(held->call->getState()) || IsOver(consult->call->getState()))
        throw std::runtime_error("no conference in progress");
    if (!IsTalking(consult->call->getState()))
        throw std::runtime_error("the third party has not answered yet");
    if (waiting_.kind != Pending::None) throw std::runtime_error("the conference is already being set up");
    if (WaitForHold(*held, Pending::Conference)) return;
    if (!conference_) {
        auto params = core_->createConferenceParams();
        params->enableVideo(false);
        params->enableAudio(true);
        params->enableLocalParticipant(true);
        params->enableOneParticipantConference(false);
        conference_ = core_->createConferenceWithParams(params);
        if (!conference_) throw std::runtime_error("the conference could not be set up");
        conference_->setConferenceAddress(
            linphone::Factory::get()->createAddress(config_.account.ContactUri()));
    }
    // addParticipant's status is not to be trusted (it reports failure for a call that it
    // did add): the call's own conference tells.
    for (Record* record : {held, consult}) {
        if (record->line.conference) continue;
        conference_->addParticipant(record->call);
        record->line.conference = true;
        record->line.state = -2;  // shown afresh, as a member
        Emit(LineUpdate(config_.account.user, record->line.ref, kTsConnected, record->line.OtherParty(),
                        record->line.outgoing ? 1 : 0));
        record->line.state = kTsConnected;
    }
    pending_ = Pending::None;
}

}  // namespace quvo::sip
