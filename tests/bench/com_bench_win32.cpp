// Throughput of the softphone link over COM (Windows, or Wine), measured against COM
// itself:
//  (a) softphone commands piped through the console, against the raw cross-process
//      round trip of the same operation (Snapshot) from a plain client;
//  (b) events per second from the softphone to the console's standard output (every
//      line checked: none lost, none torn), against a plain counting sink in another
//      process.
// The benchmark plays the softphone itself: it holds "mutex_QUVO", registers the
// softphone's class object and answers the operations; the raw client and the raw
// sink are this program again, started with --raw-calls N or --raw-sink N. The
// class and its type library must be registered (quvo-softphone-sim.exe /RegServer).
//   quvo_com_bench.exe [console.exe] [commands] [events]
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QUVO.h"
#include "tests/bench/EventLines.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The softphone object: every operation succeeds, Snapshot is counted; one
// connection point for the events.
class BenchSoftphone final : public ISoftphone, public IConnectionPointContainer, public IConnectionPoint {
  public:
    std::atomic<long> snapshots{0};

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISoftphone))
            *object = static_cast<ISoftphone*>(this);
        else if (IsEqualIID(iid, IID_IConnectionPointContainer))
            *object = static_cast<IConnectionPointContainer*>(this);
        else if (IsEqualIID(iid, IID_IConnectionPoint))
            *object = static_cast<IConnectionPoint*>(this);
        else
            return E_NOINTERFACE;
        return S_OK;
    }
    // One static object for the whole run.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

#define QUVO_BENCH_OPERATION(name, ...)                    \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return S_OK;                                       \
    }
    QUVO_BENCH_OPERATION(SetClientActive, LONG)
    QUVO_BENCH_OPERATION(Answer, LONG)
    QUVO_BENCH_OPERATION(EndCall)
    QUVO_BENCH_OPERATION(Hold)
    QUVO_BENCH_OPERATION(MakeCall, BSTR)
    QUVO_BENCH_OPERATION(OffHook, LONG)
    QUVO_BENCH_OPERATION(OnHook, LONG)
    QUVO_BENCH_OPERATION(Resume, LONG)
    QUVO_BENCH_OPERATION(SendDtmf, BSTR)
    QUVO_BENCH_OPERATION(Transfer, BSTR)
    QUVO_BENCH_OPERATION(ExitProgram)
    QUVO_BENCH_OPERATION(MicVolumeUp)
    QUVO_BENCH_OPERATION(MicVolumeDown)
    QUVO_BENCH_OPERATION(SetMute, LONG)
    QUVO_BENCH_OPERATION(Messages)
    QUVO_BENCH_OPERATION(TransferInitiate, BSTR)
    QUVO_BENCH_OPERATION(TransferComplete)
    QUVO_BENCH_OPERATION(SpkrVolumeUp)
    QUVO_BENCH_OPERATION(SpkrVolumeDown)
    QUVO_BENCH_OPERATION(ConferenceInitiate, BSTR)
    QUVO_BENCH_OPERATION(ConferenceComplete)
    QUVO_BENCH_OPERATION(IPCCLogin, BSTR, BSTR, BSTR)
    QUVO_BENCH_OPERATION(IPCCLogout, BSTR)
    QUVO_BENCH_OPERATION(IPCCSetState, BSTR, BSTR)
    QUVO_BENCH_OPERATION(IPCCNotReadyReasons)
    QUVO_BENCH_OPERATION(IPCCLogoutReasons)
    QUVO_BENCH_OPERATION(Softkey, BSTR, LONG, LONG)
    QUVO_BENCH_OPERATION(CallStats)
#undef QUVO_BENCH_OPERATION
    HRESULT STDMETHODCALLTYPE Snapshot() override {
        ++snapshots;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        *point = nullptr;
        if (!IsEqualIID(iid, DIID_ISoftphoneEvents)) return CONNECT_E_NOCONNECTION;
        *point = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
        *iid = DIID_ISoftphoneEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override {
        *container = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* unknown, DWORD* cookie) override {
        IDispatch* sink = nullptr;
        if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink))))
            return CONNECT_E_CANNOTCONNECT;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sink) m_sink->Release();
        m_sink = sink;
        *cookie = ++m_cookie;
        m_changed.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (cookie != m_cookie || !m_sink) return CONNECT_E_NOCONNECTION;
        m_sink->Release();
        m_sink = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override {
        return E_NOTIMPL;
    }

    // Waits for the next sink to connect (after `after` connections in all); it, or null.
    IDispatch* WaitForSink(DWORD after) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_cookie > after && m_sink; }))
            return nullptr;
        m_sink->AddRef();
        return m_sink;
    }
    DWORD Connections() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_cookie;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    IDispatch* m_sink = nullptr;
    DWORD m_cookie = 0;
};

BenchSoftphone g_softphone;

class BenchFactory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        return g_softphone.QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

BenchFactory g_factory;

// The presence monitor's line: the console is bound and has seen the softphone.
constexpr const char* kConnected = "Event : Connected to softphone\n> ";

