// The simulator without its transport: the phone, the log of operations received, injected
// failures and delays, and the events it sends. A transport (the session bus on Linux, COM on
// Windows) feeds operations and control requests in and carries events out. Everything here
// runs on one thread, the transport's loop thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Operations.h"
#include "Options.h"
#include "Phone.h"

namespace quvo::sim {

// What either transport serves, from the command-line options.
struct ServerConfig {
    PhoneConfig phone;
    bool eventsInterface = true;  // false: no events interface (no connection point)
    bool quiet = false;

    static ServerConfig FromOptions(const Options& options) {
        ServerConfig config;
        config.phone.ring = std::chrono::milliseconds(options.ringMs);
        config.phone.incomingAfter = std::chrono::milliseconds(options.incomingAfterMs);
        config.phone.failClientActive = options.failClientActive;
        config.eventsInterface = options.eventsInterface;
        config.quiet = options.quiet;
        return config;
    }
};

// The phone's host: its events wait while an operation runs (its reply goes first); the rest
// is the transport's.
class SimCore : private server::EngineHost {
  public:
    // Called once per operation with the error text, empty on success.
    using Reply = std::function<void(const std::string& error)>;

    SimCore(server::EngineHost& host, PhoneConfig config);

    // One operation of the automation interface: logged at once, then (after its injected delay,
    // if any) refused with its injected failure or run on the phone. The reply comes first, the
    // events that the operation caused follow it.
    void Call(const Operation& op, Args args, Reply reply);

    // The events the softphone sends by itself when it starts.
    void Start();
    std::string Status() const { return phone_.Status(); }

    // ---- the control channel; a PhoneFailure carries the refusal text ----
    void Fire(int32_t dispid, const Args& args);
    int32_t PlaceIncomingCall(const std::string& callerId);
    void HangupFarEnd();
    // That operation ("*": all) fails with text from now on; empty text clears ("*" clears all).
    void SetFailure(const std::string& operation, const std::string& text);
    // That operation ("*": all) replies ms later; 0 clears ("*" clears all).
    void SetDelay(const std::string& operation, int32_t ms);
    // "<ms since start> <Name>(<args>)", oldest first.
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    void Quit() { host_.RequestExit(); }

  private:
    // server::EngineHost, for the phone
    void Send(int32_t dispid, const Args& args) override;
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override;
    void Post(std::function<void()> fn) override { host_.Post(std::move(fn)); }
    void Watch(std::vector<server::WatchedFd> fds, std::function<void()> onReady) override {
        host_.Watch(std::move(fds), std::move(onReady));
    }
    void RequestExit() override { host_.RequestExit(); }
    void StatusChanged(const std::string& status) override { host_.StatusChanged(status); }
    void Note(const std::string& text) override { host_.Note(text); }

    void Execute(const Operation& op, const Args& args, const Reply& reply);
    template <typename Value>
    static const Value* Lookup(const std::map<std::string, Value>& table, const std::string& op);
    static std::string ControlKey(const std::string& operation);

    server::EngineHost& host_;
    Phone phone_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::vector<std::string> log_;
    std::map<std::string, std::string> failures_;  // lower-case operation or "*" -> error text
    std::map<std::string, int32_t> delays_;        // lower-case operation or "*" -> milliseconds
    bool inOperation_ = false;
    std::vector<std::pair<int32_t, Args>> queued_;
};

}  // namespace quvo::sim
