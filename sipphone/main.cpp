// quvo-sipphone: a headless SIP softphone on the session bus, for QUVOConnect to drive real
// calls through: the automation contract's operations as SIP actions, its events from the
// calls' real states.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "DatagramGuard.h"
#include "Media.h"
#include "MessageScreen.h"
#include "Options.h"
#include "SipEngine.h"
#include "softphone-server/Program.h"
#include "softphone-server/Settings.h"

namespace {

int Fail(const std::string& text) {
    std::fprintf(stderr, "quvo-sipphone: %s\n", text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quvo;
    sip::Options options;
    std::string error;
    switch (sip::ParseOptions(argc, argv, options, error)) {
        case sip::ParseResult::Help: std::fputs(sip::HelpText().c_str(), stdout); return 0;
        case sip::ParseResult::Version: std::puts("quvo-sipphone " QUVO_SIPPHONE_VERSION); return 0;
        case sip::ParseResult::Error: return Fail(error);
        case sip::ParseResult::Run: break;
    }
    if (options.listDevices) {
        const std::string listing = sip::DeviceListing(sip::ListSoundDevices());
        std::fputs(listing.c_str(), stdout);
        if (listing.empty())
            std::fputs("quvo-sipphone: no sound devices: calls use the null sound card\n", stderr);
        return 0;
    }

    const std::string settings = server::SettingsPath();
    sip::EngineConfig config;
    if (!sip::ReadAccount([&](const std::string& name) { return server::ReadSetting(settings, name); },
                          config.account, error))
        return Fail(error);
    // An account the SIP library cannot make addresses of would do nothing, silently.
    if (!sip::LibraryBuildsAddress(config.account.IdentityUri()))
        return Fail("sSipUser and sSipDomain make no SIP identity (" + config.account.IdentityUri() + ")");
    if (config.account.HasRegistrar() && !sip::LibraryBuildsAddress(config.account.proxy))
        return Fail("sSipProxy '" + config.account.proxy + "' is not a SIP address");
    if (auto problem = sip::CodecProblem(config.account.codecs); !problem.empty()) return Fail(problem);
    const char* password = !config.account.password.empty()       ? "sSipPassword"
                           : !config.account.turnPassword.empty() ? "sSipTurnPassword"
                                                                  : "";
    if (auto problem = sip::PasswordFileProblem(settings, password); !problem.empty()) return Fail(problem);
    if (auto problem = sip::ListenProblem(config.account.listenHost, config.account.listenPort);
        !problem.empty())
        return Fail(problem + " (another SIP phone? see sSipListen)");
    // Before the SIP library opens its port: nothing it cannot take reaches it.
    if (!sip::GuardSipPort(config.account.listenHost, config.account.listenPort,
                           {config.account.acceptRefer, config.account.Domain()}))
        return Fail("cannot resolve " + config.account.listenHost + " (see sSipListen)");
    config.stateDir = sip::StateFolder([](const char* name) { return std::getenv(name); });
    config.noAudio = options.noAudio;
    config.toneHz = options.toneHz;
    config.recordPath = options.recordPath;
    config.autoAnswer = options.autoAnswer;
    config.quiet = options.quiet;

    server::ProgramConfig program;
    program.name = "quvo-sipphone";
    program.defaultTitle = "QUVO SIP phone";
    program.title = options.title;
    program.window = options.window;
    program.quiet = options.quiet;
    return server::RunSoftphoneProgram(program, [&config](server::EngineHost& host) {
        return std::make_unique<sip::SipEngine>(host, config);
    });
}