// PartyHangup (DISPID 1) with the call reference.
HRESULT FirePartyHangup(IDispatch* sink, LONG callRef) {
    VARIANT argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = callRef;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    return sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                        nullptr);
}

// A child process with its standard input and output on pipes.
struct Child {
    HANDLE process = nullptr;
    HANDLE in = nullptr;   // its standard input
    HANDLE out = nullptr;  // its standard output
};

Child Start(const std::string& commandLine) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0) || !::CreatePipe(&outRead, &outWrite, &inherit, 0))
        std::exit(2);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &info)) {
        std::fprintf(stderr, "cannot start %s (%lu)\n", commandLine.c_str(), ::GetLastError());
        std::exit(2);
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    return Child{info.hProcess, inWrite, outRead};
}

void WriteAll(HANDLE pipe, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1 << 16));
        if (!::WriteFile(pipe, data.data() + done, chunk, &written, nullptr) || written == 0) return;
        done += written;
    }
}

// Reads until text has been seen count times in all (or the output ends); what was
// read, without carriage returns, goes to all when given.
void ReadUntil(HANDLE pipe, const std::string& text, long count, std::string* all = nullptr) {
    std::string buffer;
    long seen = 0;
    std::vector<char> chunk(1 << 16);
    while (seen < count) {
        DWORD n = 0;
        if (!::ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr) || n == 0) break;
        // The console's standard output is in text mode: its lines end in CR LF.
        for (DWORD i = 0; i < n; ++i)
            if (chunk[i] != '\r') buffer.push_back(chunk[i]);
        size_t consumed = 0;
        size_t pos;
        while (seen < count && (pos = buffer.find(text, consumed)) != std::string::npos) {
            consumed = pos + text.size();
            ++seen;
        }
        if (all) all->append(buffer, 0, consumed);
        buffer.erase(0, consumed);
    }
    if (all) all->append(buffer);
}

std::string ReadAll(HANDLE pipe) {
    std::string all;
    char chunk[4096];
    DWORD n = 0;
    while (::ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) all.append(chunk, n);
    return all;
}

void Finish(Child& child) {
    if (child.in) ::CloseHandle(child.in);
    ReadAll(child.out);
    ::CloseHandle(child.out);
    ::WaitForSingleObject(child.process, 30000);
    ::CloseHandle(child.process);
}

std::string ThisProgram() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// --raw-calls N: N Snapshot calls from a plain client; prints seconds per call.
int RawCalls(long count) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ISoftphone* softphone = nullptr;
    HRESULT status = ::CoCreateInstance(CLSID_Softphone, nullptr, CLSCTX_LOCAL_SERVER, IID_ISoftphone,
                                        reinterpret_cast<void**>(&softphone));
    if (FAILED(status)) {
        std::printf("activation failed 0x%08lX\n", static_cast<unsigned long>(status));
        return 1;
    }
    softphone->Snapshot();  // the first call sets the channel up
    const auto start = Clock::now();
    for (long i = 0; i < count; ++i) status |= softphone->Snapshot();
    const double perCall = Seconds(Clock::now() - start) / static_cast<double>(count);
    softphone->Release();
    std::printf("%.9f %s\n", perCall, SUCCEEDED(status) ? "ok" : "failed");
    std::fflush(stdout);
    return 0;
}

// A sink that only counts PartyHangup events.
class CountingSink final : public IDispatch {
  public:
    std::atomic<long> received{0};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
            !IsEqualIID(iid, DIID_ISoftphoneEvents))
            return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        if (dispid == 1 && params && params->cArgs == 1 && V_VT(&params->rgvarg[0]) == VT_I4) ++received;
        return S_OK;
    }
};

