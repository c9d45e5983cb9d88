// The simulated softphone: one line, its calls and the contact-centre agent.
// Nothing here knows about D-Bus; events and timers go through PhoneHost.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "softphone-server/Engine.h"

namespace quvo::sim {

using server::Arg;
using server::Args;

// An operation that the softphone refuses; the text becomes the error reply.
class PhoneFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using enum bus::EventId;
using enum server::LineState;

enum AgentState : int32_t {
    kAgentLoggedOut = 2,
    kAgentNotReady = 3,
    kAgentReady = 4,
    kAgentWork = 5,
    kAgentWorkNotReady = 6,
    kAgentWorkReady = 7,
};

// What the phone needs from its surroundings. All calls happen on the bus thread.
class PhoneHost {
  public:
    virtual ~PhoneHost() = default;
    virtual void Emit(int32_t dispid, Args args) = 0;
    virtual void After(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
    virtual void RequestExit() = 0;
    virtual void StatusChanged(const std::string& status) = 0;
};

struct PhoneConfig {
    std::chrono::milliseconds ring{1500};
    std::chrono::milliseconds incomingAfter{0};  // 0: no demo calls
    bool failClientActive = false;
};

class Phone {
  public:
    static constexpr const char* kLineText = "1001";
    static constexpr int32_t kLine = 1;
    static constexpr int32_t kButton = 1;

    Phone(PhoneHost& host, PhoneConfig config);

    // Operations of the automation interface. A refused operation throws PhoneFailure
    // before it changes anything.
    void SetClientActive(int32_t flag);
    void Answer(int32_t callRef);
    void EndCall();
    void Hold();
    void MakeCall(const std::string& destination);
    void OffHook(int32_t line);
    void OnHook(int32_t line);
    void Resume(int32_t callRef);
    void SendDtmf(const std::string& key);
    void Softkey(const std::string& name, int32_t lineId, int32_t callRef);
    void Transfer(const std::string& destination);
    void TransferInitiate(const std::string& destination);
    void TransferComplete();
    void ExitProgram();
    void SpeakerVolume(int step);
    void MicVolume(int step);
    void SetMute(int32_t flag);
    void Messages();
    void Snapshot();
    void CallStats();
    void ConferenceInitiate(const std::string& destination);
    void ConferenceComplete();
    void AgentLogin(const std::string& agentId, const std::string& password, const std::string& extension);
    void AgentLogout(const std::string& reason);
    void AgentSetState(const std::string& state, const std::string& reason);
    void AgentNotReadyReasons();
    void AgentLogoutReasons();

    // Far-end actions, driven by the control channel or the demo timer.
    int32_t PlaceIncomingCall(const std::string& callerId);
    void HangupFarEnd();

    std::string Status() const;

  private:
    struct Call {
        int32_t ref = 0;
        std::string otherParty;
        int32_t direction = 1;
        int32_t state = kTsIdle;
        std::chrono::steady_clock::time_point connectedAt{};
        bool conference = false;
    };
    enum class Pending { None, Transfer, Conference };

    void Update(Call& call, int32_t state);
    void LineEvent(int32_t callRef, int32_t state, const std::string& otherParty, int32_t direction);
    Call* Find(int32_t ref);
    Call* Active();
    Call* Latest(int32_t state);
    void HoldConnected();
    void End(int32_t ref, bool transferred);
    int32_t Dial(const std::string& destination);
    void CheckDestination(const std::string& destination) const;
    void StartConsultation(const std::string& destination, Pending kind);
    void CancelConsultation();
    void ArmDemoCall();
    void Changed();

    PhoneHost& host_;
    PhoneConfig config_;
    std::map<int32_t, Call> calls_;
    int32_t nextRef_ = 1001;
    Pending pending_ = Pending::None;
    int32_t heldRef_ = 0;
    int32_t consultRef_ = 0;
    std::string lastDialled_;
    bool clientActive_ = false;
    bool offHook_ = false;
    bool muted_ = false;
    int speakerLevel_ = 5;
    int micLevel_ = 5;
    uint64_t demoGeneration_ = 0;
    int demoCallers_ = 0;
    int32_t agentState_ = kAgentLoggedOut;
    std::string agentId_;
};

}  // namespace quvo::sim
