// quvo-softphone-sim: a stand-in softphone that QUVOConnect drives over the session bus,
// and (with "ctl") a small client that drives the stand-in.
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "BusNames.h"
#include "Ctl.h"
#include "EventLoop.h"
#include "Presence.h"
#include "Server.h"
#include "Settings.h"
#include "Window.h"
#include "core/Options.h"
#include "platform/posix/PresenceLock.h"

namespace {

using namespace quvo::sim;

int Fail(const std::string& text) {
    std::fprintf(stderr, "quvo-softphone-sim: %s\n", text.c_str());
    return 1;
}

// Records where this program lives and what its window is called, for the console.
void WriteOwnSettings(const std::string& title) {
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        Fail("cannot find the program's own path; settings not written");
        return;
    }
    const std::string path(exe, static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    std::string folder = path.substr(0, slash);
    if (folder.empty()) folder = "/";
    std::string error;
    if (!WriteSettings(
            SettingsPath(),
            {{"sExePath", folder}, {"sExeFileName", path.substr(slash + 1)}, {"sPhoneOnline", title}}, error))
        Fail(error + "; settings not written");
}

int RunSoftphone(const Options& options) {
    EventLoop::BlockTerminationSignals();

    PresenceLock presence;
    std::string error;
    switch (presence.Acquire(quvo::platform::PresenceLockPath(), error)) {
        case PresenceLock::Result::Acquired: break;
        case PresenceLock::Result::HeldElsewhere: return Fail("another softphone is running");
        case PresenceLock::Result::Failed: return Fail(error);
    }

    std::string title = kDefaultTitle;
    if (options.title) {
        title = *options.title;
    } else if (auto saved = ReadSetting(SettingsPath(), "sPhoneOnline"); saved && !saved->empty()) {
        title = *saved;
    }

    std::unique_ptr<sdbus::IConnection> bus;
    try {
        bus = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& e) {
        return Fail("cannot connect to the session bus: " + e.getMessage());
    }

    const ServerConfig config = ServerConfig::FromOptions(options);

    EventLoop loop(*bus);
    Server server(*bus, loop, config);
    SimWindow window;
    try {
        server.Register();
        // Window and settings come first, so that whoever sees the name finds both.
        if (options.window)
            window.Start(title, server.Status(), [&loop] { loop.Post([&loop] { loop.Stop(); }); });
        if (options.settings) WriteOwnSettings(title);
        if (options.publishAfterMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.publishAfterMs));
        bus->requestName(kBusName);
    } catch (const sdbus::Error& e) {
        return Fail(std::string("cannot own the bus name ") + kBusName + ": " + e.getMessage());
    }

    server.OnStatus([&window](const std::string& status) { window.SetStatus(status); });
    server.Start();
    if (!options.quiet)
        std::fprintf(stderr, "quvo-softphone-sim: running as %s, pid %d, title \"%s\"\n",
                     bus->getUniqueName().c_str(), static_cast<int>(::getpid()), title.c_str());

    const bool ok = loop.Run(error);
    if (!ok) Fail(error);

    window.Stop();
    try {
        bus->releaseName(kBusName);
    } catch (const sdbus::Error&) {
        // The bus may be gone already; closing the connection drops the name anyway.
    }
    if (!options.quiet) std::fprintf(stderr, "quvo-softphone-sim: stopped\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ctl") return RunControlClient(argc - 2, argv + 2);

    Options options;
    std::string error;
    switch (ParseOptions(argc, argv, options, error)) {
        case ParseResult::Help: std::fputs(HelpText().c_str(), stdout); return 0;
        case ParseResult::Error: return Fail(error);
        case ParseResult::Run: break;
    }
    return RunSoftphone(options);
}
