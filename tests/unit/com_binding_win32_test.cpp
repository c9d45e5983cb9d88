// The Windows softphone link over COM, in one process: the IDispatch event sink fed
// with hand-built DISPPARAMS, and the binding driven against an in-process COM
// softphone with a connection point and error information.
// base/ResultCodes.h (through these) must come before <windows.h>, whose macros
// carry some of its names.
// clang-format off
#include "support/FakeSoftphone.h"
#include "link/EventSink.h"
#include "link/SoftphoneControl.h"
// clang-format on

#include <gtest/gtest.h>
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Presence.h"
#include "platform/SoftphoneBinding.h"
#include "platform/win32/ComSoftphone.h"
#include "platform/win32/ComSupport.h"
#include "platform/win32/EventDispatch.h"

namespace quvo::test {
namespace {

using platform::win32::CEventDispatch;

// An event's arguments, given in declaration order; Params() lays them out
// last-first as DISPPARAMS carries them.
class EventArguments {
  public:
    EventArguments() = default;
    EventArguments(const EventArguments&) = delete;
    EventArguments& operator=(const EventArguments&) = delete;
    ~EventArguments() {
        for (VARIANT& v : m_args) ::VariantClear(&v);
    }

    EventArguments& I4(LONG value) {
        VARIANT& v = Add(VT_I4);
        V_I4(&v) = value;
        return *this;
    }
    EventArguments& Bool(bool value) {
        VARIANT& v = Add(VT_BOOL);
        V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
        return *this;
    }
    EventArguments& Str(const wchar_t* text) {
        VARIANT& v = Add(VT_BSTR);
        V_BSTR(&v) = text ? ::SysAllocString(text) : nullptr;
        return *this;
    }
    // A variant of any other type; its value is left zero (VariantClear ignores
    // the VT_BYREF forms' pointers).
    EventArguments& Raw(VARTYPE type) {
        Add(type);
        return *this;
    }
    EventArguments& ByRefBstr(BSTR* text) {
        VARIANT& v = Add(VT_BSTR | VT_BYREF);
        V_BSTRREF(&v) = text;
        return *this;
    }

    DISPPARAMS Params() {
        m_reversed.assign(m_args.rbegin(), m_args.rend());
        return DISPPARAMS{m_reversed.empty() ? nullptr : m_reversed.data(), nullptr,
                          static_cast<UINT>(m_reversed.size()), 0};
    }

  private:
    VARIANT& Add(VARTYPE type) {
        VARIANT v;
        ::VariantInit(&v);
        V_VT(&v) = type;
        m_args.push_back(v);
        return m_args.back();
    }

    std::vector<VARIANT> m_args;
    std::vector<VARIANT> m_reversed;  // shallow copies, owned by m_args
};

HRESULT Fire(IDispatch* sink, DISPID dispid, EventArguments& args, VARIANT* result = nullptr) {
    DISPPARAMS params = args.Params();
    return sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, nullptr,
                        nullptr);
}

class ComTest : public testing::Test {
  protected:
    void SetUp() override { platform::win32::EnsureApartment(); }
};

// The sink in front of the console's CEventSink, as the binding connects it.
class EventDispatchTest : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        m_receiver = std::make_unique<link::CEventSink>(nullptr, nullptr);
        m_sink = CEventDispatch::Create(*m_receiver);
    }
    void TearDown() override { m_sink->Destroy(); }

    OutputCapture m_output;
    std::unique_ptr<link::CEventSink> m_receiver;
    CEventDispatch* m_sink = nullptr;
};

