#include "RegistrarProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SipSettings.h"

namespace quvo::sip {
namespace {

using namespace std::chrono_literals;

// When each probe of a round goes out, from the round's start; the last entry is when the
// round without an answer ends.
constexpr std::chrono::milliseconds kRound[] = {0ms, 500ms, 1500ms, 3500ms, 4000ms};
constexpr int kProbes = 4;
constexpr auto kGoneInterval = 5s;

std::string HostPart(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

RegistrarProbe::~RegistrarProbe() {
    if (fd_ >= 0) ::close(fd_);
}

bool RegistrarProbe::Open(const std::string& localHost, const std::string& registrarHost, int registrarPort,
                          std::chrono::milliseconds interval) {
    interval_ = interval;
    sockaddr_storage local{}, remote{};
    socklen_t localLength = 0, remoteLength = 0;
    if (!NumericSocketAddress(localHost, 0, local, localLength) ||
        !NumericSocketAddress(registrarHost, registrarPort, remote, remoteLength) ||
        local.ss_family != remote.ss_family)
        return false;
    fd_ = ::socket(local.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Connected, so that the host's "port unreachable" comes back as ECONNREFUSED.
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), localLength) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), remoteLength) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return false;
    }
    localPort_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                                   : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    localHost_ = localHost;
    registrarHost_ = registrarHost;
    registrarPort_ = registrarPort;
    return true;
}

RegistrarProbe::Verdict RegistrarProbe::Poll(std::chrono::steady_clock::time_point now) {
    if (fd_ < 0) return Verdict::Unknown;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (n >= 8 && std::memcmp(buffer, "SIP/2.0 ", 8) == 0) {
                verdict_ = Verdict::Alive;
                if (sent_ > 0) {  // the round is over: the next one a whole interval after it began
                    sent_ = 0;
                    next_ = roundStart_ + interval_;
                }
            }
            continue;
        }
        if (n < 0 && errno == ECONNREFUSED) {
            verdict_ = Verdict::Gone;
            continue;
        }
        break;
    }
    if (now < next_) return verdict_;
    if (sent_ == kProbes) {  // the round went unanswered
        verdict_ = Verdict::Gone;
        sent_ = 0;
        next_ =
            roundStart_ + std::max<std::chrono::milliseconds>(
                              std::min<std::chrono::milliseconds>(interval_, kGoneInterval), kRound[kProbes]);
        return verdict_;
    }
    if (sent_ == 0) roundStart_ = now;
    const std::string request = Request(localHost_, localPort_, registrarHost_, registrarPort_, ++sequence_);
    if (::send(fd_, request.data(), request.size(), 0) < 0 && errno == ECONNREFUSED) verdict_ = Verdict::Gone;
    ++sent_;
    next_ = roundStart_ + kRound[sent_];
    return verdict_;
}

std::string RegistrarProbe::Request(const std::string& localHost, int localPort,
                                    const std::string& registrarHost, int registrarPort, uint32_t sequence) {
    const std::string target = "sip:" + HostPart(registrarHost) + ":" + std::to_string(registrarPort);
    const std::string local = HostPart(localHost) + ":" + std::to_string(localPort);
    const std::string n = std::to_string(sequence);
    return "OPTIONS " + target + " SIP/2.0\r\n" + "Via: SIP/2.0/UDP " + local +
           ";branch=z9hG4bK-quvo-probe-" + n + ";rport\r\n" + "Max-Forwards: 70\r\n" + "From: <sip:probe@" +
           local + ">;tag=quvo-probe\r\n" + "To: <" + target + ">\r\n" + "Call-ID: quvo-probe-" +
           std::to_string(::getpid()) + "-" + std::to_string(localPort) + "\r\n" + "CSeq: " + n +
           " OPTIONS\r\n" + "Content-Length: 0\r\n\r\n";
}

}  // namespace quvo::sip
