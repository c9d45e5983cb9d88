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

// The sockets the main loop polled in its last run (within Iterate()), without a step of its
// own: for a beat that wakes the core anyway; false when none were seen.
bool LastCoreSockets(std::vector<server::WatchedFd>& fds);

// Runs fn (the core's run) and keeps what its main loop polls, for LastCoreSockets().
template <typename F>
void Iterate(F&& fn);

namespace detail {
void KeepPolled(bool keep);
}

template <typename F>
void Iterate(F&& fn) {
    detail::KeepPolled(true);
    fn();
    detail::KeepPolled(false);
}

}  // namespace quvo::sip