// --raw-sink N: connects a counting sink and waits for N events; prints the count.
int RawSink(long count) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ISoftphone* softphone = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_Softphone, nullptr, CLSCTX_LOCAL_SERVER, IID_ISoftphone,
                                  reinterpret_cast<void**>(&softphone))))
        return 1;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    softphone->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    if (!container || FAILED(container->FindConnectionPoint(DIID_ISoftphoneEvents, &point))) return 1;
    static CountingSink sink;
    DWORD cookie = 0;
    if (FAILED(point->Advise(&sink, &cookie))) return 1;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (sink.received.load() < count && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    point->Unadvise(cookie);
    point->Release();
    container->Release();
    softphone->Release();
    std::printf("%ld\n", sink.received.load());
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--raw-calls") == 0) return RawCalls(std::atol(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "--raw-sink") == 0) return RawSink(std::atol(argv[2]));

    std::string console = argc > 1 ? argv[1] : "";
    if (console.empty()) {
        console = ThisProgram();
        console.erase(console.find_last_of('\\') + 1);
        console += "..\\..\\quvoconnect.exe";
    }
    const long commands = argc > 2 ? std::atol(argv[2]) : 2000;
    const long events = argc > 3 ? std::atol(argv[3]) : 5000;

    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HANDLE presence = ::CreateMutexA(nullptr, TRUE, "mutex_QUVO");
    if (!presence || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "another softphone holds mutex_QUVO\n");
        return 2;
    }
    DWORD registration = 0;
    HRESULT status = ::CoRegisterClassObject(CLSID_Softphone, &g_factory, CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE, &registration);
    if (FAILED(status)) {
        std::fprintf(stderr, "cannot register the class object (0x%08lX)\n",
                     static_cast<unsigned long>(status));
        return 2;
    }

    // (a) the raw round trip, from a client process of its own.
    Child raw = Start("\"" + ThisProgram() + "\" --raw-calls " + std::to_string(commands));
    ::CloseHandle(raw.in);
    raw.in = nullptr;
    const std::string rawAnswer = ReadAll(raw.out);
    Finish(raw);
    const double rawPerCall = std::atof(rawAnswer.c_str());
    if (rawPerCall <= 0) {
        std::fprintf(stderr, "raw client: %s\n", rawAnswer.c_str());
        return 1;
    }

    // (a) through the console, once it is bound and has seen the softphone: from
    // the moment the commands are written until the last one has been answered.
    const long before = g_softphone.snapshots.load();
    double consoleSeconds = 0;
    {
        Child child = Start("\"" + console + "\"");
        ReadUntil(child.out, kConnected, 1);
        std::string input;
        for (long i = 0; i < commands; ++i) input += "Snapshot\n";
        const auto begin = Clock::now();
        std::thread writer([&] { WriteAll(child.in, input); });
        ReadUntil(child.out, "> ", commands);
        consoleSeconds = Seconds(Clock::now() - begin);
        writer.join();
        WriteAll(child.in, "quit\n");
        Finish(child);
    }
    const long served = g_softphone.snapshots.load() - before;
    const double consolePerCall = consoleSeconds / static_cast<double>(commands);

    std::printf("(a) commands: %ld sent, %ld reached the softphone\n", commands, served);
    std::printf("    raw COM round trip:  %.1f us (%.0f/s)\n", rawPerCall * 1e6, 1 / rawPerCall);
    std::printf("    through the console: %.1f us (%.0f/s), %.2fx the raw round trip\n", consolePerCall * 1e6,
                1 / consolePerCall, consolePerCall / rawPerCall);
    std::fflush(stdout);

    // (b) the raw event rate into a counting sink in another process.
    DWORD connections = g_softphone.Connections();
    Child rawSink = Start("\"" + ThisProgram() + "\" --raw-sink " + std::to_string(events));
    IDispatch* sink = g_softphone.WaitForSink(connections);
    if (!sink) {
        std::fprintf(stderr, "the raw sink did not connect\n");
        return 1;
    }
    auto start = Clock::now();
    HRESULT fired = S_OK;
    for (long i = 0; i < events; ++i) fired |= FirePartyHangup(sink, i);
    if (FAILED(fired)) std::fprintf(stderr, "raw sink: Invoke failed\n");
    const double rawSeconds = Seconds(Clock::now() - start);
    sink->Release();
    ::CloseHandle(rawSink.in);
    rawSink.in = nullptr;
    const long rawReceived = std::atol(ReadAll(rawSink.out).c_str());
    Finish(rawSink);
    const double rawRate = static_cast<double>(rawReceived) / rawSeconds;

    // (b) through the console: every event line checked in order.
    connections = g_softphone.Connections();
    Child child = Start("\"" + console + "\"");
    sink = g_softphone.WaitForSink(connections);
    if (!sink) {
        std::fprintf(stderr, "the console did not connect its sink\n");
        return 1;
    }
    ReadUntil(child.out, kConnected, 1);
    std::string output;
    start = Clock::now();
    std::thread emitter([&] {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (long i = 0; i < events; ++i) FirePartyHangup(sink, i);
        ::CoUninitialize();
    });
    ReadUntil(child.out, "Event : PartyHangup", events, &output);
    const double eventSeconds = Seconds(Clock::now() - start);
    emitter.join();
    sink->Release();
    const quvo::bench::EventTally tally = quvo::bench::CountEventLines(output, events);
    const long good = tally.good;
    const long torn = tally.torn;
    WriteAll(child.in, "quit\n");
    Finish(child);
    const double consoleRate = static_cast<double>(good) / eventSeconds;
    if (good != events) std::fprintf(stderr, "console output begins: %.300s\n", output.c_str());
    std::printf(
        "(b) events: %ld fired, %ld printed whole and in order, %ld lost, %ld with stray bytes before\n",
        events, good, events - good, torn);
    std::printf("    raw sink:            %.0f/s (%ld of %ld received)\n", rawRate, rawReceived, events);
    std::printf("    through the console: %.0f/s, %.2fx the raw rate\n", consoleRate, consoleRate / rawRate);

    ::CoRevokeClassObject(registration);
    ::ReleaseMutex(presence);
    ::CloseHandle(presence);
    const bool met = consolePerCall / rawPerCall <= 1.5 && consoleRate / rawRate >= 0.7 && good == events &&
                     served == commands && rawReceived == events;
    std::printf("targets (console <= 1.5x the round trip, >= 0.7x the event rate, nothing lost): %s\n",
                met ? "met" : "NOT met");
    return met ? 0 : 1;
}
