#include "Options.h"

#include <cerrno>
#include <cstdlib>

#include "softphone-server/OptionWords.h"

namespace quvo::sip {

ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    server::OptionWords words(argc, argv);
    while (words.Next()) {
        const std::string& arg = words.Name();
        std::string value;
        auto takeValue = [&] { return words.Value(value, error); };
        auto flag = [&](bool& target, bool set) { return words.Flag(target, set, error); };

        if (arg == "-h" || arg == "--help") return ParseResult::Help;
        if (arg == "--version") return ParseResult::Version;
        if (arg == "--tone") {
            if (!takeValue()) return ParseResult::Error;
            errno = 0;
            char* end = nullptr;
            const long hz = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0' || hz < 0 || hz > 7000) {
                error = "--tone needs a frequency from 0 to 7000 Hz, not '" + value + "'";
                return ParseResult::Error;
            }
            options.toneHz = static_cast<int>(hz);
        } else if (arg == "--record") {
            if (!takeValue()) return ParseResult::Error;
            if (value.empty()) {
                error = "--record needs a file name";
                return ParseResult::Error;
            }
            options.recordPath = value;
        } else if (arg == "--title") {
            if (!takeValue()) return ParseResult::Error;
            options.title = value;
        } else if (arg == "--no-audio") {
            if (!flag(options.noAudio, true)) return ParseResult::Error;
        } else if (arg == "--quiet") {
            if (!flag(options.quiet, true)) return ParseResult::Error;
        } else if (arg == "--no-window") {
            if (!flag(options.window, false)) return ParseResult::Error;
        } else if (arg == "--list-devices") {
            if (!flag(options.listDevices, true)) return ParseResult::Error;
        } else if (arg == "--auto-answer") {
            if (!flag(options.autoAnswer, true)) return ParseResult::Error;
        } else {
            error = "unknown option '" + arg + "' (see --help)";
            return ParseResult::Error;
        }
    }
    return ParseResult::Run;
}

std::string HelpText() {
    return "Usage: quvo-sipphone [option]...\n"
           "A headless SIP softphone that QUVOConnect drives over the session bus.\n"
           "\n"
           "  --no-audio       use the null sound card (a tone and a WAV file) even when\n"
           "                   the system has sound devices\n"
           "  --tone HZ        the null card's microphone tone (default 440, 0: silence)\n"
           "  --record FILE    write what the null card's speaker plays to FILE (WAV)\n"
           "  --auto-answer    answer every incoming call at once\n"
           "  --list-devices   print the sound devices, one per line: the name that\n"
           "                   sSipCaptureDevice, sSipPlaybackDevice and sSipRingerDevice\n"
           "                   take, a tab, and what it does (capture, playback)\n"
           "  --quiet          no log lines on standard error\n"
           "  --no-window      show no window\n"
           "  --title TEXT     the window's title (default: the sPhoneOnline setting)\n"
           "  --help           this text\n"
           "  --version        the program's version\n"
           "\n"
           "The account comes from the settings file ($XDG_CONFIG_HOME/Quelbo/QUVO.ini):\n"
           "sSipUser, sSipDomain, sSipProxy, sSipPassword, sSipListen, sVoicemail, and the\n"
           "NAT, codec, device and forwarding settings sSipStun, sSipIce, sSipCodecs,\n"
           "sSipPlaybackDevice, sSipForwardAll and others.\n"
           "See quvo-sipphone(1).\n";
}

std::string StateFolder(const std::function<const char*(const char*)>& getenv) {
    auto set = [&](const char* name) -> std::string {
        const char* value = getenv(name);
        return value && *value == '/' ? value : "";
    };
    if (auto state = set("XDG_STATE_HOME"); !state.empty()) return state + "/quvo-sipphone";
    if (auto runtime = set("XDG_RUNTIME_DIR"); !runtime.empty()) return runtime + "/quvo-sipphone";
    return set("HOME") + "/.local/state/quvo-sipphone";
}

}  // namespace quvo::sip
