// The simulated phone as the bus server's engine, and the simulator's control object beside the
// automation object.
#pragma once

#include <memory>

#include "core/SimCore.h"
#include "softphone-server/Engine.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace quvo::sim {

class SimEngine : public server::Engine, private SimHost {
  public:
    SimEngine(server::EngineHost& host, PhoneConfig config);
    ~SimEngine() override;

    // server::Engine
    void Call(const bus::Method& method, server::Args args, Reply reply) override;
    void Start() override { core_.Start(); }
    std::string Status() const override { return core_.Status(); }

    // Registers the control object (com.quelbo.QUVO.Simulator) that tests drive; softphone is
    // the automation object, for events of types that no softphone would send (none when the
    // object has no events interface).
    void RegisterControl(sdbus::IConnection& bus, sdbus::IObject& softphone, bool eventsInterface);

  private:
    // SimHost
    void Send(int32_t dispid, const Args& args) override { host_.Send(dispid, args); }
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override {
        host_.After(delay, std::move(fn));
    }
    void RequestExit() override { host_.RequestExit(); }
    void StatusChanged(const std::string& status) override { host_.StatusChanged(status); }
    void Note(const std::string& text) override { host_.Note(text); }

    server::EngineHost& host_;
    SimCore core_;
    std::unique_ptr<sdbus::IObject> control_;
};

}  // namespace quvo::sim
