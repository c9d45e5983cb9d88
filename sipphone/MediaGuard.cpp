#include "MediaGuard.h"

#include <arpa/inet.h>
#include <bctoolbox/logging.h>
#include <dlfcn.h>
#include <linphone/core.h>
#include <netdb.h>
#include <netinet/in.h>
#include <ortp/rtpsession.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <linphone++/linphone.hh>
#include <map>
#include <mutex>

#include "DatagramGuard.h"

namespace quvo::sip {

std::optional<MediaHost> HostOf(const sockaddr* address, socklen_t length) {
    MediaHost host;
    if (!address) return std::nullopt;
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        host.family = AF_INET;
        std::memcpy(host.bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return host;
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&in6)) {
            host.family = AF_INET;
            std::memcpy(host.bytes.data(), in6.s6_addr + 12, 4);
        } else {
            host.family = AF_INET6;
            std::memcpy(host.bytes.data(), in6.s6_addr, 16);
        }
        return host;
    }
    return std::nullopt;
}

bool IsPrivateHost(const MediaHost& host) {
    const auto& b = host.bytes;
    if (host.family == AF_INET)
        return b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168) ||
               (b[0] == 100 && (b[1] & 0xc0) == 64) || (b[0] == 169 && b[1] == 254);
    return (b[0] & 0xfe) == 0xfc || (b[0] == 0xfe && (b[1] & 0xc0) == 0x80);
}

namespace {

bool IsUnspecified(const MediaHost& host) {
    const size_t size = host.family == AF_INET ? 4 : 16;
    return std::all_of(host.bytes.begin(), host.bytes.begin() + size, [](unsigned char c) { return c == 0; });
}

bool IsLoopback(const MediaHost& host) {
    static const std::array<unsigned char, 16> kV6Loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return host.family == AF_INET ? host.bytes[0] == 127 : host.bytes == kV6Loopback;
}

// 127.0.0.1 or ::1: where the system sends from to a loopback address by default.
bool IsMachineLoopback(const MediaHost& host) {
    if (host.family == AF_INET6) return IsLoopback(host);
    return host.bytes[0] == 127 && host.bytes[1] == 0 && host.bytes[2] == 0 && host.bytes[3] == 1;
}

// RFC 5389 6: the top two bits zero and the magic cookie.
bool IsStun(const unsigned char* data, size_t length) {
    return length >= 20 && (data[0] & 0xc0) == 0 && data[4] == 0x21 && data[5] == 0x12 && data[6] == 0xa4 &&
           data[7] == 0x42;
}

// RFC 3550 5.1: version 2, and at least the fixed header (RTCP's is shorter, but comes
// with a report).
bool IsRtp(const unsigned char* data, size_t length) {
    return length >= 12 && (data[0] >> 6) == 2;
}
}  // namespace

MediaVerdict JudgeMediaPacket(const MediaPolicy& policy, const std::optional<MediaHost>& sender,
                              const unsigned char* data, size_t length, bool taken) {
    if (sender && std::find(policy.hosts.begin(), policy.hosts.end(), *sender) != policy.hosts.end())
        return MediaVerdict::Take;
    // A far end on this machine whose socket is bound to every address sends from the
    // machine's own loopback address, whichever loopback address its SDP gives.
    if (sender && IsMachineLoopback(*sender) &&
        std::any_of(policy.hosts.begin(), policy.hosts.end(), IsLoopback))
        return MediaVerdict::Take;
    if (policy.stunFromAnyHost && IsStun(data, length)) return MediaVerdict::Take;
    if (policy.latchFirstSender && !taken && sender && IsRtp(data, length)) return MediaVerdict::TakeAndLatch;
    return MediaVerdict::Drop;
}

// ---- the sockets guarded, and the receive call interposed ---------------------------------------

