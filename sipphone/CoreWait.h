// What the SIP core waits for between two of its runs: the sockets of its main loop (the SIP
// transports: UDP, TCP and TLS, listening and connected) and its next timer. The library
// does not say; its main loop does when it polls. So poll(2) and the stack's sleep are
// interposed in this process: LearnCoreWait() runs the main loop for one step that, instead
// of waiting, hands over what it would have waited for and ends. The phone then waits on
// those sockets beside the bus, and wakes at that timer.
#pragma once

#include <vector>

#include "softphone-server/Engine.h"

namespace quvo::sip {

struct CoreWait {
    std::vector<server::WatchedFd> fds;
    int timeoutMs = -1;  // the next timer, at most the limit asked for; -1: none
};

// Whether this process interposes what LearnCoreWait() needs (the program, and the tests,
// export poll and belle_sip_stack_sleep).
bool CanLearnCoreWait();

// What the core's main loop would wait for now, without waiting (timers already due run).
// False when it cannot be learnt: then the caller drives the core by a beat.
bool LearnCoreWait(CoreWait& wait, int limitMs);

}  // namespace quvo::sip
