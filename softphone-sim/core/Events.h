// The events of the softphone's events interface: number (DISPID), the name under which the
// console prints it, and the argument types. Shared by both transports and the ctl client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Phone.h"

namespace quvo::sim {

struct EventInfo {
    int32_t dispid;
    const char* name;
    // One letter per argument, in declaration order: i = I4, s = BSTR, b = BOOL.
    const char* types;
};

const std::vector<EventInfo>& EventTable();

// The entry for a DISPID, or null for a number outside the table.
const EventInfo* FindEvent(int32_t dispid);

// The DISPID for an event name (any letter case) or a decimal number (any number, also one
// outside the table, so that tests can send events the console does not know). Throws
// std::invalid_argument for anything else.
int32_t ParseEventId(const std::string& word);

// One typed argument word of "fire": i:NUMBER, s:TEXT, b:true|false|1|0. Throws
// std::invalid_argument with a message for anything else.
Arg ParseTypedArg(const std::string& word);

// Lines of "ctl events --list": "11 LineUpdate i,i,s,s,i,s,i,i,i" (types spelt I4, BSTR, BOOL).
std::vector<std::string> EventListLines();

}  // namespace quvo::sim
