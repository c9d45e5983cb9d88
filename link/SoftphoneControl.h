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
#include "platform/Desktop.h"

namespace quvo::link {

class CEventSink;

class CSoftphoneControl {
  public:
    // What the object is built from. The default binds to the running softphone
    // through the platform, probes its presence lock and uses the platform's desktop.
    struct Options {
        std::unique_ptr<ISoftphone> softphone;        // null: unbound
        std::function<bool()> isSoftphoneRunning;     // the presence probe
        std::unique_ptr<platform::IDesktop> desktop;  // null: the platform's desktop
        int startPauseMs = 200;                       // pause at the end of construction
        int pollIntervalMs = 500;                     // presence monitor period
    };
    static Options PlatformOptions();

    CSoftphoneControl();
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

    bool IsBound() const { return m_pSoftphone != nullptr; }

  private:
    void MonitorThreadProc();

    std::unique_ptr<ISoftphone> m_pSoftphone;
    std::unique_ptr<platform::IDesktop> m_pDesktop;
    std::unique_ptr<CEventSink> m_pEventSink;
    std::atomic<int32_t> m_lCallRef{0};
    int32_t m_nConnectionState = 0;  // 0 not yet seen, 1 disconnected, 2 connected

    std::function<bool()> m_isSoftphoneRunning;
    int m_pollIntervalMs;

    std::thread m_hMonitorThread;
    std::mutex m_stopMutex;
    std::condition_variable m_hStopEvent;
    bool m_bStopRequested = false;
};

}  // namespace quvo::link
