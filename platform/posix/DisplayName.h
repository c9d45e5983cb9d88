// The X server that a display name ($DISPLAY) designates, connected to within a
// deadline.
#pragma once

#include <chrono>
#include <string>

namespace quvo::platform {

// A connected X server: its socket (-1 when there is none), display number and
// the screen that the display name asks for.
struct XServer {
    int fd = -1;
    long number = 0;
    long screen = 0;
};

// The X server that name designates, connected before deadline: $DISPLAY's form
// [protocol/][host]:number[.screen], or the path of a socket with an optional
// .screen. A name of any other form (DECnet's host::number, an unknown protocol,
// a number that gives no TCP port) designates no server the console can judge,
// and so none at all.
XServer ConnectToDisplay(const std::string& name, std::chrono::steady_clock::time_point deadline);

}  // namespace quvo::platform
