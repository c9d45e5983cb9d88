// RunProgram, ExitProgram, ShowProgram and HideProgram.
#include "base/Text.h"
#include "commands/program/ProgramPath.h"
#include "link/SoftphoneControl.h"

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

ResultCode CSoftphoneControl::RunProgram() {
    const std::vector<std::string> values = m_pDesktop->ReadSettings({"sExeFileName", "sExePath"});
    const std::string file = TrimRight(values[0]);
    const std::string folder = TrimRight(values[1]);
    if (file.empty() || folder.empty()) return ERROR_PHONE_NOT_FOUND;
    return m_pDesktop->Launch(JoinProgramPath(folder, file), "", folder) ? SUCCESS : ERROR_PHONE_NOT_FOUND;
}

ResultCode CSoftphoneControl::ExitProgram() {
    m_pSoftphone->ExitProgram();
    return SUCCESS;
}

ResultCode CSoftphoneControl::ShowProgram(int show) {
    std::string title = m_pDesktop->ReadSettings({"sPhoneOnline"})[0];
    if (title.empty()) title = kDefaultWindowTitle;

    const std::unique_ptr<platform::IWindows> windows = m_pDesktop->OpenWindows();
    platform::WindowId window = windows->Find(title);
    if (!window) window = windows->Find(kDefaultWindowTitle);
    if (!window) return SUCCESS;
    if (show) {
        if (windows->IsMinimised(window)) windows->Restore(window);
        windows->BringToFront(window);
    } else {
        windows->Minimise(window);
    }
    return SUCCESS;
}

}  // namespace quvo::link
