// The simulated softphone: one line, its calls and the contact-centre agent.
// Nothing here knows about D-Bus; events and timers go through its host.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "softphone-server/Line.h"

namespace quvo::sim {

using server::Arg;
using server::Args;

// An operation that the softphone refuses; the text becomes the error reply.
using PhoneFailure = server::LineFailure;

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

struct PhoneConfig {
    std::chrono::milliseconds ring{1500};
    std::chrono::milliseconds incomingAfter{0};  // 0: no demo calls
    bool failClientActive = false;
};

class Phone {
  public:
    static constexpr const char* kLineText = "1001";

    Phone(server::EngineHost& host, PhoneConfig config);

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
    // The calls' actions: immediate, or after the ring time.
    class Calls : public server::LineBackend {
      public:
        explicit Calls(Phone& phone) : phone_(phone) {}
        void CheckDestination(const std::string& destination) override;
        int32_t Dial(const std::string& destination) override;
        void Answer(server::LineCall& call) override;
        void Hold(server::LineCall& call) override;
        void Resume(server::LineCall& call) override;
        void HangUp(server::LineCall& call) override;
        void Decline(server::LineCall& call) override;
        void Refer(server::LineCall& call, const std::string& destination) override;
        bool ReferToCall(server::LineCall& held, server::LineCall& consult) override;
        bool Mix(server::LineCall& held, server::LineCall& consult) override;

      private:
        Phone& phone_;
    };

    void End(int32_t ref, bool transferred);
    void ArmDemoCall();
    void Changed();

    server::EngineHost& host_;
    PhoneConfig config_;
    Calls calls_{*this};
    server::Line line_;
    bool clientActive_ = false;
    bool muted_ = false;
    int speakerLevel_ = 5;
    int micLevel_ = 5;
    uint64_t demoGeneration_ = 0;
    int demoCallers_ = 0;
    int32_t agentState_ = kAgentLoggedOut;
    std::string agentId_;
};

}  // namespace quvo::sim
