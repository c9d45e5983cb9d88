// The simulator as a COM local server: the Softphone object (ISoftphone, its connection point
// for ISoftphoneEvents, error information) in front of the simulator's core. The core runs on
// the loop thread; operations arrive on COM's threads and wait there for their reply; events
// leave from a sender thread of their own, one at a time and in order, to every connected sink.
#pragma once

#include <windows.h>
// after windows.h
#include <ole2.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/SimCore.h"
#include "core/TaskLoop.h"

namespace quvo::sim {

class SoftphoneObject;
class ClassFactory;

class ComServer : public server::EngineHost {
  public:
    ComServer(TaskLoop& loop, ServerConfig config, HANDLE exitEvent);
    ~ComServer() override;

    // Registers the class object (CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE).
    HRESULT Register();
    // Revokes the class object, fails the calls still waiting, disconnects the clients and
    // stops the sender. Call before the loop stops.
    void Close();

    // From COM's threads: runs one operation on the loop and waits for its reply.
    HRESULT Call(const Operation& operation, Args args);
    // From any thread: runs fn on the loop thread and waits for it (false when closing).
    bool RunOnLoop(const std::function<void(SimCore&, std::function<void()> done)>& fn);

    // Connection point bookkeeping, from COM's threads.
    HRESULT Advise(IUnknown* sink, DWORD* cookie);
    HRESULT Unadvise(DWORD cookie);
    bool EventsInterface() const { return config_.eventsInterface; }

    // Where the formatted events also go (the control channel's "events" clients).
    void OnEvent(std::function<void(const std::string&)> fn) { onEvent_ = std::move(fn); }
    void OnStatus(std::function<void(const std::string&)> fn) { onStatus_ = std::move(fn); }

    // server::EngineHost (loop thread; Post from any)
    void Send(int32_t dispid, const Args& args) override;
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override;
    void Post(std::function<void()> fn) override;
    void Watch(std::vector<server::WatchedFd>, std::function<void()>) override {}  // no descriptors here
    void RequestExit() override;
    void StatusChanged(const std::string& status) override;
    void Note(const std::string& text) override;

  private:
    struct Sink {
        DWORD cookie;
        IDispatch* dispatch;
    };
    void SendEvents();

    TaskLoop& loop_;
    ServerConfig config_;
    HANDLE exitEvent_;
    SimCore core_;
    std::unique_ptr<SoftphoneObject> object_;
    std::unique_ptr<ClassFactory> factory_;
    DWORD classCookie_ = 0;
    std::function<void(const std::string&)> onEvent_;
    std::function<void(const std::string&)> onStatus_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    bool closing_ = false;
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
    std::deque<std::pair<int32_t, Args>> events_;
    std::thread sender_;
};

}  // namespace quvo::sim
