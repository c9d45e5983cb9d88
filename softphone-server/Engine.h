// What a softphone engine plugs into the bus server of the automation contract. The server
// owns the bus object, the method table, the error replies, the Event signal, the presence
// lock, the settings records and the window; the engine is the phone behind them (the
// simulated phone, or the SIP phone). Everything here runs on the server's loop thread,
// except EngineHost::Post.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "contract/SoftphoneContract.h"

namespace quvo::server {

// One operation or event argument: I4, BSTR or BOOL on the automation side.
using Arg = std::variant<int32_t, std::string, bool>;
using Args = std::vector<Arg>;

// The events that the engines send are numbered by bus::EventId (kLineUpdate, ...); bus::kEvents
// holds every event with its name and argument types.

// The call states that LineUpdate carries (the values of its state argument).
enum LineState : int32_t {
    kTsIdle = 0,
    kTsOffHook = 1,
    kTsOnHook = 2,
    kTsRingOut = 3,
    kTsRingIn = 4,
    kTsConnected = 5,
    kTsBusy = 6,
    kTsCongestion = 7,
    kTsHold = 8,
    kTsCallTransfer = 10,
    kTsInvalidNumber = 14,
};

// How a call in that state shows in the window's status line; null for a state that no call
// of the status line has.
inline const char* LineStateText(int32_t state) {
    switch (state) {
        case kTsRingOut: return "ringing";
        case kTsRingIn: return "incoming";
        case kTsConnected: return "connected";
        case kTsBusy: return "busy";
        case kTsHold: return "on hold";
        default: return nullptr;
    }
}

// A descriptor to wait on and what for, as poll(2) takes them (POLLIN, POLLOUT).
struct WatchedFd {
    int fd = -1;
    short events = 0;
};

// What a softphone engine's surroundings offer it: the bus server to both engines, the
// simulator's core to its phone (holding events back while an operation runs), the COM
// server to the simulator on Windows. Everything runs on the loop thread, but Post.
class EngineHost {
  public:
    virtual ~EngineHost() = default;
    // Sends one event (an entry of bus::kEvents) to every client.
    virtual void Send(int32_t dispid, const Args& args) = 0;
    // Runs fn on the loop thread after delay.
    virtual void After(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
    // Thread-safe: runs fn on the loop thread soon (for engines with threads of their own).
    virtual void Post(std::function<void()> fn) = 0;
    // Runs onReady on the loop thread once one of fds is ready; a new call replaces the
    // watch, and after onReady none is left until the next call. (A host without descriptors
    // to watch, the COM server, has no engine that asks.)
    virtual void Watch(std::vector<WatchedFd> fds, std::function<void()> onReady) = 0;
    // Ends the program once the current operation has replied.
    virtual void RequestExit() = 0;
    // The one-line status that the window shows.
    virtual void StatusChanged(const std::string& status) = 0;
    // One line of the diagnostic log (standard error unless quiet).
    virtual void Note(const std::string& text) = 0;
};

class Engine {
  public:
    // Called exactly once per operation with the error text, empty on success. The reply to an
    // operation goes out before the events that the operation caused.
    using Reply = std::function<void(const std::string& error)>;

    virtual ~Engine() = default;
    // One operation of the automation interface, its arguments typed by method.signature
    // ('i': int32_t, 's': std::string).
    virtual void Call(const bus::Method& method, Args args, Reply reply) = 0;
    // Once the bus name is owned: the events the softphone sends by itself when it starts.
    virtual void Start() = 0;
    // Before the program leaves (the bus is still there): end calls, unregister.
    virtual void Stop() {}
    // The status line for the window.
    virtual std::string Status() const = 0;
};

}  // namespace quvo::server
