#include "ComServer.h"

#include <olectl.h>

#include <atomic>
#include <cstdio>

#include "QUVO.h"
#include "Wide.h"

namespace quvo::sim {
namespace {

std::string Text(BSTR text) {
    return WideToUtf8(text, text ? SysStringLen(text) : 0);
}

// Error information for the calling thread; the console reads its description.
void SetError(const std::string& text) {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return;
    const std::wstring description = Utf8ToWide(text);
    create->SetGUID(IID_ISoftphone);
    create->SetSource(const_cast<LPOLESTR>(L"QUVO.Softphone"));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

// A sink whose process has gone answers with one of these; it is dropped.
bool Disconnected(HRESULT hr) {
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED || hr == RPC_E_SERVER_DIED_DNE ||
           hr == CO_E_OBJNOTCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

}  // namespace

// ---- the COM objects --------------------------------------------------------------------------
// They live as long as the server: reference counts are kept for COM's sake, never to delete.

class EventsConnectionPoint : public IConnectionPoint {
  public:
    EventsConnectionPoint(ComServer& server, IConnectionPointContainer& container)
        : server_(server), container_(container) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = DIID_ISoftphoneEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
        if (!out) return E_POINTER;
        *out = &container_;
        container_.AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        return server_.Advise(sink, cookie);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return server_.Unadvise(cookie); }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

  private:
    ComServer& server_;
    IConnectionPointContainer& container_;
    std::atomic<ULONG> refs_{1};
};

class SoftphoneObject : public ISoftphone, public IConnectionPointContainer, public ISupportErrorInfo {
  public:
    explicit SoftphoneObject(ComServer& server) : server_(server), point_(server, *this) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_ISoftphone)
            *ppv = static_cast<ISoftphone*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo*>(this);
        else if (riid == IID_IConnectionPointContainer && server_.EventsInterface())
            *ppv = static_cast<IConnectionPointContainer*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == IID_ISoftphone ? S_OK : S_FALSE;
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != DIID_ISoftphoneEvents) return CONNECT_E_NOCONNECTION;
        *out = &point_;
        point_.AddRef();
        return S_OK;
    }

    // ISoftphone
    HRESULT STDMETHODCALLTYPE SetClientActive(LONG flag) override {
        return Run(bus::kSetClientActive, {flag});
    }
    HRESULT STDMETHODCALLTYPE Answer(LONG callRefId) override { return Run(bus::kAnswer, {callRefId}); }
    HRESULT STDMETHODCALLTYPE EndCall() override { return Run(bus::kEndCall, {}); }
    HRESULT STDMETHODCALLTYPE Hold() override { return Run(bus::kHold, {}); }
    HRESULT STDMETHODCALLTYPE MakeCall(BSTR destination) override {
        return Run(bus::kMakeCall, {Text(destination)});
    }
    HRESULT STDMETHODCALLTYPE OffHook(LONG line) override { return Run(bus::kOffHook, {line}); }
    HRESULT STDMETHODCALLTYPE OnHook(LONG line) override { return Run(bus::kOnHook, {line}); }
    HRESULT STDMETHODCALLTYPE Resume(LONG callRefId) override { return Run(bus::kResume, {callRefId}); }
    HRESULT STDMETHODCALLTYPE SendDtmf(BSTR key) override { return Run(bus::kSendDtmf, {Text(key)}); }
    HRESULT STDMETHODCALLTYPE Transfer(BSTR destination) override {
        return Run(bus::kTransfer, {Text(destination)});
    }
    HRESULT STDMETHODCALLTYPE ExitProgram() override { return Run(bus::kExitProgram, {}); }
    HRESULT STDMETHODCALLTYPE MicVolumeUp() override { return Run(bus::kMicVolumeUp, {}); }
    HRESULT STDMETHODCALLTYPE MicVolumeDown() override { return Run(bus::kMicVolumeDown, {}); }
    HRESULT STDMETHODCALLTYPE SetMute(LONG flag) override { return Run(bus::kSetMute, {flag}); }
    HRESULT STDMETHODCALLTYPE Messages() override { return Run(bus::kMessages, {}); }
    HRESULT STDMETHODCALLTYPE Snapshot() override { return Run(bus::kSnapshot, {}); }
    HRESULT STDMETHODCALLTYPE TransferInitiate(BSTR destination) override {
        return Run(bus::kTransferInitiate, {Text(destination)});
    }
    HRESULT STDMETHODCALLTYPE TransferComplete() override { return Run(bus::kTransferComplete, {}); }
    HRESULT STDMETHODCALLTYPE SpkrVolumeUp() override { return Run(bus::kSpkrVolumeUp, {}); }
    HRESULT STDMETHODCALLTYPE SpkrVolumeDown() override { return Run(bus::kSpkrVolumeDown, {}); }
    HRESULT STDMETHODCALLTYPE ConferenceInitiate(BSTR destination) override {
        return Run(bus::kConferenceInitiate, {Text(destination)});
    }
    HRESULT STDMETHODCALLTYPE ConferenceComplete() override { return Run(bus::kConferenceComplete, {}); }
    HRESULT STDMETHODCALLTYPE IPCCLogin(BSTR agentId, BSTR password, BSTR extension) override {
        return Run(bus::kIPCCLogin, {Text(agentId), Text(password), Text(extension)});
    }
    HRESULT STDMETHODCALLTYPE IPCCLogout(BSTR reason) override {
        return Run(bus::kIPCCLogout, {Text(reason)});
    }
    HRESULT STDMETHODCALLTYPE IPCCSetState(BSTR state, BSTR reason) override {
        return Run(bus::kIPCCSetState, {Text(state), Text(reason)});
    }
    HRESULT STDMETHODCALLTYPE IPCCNotReadyReasons() override { return Run(bus::kIPCCNotReadyReasons, {}); }
    HRESULT STDMETHODCALLTYPE IPCCLogoutReasons() override { return Run(bus::kIPCCLogoutReasons, {}); }
    HRESULT STDMETHODCALLTYPE Softkey(BSTR name, LONG lineId, LONG callRefId) override {
        return Run(bus::kSoftkey, {Text(name), lineId, callRefId});
    }
    HRESULT STDMETHODCALLTYPE CallStats() override { return Run(bus::kCallStats, {}); }

  private:
    HRESULT Run(const Operation& operation, Args args) { return server_.Call(operation, std::move(args)); }

    ComServer& server_;
    EventsConnectionPoint point_;
    std::atomic<ULONG> refs_{1};
};

