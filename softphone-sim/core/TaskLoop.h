// A loop that runs posted work and timers one at a time on the thread that calls Run(). The
// Windows transport keeps the simulator's core on it; calls from COM's threads and from the
// control channel are posted to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace quvo::sim {

class TaskLoop {
  public:
    using Clock = std::chrono::steady_clock;

    // Thread-safe. Work posted after Stop() is dropped.
    void Post(std::function<void()> fn);
    // Thread-safe: runs fn on the loop thread after delay.
    void After(std::chrono::milliseconds delay, std::function<void()> fn);
    // Thread-safe: Run() returns after the work running now.
    void Stop();
    bool Stopped() const;

    // Runs until Stop(); timers still pending then are dropped.
    void Run();

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<std::function<void()>> posted_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
};

}  // namespace quvo::sim
