#include "SipEngine.h"

#include <bctoolbox/logging.h>
#include <linphone/api/c-call-stats.h>
#include <linphone/core.h>

#include <algorithm>
#include <cmath>
#include <linphone++/linphone.hh>

#include "MediaGuard.h"
#include "MessageScreen.h"
#include "SipEngineParts.h"

namespace quvo::sip {
namespace {

// Refused registrations are tried again after kRefusedRetry, doubling up to kRefusedRetryMax.
constexpr std::chrono::milliseconds kRefusedRetry = 60s;
constexpr std::chrono::milliseconds kRefusedRetryMax = 600s;

// How long a transfer or conference waits for the held call's hold to be acknowledged: less
// than the console waits for a reply (5 s).
constexpr auto kHoldWait = 4s;

}  // namespace

// ---- events -------------------------------------------------------------------------------------

void SipEngine::Emit(const Emission& e) {
    if (inOperation_) {
        held_.push_back(e);
        return;
    }
    host_.Send(e.dispid, e.args);
}

void SipEngine::Flush() {
    if (inOperation_) return;
    std::vector<Emission> events;
    events.swap(held_);
    for (const Emission& e : events) host_.Send(e.dispid, e.args);
}

void SipEngine::SetCallManager(int32_t status) {
    if (status == callManager_) return;
    callManager_ = status;
    Emit(kCallManagerStatus, {status});
}

void SipEngine::Changed() {
    host_.StatusChanged(Status());
}

std::string SipEngine::Status() const {
    const std::string line = "Line " + config_.account.user + ": ";
    if (!core_) return line + (startError_.empty() ? "stopped" : "not started (" + startError_ + ")");
    std::string status = line_.Status();
    if (config_.account.HasRegistrar()) status += " - " + registration_;
    return status;
}

// ---- core callbacks -----------------------------------------------------------------------------

SipEngine::Record* SipEngine::Find(const std::shared_ptr<linphone::Call>& call) {
    if (!call) return nullptr;
    for (auto& [ref, record] : calls_)
        if (record.call->cPtr() == call->cPtr()) return &record;
    return nullptr;
}

SipEngine::Record* SipEngine::Find(int32_t ref) {
    auto it = calls_.find(ref);
    return it == calls_.end() ? nullptr : &it->second;
}

void SipEngine::OnCallState(const std::shared_ptr<linphone::Call>& call, int rawState,
                            const std::string& message) {
    const auto state = static_cast<State>(rawState);
    Record* record = Find(call);
    if (!record) {
        if (IsOver(state)) return;
        auto remote = call->getRemoteAddress();
        const std::string number = PartyNumber(remote->getUsername(), remote->getDomain());
        server::LineCall& line = line_.Add(number, call->getDir() == linphone::Call::Dir::Outgoing);
        line.callerId = CallerIdentity(remote->getDisplayName(), number);
        record = &calls_.emplace(line.ref, Record{call, line}).first->second;
    }
    const int32_t ref = record->line.ref;
    // The call's media is taken from its far end's addresses only, as they stand now.
    if (IsOver(state))
        ReleaseMediaSockets(ref);
    else
        GuardCallMedia(ref, *call, mediaServers_);
    if (state == State::Error || state == State::End) {
        const auto reason = call->getReason();
        if (state == State::Error && reason != linphone::Reason::Busy && !record->line.endedHere)
            host_.Note("call " + std::to_string(ref) + " to " + record->line.number + " failed: " + message);
    }

    // Do not disturb: a new call is turned away busy before it shows on the line.
    if (IsRingingIn(state) && record->line.state == -1 && dnd_) {
        record->line.state = kTsIdle;
        call->decline(linphone::Reason::Busy);
        return;
    }
    // Forwarding of every call: it is sent on (302) before it shows on the line.
    if (IsRingingIn(state) && record->line.state == -1 && forwardAll_) {
        record->line.state = kTsIdle;
        std::string error;
        auto target = core_->interpretUrl(DestinationUri(config_.account.forwardAll, config_.account, error));
        if (target && call->redirectTo(target) == 0) {
            host_.Note("call from " + record->line.number + " forwarded to " + target->asStringUriOnly());
            return;
        }
        host_.Note("call from " + record->line.number + " could not be forwarded; it rings here");
        record->line.state = -1;
    }
    // A far end that ends the call while it takes a transfer from this phone (a transferee
    // may hang up on the transferor itself once it calls the new party): the call was handed
    // on, not hung up on.
    if (state == State::End && !record->line.transferred && TransferUnderWay(call->getTransferState()))
        record->line.transferred = true;
    for (const Emission& e : quvo::sip::OnCallState(
             record->line, state, call->getReason(), config_.account.user,
             state == State::Error && call->getErrorInfo() ? call->getErrorInfo()->getProtocolCode() : 0))
        Emit(e);

    if (state == State::Paused && record->resumeWhenPaused) {
        record->resumeWhenPaused = false;
        call->resume();
    }
    // The hold that a transfer or conference waits for is over (acknowledged, or not): it
    // goes on, or fails, outside the core's callback.
    if (waiting_.kind != Pending::None && ref == line_.HeldRef() && state != State::Pausing) {
        const uint64_t generation = waitGeneration_;
        host_.After(0ms, [this, generation] { FinishWaiting(generation, ""); });
    }
    if (IsRingingIn(state) && config_.autoAnswer && record->line.state == kTsRingIn) {
        host_.After(config_.autoAnswerDelay, [this, ref] {
            if (Record* r = Find(ref); r && IsRingingIn(r->call->getState())) {
                try {
                    line_.Answer(ref);
                } catch (const std::exception& e) {
                    host_.Note("call " + std::to_string(ref) + " not answered: " + e.what());
                }
                Schedule(0ms);
            }
        });
    }
    if (state == State::Released ||
        (IsOver(state) && record->line.state == kTsIdle && state != State::Error)) {
        // A consultation that ends leaves nothing to complete.
        line_.Forget(ref);
        if (state == State::Released) {
            calls_.erase(ref);
            line_.Remove(ref);
        }
    }
    if (state == State::Released) {
        // The conference's last member but one: what is left is an ordinary call again.
        int members = 0;
        Record* last = nullptr;
        for (auto& [r, rec] : calls_)
            if (rec.line.conference) {
                ++members;
                last = &rec;
            }
        if (members == 1) {
            last->line.conference = false;
            const int32_t shown = last->line.state;
            last->line.state = -2;
            Emit(LineUpdate(config_.account.user, last->line.ref, shown, last->line.OtherParty(),
                            last->line.outgoing ? 1 : 0));
            last->line.state = shown;
        }
        if (members == 0) conference_.reset();
    }
    Changed();
}

void SipEngine::OnRegistration(int rawState, const std::string& message) {
    const auto state = static_cast<linphone::RegistrationState>(rawState);
    if (!config_.account.HasRegistrar()) {
        // The phone's own registrar: nothing that the call server status should show.
        if (state == linphone::RegistrationState::Failed) host_.Note("local registration failed: " + message);
        return;
    }
    switch (state) {
        case linphone::RegistrationState::Ok:
            registration_ = "registered";
            SetCallManager(1);
            break;
        case linphone::RegistrationState::Failed: {
            const auto info = account_ ? account_->getErrorInfo() : nullptr;
            const int code = info ? info->getProtocolCode() : 0;
            const auto reason = account_ ? account_->getError() : linphone::Reason::None;
            refused_ = code == 401 || code == 403 || code == 407 ||
                       reason == linphone::Reason::Unauthorized || reason == linphone::Reason::Forbidden;
            registration_ = "registration failed (" +
                            (code > 0 ? std::to_string(code) + " " : std::string()) + message + ")";
            if (refused_) {
                ++refusals_;
                const std::string phrase = info ? info->getPhrase() : "";
                const char* why = phrase == kRegisterRedirectRefused
                                      ? "; the registrar sends the registration to another host, which the "
                                        "phone does not follow"
                                  : phrase.rfind(kChallengeUnanswerable, 0) == 0
                                      ? "; the registrar asks for a digest algorithm the phone cannot answer"
                                      : "; the registrar refuses these credentials";
                registration_ +=
                    why + (", next try in " + std::to_string(RetryDelay().count() / 1000) + " s");
            }
            if (callManager_ != 0 || refused_) Say(registration_);  // once, but for each refusal
            SetCallManager(0);
            break;
        }
        case linphone::RegistrationState::Cleared:
        case linphone::RegistrationState::None:
            registration_ = "not registered";
            if (!stopped_) SetCallManager(0);
            break;
        default: return;  // Progress, Refreshing
    }
    if (state == linphone::RegistrationState::Ok) refusals_ = 0, refused_ = false;
    // A lost registration is tried again soon, so that a registrar that comes back is found
    // within seconds (the library's own retry waits a minute); one that refuses the
    // credentials is asked again ever more rarely.
    if (state == linphone::RegistrationState::Failed && !stopped_) {
        const uint64_t generation = ++retryGeneration_;
        host_.After(RetryDelay(), [this, generation] { RetryRegistration(generation); });
    }
    Changed();
}

std::chrono::milliseconds RefusedRetryDelay(int refusals) {
    auto delay = kRefusedRetry;
    for (int n = 1; n < refusals && delay < kRefusedRetryMax; ++n) delay *= 2;
    return std::min(delay, kRefusedRetryMax);
}

std::chrono::milliseconds SipEngine::RetryDelay() const {
    return refused_ ? RefusedRetryDelay(refusals_) : kRegisterRetry;
}

void SipEngine::RetryRegistration(uint64_t generation) {
    if (generation != retryGeneration_ || stopped_ || !account_) return;
    if (account_->getState() == linphone::RegistrationState::Ok) return;
    if (account_->getState() != linphone::RegistrationState::Progress) account_->refreshRegister();
    Schedule(0ms);
    // Not answered at all: the registration never fails, so the next try is set here.
    if (!refused_) host_.After(kRegisterRetry, [this, generation] { RetryRegistration(generation); });
}

void SipEngine::Say(const std::string& text) {
    host_.Note(text);
    bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING, "%s", text.c_str());
}

