#include "Ctl.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BusNames.h"
#include "core/Control.h"
#include "core/Events.h"

namespace quvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

sdbus::Variant ToVariant(const Arg& arg) {
    if (const auto* n = std::get_if<int32_t>(&arg)) return sdbus::Variant(*n);
    if (const auto* b = std::get_if<bool>(&arg)) return sdbus::Variant(*b);
    return sdbus::Variant(std::get<std::string>(arg));
}

Arg FromVariant(const sdbus::Variant& v) {
    const std::string type = v.peekValueType();
    if (type == "i") return v.get<int32_t>();
    if (type == "s") return v.get<std::string>();
    if (type == "b") return v.get<bool>();
    return "<" + type + ">";
}

std::unique_ptr<sdbus::IProxy> SimulatorProxy(sdbus::IConnection& bus) {
    return sdbus::createProxy(bus, kBusName, kSimulatorPath);
}

bool NameHasOwner(sdbus::IConnection& bus) {
    auto proxy = sdbus::createProxy(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool owned = false;
    proxy->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(kBusName)
        .storeResultsTo(owned);
    return owned;
}

int WaitForName(sdbus::IConnection& bus, bool wantOwner, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (NameHasOwner(bus) == wantOwner) return 0;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "quvo-softphone-sim ctl: %s after %g s\n",
                 wantOwner ? "no softphone appeared" : "the softphone is still running", seconds);
    return 1;
}

int WatchEvents(sdbus::IConnection& bus, long count, double seconds) {
    long seen = 0;
    auto proxy = sdbus::createProxy(bus, kBusName, kSoftphonePath);
    proxy->registerSignalHandler(kEventsInterface, bus::kEventSignal, [&seen](sdbus::Signal& signal) {
        try {
            int32_t dispid = 0;
            std::vector<sdbus::Variant> variants;
            signal >> dispid >> variants;
            Args args;
            for (const auto& v : variants) args.push_back(FromVariant(v));
            std::printf("%s\n", FormatCall(std::to_string(dispid), args).c_str());
            std::fflush(stdout);
            ++seen;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quvo-softphone-sim ctl: bad event: %s\n", e.what());
        }
    });
    proxy->finishRegistration();
    std::printf("listening\n");
    std::fflush(stdout);

    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (count <= 0 || seen < count) {
        while (bus.processPendingRequest() && (count <= 0 || seen < count)) {
        }
        if (count > 0 && seen >= count) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        const auto pollData = bus.getEventLoopPollData();
        int timeout = pollData.getPollTimeout();
        if (timeout < 0 || timeout > left) timeout = static_cast<int>(left);
        pollfd fd = {pollData.fd, pollData.events, 0};
        if (::poll(&fd, 1, timeout) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
    }
    if (count > 0 && seen < count) {
        std::fprintf(stderr, "quvo-softphone-sim ctl: %ld of %ld events within %g s\n", seen, count, seconds);
        return 1;
    }
    return 0;
}

// Calls the softphone operations in a row; the first failure ends the run.
int CallOperations(sdbus::IConnection& bus, const ControlRequest& request) {
    auto proxy = sdbus::createProxy(bus, kBusName, kSoftphonePath);
    for (const auto& [op, args] : request.calls) {
        auto call = proxy->createMethodCall(kSoftphoneInterface, op->name);
        for (const Arg& arg : args) {
            if (const auto* n = std::get_if<int32_t>(&arg))
                call << *n;
            else
                call << std::get<std::string>(arg);
        }
        proxy->callMethod(call);
    }
    return 0;
}

int Run(const std::vector<std::string>& words) {
    // The words are checked before the bus is touched, so that a usage error says so.
    const ControlRequest r = ParseControl(words);
    const std::string& cmd = r.command;
    if (cmd == "help") {
        std::fputs(ControlHelpText(), stdout);
        return 0;
    }
    if (cmd == "event-list") {
        for (const std::string& line : EventListLines()) std::printf("%s\n", line.c_str());
        return 0;
    }

    if (cmd == "window") throw std::runtime_error("'window' is served on Windows; on X11 ask the X server");

    auto bus = sdbus::createSessionBusConnection();
    const char* iface = kSimulatorInterface;
    if (cmd == "fire") {
        std::vector<sdbus::Variant> args;
        for (const Arg& arg : r.args) args.push_back(ToVariant(arg));
        SimulatorProxy(*bus)->callMethod("FireEvent").onInterface(iface).withArguments(r.dispid, args);
    } else if (cmd == "incoming") {
        int32_t ref = 0;
        SimulatorProxy(*bus)
            ->callMethod("PlaceIncomingCall")
            .onInterface(iface)
            .withArguments(r.name)
            .storeResultsTo(ref);
        std::printf("%d\n", ref);
    } else if (cmd == "hangup") {
        SimulatorProxy(*bus)->callMethod("HangupFarEnd").onInterface(iface);
    } else if (cmd == "fail") {
        SimulatorProxy(*bus)->callMethod("FailOperation").onInterface(iface).withArguments(r.name, r.text);
    } else if (cmd == "delay") {
        SimulatorProxy(*bus)->callMethod("DelayOperation").onInterface(iface).withArguments(r.name, r.ms);
    } else if (cmd == "log") {
        std::vector<std::string> entries;
        SimulatorProxy(*bus)->callMethod("GetLog").onInterface(iface).storeResultsTo(entries);
        for (const auto& entry : entries) std::printf("%s\n", entry.c_str());
    } else if (cmd == "clear-log") {
        SimulatorProxy(*bus)->callMethod("ClearLog").onInterface(iface);
    } else if (cmd == "quit") {
        SimulatorProxy(*bus)->callMethod("Quit").onInterface(iface);
    } else if (cmd == "call") {
        return CallOperations(*bus, r);
    } else if (cmd == "events") {
        return WatchEvents(*bus, r.count, r.seconds);
    } else {
        return WaitForName(*bus, cmd == "wait", r.seconds);
    }
    return 0;
}

}  // namespace

int RunControlClient(int argc, char** argv) {
    std::vector<std::string> words(argv, argv + argc);
    try {
        return Run(words);
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "quvo-softphone-sim ctl: %s: %s\n", e.getName().c_str(), e.getMessage().c_str());
    } catch (const std::exception& e) {
        // Usage errors and failures of the bus library alike.
        std::fprintf(stderr, "quvo-softphone-sim ctl: %s\n", e.what());
    }
    return 1;
}

}  // namespace quvo::sim
