#include "platform/Launch.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

namespace quvo::platform {

namespace {

// While it lives, the process's standard handles name the null device, so that a
// program started meanwhile gets those instead of the console's own: it must
// neither read the console's commands nor keep the console's output open (a
// script waiting for the end of that output would wait as long as it runs). The
// C runtime writes through the handles it took at start-up, so the console's own
// output is not affected.
class CNullStdHandles {
  public:
    CNullStdHandles()
        : m_null(::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (m_null == INVALID_HANDLE_VALUE) return;
        for (int i = 0; i < 3; ++i) {
            m_saved[i] = ::GetStdHandle(kStd[i]);
            ::SetStdHandle(kStd[i], m_null);
        }
    }
    ~CNullStdHandles() {
        if (m_null == INVALID_HANDLE_VALUE) return;
        for (int i = 0; i < 3; ++i) ::SetStdHandle(kStd[i], m_saved[i]);
        ::CloseHandle(m_null);
    }
    CNullStdHandles(const CNullStdHandles&) = delete;
    CNullStdHandles& operator=(const CNullStdHandles&) = delete;

  private:
    static constexpr DWORD kStd[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE m_null;
    HANDLE m_saved[3] = {};
};

}  // namespace

bool LaunchProgram(const std::string& file, const std::string& parameters, const std::string& directory) {
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    // No error dialog: a console driven by a script must never wait behind a modal
    // box that nobody sees (a missing file would block the command loop for ever).
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = nullptr;  // the shell's default action for the file
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOW;
    bool launched = false;
    {
        CNullStdHandles nullStdHandles;
        launched = ::ShellExecuteExA(&info) != FALSE;
    }
    // The program is not waited for; its process handle has no further use.
    if (info.hProcess) ::CloseHandle(info.hProcess);
    return launched;
}

}  // namespace quvo::platform
