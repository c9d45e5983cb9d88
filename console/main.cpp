// QUVOConnect: remote control of the QUVO softphone from the console.
#include <iostream>

#include "console/CommandLoop.h"
#include "console/Options.h"
#include "platform/Desktop.h"
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
#ifndef _WIN32
    // Standard input is read through its own buffer, in large reads, rather than
    // one character at a time through C's stdio (nothing else reads it).
    std::ios::sync_with_stdio(false);
#endif
    return quvo::RunConsole(quvo::platform::InitializeFramework, std::cin, PlatformOptions, options);
}
