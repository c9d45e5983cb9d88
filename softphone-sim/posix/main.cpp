// quvo-softphone-sim: a stand-in softphone that QUVOConnect drives over the session bus,
// and (with "ctl") a small client that drives the stand-in.
#include <cstdio>
#include <memory>
#include <string>

#include "Ctl.h"
#include "SimEngine.h"
#include "core/Options.h"
#include "softphone-server/Program.h"

int main(int argc, char** argv) {
    using namespace quvo::sim;
    if (argc > 1 && std::string(argv[1]) == "ctl") return RunControlClient(argc - 2, argv + 2);

    Options options;
    std::string error;
    switch (ParseOptions(argc, argv, options, error)) {
        case ParseResult::Help: std::fputs(HelpText().c_str(), stdout); return 0;
        case ParseResult::Error: std::fprintf(stderr, "quvo-softphone-sim: %s\n", error.c_str()); return 1;
        case ParseResult::Run: break;
    }

    const ServerConfig config = ServerConfig::FromOptions(options);
    quvo::server::ProgramConfig program;
    program.name = "quvo-softphone-sim";
    program.defaultTitle = kDefaultTitle;
    program.title = options.title;
    program.window = options.window;
    program.settings = options.settings;
    program.quiet = options.quiet;
    program.eventsInterface = options.eventsInterface;
    program.publishAfterMs = options.publishAfterMs;

    SimEngine* sim = nullptr;
    return quvo::server::RunSoftphoneProgram(
        program,
        [&](quvo::server::EngineHost& host) {
            auto engine = std::make_unique<SimEngine>(host, config.phone);
            sim = engine.get();
            return engine;
        },
        [&](sdbus::IConnection& bus, sdbus::IObject& softphone, quvo::server::EngineHost&) {
            sim->RegisterControl(bus, softphone, options.eventsInterface);
        });
}
