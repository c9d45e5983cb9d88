// Start-up, banner and the read-dispatch-report loop.
#pragma once

#include <istream>

namespace quvo {

// The banner's six pieces.
void PrintBanner();

// Runs the console on input: the framework start-up (through initializeFramework),
// the banner, the softphone link and then the command loop. Returns 1 when the
// framework does not start; otherwise it ends the process with status 0 on "Quit"
// or at the end of input.
int RunConsole(bool (*initializeFramework)(), std::istream& input);

}  // namespace quvo
