#include "Program.h"

#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "EventLoop.h"
#include "Presence.h"
#include "Server.h"
#include "Settings.h"
#include "Window.h"
#include "platform/posix/PresenceLock.h"

namespace quvo::server {
namespace {

constexpr std::chrono::milliseconds kPresenceWait{2000};
constexpr std::chrono::milliseconds kPresenceRetry{50};

int Fail(const ProgramConfig& config, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", config.name.c_str(), text.c_str());
    return 1;
}

// Records where this program lives and what its window is called, for the console.
void WriteOwnSettings(const ProgramConfig& config, const std::string& title) {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        Fail(config, "cannot find the program's own path; settings not written");
        return;
    }
    const std::string path(exe, static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    // (Not "folder = \"/\"" after the fact: GCC 12 at -O3 takes that assignment for an
    // overlapping copy and the release preset's -Werror stops the build.)
    const std::string folder =
        slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
    std::string error;
    if (!WriteSettings(
            SettingsPath(),
            {{"sExePath", folder}, {"sExeFileName", path.substr(slash + 1)}, {"sPhoneOnline", title}}, error))
        Fail(config, error + "; settings not written");
}

}  // namespace

int RunSoftphoneProgram(const ProgramConfig& config,
                        const std::function<std::unique_ptr<Engine>(EngineHost& host)>& makeEngine,
                        const ExtraObjects& extra) {
    EventLoop::BlockTerminationSignals();

    // A softphone on its way out (ExitProgram) still holds the lock for a moment: a copy
    // started right after it (RunProgram) waits for it to go rather than leave.
    PresenceLock presence;
    std::string error;
    for (auto waited = std::chrono::milliseconds(0);; waited += kPresenceRetry) {
        const auto result = presence.Acquire(platform::PresenceLockPath(), error);
        if (result == PresenceLock::Result::Acquired) break;
        if (result == PresenceLock::Result::Failed) return Fail(config, error);
        if (waited >= kPresenceWait) return Fail(config, "another softphone is running");
        std::this_thread::sleep_for(kPresenceRetry);
    }

    std::string title = config.defaultTitle;
    if (config.title) {
        title = *config.title;
    } else if (auto saved = ReadSetting(SettingsPath(), "sPhoneOnline"); saved && !saved->empty()) {
        title = *saved;
    }

    std::unique_ptr<sdbus::IConnection> bus;
    try {
        bus = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
        return Fail(config, "cannot connect to the session bus: " + e.getMessage());
    }

    EventLoop loop(*bus);
    Server server(*bus, loop, config.name, config.eventsInterface, config.quiet);
    std::unique_ptr<Engine> engine;
    try {
        engine = makeEngine(server);
    } catch (const std::exception& e) {
        return Fail(config, e.what());
    }
    server.Attach(*engine);
    PhoneWindow window;
    try {
        server.Register();
        if (extra) extra(*bus, server.Object(), server);
        // Window and settings come first, so that whoever sees the name finds both.
        if (config.window)
            window.Start(config.name, title, engine->Status(),
                         [&loop] { loop.Post([&loop] { loop.Stop(); }); });
        if (config.settings) WriteOwnSettings(config, title);
        if (config.publishAfterMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(config.publishAfterMs));
        bus->requestName(bus::kBusName);
    } catch (const sdbus::Error& e) {
        return Fail(config, std::string("cannot own the bus name ") + bus::kBusName + ": " + e.getMessage());
    }

    server.OnStatus([&window](const std::string& status) { window.SetStatus(status); });
    engine->Start();
    if (!config.quiet)
        std::fprintf(stderr, "%s: running as %s, pid %d, title \"%s\"\n", config.name.c_str(),
                     bus->getUniqueName().c_str(), static_cast<int>(::getpid()), title.c_str());

    const bool ok = loop.Run(error);
    if (!ok) Fail(config, error);

    engine->Stop();
    window.Stop();
    try {
        bus->releaseName(bus::kBusName);
    } catch (const sdbus::Error&) {
        // The bus may be gone already; closing the connection drops the name anyway.
    }
    if (!config.quiet) std::fprintf(stderr, "%s: stopped\n", config.name.c_str());
    return ok ? 0 : 1;
}

}  // namespace quvo::server
