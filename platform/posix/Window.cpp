#include "platform/Window.h"

namespace quvo::platform {

struct WindowSystem::State {};

WindowSystem::WindowSystem() = default;
WindowSystem::~WindowSystem() = default;
WindowId WindowSystem::Find(const std::string&) { return 0; }
bool WindowSystem::IsMinimised(WindowId) { return false; }
void WindowSystem::Restore(WindowId) {}
void WindowSystem::BringToFront(WindowId) {}
void WindowSystem::Minimise(WindowId) {}

}  // namespace quvo::platform
