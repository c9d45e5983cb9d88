// Where the softphone's presence lock lives on Linux; shared with the simulator.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quvo::platform {

// $XDG_RUNTIME_DIR/mutex_QUVO when XDG_RUNTIME_DIR is absolute, else
// /tmp/mutex_QUVO-<uid>.
inline std::string PresenceLockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/mutex_QUVO";
    return "/tmp/mutex_QUVO-" + std::to_string(::getuid());
}

}  // namespace quvo::platform