TEST_F(EventDispatchTest, ArgumentsReachTheHandlersInDeclarationOrder) {
    EventArguments lineUpdate;
    lineUpdate.I4(1).I4(77).Str(L"Line 2").Str(L"Line 1").I4(5).Str(L"200").I4(1).I4(0).I4(3);
    DISPPARAMS params = lineUpdate.Params();
    // Last-first: element 8 is the first parameter, element 0 the ninth.
    ASSERT_EQ(V_I4(&params.rgvarg[8]), 1);
    ASSERT_EQ(V_I4(&params.rgvarg[0]), 3);

    VARIANT result;
    ::VariantInit(&result);
    V_VT(&result) = VT_I4;
    EXPECT_EQ(Fire(m_sink, 11, lineUpdate, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_EMPTY);

    EventArguments incoming;
    incoming.I4(42).Str(L"Line 1").Str(L"Caller \x00C4");
    EXPECT_EQ(Fire(m_sink, 4, incoming), S_OK);

    EventArguments stats;
    stats.I4(5).Str(L"G711").Str(L"a").Str(L"b").I4(10).I4(11).I4(12).I4(13).I4(14).I4(15);
    EXPECT_EQ(Fire(m_sink, 20, stats), S_OK);

    EventArguments none;
    EXPECT_EQ(m_sink->Invoke(17, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), S_OK);

    EventArguments ignored;  // DISPID 14: BOOL, I4, accepted and printing nothing
    ignored.Bool(true).I4(1);
    EXPECT_EQ(Fire(m_sink, 14, ignored), S_OK);

    EXPECT_EQ(m_output.Take(),
              "Event : LineUpdate, Line=1(Line 1|Line 2), Button=3, State=5(TsConnected), CallRef=77, "
              "Direction=outgoing, OtherParty=200\n> "
              "Event : IncomingCall, CallRef=42, Line=Line 1, CallerID=Caller \xC4\n> "
              "Event : CallStatsUpdate, CallRef=5, Codec=G711, ThisStation=a, OtherStation=b, CallLen=10, "
              "Sent=11, Recvd=12, Lost=13, Discarded=14, Jitter=15\n"
              "Event : ConnectionKeepAlive\n> ");
}

TEST_F(EventDispatchTest, EventsOfOtherTypesOrCountsAreIgnoredWithoutReadingThem) {
    // IncomingCall is (I4, BSTR, BSTR); each of these differs from it somewhere.
    BSTR text = ::SysAllocString(L"x");
    std::vector<std::pair<const char*, std::function<void(EventArguments&)>>> cases = {
        {"I4 by reference", [](EventArguments& a) { a.Raw(VT_I4 | VT_BYREF).Str(L"1").Str(L"2"); }},
        {"BSTR by reference", [&](EventArguments& a) { a.I4(1).ByRefBstr(&text).Str(L"2"); }},
        {"VT_EMPTY", [](EventArguments& a) { a.I4(1).Raw(VT_EMPTY).Str(L"2"); }},
        {"null BSTR", [](EventArguments& a) { a.I4(1).Str(L"1").Str(nullptr); }},
        {"I2 for I4", [](EventArguments& a) { a.Raw(VT_I2).Str(L"1").Str(L"2"); }},
        {"I4 for BSTR", [](EventArguments& a) { a.I4(1).I4(2).Str(L"2"); }},
        {"BOOL for I4", [](EventArguments& a) { a.Bool(true).Str(L"1").Str(L"2"); }},
        {"VARIANT by reference", [](EventArguments& a) { a.I4(1).Str(L"1").Raw(VT_VARIANT | VT_BYREF); }},
        {"too few", [](EventArguments& a) { a.I4(1).Str(L"1"); }},
        {"none", [](EventArguments&) {}},
        {"too many", [](EventArguments& a) { a.I4(1).Str(L"1").Str(L"2").I4(4); }},
    };
    for (auto& [name, build] : cases) {
        EventArguments args;
        build(args);
        EXPECT_EQ(Fire(m_sink, 4, args), S_OK) << name;
        EXPECT_EQ(m_output.Take(), "") << name;
    }

    EventArguments good;
    good.I4(1).Str(L"1").Str(L"2");
    DISPPARAMS params = good.Params();
    DISPID named = 0;
    DISPPARAMS withNames{params.rgvarg, &named, params.cArgs, 1};
    EXPECT_EQ(m_sink->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr, nullptr), S_OK);
    DISPPARAMS noArray{nullptr, nullptr, 3, 0};
    EXPECT_EQ(m_sink->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &noArray, nullptr, nullptr, nullptr), S_OK);
    for (DISPID unknown : {0, 21, -1}) EXPECT_EQ(Fire(m_sink, unknown, good), S_OK);
    EXPECT_EQ(m_output.Take(), "");
    ::SysFreeString(text);

    // The same sink still delivers a well-formed event.
    EXPECT_EQ(Fire(m_sink, 4, good), S_OK);
    EXPECT_EQ(m_output.Take(), "Event : IncomingCall, CallRef=1, Line=1, CallerID=2\n> ");
}

