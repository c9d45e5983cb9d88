#include "Options.h"

namespace quvo::sip {

ParseResult ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    return server::OptionReader()
        .Shared(options.title, options.window, options.quiet)
        .Answer("--version", ParseResult::Version)
        .Number("--tone", 0, 7000, options.toneHz, "a frequency from 0 to 7000 Hz")
        .NonEmpty("--record", options.recordPath, "a file name")
        .Flag("--no-audio", options.noAudio)
        .Flag("--list-devices", options.listDevices)
        .Flag("--auto-answer", options.autoAnswer)
        .Read(argc, argv, error);
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
