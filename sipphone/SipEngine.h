// The SIP phone behind the automation contract: each operation a SIP action of a
// liblinphone core, each event drawn from the core's real call and registration states.
// Everything runs on the bus server's loop thread; the core runs when its sockets or its next
// timer say (CoreWait.h), and after each operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CallLine.h"
#include "LocalRegistrar.h"
#include "MediaGuard.h"
#include "RegistrarProbe.h"
#include "SipSettings.h"
#include "softphone-server/Line.h"

namespace linphone {
class Account;
class Call;
class CallParams;
class CallStats;
class Conference;
class Core;
class NatPolicy;
}  // namespace linphone

namespace quvo::sip {

struct EngineConfig {
    SipAccount account;
    std::string stateDir;     // the core's configuration, data, log and snapshots (created 0700)
    bool noAudio = false;     // the null sound card even when the system has devices
    int toneHz = 440;         // the null card's microphone
    std::string recordPath;   // the null card's speaker
    bool autoAnswer = false;  // answer every incoming call at once (a far end for tests)
    bool quiet = false;       // what the libraries print on standard error goes to the log
    std::chrono::milliseconds autoAnswerDelay{0};
};

// Gain steps of the volume operations: the change that the far end (microphone) or this
// phone's speaker hears per step, and the range.
inline constexpr float kGainStepDb = 3.0f;
inline constexpr float kGainMinDb = -24.0f;
inline constexpr float kGainMaxDb = 12.0f;

// When a registration that the registrar refused (401, 403, 407: the credentials are wrong)
// is tried again after the n-th refusal in a row: a minute later, then twice as long each
// time, up to ten minutes, so that a wrong password never hammers a server (nor locks the
// account).
std::chrono::milliseconds RefusedRetryDelay(int refusals);

// The jitter of a call's received audio in milliseconds (CallStats, the snapshot).
int32_t JitterMs(const linphone::CallStats& stats);

class SipEngine : public server::Engine, private server::LineBackend {
  public:
    SipEngine(server::EngineHost& host, EngineConfig config);
    ~SipEngine() override;

    void Call(const bus::Method& method, server::Args args, Reply reply) override;
    void Start() override;
    void Stop() override;
    std::string Status() const override;

    // How often a socket woke the core, and how often it ran at all (for the tests).
    uint64_t ReadyWakes() const { return readyWakes_; }
    uint64_t Runs() const { return runs_; }

    // Whether the SIP core came up; when not, every operation fails with the reason.
    bool Running() const { return core_ != nullptr; }
    const std::string& StartError() const { return startError_; }

    // Used by the core's listeners.
    struct Listener;
    struct LogSink;

  private:
    // A call of the core, and how it shows on the line.
    struct Record {
        std::shared_ptr<linphone::Call> call;
        server::LineCall& line;
        bool resumeWhenPaused = false;  // Resume came while the hold was still on its way
    };
    using Pending = server::Consultation;
    // A transfer or conference whose reply waits for the held call's hold to be acknowledged.
    struct Waiting {
        Pending kind = Pending::None;
        Reply reply;
    };

    // Core set-up and driving.
    bool OpenCore(std::string& error);
    void SetUpAudio();
    bool SetUpCodecs(std::string& error);
    void SetUpNat();
    void OfferOptionalSrtp(const std::shared_ptr<linphone::CallParams>& params) const;
    void SetUpAccount();
    void Schedule(std::chrono::milliseconds delay);
    void Tick();
    void Rest();
    void WatchRegistrar();
    void Drain(std::chrono::milliseconds upTo);

    // Events: held back while an operation runs, so that its reply goes out first.
    void Emit(const Emission& e);
    void Emit(int32_t dispid, server::Args args) { Emit(Emission{dispid, std::move(args)}); }
    void Flush();
    void Changed();
    void SetCallManager(int32_t status);
    // A line for the log and standard error (the snapshot has the registration's state).
    void Say(const std::string& text);
    std::chrono::milliseconds RetryDelay() const;
    void RetryRegistration(uint64_t generation);