TEST_F(EventDispatchTest, AnswersAsAnEventInterfaceWithoutTypeInformation) {
    for (REFIID iid : {DIID_ISoftphoneEvents, IID_IUnknown, IID_IDispatch}) {
        void* object = nullptr;
        EXPECT_EQ(m_sink->QueryInterface(iid, &object), S_OK);
        EXPECT_EQ(object, static_cast<IDispatch*>(m_sink));
        EXPECT_EQ(m_sink->QueryInterface(iid, nullptr), E_POINTER);
        m_sink->Release();
    }
    void* object = m_sink;
    EXPECT_EQ(m_sink->QueryInterface(IID_IConnectionPoint, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(m_sink->QueryInterface(IID_ISoftphone, nullptr), E_NOINTERFACE);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(m_sink->AddRef(), 1u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(m_sink->Release(), 1u);

    UINT count = 123;
    EXPECT_EQ(m_sink->GetTypeInfoCount(&count), E_NOTIMPL);
    EXPECT_EQ(count, 123u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(m_sink->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    LPOLESTR name = const_cast<LPOLESTR>(L"PartyHangup");
    DISPID dispid = 0;
    EXPECT_EQ(m_sink->GetIDsOfNames(IID_NULL, &name, 1, 0, &dispid), E_NOTIMPL);
}

// A receiver that holds the first event until it is let go.
class BlockingReceiver : public link::IEventReceiver {
  public:
    void Invoke(int32_t, const link::EventArgs&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_delivered;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    void WaitForDelivery() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_delivered > 0; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    int Delivered() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_delivered;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_delivered = 0;
    bool m_released = false;
};

TEST_F(ComTest, ClosingWaitsForTheEventBeingDeliveredAndDropsLaterOnes) {
    BlockingReceiver receiver;
    CEventDispatch* sink = CEventDispatch::Create(receiver);
    std::thread com([sink] {
        EventArguments args;
        args.I4(1);
        Fire(sink, 1, args);
    });
    receiver.WaitForDelivery();

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        sink->Close();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(closed);
    receiver.Release();
    closer.join();
    com.join();
    EXPECT_TRUE(closed);

    EventArguments args;
    args.I4(2);
    EXPECT_EQ(Fire(sink, 1, args), S_OK);
    EXPECT_EQ(receiver.Delivered(), 1);
    sink->Destroy();
}

// An in-process softphone object: records the operations, fails them on request
// (with or without error information) and offers its events through a connection
// point.
class FakeComSoftphone final : public ::ISoftphone,
                               public IConnectionPointContainer,
                               public IConnectionPoint,
                               public ISupportErrorInfo {
  public:
    HRESULT failure = S_OK;           // what the next operations return
    std::wstring failureText;         // their error information's description
    bool supportsErrorInfo = true;    // what ISupportErrorInfo says for ISoftphone
    bool offersEvents = true;         // IConnectionPointContainer at all
    HRESULT adviseResult = S_OK;      // what Advise answers
    HRESULT pointResult = S_OK;       // what the connection point's GetConnectionInterface answers
    std::vector<std::wstring> calls;  // e.g. L"Softkey(endcall,1,2)"
    IDispatch* sink = nullptr;        // the connected sink
    DWORD unadvisedCookie = 0;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISoftphone))
            *object = static_cast<::ISoftphone*>(this);
        else if (IsEqualIID(iid, IID_IConnectionPointContainer) && offersEvents)
            *object = static_cast<IConnectionPointContainer*>(this);
        else if (IsEqualIID(iid, IID_ISupportErrorInfo))
            *object = static_cast<ISupportErrorInfo*>(this);
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }
    ULONG References() const { return m_references; }

    // ISoftphone
    HRESULT STDMETHODCALLTYPE SetClientActive(LONG flag) override { return Record(L"SetClientActive", flag); }
    HRESULT STDMETHODCALLTYPE Answer(LONG callRefId) override { return Record(L"Answer", callRefId); }
    HRESULT STDMETHODCALLTYPE EndCall() override { return Record(L"EndCall"); }
    HRESULT STDMETHODCALLTYPE Hold() override { return Record(L"Hold"); }
    HRESULT STDMETHODCALLTYPE MakeCall(BSTR destination) override { return Record(L"MakeCall", destination); }
    HRESULT STDMETHODCALLTYPE OffHook(LONG line) override { return Record(L"OffHook", line); }
    HRESULT STDMETHODCALLTYPE OnHook(LONG line) override { return Record(L"OnHook", line); }
    HRESULT STDMETHODCALLTYPE Resume(LONG callRefId) override { return Record(L"Resume", callRefId); }
    HRESULT STDMETHODCALLTYPE SendDtmf(BSTR key) override { return Record(L"SendDtmf", key); }
    HRESULT STDMETHODCALLTYPE Transfer(BSTR destination) override { return Record(L"Transfer", destination); }
    HRESULT STDMETHODCALLTYPE ExitProgram() override { return Record(L"ExitProgram"); }
    HRESULT STDMETHODCALLTYPE MicVolumeUp() override { return Record(L"MicVolumeUp"); }
    HRESULT STDMETHODCALLTYPE MicVolumeDown() override { return Record(L"MicVolumeDown"); }
    HRESULT STDMETHODCALLTYPE SetMute(LONG flag) override { return Record(L"SetMute", flag); }
    HRESULT STDMETHODCALLTYPE Messages() override { return Record(L"Messages"); }
    HRESULT STDMETHODCALLTYPE Snapshot() override { return Record(L"Snapshot"); }
    HRESULT STDMETHODCALLTYPE TransferInitiate(BSTR destination) override {
        return Record(L"TransferInitiate", destination);
    }
    HRESULT STDMETHODCALLTYPE TransferComplete() override { return Record(L"TransferComplete"); }
    HRESULT STDMETHODCALLTYPE SpkrVolumeUp() override { return Record(L"SpkrVolumeUp"); }
    HRESULT STDMETHODCALLTYPE SpkrVolumeDown() override { return Record(L"SpkrVolumeDown"); }
    HRESULT STDMETHODCALLTYPE ConferenceInitiate(BSTR destination) override {
        return Record(L"ConferenceInitiate", destination);
    }
    HRESULT STDMETHODCALLTYPE ConferenceComplete() override { return Record(L"ConferenceComplete"); }
    HRESULT STDMETHODCALLTYPE IPCCLogin(BSTR agentId, BSTR password, BSTR extension) override {
        return Record(L"IPCCLogin", agentId, password, extension);
    }
    HRESULT STDMETHODCALLTYPE IPCCLogout(BSTR reason) override { return Record(L"IPCCLogout", reason); }
    HRESULT STDMETHODCALLTYPE IPCCSetState(BSTR state, BSTR reason) override {
        return Record(L"IPCCSetState", state, reason);
    }
    HRESULT STDMETHODCALLTYPE IPCCNotReadyReasons() override { return Record(L"IPCCNotReadyReasons"); }
    HRESULT STDMETHODCALLTYPE IPCCLogoutReasons() override { return Record(L"IPCCLogoutReasons"); }
    HRESULT STDMETHODCALLTYPE Softkey(BSTR name, LONG lineId, LONG callRefId) override {
        return Record(L"Softkey", name, lineId, callRefId);
    }
    HRESULT STDMETHODCALLTYPE CallStats() override { return Record(L"CallStats"); }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        *point = nullptr;
        if (!IsEqualIID(iid, DIID_ISoftphoneEvents)) return CONNECT_E_NOCONNECTION;
        *point = this;
        AddRef();
        return S_OK;
    }

    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        *iid = DIID_ISoftphoneEvents;
        return pointResult;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        *container = this;
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* unknown, DWORD* cookie) override {
        if (FAILED(adviseResult)) return adviseResult;
        if (sink) return CONNECT_E_ADVISELIMIT;
        if (FAILED(unknown->QueryInterface(DIID_ISoftphoneEvents, reinterpret_cast<void**>(&sink))))
            return CONNECT_E_CANNOTCONNECT;
        *cookie = 7;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        unadvisedCookie = cookie;
        if (cookie != 7 || !sink) return CONNECT_E_NOCONNECTION;
        sink->Release();
        sink = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        return supportsErrorInfo && IsEqualIID(iid, IID_ISoftphone) ? S_OK : S_FALSE;
    }

  private:
    ~FakeComSoftphone() = default;

    static std::wstring Text(LONG value) { return std::to_wstring(value); }
    static std::wstring Text(BSTR value) {
        return value ? L"'" + std::wstring(value, ::SysStringLen(value)) + L"'" : L"null";
    }
    template <typename... Args>
    HRESULT Record(const wchar_t* operation, Args... args) {
        std::wstring call = operation;
        call += L"(";
        bool first = true;
        ((call += (first ? L"" : L","), call += Text(args), first = false), ...);
        call += L")";
        calls.push_back(call);
        if (SUCCEEDED(failure)) return S_OK;
        if (!failureText.empty()) {
            ICreateErrorInfo* create = nullptr;
            if (SUCCEEDED(::CreateErrorInfo(&create))) {
                create->SetDescription(const_cast<LPOLESTR>(failureText.c_str()));
                IErrorInfo* info = nullptr;
                create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
                ::SetErrorInfo(0, info);
                info->Release();
                create->Release();
            }
        }
        return failure;
    }

    std::atomic<ULONG> m_references{1};
};

class ComBindingTest : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        m_phone = new FakeComSoftphone;
    }
    void TearDown() override {
        EXPECT_EQ(m_phone->References(), 1u) << "the binding kept a reference";
        m_phone->Release();
    }

    // A control object built around the fake, bound and running.
    std::unique_ptr<link::CSoftphoneControl> MakeControl() {
        link::CSoftphoneControl::Options options;
        options.softphone = platform::win32::WrapSoftphone(m_phone);
        options.isSoftphoneRunning = [] { return true; };
        options.startPauseMs = 0;
        options.pollIntervalMs = 60 * 60 * 1000;
        return std::make_unique<link::CSoftphoneControl>(std::move(options));
    }

    // The failure that one operation raises.
    link::CAutomationError FailureOf(link::ISoftphone& softphone) {
        try {
            softphone.Hold();
        } catch (const link::CAutomationError& error) {
            return error;
        }
        ADD_FAILURE() << "no failure raised";
        return link::CAutomationError(0, "", "");
    }

    FakeComSoftphone* m_phone = nullptr;
};

