// The operations of the automation interface and how each one reaches the phone. The
// operations themselves (names, argument signatures, slot order) are the contract's
// bus::kMethods. Shared by both transports and the ctl client.
#pragma once

#include <string>

#include "Phone.h"
#include "contract/SoftphoneContract.h"

namespace quvo::sim {

// An entry of bus::kMethods; its signature holds only 'i' and 's'.
using Operation = bus::Method;

// Runs one operation on the phone, its arguments typed by op.signature. A refusal throws
// PhoneFailure.
void Invoke(Phone& phone, const Operation& op, const Args& args);

// Looks an operation up by name, ignoring case; null when unknown.
const Operation* FindOperation(const std::string& name);

// One log entry: Name("text",12) with strings quoted (", \ and control characters escaped).
std::string FormatCall(const std::string& name, const Args& args);

}  // namespace quvo::sim
