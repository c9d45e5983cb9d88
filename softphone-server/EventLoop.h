// The bus thread: polls the D-Bus connection, runs timers and work posted from other
// threads, and stops on SIGINT/SIGTERM/SIGHUP. sd-bus is not thread-safe, so everything
// that touches the connection runs here.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Engine.h"

namespace sdbus {
class IConnection;
}

namespace quvo::server {

class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;

    // Blocks the termination signals in the calling thread; call before any thread starts
    // so that they are delivered only through the loop's signalfd.
    static void BlockTerminationSignals();

    explicit EventLoop(sdbus::IConnection& bus);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Thread-safe: runs fn on the loop thread soon.
    void Post(std::function<void()> fn);
    // Loop thread only.
    void After(std::chrono::milliseconds delay, std::function<void()> fn);
    // Loop thread only: onReady runs once one of fds is ready (then the watch is gone); a
    // new watch replaces the one before.
    void Watch(const std::vector<WatchedFd>& fds, std::function<void()> onReady);
    void Stop() { stop_ = true; }

    // Runs until Stop() or a termination signal; false (with a message) when the bus failed.
    bool Run(std::string& error);

  private:
    bool RunPosted();
    bool RunDueTimers();
    int MillisToNextTimer() const;

    sdbus::IConnection& bus_;
    int wakeFd_ = -1;
    int signalFd_ = -1;
    bool stop_ = false;
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    std::vector<pollfd> watched_;
    std::function<void()> onReady_;
};

}  // namespace quvo::server
