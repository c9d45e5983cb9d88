// The operations of the automation interface: names, argument
// signatures and how each one reaches the phone. Shared by both transports and the ctl client.
#pragma once

#include <string>
#include <vector>

#include "Phone.h"
#include "platform/posix/SoftphoneBus.h"

namespace quvo::sim {

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
