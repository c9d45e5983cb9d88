// CSoftphoneControl: binding, the presence monitor and the command preconditions.
#include "link/SoftphoneControl.h"

#include <chrono>

#include "base/AutomationError.h"
#include "base/Output.h"
#include "link/EventSink.h"
#include "platform/Presence.h"
#include "platform/SoftphoneBinding.h"

namespace quvo::link {

CSoftphoneControl::Options CSoftphoneControl::PlatformOptions() {
    Options options;
    options.softphone = platform::BindSoftphone();
    options.isSoftphoneRunning = platform::IsSoftphoneRunning;
    options.desktop = platform::MakeDesktop();
    return options;
}

CSoftphoneControl::CSoftphoneControl() : CSoftphoneControl(PlatformOptions()) {}

CSoftphoneControl::CSoftphoneControl(Options options)
    : m_pSoftphone(std::move(options.softphone)),
      m_pDesktop(options.desktop ? std::move(options.desktop) : platform::MakeDesktop()),
      m_isSoftphoneRunning(std::move(options.isSoftphoneRunning)),
      m_pollIntervalMs(options.pollIntervalMs) {
    if (m_pSoftphone) {
        try {
            m_pSoftphone->SetClientActive(1);
            m_pEventSink = std::make_unique<CEventSink>(m_pSoftphone.get(), this);
        } catch (const CAutomationError& error) {
            // A softphone that refuses the client is treated as no softphone at all.
            quvo::PrintEvent("Error : SetClientActive failed - %s", error.Describe().c_str());
            m_pSoftphone.reset();
        }
    }
    m_nConnectionState = 0;
    m_hMonitorThread = std::thread([this] { MonitorThreadProc(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(options.startPauseMs));
}

CSoftphoneControl::~CSoftphoneControl() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bStopRequested = true;
    }
    m_hStopEvent.notify_all();
    if (m_hMonitorThread.joinable()) m_hMonitorThread.join();
    m_pEventSink.reset();
    if (m_pSoftphone) {
        try {
            m_pSoftphone->SetClientActive(0);
        } catch (...) {
            // The softphone may already be gone; nothing is left to tell it.
        }
        m_pSoftphone.reset();
    }
}

ResultCode CSoftphoneControl::CheckPhoneRunning() const {
    return m_isSoftphoneRunning && m_isSoftphoneRunning() ? SUCCESS : ERROR_PHONE_NOT_RUNNING;
}

ResultCode CSoftphoneControl::CheckPreconditions(Precondition precondition) const {
    if (precondition == Precondition::None) return SUCCESS;
    if (!m_pSoftphone) return ERROR_NOT_INITIALIZED;
    return precondition == Precondition::BoundAndRunning ? CheckPhoneRunning() : SUCCESS;
}

void CSoftphoneControl::MonitorThreadProc() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_stopMutex);
            if (m_hStopEvent.wait_for(lock, std::chrono::milliseconds(m_pollIntervalMs),
                                      [this] { return m_bStopRequested; }))
                return;
        }
        const bool running = CheckPhoneRunning() == SUCCESS;
        if (running && m_nConnectionState != 2) {
            m_nConnectionState = 2;
            quvo::PrintEvent("Event : Connected to softphone");
        } else if (!running && m_nConnectionState == 2) {
            m_nConnectionState = 1;
            quvo::PrintEvent("Event : Disconnected from softphone");
        }
    }
}

}  // namespace quvo::link
