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

#include "Operations.h"

namespace quvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

class Usage : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

int32_t ToInt(const std::string& text, const char* what) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        throw Usage(std::string(what) + " must be a number, not '" + text + "'");
    return static_cast<int32_t>(value);
}

double ToSeconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0))
        throw Usage("'" + text + "' is not a number of seconds");
    return value;
}

sdbus::Variant TypedArg(const std::string& word) {
    if (word.rfind("i:", 0) == 0) return sdbus::Variant(ToInt(word.substr(2), "an i: argument"));
    if (word.rfind("s:", 0) == 0) return sdbus::Variant(word.substr(2));
    if (word == "b:true" || word == "b:1") return sdbus::Variant(true);
    if (word == "b:false" || word == "b:0") return sdbus::Variant(false);
    throw Usage("argument '" + word + "' is not i:NUMBER, s:TEXT or b:true|false");
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

// Calls one or more softphone operations in a row, each followed by its own arguments:
// "MakeCall 77 EndCall". All words are checked before the first call is made.
int CallOperations(sdbus::IConnection& bus, const std::vector<std::string>& words) {
    auto proxy = sdbus::createProxy(bus, kBusName, kSoftphonePath);
    std::vector<sdbus::MethodCall> calls;
    for (size_t at = 0; at < words.size();) {
        const Operation* op = FindOperation(words[at]);
        if (!op) throw Usage("unknown operation '" + words[at] + "'");
        const std::string signature = op->signature;
        if (words.size() - at - 1 < signature.size())
            throw Usage(std::string(op->name) + " takes " + std::to_string(signature.size()) +
                        " argument(s)");
        auto call = proxy->createMethodCall(kSoftphoneInterface, op->name);
        for (size_t i = 0; i < signature.size(); ++i) {
            if (signature[i] == 'i')
                call << ToInt(words[at + 1 + i], op->paramNames[i].c_str());
            else
                call << words[at + 1 + i];
        }
        calls.push_back(std::move(call));
        at += 1 + signature.size();
    }
    for (const auto& call : calls) proxy->callMethod(call);
    return 0;
}

int Run(const std::vector<std::string>& w) {
    if (w.empty()) throw Usage("missing command (see --help)");
    const std::string& cmd = w[0];
    auto need = [&](size_t min, size_t max) {
        if (w.size() - 1 < min || w.size() - 1 > max)
            throw Usage("wrong number of arguments for '" + cmd + "'");
    };
    // Check the words before touching the bus, so that a usage error says so.
    if (cmd == "fire") {
        need(1, 64);
    } else if (cmd == "incoming" || cmd == "delay") {
        need(cmd == "delay" ? 2 : 1, cmd == "delay" ? 2 : 1);
    } else if (cmd == "hangup" || cmd == "log" || cmd == "clear-log" || cmd == "quit") {
        need(0, 0);
    } else if (cmd == "fail") {
        need(1, 2);
    } else if (cmd == "call") {
        need(1, 256);
    } else if (cmd == "events") {
        need(0, 2);
    } else if (cmd == "wait" || cmd == "wait-gone") {
        need(0, 1);
    } else {
        throw Usage("unknown command '" + cmd + "' (see --help)");
    }

    auto bus = sdbus::createSessionBusConnection();
    const char* iface = kSimulatorInterface;
    if (cmd == "fire") {
        const int32_t dispid = ToInt(w[1], "DISPID");
        std::vector<sdbus::Variant> args;
        for (size_t i = 2; i < w.size(); ++i) args.push_back(TypedArg(w[i]));
        SimulatorProxy(*bus)->callMethod("FireEvent").onInterface(iface).withArguments(dispid, args);
    } else if (cmd == "incoming") {
        int32_t ref = 0;
        SimulatorProxy(*bus)
            ->callMethod("PlaceIncomingCall")
            .onInterface(iface)
            .withArguments(w[1])
            .storeResultsTo(ref);
        std::printf("%d\n", ref);
    } else if (cmd == "hangup") {
        SimulatorProxy(*bus)->callMethod("HangupFarEnd").onInterface(iface);
    } else if (cmd == "fail") {
        SimulatorProxy(*bus)
            ->callMethod("FailOperation")
            .onInterface(iface)
            .withArguments(w[1], w.size() > 2 ? w[2] : "");
    } else if (cmd == "delay") {
        SimulatorProxy(*bus)
            ->callMethod("DelayOperation")
            .onInterface(iface)
            .withArguments(w[1], ToInt(w[2], "MS"));
    } else if (cmd == "log") {
        std::vector<std::string> entries;
        SimulatorProxy(*bus)->callMethod("GetLog").onInterface(iface).storeResultsTo(entries);
        for (const auto& entry : entries) std::printf("%s\n", entry.c_str());
    } else if (cmd == "clear-log") {
        SimulatorProxy(*bus)->callMethod("ClearLog").onInterface(iface);
    } else if (cmd == "quit") {
        SimulatorProxy(*bus)->callMethod("Quit").onInterface(iface);
    } else if (cmd == "call") {
        return CallOperations(*bus, std::vector<std::string>(w.begin() + 1, w.end()));
    } else if (cmd == "events") {
        const long count = w.size() > 1 ? ToInt(w[1], "COUNT") : 0;
        return WatchEvents(*bus, count, w.size() > 2 ? ToSeconds(w[2]) : 10.0);
    } else {
        return WaitForName(*bus, cmd == "wait", w.size() > 1 ? ToSeconds(w[1]) : 5.0);
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
        std::fprintf(stderr, "quvo-softphone-sim ctl: %s\n", e.what());
    }
    return 1;
}

}  // namespace quvo::sim
