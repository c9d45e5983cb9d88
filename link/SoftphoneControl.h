// CSoftphoneControl: the console's one link to the softphone. Every command
// handler is one of its operations; they are defined in the folder of their
// subsystem (console/, commands/call/, commands/program/, commands/mobility/,
// commands/agent/).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/ISoftphone.h"
#include "base/ResultCodes.h"
#include "link/BoundSoftphone.h"
#include "platform/Desktop.h"

namespace quvo::link {

class CSoftphoneControl {
  public:
    // What the object is built from: console/main.cpp wires in the platform's
    // binding and presence probe; tests wire in fakes.
    struct Options {
        // Binds to the running softphone's automation object; null when there is
        // none to bind to. Used at start-up and whenever the softphone appears anew.
        std::function<std::unique_ptr<ISoftphone>()> bind;
        // A binding made beforehand, used at start-up instead of calling bind.
        std::unique_ptr<ISoftphone> softphone;
        std::function<bool()> isSoftphoneRunning;     // the presence probe
        std::unique_ptr<platform::IDesktop> desktop;  // null: the platform's desktop
        int startPauseMs = 200;                       // pause at the end of construction
        int pollIntervalMs = 500;                     // presence monitor period
    };

    explicit CSoftphoneControl(Options options);
    virtual ~CSoftphoneControl();
    CSoftphoneControl(const CSoftphoneControl&) = delete;
    CSoftphoneControl& operator=(const CSoftphoneControl&) = delete;

    // Dispatcher, help and quit (console/Dispatcher.cpp).
    ResultCode ExecuteCommand(std::string line);
    ResultCode Help(std::string command);
    [[noreturn]] ResultCode Quit();
    std::string GetResultCodeName(ResultCode code) const;

    // Presence (link/SoftphoneControl.cpp): 0 when the softphone runs, else 102.
    ResultCode CheckPhoneRunning() const;

    // What a command needs before its handler may run: nothing, a bound softphone
    // (else 101), or a bound softphone that also runs (else 101, then 102).
    enum class Precondition { None, Bound, BoundAndRunning };
    ResultCode CheckPreconditions(Precondition precondition) const;

    // Program control (commands/program/ProgramCommands.cpp).
    ResultCode RunProgram();
    ResultCode ExitProgram();
    ResultCode ShowProgram(int show);

    // Call commands (commands/call/CallCommands.cpp).
    ResultCode MakeCall(std::string destination, std::string unused);
    ResultCode Answer(std::string callRefId);
    ResultCode EndCall();
    ResultCode Hold();
    ResultCode Resume(std::string callRefId);
    ResultCode OffHook(std::string line);
    ResultCode OnHook(std::string line);
    ResultCode Messages();
    ResultCode Snapshot();
    ResultCode CallStats();

    // Transfer and conference (commands/call/TransferCommands.cpp).
    ResultCode Transfer(std::string destination);
    ResultCode TransferInitiate(std::string destination);
    ResultCode TransferComplete();
    ResultCode TransferCancel();
    ResultCode ConferenceInitiate(std::string destination);
    ResultCode ConferenceComplete();
    ResultCode ConferenceCancel();

    // Softkeys, DTMF and audio (commands/call/SoftkeyCommands.cpp).
    ResultCode Softkey(std::string name, std::string lineId, std::string callRefId);
    ResultCode DTMF(std::string keys);
    ResultCode SpkrVolume(int up);
    ResultCode MicVolume(int up);
    ResultCode Mute(std::string onOff);

    // Extension Mobility (commands/mobility/ExtensionMobility.cpp).
    ResultCode EMLogin(std::string userId, std::string password);
    ResultCode EMLogout();

    // Contact-centre agent (commands/agent/AgentCommands.cpp).
    ResultCode IPCCLogin(std::string agentId, std::string password, std::string extension);
    ResultCode IPCCLogout(std::string reason);
    ResultCode IPCCState(std::string state, std::string reason);
    ResultCode IPCCNotReadyReasons();
    ResultCode IPCCLogoutReasons();

    // The remembered call reference that "Answer" without an argument answers.
    int32_t CallRef() const { return m_lCallRef.load(); }
    void SetCallRef(int32_t callRef) { m_lCallRef.store(callRef); }

    bool IsBound() const { return static_cast<bool>(m_pSoftphone); }

  private:
    // What binding one appearance of the softphone came to.
    enum class BindOutcome {
        Bound,     // bound, the client activated and the events connected (or their failure reported)
        Refused,   // the softphone refused SetClientActive(1): reported, unbound until it appears anew
        NoObject,  // no automation object to bind to (yet): tried again at the next poll
    };
    BindOutcome Bind(std::unique_ptr<ISoftphone> softphone);
    std::unique_ptr<ISoftphone> CallBind() const;
    void MonitorThreadProc();
    void FollowSoftphone();
    bool FollowAppearance();  // true when this appearance is bound or refused
    bool BoundProcessGone();  // the process bound (or refused) at its appearance is known gone
    void ForgetBinding();     // drops the binding of a process that is gone
    void RequestCheck();      // lets the monitor poll now (a call failed)

    CBoundSoftphone m_pSoftphone;
    std::unique_ptr<platform::IDesktop> m_pDesktop;
    std::atomic<int32_t> m_lCallRef{0};
    int32_t m_nConnectionState = 0;     // 0 not yet seen, 1 disconnected, 2 connected
    bool m_bAppearanceHandled = false;  // this appearance of the softphone has been bound or refused
    // The softphone that refused the client, kept only to tell when another process
    // takes its place. Touched by the constructor, then by the monitor thread only.
    std::unique_ptr<ISoftphone> m_pRefused;

    std::function<std::unique_ptr<ISoftphone>()> m_bind;
    std::function<bool()> m_isSoftphoneRunning;
    int m_pollIntervalMs;

    std::thread m_hMonitorThread;
    std::mutex m_stopMutex;
    std::condition_variable m_hStopEvent;
    bool m_bStopRequested = false;
    bool m_bCheckRequested = false;
};

}  // namespace quvo::link