class ClassFactory : public IClassFactory {
  public:
    explicit ClassFactory(SoftphoneObject& object) : object_(object) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }

    // Every client gets the one softphone object, as every bus client reaches the one object.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return object_.QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  private:
    SoftphoneObject& object_;
    std::atomic<ULONG> refs_{1};
};

// ---- the server -------------------------------------------------------------------------------

ComServer::ComServer(TaskLoop& loop, ServerConfig config, HANDLE exitEvent)
    : loop_(loop),
      config_(config),
      exitEvent_(exitEvent),
      core_(*this, config.phone),
      object_(std::make_unique<SoftphoneObject>(*this)) {
    sender_ = std::thread(&ComServer::SendEvents, this);
}

ComServer::~ComServer() {
    Close();
}

HRESULT ComServer::Register() {
    if (!factory_) factory_ = std::make_unique<ClassFactory>(*object_);
    return CoRegisterClassObject(CLSID_Softphone, factory_.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                 &classCookie_);
}

void ComServer::Close() {
    if (classCookie_) CoRevokeClassObject(classCookie_);
    classCookie_ = 0;
    std::vector<Sink> sinks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ && !sender_.joinable()) return;
        closing_ = true;
        changed_.notify_all();
    }
    if (sender_.joinable()) sender_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sinks.swap(sinks_);
    }
    for (const Sink& sink : sinks) sink.dispatch->Release();
    // Clients still holding the object get RPC_E_DISCONNECTED rather than a hang.
    CoDisconnectObject(static_cast<ISoftphone*>(object_.get()), 0);
}

