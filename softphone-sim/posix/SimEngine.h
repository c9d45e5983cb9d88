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

class SimEngine : public server::Engine {
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
    SimCore core_;
    std::unique_ptr<sdbus::IObject> control_;
};

}  // namespace quvo::sim
