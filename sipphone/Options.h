// The command line of quvo-sipphone, and where the phone keeps its state.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "softphone-server/OptionReader.h"

namespace quvo::sip {

struct Options {
    bool noAudio = false;
    int toneHz = 440;
    std::string recordPath;
    bool quiet = false;
    bool window = true;
    std::optional<std::string> title;
    bool autoAnswer = false;
    bool listDevices = false;  // print the sound devices and end
};

using ParseResult = server::OptionResult;

ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error);
std::string HelpText();

// The phone's state folder: $XDG_STATE_HOME/quvo-sipphone, else $XDG_RUNTIME_DIR/quvo-sipphone,
// else ~/.local/state/quvo-sipphone. getenv is passed in for the tests.
std::string StateFolder(const std::function<const char*(const char*)>& getenv);

}  // namespace quvo::sip
