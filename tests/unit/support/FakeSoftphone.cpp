#include "support/FakeSoftphone.h"

#include "base/Output.h"
#include "platform/Text.h"

namespace quvo::test {

namespace {

std::string Quoted(const std::wstring& text) {
    return "\"" + platform::ToNarrow(text) + "\"";
}

std::string Op(const char* name, const std::string& args = "") {
    return std::string(name) + "(" + args + ")";
}

}  // namespace

// ---- FakeSoftphoneState ----------------------------------------------------------

std::vector<std::string> FakeSoftphoneState::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    for (const Call& call : m_calls) texts.push_back(call.text);
    return texts;
}

std::vector<FakeSoftphoneState::Call> FakeSoftphoneState::TimedCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::string> FakeSoftphoneState::CommandCalls() const {
    std::vector<std::string> calls = Calls();
    if (!calls.empty() && calls.front() == "SetClientActive(1)") calls.erase(calls.begin());
    return calls;
}

void FakeSoftphoneState::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

void FakeSoftphoneState::FailOn(const std::string& operation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failing.insert(operation);
}

link::CAutomationError FakeSoftphoneState::Failure() {
    return link::CAutomationError(link::kStatusFailed, "E_FAIL", "the fake softphone refused");
}

void FakeSoftphoneState::Record(std::string text) {
    const std::string operation = text.substr(0, text.find('('));
    bool fail = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({std::move(text), Clock::now()});
        fail = m_failing.count(operation) != 0;
    }
    if (fail) throw Failure();
}

bool FakeSoftphoneState::Advise(link::IEventReceiver& receiver, uint32_t& cookie) {
    if (!m_adviseSucceeds) return false;
    std::unique_lock<std::shared_mutex> lock(m_receiverMutex);
    m_receiver = &receiver;
    cookie = 42;
    return true;
}

void FakeSoftphoneState::Unadvise(uint32_t cookie) {
    std::unique_lock<std::shared_mutex> lock(m_receiverMutex);
    m_receiver = nullptr;
    m_unadvisedCookie = cookie;
}

void FakeSoftphoneState::Detach() {
    std::unique_lock<std::shared_mutex> lock(m_receiverMutex);
    m_receiver = nullptr;
}

bool FakeSoftphoneState::IsAdvised() const {
    std::shared_lock<std::shared_mutex> lock(m_receiverMutex);
    return m_receiver != nullptr;
}

bool FakeSoftphoneState::Fire(int32_t dispid, const link::EventArgs& args) {
    std::shared_lock<std::shared_mutex> lock(m_receiverMutex);
    if (!m_receiver) return false;
    m_receiver->Invoke(dispid, args);
    return true;
}

// ---- FakeSoftphone ---------------------------------------------------------------

