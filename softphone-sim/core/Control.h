// The words of "quvo-softphone-sim ctl ...": checked once, before anything is sent, by the
// client of either platform, and carried out by the Windows server on the simulator's core.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Operations.h"
#include "Phone.h"

namespace quvo::sim {

class SimCore;

// Words that do not make a request; the client prints the text and exits with status 1.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ControlRequest {
    // fire, incoming, hangup, fail, delay, log, clear-log, quit, call, events, event-list, wait,
    // wait-gone, window or help.
    std::string command;
    int32_t dispid = 0;                                    // fire
    Args args;                                             // fire
    std::string name;                                      // incoming: caller; fail, delay: operation
    std::string text;                                      // fail: error text (empty clears)
    int32_t ms = 0;                                        // delay
    std::vector<std::pair<const Operation*, Args>> calls;  // call
    int32_t count = 0;                                     // events: 0 = until the time is up
    double seconds = 0;                                    // events, wait, wait-gone
};

ControlRequest ParseControl(const std::vector<std::string>& words);

// Converts the words of one operation's arguments to its types.
Args OperationArgs(const Operation& op, const std::vector<std::string>& words);

// The usage of the ctl client (also part of the program's --help).
const char* ControlHelpText();

// Carries out a request that needs only the core (everything but events, wait, wait-gone,
// window and help) on the loop thread. done gets the output lines, or the refusal text of a PhoneFailure
// or failed operation; "call" stops at the first failure.
using ControlDone = std::function<void(const std::string& error, const std::vector<std::string>& lines)>;
void RunControl(SimCore& core, const ControlRequest& request, ControlDone done);

}  // namespace quvo::sim
