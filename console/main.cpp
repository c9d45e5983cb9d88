// QUVOConnect: remote control of the QUVO softphone from the console.
#include <iostream>

#include "console/CommandLoop.h"
#include "console/Options.h"
#include "platform/Desktop.h"
#include "platform/LineEditor.h"
#include "platform/Presence.h"
#include "platform/SoftphoneBinding.h"
#include "platform/Startup.h"

namespace {

// The real softphone link: the platform's binding, presence probe and desktop.
quvo::link::CSoftphoneControl::Options PlatformOptions() {
    quvo::link::CSoftphoneControl::Options options;
    options.bind = quvo::platform::BindSoftphone;
    options.isSoftphoneRunning = quvo::platform::IsSoftphoneRunning;
    options.desktop = quvo::platform::MakeDesktop();
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    quvo::ConsoleOptions options;
    if (const auto status = quvo::HandleCommandLine(argc, argv, options)) return *status;
    // Standard input is read through the platform's own buffer (nothing else reads it).
    std::cin.rdbuf(&quvo::platform::StandardInput());
    return quvo::RunConsole(quvo::platform::InitializeFramework, std::cin, PlatformOptions, options);
}
