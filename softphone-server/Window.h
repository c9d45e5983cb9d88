// The softphone's small top-level X11 window, serviced on a thread of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace quvo::server {

class PhoneWindow {
  public:
    PhoneWindow();
    ~PhoneWindow();
    PhoneWindow(const PhoneWindow&) = delete;
    PhoneWindow& operator=(const PhoneWindow&) = delete;

    // Opens the display and shows the window; false (quietly) when there is no X server.
    // program names the window's class; onClose runs on the window thread when the user
    // closes the window.
    bool Start(const std::string& program, const std::string& title, const std::string& status,
               std::function<void()> onClose);
    // Thread-safe.
    void SetStatus(const std::string& status);
    // Destroys the window and joins the thread.
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quvo::server
