// Driving the SIP core: when it runs (its sockets, its next timer, the beat), and how it stops.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <linphone++/linphone.hh>
#include <thread>

#include "CoreWait.h"
#include "DatagramGuard.h"
#include "NullSoundCard.h"
#include "SipEngine.h"
#include "SipEngineParts.h"

namespace quvo::sip {
namespace {

// The core runs when one of its sockets is readable, when its next timer is due (see
// CoreWait.h) and after each operation. While a call exists it also runs every kBusyBeat,
// for what the media threads report (ICE, statistics, received DTMF) and the calls' own
// clocks (their time-outs), which the library keeps in its run rather than in timers; idle,
// at least every kIdleLimit, for what it checks in its run (each run costs about 1 ms of
// CPU: once a second that is 0.1 % of a core). Where the waits cannot be learnt it runs by
// a beat alone: kBusyBeat, and kIdleBeat idle.
constexpr auto kBusyBeat = 20ms;
constexpr auto kIdleLimit = 5000ms;
constexpr auto kIdleBeat = 250ms;
// Readiness that does not go away (a socket the library leaves unread) must not spin the
// loop: after this many wakes in a row, each within kReadyStreakGap of the last, the core
// runs by the beat for one round.
constexpr int kReadyStreakLimit = 100;
constexpr auto kReadyStreakGap = 2ms;
// How many waiting datagrams one beat takes at most, and for how long.
constexpr int kBacklogDatagrams = 512;
constexpr auto kBacklogTime = 100ms;

}  // namespace

// ---- driving the core ---------------------------------------------------------------------------

void SipEngine::Start() {
    if (!core_) {
        host_.StatusChanged(Status());
        return;
    }
    // Without a registrar there is nothing to lose: the call server counts as reached.
    if (!config_.account.HasRegistrar()) SetCallManager(1);
    Schedule(0ms);
    Changed();
}

void SipEngine::Schedule(std::chrono::milliseconds delay) {
    const uint64_t generation = ++tickGeneration_;
    host_.After(delay, [this, generation] {
        if (generation == tickGeneration_) Tick();
    });
}

void SipEngine::Tick() {
    if (!core_ || stopped_) return;
    ++runs_;
    localRegistrar_.Poll();
    Iterate([this] { core_->iterate(); });
    // The core takes one datagram each time it runs: all that waits at the SIP port is taken
    // now, so that a sender of many keeps no caller waiting (bounded, should they never stop).
    const auto until = std::chrono::steady_clock::now() + kBacklogTime;
    for (int n = 0; n < kBacklogDatagrams && SipPortReadable() && std::chrono::steady_clock::now() < until;
         ++n)
        core_->iterate();
    WatchRegistrar();
    Flush();
    Rest();
}

// Until what wakes the core next: a socket of its main loop or of the phone's own (the local
// registrar, the registrar probe), its next timer, the probe's next round, the beat.
void SipEngine::Rest() {
    const bool busy = !calls_.empty() || core_->getCallsNb() > 0;
    CoreWait wait;
    // With every call settled (in talk or held) the beat wakes the core anyway: its sockets as
    // its run polled them serve, and no step of the main loop of its own is spent on its
    // timers. A call on its way up follows them exactly.
    const bool settled =
        busy && std::all_of(calls_.begin(), calls_.end(), [](const auto& entry) {
            const State s = entry.second.call->getState();
            return s == State::StreamsRunning || s == State::Paused || s == State::PausedByRemote;
        });
    const bool learnt = settled
                            ? LastCoreSockets(wait.fds)
                            : LearnCoreWait(wait, static_cast<int>((busy ? kBusyBeat : kIdleLimit).count()));
    if (readyStreak_ >= kReadyStreakLimit || !learnt) {
        readyStreak_ = 0;
        host_.Watch({}, nullptr);
        Schedule(busy ? kBusyBeat : kIdleBeat);
        return;
    }
    for (int fd : {localRegistrar_.Fd(), probe_.Fd()})
        if (fd >= 0) wait.fds.push_back({fd, POLLIN});
    auto delay = std::chrono::milliseconds(wait.timeoutMs < 0 ? (busy ? kBusyBeat : kIdleLimit).count()
                                                              : wait.timeoutMs);
    if (probe_.IsOpen())
        delay = std::min(delay, std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(
                                                  probe_.Next() - std::chrono::steady_clock::now())));
    Schedule(delay);
    host_.Watch(std::move(wait.fds), [this] {
        const auto now = std::chrono::steady_clock::now();
        readyStreak_ = now - lastReady_ < kReadyStreakGap ? readyStreak_ + 1 : 0;
        ++readyWakes_;
        Tick();
        lastReady_ = std::chrono::steady_clock::now();
    });
}

// What the probe of a UDP registrar finds: gone shows at once; back, the phone registers again.
void SipEngine::WatchRegistrar() {
    if (!probe_.IsOpen() || !account_) return;
    const auto now = std::chrono::steady_clock::now();
    switch (probe_.Poll(now)) {
        case RegistrarProbe::Verdict::Gone:
            if (callManager_ != 0) {
                registration_ = "registrar not answering";
                host_.Note(registration_);
                SetCallManager(0);
                Changed();
            }
            break;
        case RegistrarProbe::Verdict::Alive:
            if (callManager_ == 0 && !refused_ && now - lastRefresh_ >= kRegisterRetry &&
                account_->getState() != linphone::RegistrationState::Progress) {
                lastRefresh_ = now;
                account_->refreshRegister();
            }
            break;
        case RegistrarProbe::Verdict::Unknown: break;
    }
}

// Runs the core for a while on its own (while stopping, when no loop timer fires).
void SipEngine::Drain(std::chrono::milliseconds upTo) {
    const auto end = std::chrono::steady_clock::now() + upTo;
    while (std::chrono::steady_clock::now() < end) {
        localRegistrar_.Poll();
        core_->iterate();
        Flush();
        const bool unregistered = !account_ || account_->getState() != linphone::RegistrationState::Ok;
        if (core_->getCallsNb() == 0 && calls_.empty() && unregistered) break;
        std::this_thread::sleep_for(10ms);
    }
}

void SipEngine::Stop() {
    if (!core_ || stopped_) return;
    stopped_ = true;
    ++tickGeneration_;
    if (waiting_.kind != Pending::None) {
        Waiting waiting = std::move(waiting_);
        waiting_ = Waiting{};
        ++waitGeneration_;
        waiting.reply("the phone is closing");
    }
    // End the calls and take the registration back, giving the far ends a moment to hear it.
    for (auto& [ref, record] : calls_) record.line.endedHere = true;
    core_->terminateAllCalls();
    if (account_) {
        auto params = account_->getParams()->clone();
        params->enableRegister(false);
        account_->setParams(params);
    }
    host_.Watch({}, nullptr);
    Drain(1500ms);
    core_->stop();
    core_->removeListener(listener_);
    calls_.clear();
    core_.reset();
    // The library keeps the password in its configuration (passwd=): it goes with the phone.
    ::unlink(rcPath_.c_str());
    if (nullCard_) CloseNullSoundCardRecording();
}

}  // namespace quvo::sip