    // Core callbacks.
    void OnCallState(const std::shared_ptr<linphone::Call>& call, int state, const std::string& message);
    void OnRegistration(int state, const std::string& message);
    void OnTransferState(const std::shared_ptr<linphone::Call>& call, int state);

    // Calls.
    Record* Find(const std::shared_ptr<linphone::Call>& call);
    Record* Find(int32_t ref);
    Record* Find(const server::LineCall* line) { return line ? Find(line->ref) : nullptr; }
    Record& Of(server::LineCall& line) { return *Find(line.ref); }

    // What the line's rules ask of the calls (server::LineBackend); a refused one throws
    // std::runtime_error with the reply's text.
    void CheckDestination(const std::string& destination) override;
    int32_t Dial(const std::string& destination) override;
    void Answer(server::LineCall& line) override;
    void Hold(server::LineCall& line) override;
    void Resume(server::LineCall& line) override;
    void HangUp(server::LineCall& line) override;
    void Decline(server::LineCall& line) override;
    void Refer(server::LineCall& line, const std::string& destination) override;
    bool ReferToCall(server::LineCall& held, server::LineCall& consult) override;
    bool Mix(server::LineCall& held, server::LineCall& consult) override;
    bool HeldHere(const server::LineCall& line) const override;

    // Operations.
    void Dispatch(const bus::Method& method, const server::Args& args);
    bool WaitForHold(const server::LineCall& held, Pending kind);
    void FinishWaiting(uint64_t generation, const std::string& error);
    void SendDtmf(const std::string& key);
    void Softkey(const std::string& name, int32_t line, int32_t ref);
    void Gain(bool microphone, int steps);
    void SetMute(bool muted);
    void CallStats();
    void Snapshot();

    server::EngineHost& host_;
    EngineConfig config_;
    std::string startError_;
    std::string rcPath_;  // the library's configuration, written afresh at each start
    std::shared_ptr<linphone::Core> core_;
    std::shared_ptr<linphone::Account> account_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<LogSink> logSink_;
    std::shared_ptr<linphone::Conference> conference_;
    std::shared_ptr<linphone::NatPolicy> natPolicy_;
    std::vector<MediaHost> mediaServers_;  // the STUN/TURN server, whose packets a call's media takes
    LocalRegistrar localRegistrar_;        // peer to peer: the account registers here
    RegistrarProbe probe_;                 // a registrar over UDP: is it there?
    std::chrono::steady_clock::time_point lastRefresh_{};
    std::string audioDevice_;  // the card in use, by the core's name
    bool nullCard_ = false;

    server::Line line_;
    std::map<int32_t, Record> calls_;  // by the line's call reference
    bool muted_ = false;
    bool dnd_ = false;
    bool forwardAll_ = false;  // every incoming call is sent on to sSipForwardAll (302)
    float micGainDb_ = 0;
    float speakerGainDb_ = 0;
    int32_t callManager_ = -1;  // last CallManagerStatus sent
    std::string registration_ = "none";
    bool refused_ = false;  // the registrar refused the credentials at the last try
    int refusals_ = 0;      // refusals in a row
    bool stopped_ = false;

    Waiting waiting_;
    uint64_t waitGeneration_ = 0;

    bool inOperation_ = false;
    Reply* reply_ = nullptr;  // the running operation's reply, for one that waits
    bool replyTaken_ = false;
    std::vector<Emission> held_;
    uint64_t tickGeneration_ = 0;
    uint64_t readyWakes_ = 0;
    uint64_t runs_ = 0;
    int readyStreak_ = 0;  // wakes by readiness in quick succession
    std::chrono::steady_clock::time_point lastReady_{};
    uint64_t retryGeneration_ = 0;
};

}  // namespace quvo::sip