TEST_F(ComBindingTest, EveryOperationReachesItsSlotWithItsArguments) {
    {
        auto softphone = platform::win32::WrapSoftphone(m_phone);
        softphone->SetClientActive(1);
        softphone->Answer(-5);
        softphone->EndCall();
        softphone->Hold();
        softphone->MakeCall(L"100 \x00DC");
        softphone->OffHook(2);
        softphone->OnHook(3);
        softphone->Resume(9);
        softphone->SendDtmf(L"#");
        softphone->Softkey(L"endcall", 1, 2);
        softphone->Transfer(L"");
        softphone->TransferInitiate(L"300");
        softphone->TransferComplete();
        softphone->ExitProgram();
        softphone->SpkrVolumeUp();
        softphone->SpkrVolumeDown();
        softphone->MicVolumeUp();
        softphone->MicVolumeDown();
        softphone->SetMute(1);
        softphone->Messages();
        softphone->Snapshot();
        softphone->CallStats();
        softphone->ConferenceInitiate(L"400");
        softphone->ConferenceComplete();
        softphone->IPCCLogin(L"agent", L"secret", L"5001");
        softphone->IPCCLogout(L"lunch");
        softphone->IPCCSetState(L"ready", std::wstring(L"a\0b", 3));
        softphone->IPCCNotReadyReasons();
        softphone->IPCCLogoutReasons();
    }
    const std::vector<std::wstring> expected = {L"SetClientActive(1)",
                                                L"Answer(-5)",
                                                L"EndCall()",
                                                L"Hold()",
                                                L"MakeCall('100 \x00DC')",
                                                L"OffHook(2)",
                                                L"OnHook(3)",
                                                L"Resume(9)",
                                                L"SendDtmf('#')",
                                                L"Softkey('endcall',1,2)",
                                                L"Transfer('')",
                                                L"TransferInitiate('300')",
                                                L"TransferComplete()",
                                                L"ExitProgram()",
                                                L"SpkrVolumeUp()",
                                                L"SpkrVolumeDown()",
                                                L"MicVolumeUp()",
                                                L"MicVolumeDown()",
                                                L"SetMute(1)",
                                                L"Messages()",
                                                L"Snapshot()",
                                                L"CallStats()",
                                                L"ConferenceInitiate('400')",
                                                L"ConferenceComplete()",
                                                L"IPCCLogin('agent','secret','5001')",
                                                L"IPCCLogout('lunch')",
                                                std::wstring(L"IPCCSetState('ready','a\0b')", 27),
                                                L"IPCCNotReadyReasons()",
                                                L"IPCCLogoutReasons()"};
    EXPECT_EQ(m_phone->calls, expected);
}

