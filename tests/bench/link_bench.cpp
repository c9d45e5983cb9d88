// Throughput of the softphone link, measured against the bus itself:
//  (a) softphone commands per second piped through the console, against the raw
//      method round trip of the same operation;
//  (b) events per second from the softphone to the console's standard output
//      (every line checked: none lost, none torn), against the raw signal rate.
// The benchmark plays the softphone itself: it owns the bus name, holds the
// presence lock and answers the operations. Run it on a session bus of its own:
//   dbus-run-session -- quvo_link_bench path/to/quvoconnect [commands] [events]
#include <fcntl.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "contract/SoftphoneContract.h"
#include "platform/posix/PresenceLock.h"
#include "tests/bench/EventLines.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kName = quvo::bus::kBusName;
constexpr const char* kPath = quvo::bus::kObjectPath;
constexpr const char* kOperations = quvo::bus::kSoftphoneInterface;
constexpr const char* kEvents = quvo::bus::kEventsInterface;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The console as a child with its input from a string and its output to a pipe.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
};

Child StartConsole(const char* console) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) std::exit(2);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char* argv[] = {const_cast<char*>(console), nullptr};
    Child child;
    if (posix_spawn(&child.pid, console, &actions, nullptr, argv, environ) != 0) std::exit(2);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    child.in = toChild[1];
    child.out = fromChild[0];
    return child;
}

// Reads the console's output until text has been seen count times in all, or
// until nothing more has come for five seconds.
void ReadUntil(int fd, const std::string& text, long count, std::string* all = nullptr) {
    std::string buffer;
    long seen = 0;
    char chunk[65536];
    while (seen < count) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 5000) <= 0) break;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        size_t consumed = 0;
        size_t pos;
        while ((pos = buffer.find(text, consumed)) != std::string::npos) {
            consumed = pos + text.size();
            ++seen;
        }
        if (all) all->append(buffer, 0, consumed);
        buffer.erase(0, consumed);
    }
    if (all) all->append(buffer);
}

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int Finish(Child& child) {
    close(child.in);
    char sink[4096];
    while (read(child.out, sink, sizeof sink) > 0) {
    }
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s quvoconnect [commands] [events]\n", argv[0]);
        return 2;
    }
    const char* console = argv[1];
    const long commands = argc > 2 ? std::atol(argv[2]) : 20000;
    const long events = argc > 3 ? std::atol(argv[3]) : 100000;
    signal(SIGPIPE, SIG_IGN);

    // The presence lock and the softphone's object.
    const std::string lockPath = quvo::platform::PresenceLockPath();
    const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (lockFd < 0 || fcntl(lockFd, F_OFD_SETLK, &lock) != 0) {
        std::fprintf(stderr, "cannot take the presence lock %s\n", lockPath.c_str());
        return 2;
    }
    auto server = sdbus::createSessionBusConnection(kName);
    auto object = sdbus::createObject(*server, kPath);
    std::atomic<long> snapshots{0};
    object->registerMethod(quvo::bus::kSnapshot.name).onInterface(kOperations).implementedAs([&] {
        ++snapshots;
    });
    object->registerMethod(quvo::bus::kSetClientActive.name)
        .onInterface(kOperations)
        .implementedAs([](int32_t) {});
    object->registerSignal(quvo::bus::kEventSignal)
        .onInterface(kEvents)
        .withParameters<int32_t, std::vector<sdbus::Variant>>();
    object->finishRegistration();
    server->enterEventLoopAsync();

    // (a) the raw round trip.
    auto client = sdbus::createSessionBusConnection();
    auto proxy = sdbus::createProxy(*client, kName, kPath);
    proxy->finishRegistration();
    const long rawCalls = commands;
    auto start = Clock::now();
    for (long i = 0; i < rawCalls; ++i) proxy->callMethod(quvo::bus::kSnapshot.name).onInterface(kOperations);
    const double rawPerCall = Seconds(Clock::now() - start) / static_cast<double>(rawCalls);

    // (a) through the console: the run's time less a run without commands.
    auto timeConsole = [&](long count) {
        std::string input;
        for (long i = 0; i < count; ++i) input += "Snapshot\n";
        input += "quit\n";
        const auto begin = Clock::now();
        Child child = StartConsole(console);
        std::thread writer([&] { WriteAll(child.in, input); });
        ReadUntil(child.out, "> ", count + 1);
        writer.join();
        Finish(child);
        return Seconds(Clock::now() - begin);
    };
    const double baseline = timeConsole(0);
    const long before = snapshots.load();
    const double withCommands = timeConsole(commands);
    const long served = snapshots.load() - before;
    const double consolePerCall = (withCommands - baseline) / static_cast<double>(commands);

    std::printf("(a) commands: %ld sent, %ld reached the softphone\n", commands, served);
    std::printf("    raw method round trip: %.1f us (%.0f/s)\n", rawPerCall * 1e6, 1 / rawPerCall);
    std::printf("    through the console:   %.1f us (%.0f/s), %.2fx the raw round trip\n",
                consolePerCall * 1e6, 1 / consolePerCall, consolePerCall / rawPerCall);

    // (b) the raw signal rate, seen by a plain subscriber.
    std::atomic<long> received{0};
    auto listenerConnection = sdbus::createSessionBusConnection();
    auto listener = sdbus::createProxy(*listenerConnection, kName, kPath);
    listener->registerSignalHandler(kEvents, quvo::bus::kEventSignal, [&](sdbus::Signal&) { ++received; });
    listener->finishRegistration();
    listenerConnection->enterEventLoopAsync();
    auto emit = [&](long count) {
        for (long i = 0; i < count; ++i) {
            std::vector<sdbus::Variant> args{sdbus::Variant(static_cast<int32_t>(i))};
            object->emitSignal(quvo::bus::kEventSignal)
                .onInterface(kEvents)
                .withArguments(static_cast<int32_t>(1), args);
        }
    };
    start = Clock::now();
    emit(events);
    while (received.load() < events && Seconds(Clock::now() - start) < 60) std::this_thread::yield();
    const double rawRate = static_cast<double>(received.load()) / Seconds(Clock::now() - start);
    listenerConnection->leaveEventLoop();

    // (b) through the console: every event line checked in order.
    Child child = StartConsole(console);
    ReadUntil(child.out, "> ", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the console has subscribed by now
    std::string output;
    start = Clock::now();
    std::thread emitter([&] { emit(events); });
    ReadUntil(child.out, "Event : PartyHangup", events, &output);
    const double consoleSeconds = Seconds(Clock::now() - start);
    emitter.join();
    const quvo::bench::EventTally tally = quvo::bench::CountEventLines(output, events);
    const long good = tally.good;
    const long torn = tally.torn;
    Finish(child);
    const double consoleRate = static_cast<double>(good) / consoleSeconds;
    std::printf(
        "(b) events: %ld fired, %ld printed whole and in order, %ld lost, %ld with stray bytes before\n",
        events, good, events - good, torn);
    std::printf("    raw signal rate:     %.0f/s\n", rawRate);
    std::printf("    through the console: %.0f/s, %.2fx the raw rate\n", consoleRate, consoleRate / rawRate);

    server->leaveEventLoop();
    return 0;
}
