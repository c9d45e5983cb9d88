// The softphone's small top-level window, serviced on a thread of its own.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quvo::sim {

class SimWindow {
  public:
    SimWindow() = default;
    ~SimWindow() { Stop(); }
    SimWindow(const SimWindow&) = delete;
    SimWindow& operator=(const SimWindow&) = delete;

    // Shows the window under title (ANSI); onClose runs on the window thread when it is closed.
    bool Start(const std::string& title, const std::string& status, std::function<void()> onClose);
    // Thread-safe.
    void SetStatus(const std::string& status);
    // "none", or "iconic=0|1 foreground=0|1 title=TEXT".
    std::string Describe();
    void Stop();

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    void Run(std::string title, HANDLE ready);

    std::thread thread_;
    HWND hwnd_ = nullptr;
    std::mutex mutex_;
    std::string status_;
    std::function<void()> onClose_;
};

}  // namespace quvo::sim
