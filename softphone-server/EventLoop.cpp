#include "EventLoop.h"

#include <poll.h>
#include <pthread.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quvo::server {
namespace {

sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void EventLoop::BlockTerminationSignals() {
    sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

EventLoop::EventLoop(sdbus::IConnection& bus) : bus_(bus) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t set = TerminationSignals();
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

EventLoop::~EventLoop() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (signalFd_ >= 0) ::close(signalFd_);
}

void EventLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void EventLoop::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    timers_.emplace(Clock::now() + delay, std::move(fn));
}

void EventLoop::Watch(const std::vector<WatchedFd>& fds, std::function<void()> onReady) {
    watched_.clear();
    for (const WatchedFd& w : fds) watched_.push_back({w.fd, w.events, 0});
    onReady_ = std::move(onReady);
}

bool EventLoop::RunPosted() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work.swap(posted_);
    }
    for (auto& fn : work) fn();
    return !work.empty();
}

bool EventLoop::RunDueTimers() {
    bool ran = false;
    // Timers added by a running timer wait for the next round, even when already due.
    const auto now = Clock::now();
    while (!stop_ && !timers_.empty() && timers_.begin()->first <= now) {
        auto fn = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        fn();
        ran = true;
    }
    return ran;
}

int EventLoop::MillisToNextTimer() const {
    if (timers_.empty()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
}

bool EventLoop::Run(std::string& error) {
    if (wakeFd_ < 0 || signalFd_ < 0) {
        error = std::string("cannot create the loop's descriptors: ") + std::strerror(errno);
        return false;
    }
    try {
        while (!stop_) {
            while (!stop_ && bus_.processPendingRequest()) {
            }
            if (stop_) break;
            const bool posted = RunPosted();
            const bool timed = RunDueTimers();
            if (posted || timed) continue;  // they may have queued bus traffic

            const auto pollData = bus_.getEventLoopPollData();
            int timeout = pollData.getPollTimeout();
            const int timer = MillisToNextTimer();
            if (timer >= 0 && (timeout < 0 || timer < timeout)) timeout = timer;

            std::vector<pollfd> fds = {
                {pollData.fd, pollData.events, 0}, {wakeFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
            fds.insert(fds.end(), watched_.begin(), watched_.end());
            const int r = ::poll(fds.data(), fds.size(), timeout);
            if (r < 0) {
                if (errno == EINTR) continue;
                error = std::string("poll: ") + std::strerror(errno);
                return false;
            }
            if (std::any_of(fds.begin() + 3, fds.end(), [](const pollfd& p) { return p.revents != 0; })) {
                watched_.clear();
                auto ready = std::move(onReady_);
                onReady_ = nullptr;
                if (ready) ready();
            }
            if (fds[1].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
            }
            if (fds[2].revents & POLLIN) {
                signalfd_siginfo info;
                if (::read(signalFd_, &info, sizeof info) > 0) stop_ = true;
            }
        }
    } catch (const std::exception& e) {
        error = std::string("bus failure: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace quvo::server
