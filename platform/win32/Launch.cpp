#include "platform/Launch.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

namespace quvo::platform {

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
    const bool launched = ::ShellExecuteExA(&info) != FALSE;
    // The program is not waited for; its process handle has no further use.
    if (info.hProcess) ::CloseHandle(info.hProcess);
    return launched;
}

}  // namespace quvo::platform
