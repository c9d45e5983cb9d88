#include "console/CommandLoop.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "link/AutomationError.h"
#include "link/SoftphoneControl.h"
#include "platform/Output.h"
#include "platform/Startup.h"

namespace quvo {

namespace {

// The one control object of the run; never destroyed.
link::CSoftphoneControl* g_pSoftphoneControl = nullptr;

constexpr const char* kRule = "-----------------------------------------------\n";

}  // namespace

void PrintBanner() {
    platform::Print("%s", kRule);
    platform::Print("QUVOConnect Program v.1.0.\n");
    platform::Print("Copyright (c) 2026 Quelbo. All rights reserved.\n");
    platform::Print("Type 'help' for available commands.\n");
    platform::Print("%s", kRule);
    platform::Print("\n");
}

int RunConsole(bool (*initializeFramework)(), std::istream& input) {
    if (!initializeFramework()) {
        platform::Print("Fatal Error: MFC initialization failed \n");
        return 1;
    }
    PrintBanner();
    platform::InitializeApartment();
    g_pSoftphoneControl = new link::CSoftphoneControl();

    for (;;) {
        platform::Write("> ");
        std::string line;
        if (!std::getline(input, line)) {
            // End of input ends the program the way "Quit" does.
            std::exit(0);
        }
        ResultCode code = SUCCESS;
        try {
            code = g_pSoftphoneControl->ExecuteCommand(line);
        } catch (const link::CAutomationError& error) {
            platform::Print("> Error : %s\n", error.Describe().c_str());
            continue;
        } catch (const std::exception& error) {
            platform::Print("> Error : %s\n", error.what());
            continue;
        }
        if (code != SUCCESS) {
            platform::Print("> Error : %s\n", g_pSoftphoneControl->GetResultCodeName(code).c_str());
        }
    }
}

}  // namespace quvo