HRESULT ComServer::Call(const Operation& operation, Args args) {
    const Operation* op = &operation;
    struct Result {
        bool done = false;
        std::string error;
    };
    auto result = std::make_shared<Result>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) result->error = "the softphone is closing";
    }
    if (result->error.empty()) {
        loop_.Post([this, op, args = std::move(args), result]() mutable {
            core_.Call(*op, std::move(args), [this, result](const std::string& error) {
                std::lock_guard<std::mutex> lock(mutex_);
                result->done = true;
                result->error = error;
                changed_.notify_all();
            });
        });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return result->done || closing_; });
        if (!result->done) result->error = "the softphone is closing";
    }
    if (result->error.empty()) return S_OK;
    SetError(result->error);
    return E_FAIL;
}

bool ComServer::RunOnLoop(const std::function<void(SimCore&, std::function<void()> done)>& fn) {
    auto done = std::make_shared<bool>(false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return false;
    }
    loop_.Post([this, fn, done] {
        fn(core_, [this, done] {
            std::lock_guard<std::mutex> lock(mutex_);
            *done = true;
            changed_.notify_all();
        });
    });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return *done || closing_; });
    return *done;
}

HRESULT ComServer::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    if (FAILED(sink->QueryInterface(DIID_ISoftphoneEvents, reinterpret_cast<void**>(&dispatch))) || !dispatch)
        return CONNECT_E_CANNOTCONNECT;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
        dispatch->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    *cookie = nextCookie_++;
    sinks_.push_back({*cookie, dispatch});
    return S_OK;
}

HRESULT ComServer::Unadvise(DWORD cookie) {
    IDispatch* dispatch = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
            if (it->cookie != cookie) continue;
            dispatch = it->dispatch;
            sinks_.erase(it);
            break;
        }
    }
    if (!dispatch) return CONNECT_E_NOCONNECTION;
    dispatch->Release();
    return S_OK;
}

// ---- EngineHost ---------------------------------------------------------------------------------

void ComServer::Send(int32_t dispid, const Args& args) {
    if (!config_.eventsInterface) return;
    if (onEvent_) onEvent_(FormatCall(std::to_string(dispid), args));
    std::lock_guard<std::mutex> lock(mutex_);
    events_.emplace_back(dispid, args);
    changed_.notify_all();
}

void ComServer::SendEvents() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (;;) {
        std::pair<int32_t, Args> event;
        std::vector<Sink> sinks;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || !events_.empty(); });
            if (closing_) break;
            event = std::move(events_.front());
            events_.pop_front();
            sinks = sinks_;
            for (const Sink& sink : sinks) sink.dispatch->AddRef();
        }
        // Arguments travel last-first.
        const Args& args = event.second;
        std::vector<VARIANT> variants(args.size());
        for (size_t i = 0; i < args.size(); ++i) {
            VARIANT& v = variants[args.size() - 1 - i];
            VariantInit(&v);
            if (const auto* n = std::get_if<int32_t>(&args[i])) {
                v.vt = VT_I4;
                v.lVal = *n;
            } else if (const auto* b = std::get_if<bool>(&args[i])) {
                v.vt = VT_BOOL;
                v.boolVal = *b ? VARIANT_TRUE : VARIANT_FALSE;
            } else {
                const std::wstring text = Utf8ToWide(std::get<std::string>(args[i]));
                v.vt = VT_BSTR;
                v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            }
        }
        DISPPARAMS params{variants.empty() ? nullptr : variants.data(), nullptr,
                          static_cast<UINT>(variants.size()), 0};
        for (const Sink& sink : sinks) {
            const HRESULT hr = sink.dispatch->Invoke(event.first, IID_NULL, LOCALE_USER_DEFAULT,
                                                     DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
            if (Disconnected(hr)) Unadvise(sink.cookie);
            sink.dispatch->Release();
        }
        for (VARIANT& v : variants) VariantClear(&v);
    }
    CoUninitialize();
}

void ComServer::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    loop_.After(delay, std::move(fn));
}

void ComServer::Post(std::function<void()> fn) {
    loop_.Post(std::move(fn));
}

void ComServer::RequestExit() {
    SetEvent(exitEvent_);
}

void ComServer::StatusChanged(const std::string& status) {
    if (onStatus_) onStatus_(status);
}

void ComServer::Note(const std::string& text) {
    if (!config_.quiet) std::fprintf(stderr, "quvo-softphone-sim: %s\n", text.c_str());
}

}  // namespace quvo::sim
