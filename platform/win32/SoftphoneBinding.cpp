// The softphone's automation object over COM: activation of the running softphone's
// class, its operations through the generated ISoftphone interface, and its events
// through its connection point.
#include "platform/SoftphoneBinding.h"

#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <mutex>

#include "platform/win32/ComSoftphone.h"
#include "platform/win32/ComSupport.h"
#include "platform/win32/EventDispatch.h"

namespace quvo::platform {

namespace win32 {

namespace {

// Statuses of a call that never reached a server because the process that served
// the object is gone (it ended, or disconnected its objects on the way out).
bool IsServerGone(HRESULT status) {
    return status == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || status == RPC_E_DISCONNECTED ||
           status == CO_E_OBJNOTCONNECTED || status == RPC_E_SERVER_DIED || status == RPC_E_SERVER_DIED_DNE;
}

class CComSoftphone final : public link::ISoftphone, public link::IEventSource {
  public:
    explicit CComSoftphone(::ISoftphone* softphone) : m_pSoftphone(softphone) { m_pSoftphone->AddRef(); }

    ~CComSoftphone() override {
        EnsureApartment();
        StopEvents();
        // A softphone that died answers at once: its channel is gone.
        m_pSoftphone->Release();
    }

    CComSoftphone(const CComSoftphone&) = delete;
    CComSoftphone& operator=(const CComSoftphone&) = delete;

    void SetClientActive(int32_t flag) override {
        Call([&](::ISoftphone* p) { return p->SetClientActive(flag); });
    }
    void Answer(int32_t callRefId) override {
        Call([&](::ISoftphone* p) { return p->Answer(callRefId); });
    }
    void EndCall() override {
        Call([](::ISoftphone* p) { return p->EndCall(); });
    }
    void Hold() override {
        Call([](::ISoftphone* p) { return p->Hold(); });
    }
    void MakeCall(const std::wstring& destination) override {
        const CBstr text(destination);
        Call([&](::ISoftphone* p) { return p->MakeCall(text.Get()); });
    }
    void OffHook(int32_t line) override {
        Call([&](::ISoftphone* p) { return p->OffHook(line); });
    }
    void OnHook(int32_t line) override {
        Call([&](::ISoftphone* p) { return p->OnHook(line); });
    }
    void Resume(int32_t callRefId) override {
        Call([&](::ISoftphone* p) { return p->Resume(callRefId); });
    }
    void SendDtmf(const std::wstring& key) override {
        const CBstr text(key);
        Call([&](::ISoftphone* p) { return p->SendDtmf(text.Get()); });
    }
    void Softkey(const std::wstring& name, int32_t lineId, int32_t callRefId) override {
        const CBstr text(name);
        Call([&](::ISoftphone* p) { return p->Softkey(text.Get(), lineId, callRefId); });
    }
    void Transfer(const std::wstring& destination) override {
        const CBstr text(destination);
        Call([&](::ISoftphone* p) { return p->Transfer(text.Get()); });
    }
    void TransferInitiate(const std::wstring& destination) override {
        const CBstr text(destination);
        Call([&](::ISoftphone* p) { return p->TransferInitiate(text.Get()); });
    }
    void TransferComplete() override {
        Call([](::ISoftphone* p) { return p->TransferComplete(); });
    }
    void ExitProgram() override {
        Call([](::ISoftphone* p) { return p->ExitProgram(); });
    }
    void SpkrVolumeUp() override {
        Call([](::ISoftphone* p) { return p->SpkrVolumeUp(); });
    }
    void SpkrVolumeDown() override {
        Call([](::ISoftphone* p) { return p->SpkrVolumeDown(); });
    }
    void MicVolumeUp() override {
        Call([](::ISoftphone* p) { return p->MicVolumeUp(); });
    }
    void MicVolumeDown() override {
        Call([](::ISoftphone* p) { return p->MicVolumeDown(); });
    }
    void SetMute(int32_t flag) override {
        Call([&](::ISoftphone* p) { return p->SetMute(flag); });
    }
    void Messages() override {
        Call([](::ISoftphone* p) { return p->Messages(); });
    }
    void Snapshot() override {
        Call([](::ISoftphone* p) { return p->Snapshot(); });
    }
    void CallStats() override {
        Call([](::ISoftphone* p) { return p->CallStats(); });
    }
    void ConferenceInitiate(const std::wstring& destination) override {
        const CBstr text(destination);
        Call([&](::ISoftphone* p) { return p->ConferenceInitiate(text.Get()); });
    }
    void ConferenceComplete() override {
        Call([](::ISoftphone* p) { return p->ConferenceComplete(); });
    }
    void IPCCLogin(const std::wstring& agentId, const std::wstring& password,
                   const std::wstring& extension) override {
        const CBstr agent(agentId);
        const CBstr secret(password);
        const CBstr station(extension);
        Call([&](::ISoftphone* p) { return p->IPCCLogin(agent.Get(), secret.Get(), station.Get()); });
    }
    void IPCCLogout(const std::wstring& reason) override {
        const CBstr text(reason);
        Call([&](::ISoftphone* p) { return p->IPCCLogout(text.Get()); });
    }
    void IPCCSetState(const std::wstring& state, const std::wstring& reason) override {
        const CBstr stateText(state);
        const CBstr reasonText(reason);
        Call([&](::ISoftphone* p) { return p->IPCCSetState(stateText.Get(), reasonText.Get()); });
    }
    void IPCCNotReadyReasons() override {
        Call([](::ISoftphone* p) { return p->IPCCNotReadyReasons(); });
    }
    void IPCCLogoutReasons() override {
        Call([](::ISoftphone* p) { return p->IPCCLogoutReasons(); });
    }

