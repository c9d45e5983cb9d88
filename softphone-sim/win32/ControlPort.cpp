#include "ControlPort.h"

#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/Events.h"
#include "core/Options.h"
#include "core/Text.h"

namespace quvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

bool SendAll(SOCKET s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to a new line (not included); false when the peer closed first or sent too much.
bool ReadLine(SOCKET s, std::string& line) {
    line.clear();
    char c;
    while (recv(s, &c, 1, 0) == 1) {
        if (c == '\n') return true;
        if (line.size() > 1 << 20) return false;
        line += c;
    }
    return false;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        words.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (words.size() == 1 && words[0].empty()) words.clear();
    return words;
}

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool StartWinsock() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

}  // namespace

int ControlPortNumber(int option) {
    if (option > 0) return option;
    if (const char* env = std::getenv("QUVO_SIM_CTL_PORT")) {
        int32_t port = 0;
        if (ParseInt32(env, port) && port > 0 && port < 65536) return port;
    }
    return kDefaultCtlPort;
}

// ---- the server -------------------------------------------------------------------------------

bool ControlPort::Start(int port, Handler handler, std::string& error) {
    if (!StartWinsock()) {
        error = "cannot start Winsock";
        return false;
    }
    handler_ = std::move(handler);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const BOOL on = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    const sockaddr_in addr = Loopback(port);
    if (listener_ == INVALID_SOCKET ||
        bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 16) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + " (" +
                std::to_string(WSAGetLastError()) + ")";
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
        return false;
    }
    acceptor_ = std::thread(&ControlPort::Accept, this);
    return true;
}

void ControlPort::Accept() {
    for (;;) {
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            closesocket(client);
            return;
        }
        clients_.push_back(client);
        workers_.emplace_back(&ControlPort::Serve, this, client);
    }
}

void ControlPort::Serve(SOCKET client) {
    std::string line;
    if (ReadLine(client, line)) {
        std::string answer;
        try {
            const ControlRequest request = ParseControl(SplitTabs(line));
            if (request.command == "events") {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    watchers_.push_back(client);
                }
                SendAll(client, "listening\n");
                // Held open until the client goes; Broadcast() writes the events.
                char c;
                while (recv(client, &c, 1, 0) > 0) {
                }
                std::lock_guard<std::mutex> lock(mutex_);
                std::erase(watchers_, client);
            } else {
                std::vector<std::string> lines;
                const std::string error = handler_(request, lines);
                for (const std::string& out : lines) answer += "+" + out + "\n";
                answer += error.empty() ? "OK\n" : "ERR " + error + "\n";
            }
        } catch (const UsageError& e) {
            answer = std::string("ERR ") + e.what() + "\n";
        }
        if (!answer.empty()) SendAll(client, answer);
    }
    shutdown(client, SD_BOTH);
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(clients_, client);
    closesocket(client);
}

void ControlPort::Broadcast(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (SOCKET watcher : watchers_) SendAll(watcher, line + "\n");
}

void ControlPort::Stop() {
    if (listener_ == INVALID_SOCKET) return;
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        closesocket(listener_);
        for (SOCKET c : clients_) shutdown(c, SD_BOTH);
    }
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers) w.join();
    listener_ = INVALID_SOCKET;
}

// ---- the client -------------------------------------------------------------------------------

namespace {

int Fail(const std::string& text) {
    std::fprintf(stderr, "quvo-softphone-sim ctl: %s\n", text.c_str());
    return 1;
}

SOCKET Connect(int port) {
    if (!StartWinsock()) return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in addr = Loopback(port);
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool Running() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "mutex_QUVO");
    if (!mutex) return false;
    CloseHandle(mutex);
    return true;
}

int Wait(bool wantRunning, double seconds, int port) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        bool running = Running();
        if (running && wantRunning) {
            // Running means serving the control channel too.
            SOCKET s = Connect(port);
            running = s != INVALID_SOCKET;
            if (running) closesocket(s);
        }
        if (running == wantRunning) return 0;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "quvo-softphone-sim ctl: %s after %g s\n",
                 wantRunning ? "no softphone appeared" : "the softphone is still running", seconds);
    return 1;
}

int WatchEvents(SOCKET s, int32_t count, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    long seen = 0;
    std::string pending;
    bool listening = false;
    while (count <= 0 || seen < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(s, &fds);
        timeval tv{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
        if (select(0, &fds, nullptr, nullptr, &tv) <= 0) continue;
        char buf[4096];
        const int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos && (count <= 0 || seen < count);) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            if (listening) ++seen;
            listening = true;
        }
    }
    if (count > 0 && seen < count) {
        std::fprintf(stderr, "quvo-softphone-sim ctl: %ld of %d events within %g s\n", seen, count, seconds);
        return 1;
    }
    return 0;
}

}  // namespace

int RunControlClient(const std::vector<std::string>& words, int port) {
    ControlRequest request;
    try {
        request = ParseControl(words);
    } catch (const UsageError& e) {
        return Fail(e.what());
    }
    if (request.command == "help") {
        std::fputs(ControlHelpText(), stdout);
        return 0;
    }
    if (request.command == "event-list") {
        for (const std::string& line : EventListLines()) std::printf("%s\n", line.c_str());
        return 0;
    }
    if (request.command == "wait" || request.command == "wait-gone")
        return Wait(request.command == "wait", request.seconds, port);

    std::string line;
    for (const std::string& word : words) {
        if (word.find_first_of("\t\n") != std::string::npos)
            return Fail("a word may hold no tab or new line");
        line += (line.empty() ? "" : "\t") + word;
    }
    SOCKET s = Connect(port);
    if (s == INVALID_SOCKET)
        return Fail("no softphone simulator answers on 127.0.0.1:" + std::to_string(port));
    int status = 1;
    if (SendAll(s, line + "\n")) {
        if (request.command == "events") {
            status = WatchEvents(s, request.count, request.seconds);
        } else {
            std::string answer;
            bool ended = false;
            while (ReadLine(s, answer)) {
                if (answer.rfind("+", 0) == 0) {
                    std::printf("%s\n", answer.c_str() + 1);
                } else {
                    ended = true;
                    status =
                        answer == "OK" ? 0 : Fail(answer.rfind("ERR ", 0) == 0 ? answer.substr(4) : answer);
                    break;
                }
            }
            if (!ended) status = Fail("the softphone closed the control connection without an answer");
        }
    }
    closesocket(s);
    return status;
}

}  // namespace quvo::sim
