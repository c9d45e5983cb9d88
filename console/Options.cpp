#include "console/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#ifndef QUVO_VERSION
#define QUVO_VERSION "1.0"
#endif

namespace quvo {

namespace {

// A week: long enough for any script, short enough that the milliseconds fit.
constexpr double kMaxLingerSeconds = 7 * 24 * 3600;

bool ParseSeconds(std::string_view text, std::chrono::milliseconds& value) {
    if (text.empty() || text.size() > 32) return false;
    const std::string copy(text);
    // Plain decimal numbers only: no sign, no blanks, no hexadecimal, no exponent.
    for (char c : copy) {
        if ((c < '0' || c > '9') && c != '.') return false;
    }
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(copy.c_str(), &end);
    if (errno != 0 || end != copy.c_str() + copy.size() || !std::isfinite(seconds) || seconds < 0 ||
        seconds > kMaxLingerSeconds) {
        return false;
    }
    value = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
    return true;
}

ParsedOptions Refuse(std::string reason) {
    ParsedOptions parsed;
    parsed.exitStatus = 2;
    parsed.err = "quvoconnect: " + reason + "\n" + UsageText();
    return parsed;
}

}  // namespace

std::string UsageText() {
    return "Usage: quvoconnect [--script] [--linger SECONDS] [--timestamps]\n"
           "       quvoconnect --help | --version\n"
           "\n"
           "Remote-controls the QUVO softphone: reads one command per line from standard\n"
           "input (type 'help' at the prompt for the commands) and prints the softphone's\n"
           "events as they come.\n"
           "\n"
           "Options:\n"
           "  --script           no banner and no prompts; after each command one line, OK\n"
           "                     or Error : NAME; exit status 0 when every command\n"
           "                     answered OK, 1 otherwise\n"
           "  --linger SECONDS   at the end of input, keep printing events for SECONDS\n"
           "                     (decimals allowed) before ending\n"
           "  --timestamps       start each event line with the local time HH:MM:SS.mmm\n"
           "  --help             print this text and exit\n"
           "  --version          print the name and version and exit\n";
}

ParsedOptions ParseOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--help") {
            ParsedOptions help;
            help.exitStatus = 0;
            help.out = UsageText();
            return help;
        }
        if (arg == "--version") {
            ParsedOptions version;
            version.exitStatus = 0;
            version.out = "QUVOConnect " QUVO_VERSION "\n";
            return version;
        }
        if (arg == "--script") {
            parsed.options.script = true;
        } else if (arg == "--timestamps") {
            parsed.options.timestamps = true;
        } else if (arg == "--linger" || arg.substr(0, 9) == "--linger=") {
            std::string_view value;
            if (arg == "--linger") {
                if (i + 1 >= argc || argv[i + 1] == nullptr)
                    return Refuse("--linger needs a number of seconds");
                value = argv[++i];
            } else {
                value = arg.substr(9);
            }
            if (!ParseSeconds(value, parsed.options.linger)) {
                return Refuse("--linger takes a number of seconds from 0 to 604800, not '" +
                              std::string(value) + "'");
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return Refuse("unknown option '" + std::string(arg) + "'");
        } else {
            return Refuse("unexpected argument '" + std::string(arg) + "'");
        }
    }
    return parsed;
}

std::optional<int> HandleCommandLine(int argc, const char* const* argv, ConsoleOptions& options) {
    const ParsedOptions parsed = ParseOptions(argc, argv);
    if (!parsed.out.empty()) {
        std::fwrite(parsed.out.data(), 1, parsed.out.size(), stdout);
        std::fflush(stdout);
    }
    if (!parsed.err.empty()) {
        std::fwrite(parsed.err.data(), 1, parsed.err.size(), stderr);
        std::fflush(stderr);
    }
    if (!parsed.exitStatus) options = parsed.options;
    return parsed.exitStatus;
}

}  // namespace quvo