void FakeSoftphone::SetClientActive(int32_t flag) {
    m_state->Record(Op("SetClientActive", std::to_string(flag)));
}
void FakeSoftphone::Answer(int32_t callRefId) {
    m_state->Record(Op("Answer", std::to_string(callRefId)));
}
void FakeSoftphone::EndCall() {
    m_state->Record(Op("EndCall"));
}
void FakeSoftphone::Hold() {
    m_state->Record(Op("Hold"));
}
void FakeSoftphone::MakeCall(const std::wstring& destination) {
    m_state->Record(Op("MakeCall", Quoted(destination)));
}
void FakeSoftphone::OffHook(int32_t line) {
    m_state->Record(Op("OffHook", std::to_string(line)));
}
void FakeSoftphone::OnHook(int32_t line) {
    m_state->Record(Op("OnHook", std::to_string(line)));
}
void FakeSoftphone::Resume(int32_t callRefId) {
    m_state->Record(Op("Resume", std::to_string(callRefId)));
}
void FakeSoftphone::SendDtmf(const std::wstring& key) {
    m_state->Record(Op("SendDtmf", Quoted(key)));
}
void FakeSoftphone::Softkey(const std::wstring& name, int32_t lineId, int32_t callRefId) {
    m_state->Record(
        Op("Softkey", Quoted(name) + "," + std::to_string(lineId) + "," + std::to_string(callRefId)));
}
void FakeSoftphone::Transfer(const std::wstring& destination) {
    m_state->Record(Op("Transfer", Quoted(destination)));
}
void FakeSoftphone::TransferInitiate(const std::wstring& destination) {
    m_state->Record(Op("TransferInitiate", Quoted(destination)));
}
void FakeSoftphone::TransferComplete() {
    m_state->Record(Op("TransferComplete"));
}
void FakeSoftphone::ExitProgram() {
    m_state->Record(Op("ExitProgram"));
}
void FakeSoftphone::SpkrVolumeUp() {
    m_state->Record(Op("SpkrVolumeUp"));
}
void FakeSoftphone::SpkrVolumeDown() {
    m_state->Record(Op("SpkrVolumeDown"));
}
void FakeSoftphone::MicVolumeUp() {
    m_state->Record(Op("MicVolumeUp"));
}
void FakeSoftphone::MicVolumeDown() {
    m_state->Record(Op("MicVolumeDown"));
}
void FakeSoftphone::SetMute(int32_t flag) {
    m_state->Record(Op("SetMute", std::to_string(flag)));
}
void FakeSoftphone::Messages() {
    m_state->Record(Op("Messages"));
}
void FakeSoftphone::Snapshot() {
    m_state->Record(Op("Snapshot"));
}
void FakeSoftphone::CallStats() {
    m_state->Record(Op("CallStats"));
}
void FakeSoftphone::ConferenceInitiate(const std::wstring& destination) {
    m_state->Record(Op("ConferenceInitiate", Quoted(destination)));
}
void FakeSoftphone::ConferenceComplete() {
    m_state->Record(Op("ConferenceComplete"));
}
void FakeSoftphone::IPCCLogin(const std::wstring& agentId, const std::wstring& password,
                              const std::wstring& extension) {
    m_state->Record(Op("IPCCLogin", Quoted(agentId) + "," + Quoted(password) + "," + Quoted(extension)));
}
void FakeSoftphone::IPCCLogout(const std::wstring& reason) {
    m_state->Record(Op("IPCCLogout", Quoted(reason)));
}
void FakeSoftphone::IPCCSetState(const std::wstring& state, const std::wstring& reason) {
    m_state->Record(Op("IPCCSetState", Quoted(state) + "," + Quoted(reason)));
}
void FakeSoftphone::IPCCNotReadyReasons() {
    m_state->Record(Op("IPCCNotReadyReasons"));
}
void FakeSoftphone::IPCCLogoutReasons() {
    m_state->Record(Op("IPCCLogoutReasons"));
}

FakeEventSoftphone::~FakeEventSoftphone() {
    m_state->Detach();
}

bool FakeEventSoftphone::Advise(link::IEventReceiver& receiver, uint32_t& cookie) {
    return m_state->Advise(receiver, cookie);
}

void FakeEventSoftphone::Unadvise(uint32_t cookie) {
    m_state->Unadvise(cookie);
}

// ---- OutputCapture ---------------------------------------------------------------

OutputCapture::OutputCapture() {
    quvo::SetOutputSink([this](std::string_view text) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_text.append(text);
        }
        m_changed.notify_all();
    });
}

OutputCapture::~OutputCapture() {
    quvo::SetOutputSink({});
}

std::string OutputCapture::Text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
}

std::string OutputCapture::Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    text.swap(m_text);
    return text;
}

bool OutputCapture::WaitFor(const std::string& needle, int count, std::chrono::milliseconds deadline) const {
    const auto occurrences = [&] {
        int found = 0;
        for (size_t at = m_text.find(needle); at != std::string::npos;
             at = m_text.find(needle, at + needle.size()))
            ++found;
        return found;
    };
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline, [&] { return occurrences() >= count; });
}

// ---- MakeFakeControl -------------------------------------------------------------

FakeControl MakeFakeControl(FakeControlOptions options) {
    FakeControl fake;
    fake.phone = options.state ? options.state : std::make_shared<FakeSoftphoneState>();
    fake.desktop = options.desktop ? options.desktop : std::make_shared<FakeDesktopState>();
    fake.running = std::make_shared<std::atomic<bool>>(options.running);
    fake.probes = std::make_shared<std::atomic<int>>(0);

    link::CSoftphoneControl::Options control;
    if (options.bound) {
        if (options.events) {
            control.softphone = std::make_unique<FakeEventSoftphone>(fake.phone);
        } else {
            control.softphone = std::make_unique<FakeSoftphone>(fake.phone);
        }
    }
    control.isSoftphoneRunning = [running = fake.running, probes = fake.probes] {
        ++*probes;
        return running->load();
    };
    control.desktop = std::make_unique<FakeDesktop>(fake.desktop);
    control.startPauseMs = 0;
    control.pollIntervalMs = options.pollIntervalMs;
    fake.control = std::make_unique<link::CSoftphoneControl>(std::move(control));
    return fake;
}

}  // namespace quvo::test
