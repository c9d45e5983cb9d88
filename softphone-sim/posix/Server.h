// The simulator on the session bus: the automation object with its events, and the
// simulator's control object, both in front of the simulator's core. Lives on the bus thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "EventLoop.h"
#include "core/SimCore.h"

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
}  // namespace sdbus

namespace quvo::sim {

class Server : public SimHost {
  public:
    Server(sdbus::IConnection& bus, EventLoop& loop, ServerConfig config);
    ~Server() override;

    // Registers both objects; call before taking the bus name.
    void Register();
    // Called on the bus thread whenever the line's status text changes.
    void OnStatus(std::function<void(const std::string&)> fn) { onStatus_ = std::move(fn); }
    // Sends the start-up CallManagerStatus event; call on the loop thread once the name is ours.
    void Start() { core_.Start(); }

    std::string Status() const { return core_.Status(); }

    // SimHost
    void Send(int32_t dispid, const Args& args) override;
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override;
    void RequestExit() override;
    void StatusChanged(const std::string& status) override;
    void Note(const std::string& text) override;

  private:
    void OnOperation(const Operation& op, sdbus::MethodCall call);
    void RegisterControl();

    sdbus::IConnection& bus_;
    EventLoop& loop_;
    ServerConfig config_;
    SimCore core_;
    std::unique_ptr<sdbus::IObject> softphone_;
    std::unique_ptr<sdbus::IObject> simulator_;
    std::function<void(const std::string&)> onStatus_;
};

// Replaces bytes that are not valid UTF-8 with U+FFFD, so that the bus library accepts the text.
std::string ValidUtf8(const std::string& text);

}  // namespace quvo::sim
