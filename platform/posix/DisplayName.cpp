// Display names and the sockets they lead to: a local socket (abstract or in
// /tmp/.X11-unix), a socket by its path, or TCP. Every connection is made without
// blocking and given up at the deadline.
#include "platform/posix/DisplayName.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace quvo::platform {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

// A socket of the given family connected to address before deadline, or -1.
int ConnectBefore(int family, const sockaddr* address, socklen_t length, Clock::time_point deadline) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, address, length) == 0) return fd;
    int error = errno;
    if (error == EINPROGRESS || error == EAGAIN) {
        socklen_t size = sizeof error;
        if (!WaitFor(fd, POLLOUT, deadline) || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = ETIMEDOUT;
        if (error == 0) return fd;
    }
    ::close(fd);
    return -1;
}

int ConnectUnix(const std::string& path, bool abstract, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return ConnectBefore(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, deadline);
}

// The digits of text as a number of at most limit (leading zeros allowed), or -1.
long Number(std::string_view text, long limit) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    long value = 0;
    for (const char digit : text) {
        value = value * 10 + (digit - '0');
        if (value > limit) return -1;
    }
    return value;
}

}  // namespace

XServer ConnectToDisplay(const std::string& name, Clock::time_point deadline) {
    XServer server;
    if (!name.empty() && name.front() == '/') {
        server.fd = ConnectUnix(name, false, deadline);
        const size_t dot = name.rfind('.');
        if (server.fd < 0 && dot != std::string::npos && dot > name.rfind('/')) {
            server.screen = Number(std::string_view(name).substr(dot + 1), 255);
            if (server.screen >= 0) server.fd = ConnectUnix(name.substr(0, dot), false, deadline);
        }
        return server;
    }
    std::string_view rest = name;
    std::string_view protocol;
    const size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        protocol = rest.substr(0, slash);
        rest.remove_prefix(slash + 1);
        if (protocol != "tcp" && protocol != "inet" && protocol != "inet6" && protocol != "unix" &&
            protocol != "local")
            return server;
    }
    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || (colon > 0 && rest[colon - 1] == ':')) return server;
    std::string host(rest.substr(0, colon));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string_view display = rest.substr(colon + 1);
    const size_t dot = display.find('.');
    server.number = Number(display.substr(0, dot), 65535 - 6000);
    server.screen = dot == std::string_view::npos ? 0 : Number(display.substr(dot + 1), 255);
    if (server.number < 0 || server.screen < 0) return server;

    if ((host.empty() && protocol.empty()) || (host == "unix" && protocol.empty()) || protocol == "unix" ||
        protocol == "local") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(server.number);
        server.fd = ConnectUnix(path, true, deadline);
        if (server.fd < 0) server.fd = ConnectUnix(path, false, deadline);
        return server;
    }
    if (host.empty()) host = "localhost";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = protocol == "inet" ? AF_INET : protocol == "inet6" ? AF_INET6 : AF_UNSPEC;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + server.number);
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return server;
    for (addrinfo* entry = found; entry && server.fd < 0; entry = entry->ai_next)
        server.fd = ConnectBefore(entry->ai_family, entry->ai_addr, entry->ai_addrlen, deadline);
    ::freeaddrinfo(found);
    return server;
}

}  // namespace quvo::platform