    // Gone once a call found the server gone. While the events are connected, the
    // connection point answers a question of its own at every poll, so a softphone
    // restarted between two polls is found without waiting for a command; without
    // them, only a failed call tells.
    bool ServerGone() override {
        if (m_bGone.load()) return true;
        EnsureApartment();
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        if (!m_pPoint) return false;
        IID events{};
        if (IsServerGone(m_pPoint->GetConnectionInterface(&events))) m_bGone.store(true);
        return m_bGone.load();
    }

    // IConnectionPointContainer, FindConnectionPoint(DIID_ISoftphoneEvents), Advise.
    bool Advise(link::IEventReceiver& receiver, uint32_t& cookie) override {
        EnsureApartment();
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        if (m_pSink) return false;  // one receiver

        IConnectionPointContainer* container = nullptr;
        if (FAILED(m_pSoftphone->QueryInterface(IID_IConnectionPointContainer,
                                                reinterpret_cast<void**>(&container))) ||
            !container)
            return false;
        IConnectionPoint* point = nullptr;
        const HRESULT found = container->FindConnectionPoint(DIID_ISoftphoneEvents, &point);
        container->Release();
        if (FAILED(found) || !point) return false;

        CEventDispatch* sink = CEventDispatch::Create(receiver);
        DWORD connection = 0;
        if (FAILED(point->Advise(static_cast<IDispatch*>(sink), &connection))) {
            point->Release();
            sink->Destroy();
            return false;
        }
        m_pPoint = point;
        m_pSink = sink;
        m_dwCookie = connection;
        cookie = connection;
        return true;
    }

    void Unadvise(uint32_t) override {
        EnsureApartment();
        StopEvents();
    }

  private:
    // Runs one operation; a failure becomes CAutomationError with the softphone's
    // error information (or the system's text for the status).
    template <typename Operation>
    void Call(Operation&& operation) {
        EnsureApartment();
        // Error information left over from an earlier failure must not describe this one.
        ::SetErrorInfo(0, nullptr);
        const HRESULT status = operation(m_pSoftphone);
        if (FAILED(status)) {
            if (IsServerGone(status)) m_bGone.store(true);
            ThrowAutomationFailure(status, m_pSoftphone, IID_ISoftphone);
        }
    }

    // Stops the events first (an event being delivered ends, later ones are
    // dropped), then tells the softphone, then lets the sink go. Failures are ignored.
    void StopEvents() {
        std::lock_guard<std::mutex> lock(m_eventsMutex);
        if (!m_pSink) return;
        m_pSink->Close();
        m_pPoint->Unadvise(m_dwCookie);
        m_pPoint->Release();
        m_pSink->Destroy();
        m_pPoint = nullptr;
        m_pSink = nullptr;
        m_dwCookie = 0;
    }

    ::ISoftphone* m_pSoftphone;
    std::atomic<bool> m_bGone{false};  // a call or the probe found the server gone

    std::mutex m_eventsMutex;
    IConnectionPoint* m_pPoint = nullptr;
    CEventDispatch* m_pSink = nullptr;
    DWORD m_dwCookie = 0;
};

}  // namespace

std::unique_ptr<link::ISoftphone> WrapSoftphone(::ISoftphone* softphone) {
    if (!softphone) return nullptr;
    return std::make_unique<CComSoftphone>(softphone);
}

}  // namespace win32

std::unique_ptr<link::ISoftphone> BindSoftphone() {
    win32::EnsureApartment();
    // The running softphone serves its class; no server is started for the console,
    // so without a softphone this fails at once (REGDB_E_CLASSNOTREG) and the
    // console is unbound.
    ::ISoftphone* softphone = nullptr;
    const HRESULT status = ::CoCreateInstance(CLSID_Softphone, nullptr, CLSCTX_LOCAL_SERVER, IID_ISoftphone,
                                              reinterpret_cast<void**>(&softphone));
    if (FAILED(status) || !softphone) return nullptr;
    auto binding = win32::WrapSoftphone(softphone);
    softphone->Release();
    return binding;
}

}  // namespace quvo::platform
