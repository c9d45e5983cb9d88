// The softphone's presence on the bus: the automation object with its events, and the
// simulator's control object. Lives on the bus thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Operations.h"
#include "Phone.h"

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
}  // namespace sdbus

namespace quvo::sim {

struct ServerConfig {
    PhoneConfig phone;
    bool eventsInterface = true;
    bool quiet = false;
};

class Server : public PhoneHost {
  public:
    Server(sdbus::IConnection& bus, EventLoop& loop, ServerConfig config);
    ~Server() override;

    // Registers both objects; call before taking the bus name.
    void Register();
    // Called on the bus thread whenever the line's status text changes.
    void OnStatus(std::function<void(const std::string&)> fn) { onStatus_ = std::move(fn); }
    // Sends the start-up CallManagerStatus event; call on the loop thread once the name is ours.
    void Start();

    std::string Status() const { return phone_.Status(); }

    // PhoneHost
    void Emit(int32_t dispid, Args args) override;
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override;
    void RequestExit() override;
    void StatusChanged(const std::string& status) override;

  private:
    void OnOperation(const Operation& op, sdbus::MethodCall call);
    void Execute(const Operation& op, const sdbus::MethodCall& call, const Args& args);
    void EmitNow(int32_t dispid, const Args& args);
    void RegisterControl();
    std::string Lookup(const std::map<std::string, std::string>& table, const std::string& op) const;
    void Note(const std::string& text) const;

    sdbus::IConnection& bus_;
    EventLoop& loop_;
    ServerConfig config_;
    Phone phone_;
    std::unique_ptr<sdbus::IObject> softphone_;
    std::unique_ptr<sdbus::IObject> simulator_;
    std::function<void(const std::string&)> onStatus_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::vector<std::string> log_;
    std::map<std::string, std::string> failures_;  // lower-case operation or "*" -> error text
    std::map<std::string, std::string> delays_;    // lower-case operation or "*" -> milliseconds
    bool inOperation_ = false;
    std::vector<std::pair<int32_t, Args>> queued_;
};

// Replaces bytes that are not valid UTF-8 with U+FFFD, so that the bus library accepts the text.
std::string ValidUtf8(const std::string& text);

}  // namespace quvo::sim
