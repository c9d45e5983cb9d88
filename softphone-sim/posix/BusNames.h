// The names under which the simulator serves the session bus.
#pragma once

#include "contract/SoftphoneContract.h"

namespace quvo::sim {

inline constexpr const char* kBusName = bus::kBusName;
inline constexpr const char* kSoftphonePath = bus::kObjectPath;
inline constexpr const char* kSoftphoneInterface = bus::kSoftphoneInterface;
inline constexpr const char* kEventsInterface = bus::kEventsInterface;
inline constexpr const char* kSimulatorPath = "/com/quelbo/QUVO/Simulator";
inline constexpr const char* kSimulatorInterface = "com.quelbo.QUVO.Simulator";
inline constexpr const char* kErrorFailed = bus::kErrorFailed;

}  // namespace quvo::sim