namespace {

struct GuardedCall {
    MediaPolicy policy;
    bool taken = false;
    uint64_t dropped = 0;
    std::vector<MediaHost> logged;  // the foreign hosts named in the log so far
};

// A descriptor's socket as it was when the guard was armed on it: a socket's inode is its
// own while it is open, so a descriptor number that an ended call's socket left behind is
// not taken for it.
struct GuardedSocket {
    int32_t callRef = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

std::mutex g_mutex;
std::map<int32_t, GuardedCall> g_calls;
std::map<int, GuardedSocket> g_sockets;
std::atomic<size_t> g_socketCount{0};  // read without the lock: nothing guarded, nothing to look up
std::atomic<uint64_t> g_total{0};      // on every call since the program started, for the log
constexpr size_t kLoggedHosts = 8;

// Whether the datagram just read on fd may pass (true also for a descriptor not guarded).
bool Admit(int fd, const msghdr& msg, ssize_t length) {
    struct stat status {};
    std::lock_guard lock(g_mutex);
    const auto socket = g_sockets.find(fd);
    if (socket == g_sockets.end()) return true;
    if (::fstat(fd, &status) != 0 || status.st_dev != socket->second.device ||
        status.st_ino != socket->second.inode) {
        g_sockets.erase(socket);
        g_socketCount.store(g_sockets.size(), std::memory_order_release);
        return true;
    }
    GuardedCall& call = g_calls[socket->second.callRef];
    const auto* from = static_cast<const sockaddr*>(msg.msg_name);
    const auto sender = HostOf(from, msg.msg_namelen);
    const auto* data =
        msg.msg_iovlen > 0 ? static_cast<const unsigned char*>(msg.msg_iov[0].iov_base) : nullptr;
    const size_t seen = data ? std::min(static_cast<size_t>(length), msg.msg_iov[0].iov_len) : 0;
    switch (JudgeMediaPacket(call.policy, sender, data, seen, call.taken)) {
        case MediaVerdict::TakeAndLatch:
            call.policy.hosts.push_back(*sender);
            bctbx_log("quvo-sipphone", BCTBX_LOG_MESSAGE,
                      "media: call %d takes its far end's media from %s (its SDP gives a private address)",
                      socket->second.callRef, AddressText(from, msg.msg_namelen).c_str());
            [[fallthrough]];
        case MediaVerdict::Take: call.taken = true; return true;
        case MediaVerdict::Drop: break;
    }
    ++call.dropped;
    const uint64_t total = g_total.fetch_add(1) + 1;
    if (sender && call.logged.size() < kLoggedHosts &&
        std::find(call.logged.begin(), call.logged.end(), *sender) == call.logged.end()) {
        call.logged.push_back(*sender);
        bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING,
                  "media: dropped a packet of %zd bytes from %s on call %d, a host its far end did not "
                  "give; %llu dropped so far",
                  length, AddressText(from, msg.msg_namelen).c_str(), socket->second.callRef,
                  static_cast<unsigned long long>(total));
    }
    return false;
}

bool Guarded(int fd) {
    std::lock_guard lock(g_mutex);
    return g_sockets.count(fd) != 0;
}

using RecvMsg = ssize_t (*)(int, msghdr*, int);

RecvMsg RealRecvMsg() {
    static const RecvMsg real = reinterpret_cast<RecvMsg>(dlsym(RTLD_NEXT, "recvmsg"));
    return real;
}

}  // namespace

void GuardMediaSockets(int32_t callRef, const std::vector<int>& fds, MediaPolicy policy) {
    std::lock_guard lock(g_mutex);
    for (auto it = g_sockets.begin(); it != g_sockets.end();)
        it = it->second.callRef == callRef ? g_sockets.erase(it) : std::next(it);
    for (int fd : fds) {
        struct stat status {};
        if (fd < 0 || ::fstat(fd, &status) != 0) continue;
        g_sockets[fd] = GuardedSocket{callRef, status.st_dev, status.st_ino};
    }
    GuardedCall& call = g_calls[callRef];
    // A host latched on stays the far end's while its SDP does not change.
    if (call.policy.latchFirstSender && policy.latchFirstSender && call.taken)
        for (const MediaHost& host : call.policy.hosts)
            if (std::find(policy.hosts.begin(), policy.hosts.end(), host) == policy.hosts.end())
                policy.hosts.push_back(host);
    call.policy = std::move(policy);
    g_socketCount.store(g_sockets.size(), std::memory_order_release);
}

