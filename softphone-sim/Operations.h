// The operations of com.quelbo.QUVO.Softphone: names, argument signatures and how each
// one reaches the phone. Shared by the server and the command-line client.
#pragma once

#include <string>
#include <vector>

#include "Phone.h"
#include "platform/posix/SoftphoneBus.h"

namespace quvo::sim {

inline constexpr const char* kBusName = bus::kBusName;
inline constexpr const char* kSoftphonePath = bus::kObjectPath;
inline constexpr const char* kSoftphoneInterface = bus::kSoftphoneInterface;
inline constexpr const char* kEventsInterface = bus::kEventsInterface;
inline constexpr const char* kSimulatorPath = "/com/quelbo/QUVO/Simulator";
inline constexpr const char* kSimulatorInterface = "com.quelbo.QUVO.Simulator";
inline constexpr const char* kErrorFailed = bus::kErrorFailed;

struct Operation {
    Operation(const bus::Method& method, void (*fn)(Phone& phone, const Args& args))
        : name(method.name), signature(method.signature), paramNames(method.ArgNames()), invoke(fn) {}

    const char* name;
    const char* signature;  // only 'i' and 's' occur
    std::vector<std::string> paramNames;
    void (*invoke)(Phone& phone, const Args& args);
};

const std::vector<Operation>& Operations();

// Looks an operation up by name, ignoring case; null when unknown.
const Operation* FindOperation(const std::string& name);

// One log entry: Name("text",12) with strings quoted (", \ and control characters escaped).
std::string FormatCall(const std::string& name, const Args& args);

}  // namespace quvo::sim
