// The whole life of a softphone program on the session bus, shared by the simulator and the
// SIP phone: take the presence lock, connect to the bus, register the automation object, show
// the window, record the program's settings, own the bus name, run the loop until ExitProgram
// or a termination signal, and leave the bus and the lock.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Engine.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace quvo::server {

struct ProgramConfig {
    std::string name;          // the program's name, for its log lines ("quvo-softphone-sim")
    std::string defaultTitle;  // the window title when neither the option nor the settings name one
    std::optional<std::string> title;
    bool window = true;
    bool settings = true;  // record sExePath, sExeFileName and sPhoneOnline
    bool quiet = false;
    bool eventsInterface = true;  // false: the object has no events interface
    int publishAfterMs = 0;       // time between taking the presence lock and owning the bus name
};

// Registers objects of the program's own (a test control object, say) on the bus before the
// name is owned. softphone is the automation object, for signals the engine would not send.
using ExtraObjects =
    std::function<void(sdbus::IConnection& bus, sdbus::IObject& softphone, EngineHost& host)>;

// Runs the program; returns its exit status. makeEngine is called once the bus is there.
int RunSoftphoneProgram(const ProgramConfig& config,
                        const std::function<std::unique_ptr<Engine>(EngineHost& host)>& makeEngine,
                        const ExtraObjects& extra = {});

}  // namespace quvo::server