void ReleaseMediaSockets(int32_t callRef) {
    std::lock_guard lock(g_mutex);
    for (auto it = g_sockets.begin(); it != g_sockets.end();)
        it = it->second.callRef == callRef ? g_sockets.erase(it) : std::next(it);
    g_calls.erase(callRef);
    g_socketCount.store(g_sockets.size(), std::memory_order_release);
}

uint64_t ForeignMediaPackets(int32_t callRef) {
    std::lock_guard lock(g_mutex);
    const auto it = g_calls.find(callRef);
    return it == g_calls.end() ? 0 : it->second.dropped;
}

bool GuardCallMedia(int32_t callRef, linphone::Call& call, const std::vector<MediaHost>& servers) {
    LinphoneCall* c = call.cPtr();
    std::vector<int> fds;
    MediaPolicy policy;
    for (int i = 0; i < linphone_call_get_stream_count(c); ++i) {
        if (linphone_call_get_stream_type(c, i) != MSAudio) continue;
        const RtpTransport* transport = linphone_call_get_meta_rtp_transport(c, i);
        RtpSession* session = transport ? transport->session : nullptr;
        if (!session) continue;
        // The sockets themselves: asking the session asks its transports, and a TURN
        // transport has no socket of its own to give.
        fds.push_back(session->rtp.gs.socket);
        fds.push_back(session->rtcp.gs.socket);
        for (const OrtpStream* stream : {&session->rtp.gs, &session->rtcp.gs}) {
            const auto host =
                HostOf(reinterpret_cast<const sockaddr*>(&stream->rem_addr), stream->rem_addrlen);
            if (host && !IsUnspecified(*host) &&
                std::find(policy.hosts.begin(), policy.hosts.end(), *host) == policy.hosts.end())
                policy.hosts.push_back(*host);
        }
    }
    if (fds.empty()) return false;
    const auto stats = call.getAudioStats();
    policy.stunFromAnyHost = stats && stats->getIceState() != linphone::IceState::NotActivated;
    policy.latchFirstSender = !policy.stunFromAnyHost && !policy.hosts.empty() &&
                              std::all_of(policy.hosts.begin(), policy.hosts.end(), IsPrivateHost);
    policy.hosts.insert(policy.hosts.end(), servers.begin(), servers.end());
    GuardMediaSockets(callRef, fds, std::move(policy));
    return true;
}

std::vector<MediaHost> ResolveHosts(const std::string& host) {
    std::vector<MediaHost> hosts;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return hosts;
    for (const addrinfo* a = found; a; a = a->ai_next)
        if (const auto h = HostOf(a->ai_addr, a->ai_addrlen);
            h && std::find(hosts.begin(), hosts.end(), *h) == hosts.end())
            hosts.push_back(*h);
    freeaddrinfo(found);
    return hosts;
}

}  // namespace quvo::sip

// The media library receives every RTP and RTCP packet with recvmsg: this definition in the
// program comes before the C library's. A packet the guard drops is taken off the queue
// and the next one read, without waiting, so a flood from elsewhere does not hold up the
// far end's packets behind it; with nothing else there the reader gets EAGAIN.
extern "C" ssize_t recvmsg(int fd, msghdr* msg, int flags) {
    const auto real = quvo::sip::RealRecvMsg();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    if (quvo::sip::g_socketCount.load(std::memory_order_acquire) == 0 || !msg || !quvo::sip::Guarded(fd))
        return real(fd, msg, flags);
    sockaddr_storage sender{};
    const bool ownName = msg->msg_name == nullptr;
    if (ownName) {
        msg->msg_name = &sender;
        msg->msg_namelen = sizeof sender;
    }
    const socklen_t nameLength = msg->msg_namelen;
    const size_t controlLength = msg->msg_controllen;
    ssize_t n = 0;
    for (;;) {
        n = real(fd, msg, flags);
        if (n < 0 || quvo::sip::Admit(fd, *msg, n)) break;
        if (flags & MSG_PEEK) {
            msghdr discard{};
            real(fd, &discard, MSG_DONTWAIT);
        }
        msg->msg_namelen = nameLength;
        msg->msg_controllen = controlLength;
        msg->msg_flags = 0;
        flags |= MSG_DONTWAIT;
    }
    if (ownName) {
        msg->msg_name = nullptr;
        msg->msg_namelen = 0;
    }
    return n;
}