void SipEngine::OnTransferState(const std::shared_ptr<linphone::Call>& call, int rawState) {
    const auto state = static_cast<State>(rawState);
    Record* record = Find(call);
    if (!record) return;
    if (TransferUnderWay(state) && state != State::OutgoingInit) {
        // The far end took the transfer and is calling the new party: this phone's leg ends.
        record->line.transferred = true;
        record->line.endedHere = true;
        if (!IsOver(call->getState())) call->terminate();
    } else if (state == State::Error) {
        record->line.transferred = false;
        host_.Note("transfer of call " + std::to_string(record->line.ref) + " failed");
    }
}

// ---- operations ---------------------------------------------------------------------------------

void SipEngine::Call(const bus::Method& method, server::Args args, Reply reply) {
    std::string error;
    inOperation_ = true;
    reply_ = &reply;
    replyTaken_ = false;
    try {
        // Without a core the phone can still be told to go.
        if (!core_ && method.id == bus::MethodId::ExitProgram)
            host_.RequestExit();
        else if (!core_ && method.id != bus::MethodId::SetClientActive)
            throw Failure("SIP phone not running: " + startError_);
        else if (core_)
            Dispatch(method, args);
    } catch (const std::exception& e) {
        error = e.what();
    }
    inOperation_ = false;
    reply_ = nullptr;
    if (!replyTaken_) reply(error);
    Flush();
    Changed();
    // Whatever the operation set going is taken up at once, not at the next beat.
    if (core_ && !stopped_) Schedule(0ms);
}

