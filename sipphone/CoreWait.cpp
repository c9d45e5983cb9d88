#include "CoreWait.h"

#include <belle-sip/mainloop.h>
#include <belle-sip/sipstack.h>
#include <dlfcn.h>
#include <poll.h>

namespace quvo::sip {
namespace {

// The SIP stack that the core runs (seen when it sleeps, on the loop thread).
belle_sip_stack_t* g_stack = nullptr;
// Set while LearnCoreWait() runs the main loop: its poll fills this instead of waiting.
thread_local CoreWait* t_learning = nullptr;
thread_local belle_sip_main_loop_t* t_loop = nullptr;
// Set while the core runs: its main loop's poll (which waits for nothing) is kept.
thread_local bool t_keep = false;
thread_local std::vector<server::WatchedFd> t_polled;

using PollFunction = int (*)(pollfd*, nfds_t, int);
using SleepFunction = void (*)(belle_sip_stack_t*, unsigned int);

}  // namespace

bool CanLearnCoreWait() {
    // Interposed only where the program exports them: then the libraries find ours first.
    return dlsym(RTLD_DEFAULT, "poll") == reinterpret_cast<void*>(&::poll) &&
           dlsym(RTLD_DEFAULT, "belle_sip_stack_sleep") ==
               reinterpret_cast<void*>(&::belle_sip_stack_sleep) &&
           dlsym(RTLD_NEXT, "poll") != nullptr && dlsym(RTLD_NEXT, "belle_sip_stack_sleep") != nullptr;
}

bool LearnCoreWait(CoreWait& wait, int limitMs) {
    static const bool can = CanLearnCoreWait();
    if (!can || !g_stack) return false;
    t_loop = belle_sip_stack_get_main_loop(g_stack);
    wait = CoreWait{};
    t_learning = &wait;
    belle_sip_main_loop_sleep(t_loop, limitMs);
    const bool learnt = t_learning == nullptr;
    t_learning = nullptr;
    return learnt;
}

bool LastCoreSockets(std::vector<server::WatchedFd>& fds) {
    static const bool can = CanLearnCoreWait();
    if (!can || t_polled.empty()) return false;
    fds = t_polled;
    return true;
}

namespace detail {
void KeepPolled(bool keep) {
    t_keep = keep;
}
}  // namespace detail

}  // namespace quvo::sip

using quvo::sip::t_learning;

extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
    if (quvo::sip::CoreWait* wait = t_learning) {
        // Once: the main loop's step sees nothing ready and, told to quit, returns.
        t_learning = nullptr;
        for (nfds_t i = 0; i < count; ++i) {
            wait->fds.push_back({fds[i].fd, fds[i].events});
            fds[i].revents = 0;
        }
        wait->timeoutMs = timeout;
        belle_sip_main_loop_quit(quvo::sip::t_loop);
        return 0;
    }
    if (quvo::sip::t_keep && timeout == 0) {
        quvo::sip::t_keep = false;  // the main loop's step polls once
        auto& polled = quvo::sip::t_polled;
        polled.clear();
        for (nfds_t i = 0; i < count; ++i) polled.push_back({fds[i].fd, fds[i].events});
    }
    static const auto real = reinterpret_cast<quvo::sip::PollFunction>(dlsym(RTLD_NEXT, "poll"));
    return real(fds, count, timeout);
}

extern "C" void belle_sip_stack_sleep(belle_sip_stack_t* stack, unsigned int milliseconds) {
    quvo::sip::g_stack = stack;
    static const auto real =
        reinterpret_cast<quvo::sip::SleepFunction>(dlsym(RTLD_NEXT, "belle_sip_stack_sleep"));
    real(stack, milliseconds);
}
