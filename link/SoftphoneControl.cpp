// CSoftphoneControl: binding, the presence monitor and the command preconditions.
#include "link/SoftphoneControl.h"

#include <chrono>

#include "base/AutomationError.h"
#include "base/Output.h"
#include "link/EventSink.h"

namespace quvo::link {

CSoftphoneControl::CSoftphoneControl(Options options)
    : m_pDesktop(options.desktop ? std::move(options.desktop) : platform::MakeDesktop()),
      m_bind(std::move(options.bind)),
      m_isSoftphoneRunning(std::move(options.isSoftphoneRunning)),
      m_pollIntervalMs(options.pollIntervalMs) {
    m_pSoftphone.SetFailedCallHook([this] { RequestCheck(); });
    std::unique_ptr<ISoftphone> softphone = options.softphone ? std::move(options.softphone) : CallBind();
    // The softphone seen at start-up counts as its first appearance: once it is
    // bound or has refused the client, the first "Connected" line changes nothing.
    m_bAppearanceHandled = Bind(std::move(softphone)) != BindOutcome::NoObject;
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
    std::shared_ptr<CSoftphoneBinding> binding = m_pSoftphone.Exchange(nullptr);
    if (binding) {
        binding->sink.reset();
        try {
            binding->softphone->SetClientActive(0);
        } catch (...) {
            // The softphone may already be gone; nothing is left to tell it.
        }
    }
}

std::unique_ptr<ISoftphone> CSoftphoneControl::CallBind() const {
    if (!m_bind) return nullptr;
    try {
        return m_bind();
    } catch (...) {
        return nullptr;  // nothing to bind to
    }
}

CSoftphoneControl::BindOutcome CSoftphoneControl::Bind(std::unique_ptr<ISoftphone> softphone) {
    if (!softphone) return BindOutcome::NoObject;
    auto binding = std::make_shared<CSoftphoneBinding>();
    binding->softphone = std::move(softphone);
    try {
        binding->softphone->SetClientActive(1);
    } catch (const CAutomationError& error) {
        // A softphone that refuses the client is treated as no softphone at all.
        quvo::PrintEvent("Error : SetClientActive failed - %s", error.Describe().c_str());
        m_pSoftphone.Exchange(nullptr);
        m_pRefused = std::move(binding->softphone);
        return BindOutcome::Refused;
    }
    m_pRefused.reset();
    binding->sink = std::make_unique<CEventSink>(binding->softphone.get(), this);
    // The binding this one replaces (if any) is released here, outside the lock;
    // a command still running on it keeps it until the command returns.
    m_pSoftphone.Exchange(std::move(binding));
    return BindOutcome::Bound;
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
            m_hStopEvent.wait_for(lock, std::chrono::milliseconds(m_pollIntervalMs),
                                  [this] { return m_bStopRequested || m_bCheckRequested; });
            if (m_bStopRequested) return;
            m_bCheckRequested = false;
        }
        FollowSoftphone();
    }
}

void CSoftphoneControl::RequestCheck() {
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_bCheckRequested = true;
    }
    m_hStopEvent.notify_all();
}

void CSoftphoneControl::FollowSoftphone() {
    const bool running = CheckPhoneRunning() == SUCCESS;
    // A new softphone process may take the lock within one poll of the old one
    // going, or serve the object while another process keeps the lock: the lock
    // never shows that, the fate of the process bound does. Its going is reported
    // and the process that serves now appears below, as after a gap.
    if (running && BoundProcessGone()) {
        ForgetBinding();
        m_bAppearanceHandled = false;
        if (m_nConnectionState == 2) {
            m_nConnectionState = 1;
            quvo::PrintEvent("Event : Disconnected from softphone");
        }
    }
    if (!running) {
        if (m_nConnectionState == 2) {
            m_nConnectionState = 1;
            quvo::PrintEvent("Event : Disconnected from softphone");
        }
        return;
    }
    const bool appeared = m_nConnectionState != 2;
    // A softphone that appears after it was seen gone is a new appearance.
    if (appeared && m_nConnectionState == 1) m_bAppearanceHandled = false;
    // Bound before the line is printed, so that a script that waits for the line
    // finds the softphone ready (as at start-up, a failure line comes first).
    if (!m_bAppearanceHandled) m_bAppearanceHandled = FollowAppearance();
    if (appeared) {
        m_nConnectionState = 2;
        quvo::PrintEvent("Event : Connected to softphone");
    }
}

bool CSoftphoneControl::FollowAppearance() {
    // Bind anew unless the binding still reaches a softphone that serves it (a
    // softphone process that only released and took its lock again, say).
    std::shared_ptr<CSoftphoneBinding> current = m_pSoftphone.Get();
    if (current) {
        bool stillServed = false;
        try {
            stillServed = current->softphone->StillServed();
        } catch (...) {
            stillServed = false;
        }
        if (stillServed) return true;
    }
    ForgetBinding();
    // The softphone may hold its lock before it offers its automation object:
    // then nothing is said and the next poll tries again.
    return Bind(CallBind()) != BindOutcome::NoObject;
}

bool CSoftphoneControl::BoundProcessGone() {
    std::shared_ptr<CSoftphoneBinding> current = m_pSoftphone.Get();
    ISoftphone* watched = current ? current->softphone.get() : m_pRefused.get();
    if (!watched) return false;
    try {
        return watched->ServerGone();
    } catch (...) {
        return false;  // cannot tell
    }
}

void CSoftphoneControl::ForgetBinding() {
    std::shared_ptr<CSoftphoneBinding> current = m_pSoftphone.Get();
    if (current) {
        // The process this binding reached is gone: its event connection is
        // forgotten rather than taken down through the dead softphone.
        if (current->sink) current->sink->Abandon();
        current.reset();
        m_pSoftphone.Exchange(nullptr);
    }
    m_pRefused.reset();
}

}  // namespace quvo::link
