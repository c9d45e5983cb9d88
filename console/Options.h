// The console's command-line options.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quvo {

struct ConsoleOptions {
    // No banner and no prompts; one outcome line per command; the exit status tells
    // whether every command succeeded.
    bool script = false;
    // Each unsolicited line starts with the local time.
    bool timestamps = false;
    // How long events are still printed after the end of input.
    std::chrono::milliseconds linger{0};
};

// The outcome of reading the command line: options to run with, or an exit status
// (0 after --help and --version, 2 for a command line the console does not take)
// together with the text for standard output or standard error.
struct ParsedOptions {
    ConsoleOptions options;
    std::optional<int> exitStatus;
    std::string out;
    std::string err;
};

ParsedOptions ParseOptions(int argc, const char* const* argv);

// Parses the command line; prints and returns the exit status when the program
// should end at once (--help, --version, or an unknown option).
std::optional<int> HandleCommandLine(int argc, const char* const* argv, ConsoleOptions& options);

std::string UsageText();

}  // namespace quvo