TEST_F(ComBindingTest, FailureTextComesFromErrorInformationElseFromTheSystem) {
    auto softphone = platform::win32::WrapSoftphone(m_phone);

    m_phone->failure = E_FAIL;
    m_phone->failureText = L"No line available";
    link::CAutomationError described = FailureOf(*softphone);
    EXPECT_EQ(described.Status(), 0x80004005u);
    EXPECT_EQ(described.Text(), "No line available");
    EXPECT_EQ(described.Describe(), "Automation failure 0x80004005 - No line available");

    // Error information the interface does not vouch for is not used.
    m_phone->supportsErrorInfo = false;
    const std::string system = platform::win32::SystemMessage(E_FAIL);
    ASSERT_FALSE(system.empty());
    EXPECT_NE(system.back(), '\n');
    EXPECT_NE(system.back(), '\r');
    EXPECT_EQ(FailureOf(*softphone).Text(), system);

    // Error information left over from elsewhere does not describe a later failure.
    m_phone->supportsErrorInfo = true;
    m_phone->failureText.clear();
    m_phone->failure = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(::CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(L"stale"));
    IErrorInfo* stale = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&stale));
    ::SetErrorInfo(0, stale);
    stale->Release();
    create->Release();
    link::CAutomationError denied = FailureOf(*softphone);
    EXPECT_EQ(denied.Status(), 0x80070005u);
    EXPECT_EQ(denied.Text(), platform::win32::SystemMessage(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)));
    EXPECT_NE(denied.Text(), "stale");

    m_phone->failure = static_cast<HRESULT>(0xA0F01234u);
    EXPECT_EQ(FailureOf(*softphone).Text(), "Unknown error 0xA0F01234");

    // A command without a code of its own lets the failure through to the loop;
    // one with a code answers it.
    m_phone->failure = E_FAIL;
    m_phone->failureText = L"busy";
    softphone.reset();
    OutputCapture output;
    auto control = MakeControl();  // SetClientActive(1) fails
    EXPECT_EQ(output.Take(), "Error : SetClientActive failed - Automation failure 0x80004005 - busy\n> ");
    EXPECT_FALSE(control->IsBound());
}

