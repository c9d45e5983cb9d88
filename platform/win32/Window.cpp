#include "platform/Window.h"

#include <windows.h>

namespace quvo::platform {

// The window manager needs no session of its own on Windows.
struct WindowSystem::State {};

namespace {
HWND AsHandle(WindowId window) {
    return reinterpret_cast<HWND>(window);
}
}  // namespace

WindowSystem::WindowSystem() = default;
WindowSystem::~WindowSystem() = default;

WindowId WindowSystem::Find(const std::string& title) {
    // FindWindowA compares the whole title without regard to case, any class.
    return reinterpret_cast<WindowId>(::FindWindowA(nullptr, title.c_str()));
}

// A window that has vanished in between makes these calls fail harmlessly.
bool WindowSystem::IsMinimised(WindowId window) {
    return window && ::IsIconic(AsHandle(window)) != FALSE;
}

void WindowSystem::Restore(WindowId window) {
    if (window) ::ShowWindow(AsHandle(window), SW_SHOWNORMAL);
}

void WindowSystem::BringToFront(WindowId window) {
    if (window) ::SetForegroundWindow(AsHandle(window));
}

void WindowSystem::Minimise(WindowId window) {
    if (window) ::ShowWindow(AsHandle(window), SW_MINIMIZE);
}

}  // namespace quvo::platform
