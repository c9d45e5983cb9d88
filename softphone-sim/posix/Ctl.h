// Client mode: "quvo-softphone-sim ctl ..." drives a running simulator over the session bus.
#pragma once

namespace quvo::sim {

// argv[0] is the word after "ctl". Returns the process exit status.
int RunControlClient(int argc, char** argv);

}  // namespace quvo::sim
