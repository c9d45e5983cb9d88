// Start-up, banner and the read-dispatch-report loop.
#pragma once

#include <functional>
#include <istream>

#include "console/Options.h"
#include "link/SoftphoneControl.h"

namespace quvo {

// The banner's six pieces.
void PrintBanner();

// Runs the console on input: the framework start-up (through initializeFramework),
// the banner, the softphone link (built from platformOptions, called once the
// automation apartment is joined) and then the command loop. Returns 1 when the
// framework does not start; otherwise it ends the process on "Quit" or at the end of
// input (after lingering as the options ask): with status 0, or in the script mode 1
// when a command failed. When input is the standard input and both ends are a
// terminal, lines are read through the terminal line editor.
int RunConsole(bool (*initializeFramework)(), std::istream& input,
               const std::function<link::CSoftphoneControl::Options()>& platformOptions,
               const ConsoleOptions& options = {});

}  // namespace quvo
