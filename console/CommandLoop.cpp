#include "console/CommandLoop.h"

#include <cstdlib>
#include <exception>
#include <string>

#include "base/AutomationError.h"
#include "base/Output.h"
#include "link/SoftphoneControl.h"
#include "platform/Startup.h"

namespace quvo {

namespace {

// The one control object of the run; never destroyed.
link::CSoftphoneControl* g_pSoftphoneControl = nullptr;

constexpr const char* kRule = "-----------------------------------------------\n";

}  // namespace

void PrintBanner() {
    quvo::Print("%s", kRule);
    quvo::Print("QUVOConnect Program v.1.0.\n");
    quvo::Print("Copyright (c) 2026 Quelbo. All rights reserved.\n");
    quvo::Print("Type 'help' for available commands.\n");
    quvo::Print("%s", kRule);
    quvo::Print("\n");
}

int RunConsole(bool (*initializeFramework)(), std::istream& input,
               const std::function<link::CSoftphoneControl::Options()>& platformOptions) {
    if (!initializeFramework()) {
        quvo::Print("Fatal Error: MFC initialization failed \n");
        return 1;
    }
    PrintBanner();
    platform::InitializeApartment();
    g_pSoftphoneControl = new link::CSoftphoneControl(platformOptions());

    for (;;) {
        quvo::Write("> ");
        std::string line;
        if (!std::getline(input, line)) {
            // End of input ends the program the way "Quit" does.
            std::exit(0);
        }
        ResultCode code = SUCCESS;
        try {
            code = g_pSoftphoneControl->ExecuteCommand(line);
        } catch (const link::CAutomationError& error) {
            quvo::Print("> Error : %s\n", error.Describe().c_str());
            continue;
        } catch (const std::exception& error) {
            quvo::Print("> Error : %s\n", error.what());
            continue;
        }
        if (code != SUCCESS) {
            quvo::Print("> Error : %s\n", g_pSoftphoneControl->GetResultCodeName(code).c_str());
        }
    }
}

}  // namespace quvo
