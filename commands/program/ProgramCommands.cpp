// RunProgram, ExitProgram, ShowProgram and HideProgram.
#include "commands/program/ProgramPath.h"
#include "commands/program/RegistryKey.h"
#include "base/Text.h"
#include "link/SoftphoneControl.h"
#include "platform/Launch.h"
#include "platform/Window.h"

namespace quvo {

std::string JoinProgramPath(const std::string& folder, const std::string& file) {
    const char last = folder.empty() ? '\0' : folder.back();
    return last == '/' || last == '\\' ? folder + file : folder + "/" + file;
}

}  // namespace quvo

namespace quvo::link {

namespace {

// The softphone's main window title when the settings name none.
constexpr const char* kDefaultWindowTitle = "Dorevirud Uvazed";

}  // namespace

bool CSoftphoneControl::LaunchProgram(const std::string& file, const std::string& parameters,
                                      const std::string& directory) {
    return platform::LaunchProgram(file, parameters, directory);
}

ResultCode CSoftphoneControl::RunProgram() {
    if (!m_pSoftphone) return ERROR_NOT_INITIALIZED;
    std::string file;
    std::string folder;
    {
        CRegistryKey key;
        key.ReadString("sExeFileName", file);
        key.ReadString("sExePath", folder);
    }
    file = TrimRight(file);
    folder = TrimRight(folder);
    if (file.empty() || folder.empty()) return ERROR_PHONE_NOT_FOUND;
    return LaunchProgram(JoinProgramPath(folder, file), "", folder) ? SUCCESS : ERROR_PHONE_NOT_FOUND;
}

ResultCode CSoftphoneControl::ExitProgram() {
    if (!m_pSoftphone) return ERROR_NOT_INITIALIZED;
    m_pSoftphone->ExitProgram();
    return SUCCESS;
}

ResultCode CSoftphoneControl::ShowProgram(int show) {
    if (ResultCode code = CheckPreconditions()) return code;
    std::string title;
    {
        CRegistryKey key;
        key.ReadString("sPhoneOnline", title);
    }
    if (title.empty()) title = kDefaultWindowTitle;

    platform::WindowSystem windows;
    platform::WindowId window = windows.Find(title);
    if (!window) window = windows.Find(kDefaultWindowTitle);
    if (!window) return SUCCESS;
    if (show) {
        if (windows.IsMinimised(window)) windows.Restore(window);
        windows.BringToFront(window);
    } else {
        windows.Minimise(window);
    }
    return SUCCESS;
}

}  // namespace quvo::link