// A transfer or conference completed while the held call's hold is still on its way: the
// library refuses to refer, or to join, a call in that state. The reply waits for the hold's
// answer (then the operation runs), or fails after kHoldWait. False: nothing to wait for.
bool SipEngine::WaitForHold(const server::LineCall& held, Pending kind) {
    const Record* record = Find(held.ref);
    if (!record || record->call->getState() != State::Pausing) return false;
    if (!reply_) throw Failure("the held call's hold is not acknowledged");
    waiting_ = Waiting{kind, std::move(*reply_)};
    replyTaken_ = true;
    const uint64_t generation = ++waitGeneration_;
    host_.After(kHoldWait, [this, generation] {
        FinishWaiting(generation, "the held call's hold was not acknowledged");
    });
    return true;
}

void SipEngine::FinishWaiting(uint64_t generation, const std::string& failure) {
    if (generation != waitGeneration_ || waiting_.kind == Pending::None) return;
    Waiting waiting = std::move(waiting_);
    waiting_ = Waiting{};
    ++waitGeneration_;
    std::string error = failure;
    if (error.empty() && (!core_ || stopped_)) error = "the phone is closing";
    if (error.empty()) {
        inOperation_ = true;
        try {
            if (waiting.kind == Pending::Transfer)
                line_.TransferComplete();
            else
                line_.ConferenceComplete();
        } catch (const std::exception& e) {
            error = e.what();
        }
        inOperation_ = false;
    }
    if (!error.empty()) host_.Note("call " + std::to_string(line_.HeldRef()) + ": " + error);
    waiting.reply(error);
    Flush();
    Changed();
    if (core_ && !stopped_) Schedule(0ms);
}

namespace {
int32_t IntArg(const server::Args& args, size_t i) {
    return i < args.size() && std::holds_alternative<int32_t>(args[i]) ? std::get<int32_t>(args[i]) : 0;
}
std::string TextArg(const server::Args& args, size_t i) {
    return i < args.size() && std::holds_alternative<std::string>(args[i]) ? std::get<std::string>(args[i])
                                                                           : "";
}
constexpr const char* kNoAgent = "this softphone has no contact-centre agent";
}  // namespace

