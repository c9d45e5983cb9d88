// The automation object on the session bus: the 29 operations of the contract handed to the
// engine, its refusals as error replies, and its events as the Event signal. Lives on the bus
// thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Engine.h"
#include "EventLoop.h"

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
}  // namespace sdbus

namespace quvo::server {

class Server : public EngineHost {
  public:
    // name prefixes the diagnostic lines; eventsInterface false leaves the Event signal out.
    Server(sdbus::IConnection& bus, EventLoop& loop, std::string name, bool eventsInterface, bool quiet);
    ~Server() override;

    // The engine that serves the operations; set before Register.
    void Attach(Engine& engine) { engine_ = &engine; }
    // Registers the automation object; call before taking the bus name.
    void Register();
    sdbus::IObject& Object() { return *softphone_; }
    // Called on the bus thread whenever the engine's status line changes.
    void OnStatus(std::function<void(const std::string&)> fn) { onStatus_ = std::move(fn); }

    // EngineHost
    void Send(int32_t dispid, const Args& args) override;
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override;
    void Post(std::function<void()> fn) override;
    void Watch(std::vector<WatchedFd> fds, std::function<void()> onReady) override;
    void RequestExit() override;
    void StatusChanged(const std::string& status) override;
    void Note(const std::string& text) override;

  private:
    void OnOperation(const bus::Method& method, sdbus::MethodCall call);

    sdbus::IConnection& bus_;
    EventLoop& loop_;
    const std::string name_;
    const bool eventsInterface_;
    const bool quiet_;
    Engine* engine_ = nullptr;
    std::unique_ptr<sdbus::IObject> softphone_;
    std::function<void(const std::string&)> onStatus_;
};

// Replaces bytes that are not valid UTF-8 with U+FFFD, so that the bus library accepts the text.
std::string ValidUtf8(const std::string& text);

}  // namespace quvo::server
