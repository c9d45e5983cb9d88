// Starting a program without waiting for it.
#pragma once

#include <string>

namespace quvo::platform {

// Starts file (with parameters, which may be empty) in directory as its working
// directory. True when the launch was accepted; the program is not waited for.
bool LaunchProgram(const std::string& file, const std::string& parameters, const std::string& directory);

}  // namespace quvo::platform
