// Command-line options of the simulator.
#pragma once

#include <optional>
#include <string>

namespace quvo::sim {

struct Options {
    int ringMs = 1500;
    int incomingAfterMs = 0;
    int publishAfterMs = 0;  // time between taking the presence lock and owning the bus name
    bool eventsInterface = true;
    bool failClientActive = false;
    std::optional<std::string> title;
    bool window = true;
    bool settings = true;
    bool quiet = false;
    int ctlPort = 0;  // Windows: 0 = QUVO_SIM_CTL_PORT, else kDefaultCtlPort
};

enum class ParseResult { Run, Help, Error };

ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error);

std::string HelpText();

inline constexpr const char* kDefaultTitle = "Dorevirud Uvazed";
inline constexpr int kDefaultCtlPort = 47023;

}  // namespace quvo::sim
