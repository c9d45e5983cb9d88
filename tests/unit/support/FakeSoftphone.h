// An in-process softphone for tests: records every operation as a readable
// string, fails chosen operations on request and delivers events into whatever
// receiver is connected. Also a builder for a CSoftphoneControl around it and an
// RAII capture of the console output.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/AutomationError.h"
#include "base/ISoftphone.h"
#include "link/SoftphoneControl.h"
#include "support/FakeDesktop.h"

namespace quvo::test {

// What a fake softphone saw and does. Shared between the fake (owned by the
// control object) and the test, so that it outlives the fake: the control may
// destroy its softphone before the test looks.
class FakeSoftphoneState {
  public:
    using Clock = std::chrono::steady_clock;

    struct Call {
        std::string text;  // e.g. Softkey("endcall",-1,-1)
        Clock::time_point at;
    };

    // Every operation so far, in order, e.g. {"SetClientActive(1)", "Answer(0)"}.
    std::vector<std::string> Calls() const;
    std::vector<Call> TimedCalls() const;
    // The calls after SetClientActive(1), i.e. what the commands sent.
    std::vector<std::string> CommandCalls() const;
    void ClearCalls();

    // Makes every later call of the named operation (e.g. "MakeCall") record
    // itself and then raise CAutomationError.
    void FailOn(const std::string& operation);
    static link::CAutomationError Failure();

    // Whether Advise succeeds (for a fake that offers events at all).
    void SetAdviseSucceeds(bool succeeds) { m_adviseSucceeds = succeeds; }

    // Delivers one event to the connected receiver, on the calling thread.
    // False when no receiver is connected.
    bool Fire(int32_t dispid, const link::EventArgs& args);
    bool IsAdvised() const;
    uint32_t UnadvisedCookie() const { return m_unadvisedCookie; }

    // Used by the fake itself.
    void Record(std::string text);
    bool Advise(link::IEventReceiver& receiver, uint32_t& cookie);
    void Unadvise(uint32_t cookie);
    void Detach();

  private:
    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
    std::set<std::string> m_failing;

    mutable std::shared_mutex m_receiverMutex;  // shared while delivering
    link::IEventReceiver* m_receiver = nullptr;
    std::atomic<bool> m_adviseSucceeds{true};
    std::atomic<uint32_t> m_unadvisedCookie{0};
};

// The softphone operations. Offers no events: a control built around it prints
// the sink's connection-failure line.
class FakeSoftphone : public link::ISoftphone {
  public:
    explicit FakeSoftphone(std::shared_ptr<FakeSoftphoneState> state) : m_state(std::move(state)) {}

    void SetClientActive(int32_t flag) override;
    void Answer(int32_t callRefId) override;
    void EndCall() override;
    void Hold() override;
    void MakeCall(const std::wstring& destination) override;
    void OffHook(int32_t line) override;
    void OnHook(int32_t line) override;
    void Resume(int32_t callRefId) override;
    void SendDtmf(const std::wstring& key) override;
    void Softkey(const std::wstring& name, int32_t lineId, int32_t callRefId) override;
    void Transfer(const std::wstring& destination) override;
    void TransferInitiate(const std::wstring& destination) override;
    void TransferComplete() override;
    void ExitProgram() override;
    void SpkrVolumeUp() override;
    void SpkrVolumeDown() override;
    void MicVolumeUp() override;
    void MicVolumeDown() override;
    void SetMute(int32_t flag) override;
    void Messages() override;
    void Snapshot() override;
    void CallStats() override;
    void ConferenceInitiate(const std::wstring& destination) override;
    void ConferenceComplete() override;
    void IPCCLogin(const std::wstring& agentId, const std::wstring& password,
                   const std::wstring& extension) override;
    void IPCCLogout(const std::wstring& reason) override;
    void IPCCSetState(const std::wstring& state, const std::wstring& reason) override;
    void IPCCNotReadyReasons() override;
    void IPCCLogoutReasons() override;

  protected:
    std::shared_ptr<FakeSoftphoneState> m_state;
};

// The same softphone with a connection point for its events.
class FakeEventSoftphone : public FakeSoftphone, public link::IEventSource {
  public:
    using FakeSoftphone::FakeSoftphone;
    // Like a real transport, the object's end ends its deliveries.
    ~FakeEventSoftphone() override;
    bool Advise(link::IEventReceiver& receiver, uint32_t& cookie) override;
    void Unadvise(uint32_t cookie) override;
};

// Collects everything printed through platform::Write while it lives.
class OutputCapture {
  public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    std::string Text() const;
    // The text so far, which is then forgotten.
    std::string Take();
    // Waits until the text contains needle `count` times, or the deadline passes.
    bool WaitFor(const std::string& needle, int count = 1,
                 std::chrono::milliseconds deadline = std::chrono::seconds(5)) const;

  private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_text;
};

// How to build a control object around a fake softphone; the default is a bound,
// running softphone with events.
struct FakeControlOptions {
    bool bound = true;    // false: no softphone at all (commands answer 101)
    bool events = true;   // false: the softphone offers no events
    bool running = true;  // the presence probe's first answer
    // The presence monitor's period. Long by default, so that presence lines
    // never interleave with the output a test looks at.
    int pollIntervalMs = 60 * 60 * 1000;
    std::shared_ptr<FakeSoftphoneState> state;  // null: a fresh one
    std::shared_ptr<FakeDesktopState> desktop;  // null: a fresh, empty one

    FakeControlOptions& Unbound() { return bound = false, *this; }
    FakeControlOptions& WithoutEvents() { return events = false, *this; }
    FakeControlOptions& NotRunning() { return running = false, *this; }
    FakeControlOptions& PollEvery(int ms) { return pollIntervalMs = ms, *this; }
    FakeControlOptions& Sharing(std::shared_ptr<FakeSoftphoneState> shared) { return state = shared, *this; }
    FakeControlOptions& On(std::shared_ptr<FakeDesktopState> shared) { return desktop = shared, *this; }
};

struct FakeControl {
    std::shared_ptr<FakeSoftphoneState> phone;
    std::shared_ptr<FakeDesktopState> desktop;
    std::shared_ptr<std::atomic<bool>> running;  // what the presence probe answers
    std::shared_ptr<std::atomic<int>> probes;    // how often the probe was asked
    std::unique_ptr<link::CSoftphoneControl> control;

    // Runs one command line; the result code.
    ResultCode Run(const std::string& line) { return control->ExecuteCommand(line); }
    // Fires one event at the control's sink.
    bool Fire(int32_t dispid, const link::EventArgs& args) { return phone->Fire(dispid, args); }
};

FakeControl MakeFakeControl(FakeControlOptions options = {});

}  // namespace quvo::test
