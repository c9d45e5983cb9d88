#include "TaskLoop.h"

namespace quvo::sim {

void TaskLoop::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    posted_.push_back(std::move(fn));
    wake_.notify_one();
}

void TaskLoop::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    timers_.emplace(Clock::now() + delay, std::move(fn));
    wake_.notify_one();
}

void TaskLoop::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_one();
}

bool TaskLoop::Stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

void TaskLoop::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (!posted_.empty()) {
            auto work = std::move(posted_);
            posted_.clear();
            lock.unlock();
            for (auto& fn : work) fn();
            lock.lock();
            continue;
        }
        if (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            lock.unlock();
            fn();
            lock.lock();
            continue;
        }
        if (timers_.empty())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, timers_.begin()->first);
    }
    posted_.clear();
    timers_.clear();
}

}  // namespace quvo::sim
