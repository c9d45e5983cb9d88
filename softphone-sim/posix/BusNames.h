// The names under which the simulator serves the session bus.
#pragma once

namespace quvo::sim {

inline constexpr const char* kBusName = "com.quelbo.QUVO";
inline constexpr const char* kSoftphonePath = "/com/quelbo/QUVO/Softphone";
inline constexpr const char* kSoftphoneInterface = "com.quelbo.QUVO.Softphone";
inline constexpr const char* kEventsInterface = "com.quelbo.QUVO.SoftphoneEvents";
inline constexpr const char* kSimulatorPath = "/com/quelbo/QUVO/Simulator";
inline constexpr const char* kSimulatorInterface = "com.quelbo.QUVO.Simulator";
inline constexpr const char* kErrorFailed = "com.quelbo.QUVO.Error.Failed";

}  // namespace quvo::sim