void SipEngine::Dispatch(const bus::Method& method, const server::Args& args) {
    using Op = bus::MethodId;
    switch (method.id) {
        case Op::SetClientActive:
            if (IntArg(args, 0) != 0) {
                // A new client subscribes to the events right after it activates: tell it about
                // the call server a moment later.
                host_.After(300ms, [this] {
                    if (callManager_ >= 0) host_.Send(kCallManagerStatus, {callManager_});
                });
            }
            break;
        case Op::Answer: line_.Answer(IntArg(args, 0)); break;
        case Op::EndCall: line_.EndCall(); break;
        case Op::Hold: line_.Hold(); break;
        case Op::MakeCall: line_.MakeCall(TextArg(args, 0)); break;
        case Op::OffHook: line_.OffHook(); break;
        case Op::OnHook: line_.OnHook(); break;
        case Op::Resume: line_.Resume(IntArg(args, 0)); break;
        case Op::SendDtmf: SendDtmf(TextArg(args, 0)); break;
        case Op::Transfer: line_.Transfer(TextArg(args, 0)); break;
        case Op::ExitProgram:
            host_.After(0ms, [this] {
                Stop();
                host_.RequestExit();
            });
            break;
        case Op::MicVolumeUp: Gain(true, 1); break;
        case Op::MicVolumeDown: Gain(true, -1); break;
        case Op::SpkrVolumeUp: Gain(false, 1); break;
        case Op::SpkrVolumeDown: Gain(false, -1); break;
        case Op::SetMute: SetMute(IntArg(args, 0) != 0); break;
        case Op::Messages:
            if (config_.account.voicemail.empty()) throw Failure("no voicemail number (sVoicemail) is set");
            line_.MakeCall(config_.account.voicemail);
            break;
        case Op::Snapshot: Snapshot(); break;
        case Op::TransferInitiate: line_.Consult(TextArg(args, 0), Pending::Transfer); break;
        case Op::TransferComplete: line_.TransferComplete(); break;
        case Op::ConferenceInitiate: line_.Consult(TextArg(args, 0), Pending::Conference); break;
        case Op::ConferenceComplete: line_.ConferenceComplete(); break;
        case Op::IPCCLogin:
        case Op::IPCCLogout:
        case Op::IPCCSetState:
        case Op::IPCCNotReadyReasons:
        case Op::IPCCLogoutReasons: throw Failure(kNoAgent);
        case Op::Softkey: Softkey(TextArg(args, 0), IntArg(args, 1), IntArg(args, 2)); break;
        case Op::CallStats: CallStats(); break;
    }
}

// The library's gain value acts twice over on the signal (-6 set: -12 dB heard), so each
// step sets half of what is meant.
void SipEngine::Gain(bool microphone, int steps) {
    float& gain = microphone ? micGainDb_ : speakerGainDb_;
    gain = std::clamp(gain + steps * kGainStepDb, kGainMinDb, kGainMaxDb);
    if (microphone)
        core_->setMicGainDb(gain / 2);
    else
        core_->setPlaybackGainDb(gain / 2);
}

void SipEngine::SetMute(bool muted) {
    muted_ = muted;
    core_->enableMic(!muted);
}

// The interarrival jitter of what this phone receives (RFC 3550 6.4.1), in whole
// milliseconds: the library gives it in seconds, as of the last report the phone sent.
int32_t JitterMs(const linphone::CallStats& stats) {
    return static_cast<int32_t>(std::lround(stats.getSenderInterarrivalJitter() * 1000.0f));
}

void SipEngine::CallStats() {
    Record* record = Find(line_.Active());
    if (!record) {
        Emit(kCallStatsUpdate, {int32_t{0}, std::string(), config_.account.user, std::string(), int32_t{0},
                                int32_t{0}, int32_t{0}, int32_t{0}, int32_t{0}, int32_t{0}});
        return;
    }
    auto& call = record->call;
    std::string codec;
    if (auto params = call->getCurrentParams())
        if (auto pt = params->getUsedAudioPayloadType())
            codec = pt->getMimeType() + "/" + std::to_string(pt->getClockRate());
    int32_t sent = 0, received = 0, lost = 0, discarded = 0, jitter = 0;
    if (auto stats = call->getAudioStats()) {
        if (const rtp_stats_t* rtp = linphone_call_stats_get_rtp_stats(stats->cPtr())) {
            sent = static_cast<int32_t>(rtp->packet_sent);
            received = static_cast<int32_t>(rtp->packet_recv);
            lost = static_cast<int32_t>(std::max<int64_t>(rtp->cum_packet_loss, 0));
            discarded = static_cast<int32_t>(rtp->discarded + rtp->outoftime);
        }
        jitter = JitterMs(*stats);
    }
    Emit(kCallStatsUpdate,
         {record->line.ref, codec, config_.account.user, record->line.OtherParty(),
          static_cast<int32_t>(call->getDuration()), sent, received, lost, discarded, jitter});
}

}  // namespace quvo::sip