TEST_F(ComBindingTest, EventsArriveThroughTheConnectionPointUntilTheControlEnds) {
    OutputCapture output;
    auto control = MakeControl();
    ASSERT_NE(m_phone->sink, nullptr);
    EXPECT_EQ(output.Take(), "");

    EventArguments hangup;
    hangup.I4(31);
    EXPECT_EQ(Fire(m_phone->sink, 1, hangup), S_OK);
    EventArguments incoming;
    incoming.I4(42).Str(L"1").Str(L"555");
    EXPECT_EQ(Fire(m_phone->sink, 4, incoming), S_OK);
    EXPECT_EQ(
        output.Take(),
        "Event : PartyHangup,  CallRef=31\n> Event : IncomingCall, CallRef=42, Line=1, CallerID=555\n> ");
    EXPECT_EQ(control->CallRef(), 42);

    EXPECT_EQ(control->ExecuteCommand("MakeCall 100"), SUCCESS);
    EXPECT_EQ(control->ExecuteCommand("Answer"), SUCCESS);
    control.reset();

    EXPECT_EQ(m_phone->unadvisedCookie, 7u);
    EXPECT_EQ(m_phone->sink, nullptr);
    EXPECT_EQ(m_phone->calls, (std::vector<std::wstring>{L"SetClientActive(1)", L"MakeCall('100')",
                                                         L"Answer(42)", L"SetClientActive(0)"}));
}

