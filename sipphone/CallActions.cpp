// The line's calls as SIP calls: what the line's rules (softphone-server/Line.h) ask of
// them, done by liblinphone; and this phone's own softkeys.
#include <cctype>
#include <linphone++/linphone.hh>

#include "SipEngine.h"
#include "SipEngineParts.h"

namespace quvo::sip {
namespace {

// How long a blind transfer's leg may wait for the far end to report on the transfer (its
// NOTIFYs can be lost: one that overtakes the 202 to the REFER is turned away by the library,
// and the far end may send no other). Then the leg ends all the same.
constexpr auto kTransferReportWait = 10s;

}  // namespace

// ---- what the line's rules ask of the calls -----------------------------------------------------

void SipEngine::CheckDestination(const std::string& destination) {
    std::string error;
    if (DestinationUri(destination, config_.account, error).empty()) throw Failure(error);
}

int32_t SipEngine::Dial(const std::string& destination) {
    if (config_.account.HasRegistrar() && !account_) throw Failure("no SIP account (" + registration_ + ")");
    std::string error;
    const std::string uri = DestinationUri(destination, config_.account, error);
    if (uri.empty()) throw Failure(error);
    // A secure destination goes out secure or not at all.
    if (Lower(uri).rfind("sips:", 0) == 0 && !config_.account.ProxyUsesTls())
        throw Failure(
            "a sips: destination needs TLS, and no account uses it (sSipProxy with ;transport=tls): "
            "the call is not placed in clear");
    auto address = core_->interpretUrl(uri);
    if (!address) throw Failure("'" + destination + "' is not a SIP destination");
    auto params = core_->createCallParams(nullptr);
    params->enableVideo(false);
    OfferOptionalSrtp(params);
    // To free the sound for a new call the library holds "the current call", and refuses the
    // new one when that cannot be held: a call ringing in. The phone holds its calls itself
    // (the line's rules), so while a call rings in the library is told that the sound is shared.
    const bool ringingIn = line_.Latest(kTsRingIn) != nullptr;
    if (ringingIn) core_->setMediaResourceMode(linphone::MediaResourceMode::SharedMediaResources);
    auto call = core_->inviteAddressWithParams(address, params);
    if (ringingIn) core_->setMediaResourceMode(linphone::MediaResourceMode::ExclusiveMediaResources);
    if (!call || IsOver(call->getState())) throw Failure("call to " + uri + " could not be placed");
    // The call's record appears with its first state, which the core reports while placing it.
    const Record* record = Find(call);
    return record ? record->line.ref : 0;
}

void SipEngine::Answer(server::LineCall& line) {
    Record& record = Of(line);
    auto params = core_->createCallParams(record.call);
    params->enableVideo(false);
    if (record.call->acceptWithParams(params) != 0) throw Failure("the call could not be answered");
}

// A call that cannot be held (one whose re-INVITE is under way) stays as it is when the line
// holds its calls for another; asked for on its own, the refusal is the reply.
void SipEngine::Hold(server::LineCall& line) {
    if (Of(line).call->pause() != 0) throw Failure("the call could not be held");
}

void SipEngine::Resume(server::LineCall& line) {
    Record& record = Of(line);
    if (record.call->getState() == State::Pausing)
        record.resumeWhenPaused = true;
    else if (record.call->resume() != 0)
        throw Failure("the call could not be resumed");
}

void SipEngine::HangUp(server::LineCall& line) {
    line.endedHere = true;
    // A conference's members end together: one that does not end leaves the others to.
    if (Of(line).call->terminate() != 0 && !line.conference) throw Failure("the call could not be ended");
}

void SipEngine::Decline(server::LineCall& line) {
    line.endedHere = true;
    if (Of(line).call->decline(linphone::Reason::Declined) != 0)
        throw Failure("the call could not be declined");
}

bool SipEngine::HeldHere(const server::LineCall& line) const {
    const auto it = calls_.find(line.ref);
    if (it == calls_.end()) return false;
    const State state = it->second.call->getState();
    return state == State::Paused || state == State::Pausing;
}

void SipEngine::Refer(server::LineCall& line, const std::string& destination) {
    std::string error;
    const std::string uri = DestinationUri(destination, config_.account, error);
    auto address = core_->interpretUrl(uri);
    if (!address) throw Failure("'" + destination + "' is not a SIP destination");
    Record& record = Of(line);
    if (record.call->transferTo(address) != 0) throw Failure("transfer rejected");
    // The far end reports on the transfer in NOTIFYs, which end this leg (OnTransferState).
    // Should none arrive, the leg is not left hanging: unless the transfer failed, it ends.
    const int32_t ref = line.ref;
    host_.After(kTransferReportWait, [this, ref] {
        Record* r = Find(ref);
        if (!r || stopped_ || IsOver(r->call->getState())) return;
        if (!TransferUnderWay(r->call->getTransferState())) return;
        host_.Note("call " + std::to_string(ref) + ": no report on its transfer; the call ends");
        r->line.transferred = true;
        r->line.endedHere = true;
        r->call->terminate();
        Schedule(0ms);
    });
}

// The held party is referred to the consulted one, replacing this phone's call to it.
bool SipEngine::ReferToCall(server::LineCall& held, server::LineCall& consult) {
    if (waiting_.kind != Pending::None) throw Failure("the transfer is already under way");
    if (WaitForHold(held, Pending::Transfer)) return false;
    if (Of(held).call->transferToAnother(Of(consult).call) != 0) throw Failure("transfer rejected");
    consult.transferred = true;
    consult.endedHere = true;
    return true;
}

void SipEngine::SendDtmf(const std::string& keys) {
    if (keys.empty()) throw Failure("no key");
    for (char c : keys)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '*' && c != '#' &&
            std::string_view("ABCDabcd").find(c) == std::string_view::npos)
            throw Failure(std::string("'") + c + "' is not a DTMF key");
    Record* record = Find(line_.Latest(kTsConnected));
    if (!record) throw Failure("no connected call");
    std::string upper = keys;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto status = upper.size() == 1 ? record->call->sendDtmf(upper[0]) : record->call->sendDtmfs(upper);
    if (status != 0) throw Failure("the keys could not be sent");
}

// The line's softkeys, then this phone's own.
void SipEngine::Softkey(const std::string& rawName, int32_t line, int32_t ref) {
    (void)line;
    const std::string name = Lower(rawName);
    if (line_.Softkey(name, ref)) return;
    if (name == "dnd") {
        dnd_ = !dnd_;
        host_.Note(std::string("do not disturb ") + (dnd_ ? "on" : "off"));
    } else if (name == "cfwdall") {
        if (config_.account.forwardAll.empty())
            throw Failure("no forwarding destination is set (sSipForwardAll): calls cannot be forwarded");
        forwardAll_ = !forwardAll_;
        host_.Note(forwardAll_ ? "forward all calls on, to " + config_.account.forwardAll
                               : "forward all calls off");
    } else if (name == "mute") {
        SetMute(!muted_);
    } else {
        throw Failure("this softphone has no softkey '" + rawName + "'");
    }
}

}  // namespace quvo::sip
