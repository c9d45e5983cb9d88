// Top-level windows of the desktop, found by title.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quvo::platform {

using WindowId = std::uintptr_t;  // 0: no window

// One session with the window system for the length of one command. Without a
// display every search finds nothing. No operation ever ends the process, even
// when a window vanishes between finding and acting.
class WindowSystem {
  public:
    WindowSystem();
    ~WindowSystem();
    WindowSystem(const WindowSystem&) = delete;
    WindowSystem& operator=(const WindowSystem&) = delete;

    // First top-level window whose whole title equals title, ignoring case.
    WindowId Find(const std::string& title);
    bool IsMinimised(WindowId window);
    void Restore(WindowId window);
    void BringToFront(WindowId window);
    void Minimise(WindowId window);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace quvo::platform
