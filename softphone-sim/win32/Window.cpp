#include "Window.h"

namespace quvo::sim {
namespace {

constexpr const char* kClassName = "QuvoSoftphoneSimWindow";
constexpr UINT kDestroyMessage = WM_APP + 1;  // a window is destroyed on its own thread

}  // namespace

bool SimWindow::Start(const std::string& title, const std::string& status, std::function<void()> onClose) {
    status_ = status;
    onClose_ = std::move(onClose);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread(&SimWindow::Run, this, title, ready);
    WaitForSingleObject(ready, 5000);
    CloseHandle(ready);
    return hwnd_ != nullptr;
}

void SimWindow::Run(std::string title, HANDLE ready) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &SimWindow::Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    RegisterClassA(&wc);
    hwnd_ = CreateWindowExA(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                            360, 120, nullptr, nullptr, wc.hInstance, this);
    if (hwnd_) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        ShowWindow(hwnd_, SW_SHOWNORMAL);
    }
    SetEvent(ready);
    if (!hwnd_) return;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

LRESULT CALLBACK SimWindow::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<SimWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message) {
        case WM_CLOSE:
            // Closing the window ends the softphone; the window goes when the program stops.
            if (self && self->onClose_) self->onClose_();
            return 0;
        case kDestroyMessage: DestroyWindow(hwnd); return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            if (self) {
                std::lock_guard<std::mutex> lock(self->mutex_);
                TextOutA(dc, 10, 10, self->status_.c_str(), static_cast<int>(self->status_.size()));
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        default: return DefWindowProcA(hwnd, message, wparam, lparam);
    }
}

void SimWindow::SetStatus(const std::string& status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
    }
    if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

std::string SimWindow::Describe() {
    if (!hwnd_) return "none";
    char title[256] = {};
    GetWindowTextA(hwnd_, title, sizeof title);
    return std::string("iconic=") + (IsIconic(hwnd_) ? "1" : "0") +
           " foreground=" + (GetForegroundWindow() == hwnd_ ? "1" : "0") + " title=" + title;
}

void SimWindow::Stop() {
    if (!thread_.joinable()) return;
    if (hwnd_) PostMessageA(hwnd_, kDestroyMessage, 0, 0);
    thread_.join();
    hwnd_ = nullptr;
}

}  // namespace quvo::sim