TEST_F(ComBindingTest, NoConnectionPointOrRefusedAdvisePrintsTheFailureLine) {
    constexpr const char* kAdviseFailed =
        "Error : CEventSink::DispEventAdvise failed - will not receive events\n> ";
    OutputCapture output;
    m_phone->offersEvents = false;
    {
        auto control = MakeControl();
        EXPECT_EQ(output.Take(), kAdviseFailed);
        EXPECT_EQ(control->ExecuteCommand("Hold"), SUCCESS);
    }
    m_phone->offersEvents = true;
    m_phone->adviseResult = CONNECT_E_CANNOTCONNECT;
    {
        auto control = MakeControl();
        EXPECT_EQ(output.Take(), kAdviseFailed);
    }
    EXPECT_EQ(output.Take(), "");
}

// A softphone restarted between two polls leaves the binding's proxy without a
// server: the calls that say so mark the binding gone, other failures do not, and
// with the events connected the connection point tells without a command.
TEST_F(ComBindingTest, TheStatusesOfAServerThatIsGoneMarkTheBindingGone) {
    auto softphone = platform::win32::WrapSoftphone(m_phone);
    EXPECT_FALSE(softphone->ServerGone());
    for (HRESULT other : {E_FAIL, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), RPC_E_CALL_REJECTED}) {
        m_phone->failure = other;
        FailureOf(*softphone);
        EXPECT_FALSE(softphone->ServerGone()) << std::hex << other;
    }
    for (HRESULT gone :
         {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), RPC_E_DISCONNECTED, CO_E_OBJNOTCONNECTED}) {
        auto binding = platform::win32::WrapSoftphone(m_phone);
        m_phone->failure = gone;
        EXPECT_EQ(FailureOf(*binding).Status(), static_cast<uint32_t>(gone));
        EXPECT_TRUE(binding->ServerGone()) << std::hex << gone;
    }
    m_phone->failure = S_OK;

    struct : link::IEventReceiver {
        void Invoke(int32_t, const link::EventArgs&) override {}
    } receiver;
    auto& events = dynamic_cast<link::IEventSource&>(*softphone);
    uint32_t cookie = 0;
    ASSERT_TRUE(events.Advise(receiver, cookie));
    m_phone->pointResult = E_FAIL;
    EXPECT_FALSE(softphone->ServerGone());
    m_phone->pointResult = RPC_E_DISCONNECTED;
    EXPECT_TRUE(softphone->ServerGone());
    m_phone->pointResult = S_OK;
    events.Unadvise(cookie);
}

TEST_F(ComTest, WithoutARunningSoftphoneTheConsoleIsUnbound) {
    if (platform::IsSoftphoneRunning()) GTEST_SKIP() << "a softphone runs in this Wine prefix";
    EXPECT_EQ(platform::BindSoftphone(), nullptr);
}

}  // namespace
}  // namespace quvo::test
