#include "DatagramGuard.h"

#include <arpa/inet.h>
#include <bctoolbox/logging.h>
#include <belle-sip/belle-sip.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "SipText.h"

namespace quvo::sip {
namespace {

// SIP-Version: "SIP/" 1*DIGIT "." 1*DIGIT, letters in any case.
bool IsVersion(std::string_view text) {
    if (text.size() < 7 || !SameLetters(text.substr(0, 4), "SIP/")) return false;
    const size_t dot = text.find('.', 4);
    if (dot == std::string_view::npos || dot == 4 || dot + 1 == text.size()) return false;
    for (size_t i = 4; i < text.size(); ++i)
        if (i != dot && !IsDigit(text[i])) return false;
    return true;
}

// Request-Line: Method SP Request-URI SP SIP-Version; Status-Line: SIP-Version SP
// Status-Code SP Reason-Phrase (the reason may be empty, and some leave out its space).
bool IsStartLine(std::string_view line) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos || first == 0) return false;
    const std::string_view head = line.substr(0, first);
    if (IsVersion(head)) {
        const std::string_view rest = line.substr(first + 1);
        return rest.size() >= 3 && IsDigit(rest[0]) && IsDigit(rest[1]) && IsDigit(rest[2]) &&
               (rest.size() == 3 || rest[3] == ' ');
    }
    if (!std::all_of(head.begin(), head.end(), IsTokenChar)) return false;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || second == first + 1) return false;
    const std::string_view uri = line.substr(first + 1, second - first - 1);
    if (std::any_of(uri.begin(), uri.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; }))
        return false;
    return IsVersion(line.substr(second + 1));
}

}  // namespace

const char* DatagramName(Datagram kind) {
    switch (kind) {
        case Datagram::Message: return "a message";
        case Datagram::KeepAlive: return "a keep-alive";
        case Datagram::NoStartLine: return "no start line";
        case Datagram::OpenHeaders: return "headers not ended by an empty line";
        case Datagram::NulInHeaders: return "a NUL byte in the headers";
        case Datagram::BadHeaderLine: return "a header line without a name";
        case Datagram::BadLength: return "a malformed Content-Length";
        case Datagram::ShortBody: return "a body shorter than its Content-Length";
    }
    return "?";
}

namespace {

// A header section read: what it is and, for a message, where its body starts and the
// Content-Length it gives (-1: none).
struct Headers {
    Datagram kind = Datagram::Message;
    size_t bodyStart = 0;
    long long contentLength = -1;
};

Headers ReadHeaders(std::string_view data) {
    // Leading CRLFs are ignored (RFC 3261 7.5); CRLFs alone are a keep-alive.
    size_t start = 0;
    while (start < data.size() && (data[start] == '\r' || data[start] == '\n')) ++start;
    if (data.empty()) return {Datagram::NoStartLine};
    if (start == data.size()) return {Datagram::KeepAlive};

    const size_t lineEnd = data.find("\r\n", start);
    if (lineEnd == std::string_view::npos) return {Datagram::NoStartLine};
    const size_t headersEnd = data.find("\r\n\r\n", start);
    if (data.substr(start, std::min(headersEnd, data.size()) - start).find('\0') != std::string_view::npos)
        return {Datagram::NulInHeaders};
    if (!IsStartLine(data.substr(start, lineEnd - start))) return {Datagram::NoStartLine};
    if (headersEnd == std::string_view::npos) return {Datagram::OpenHeaders};
    const size_t bodyStart = headersEnd + 4;

    // Content-Length, or its compact form "l"; a folded line (leading space) continues the
    // header before it.
    long long contentLength = -1;
    for (size_t at = lineEnd + 2; at < bodyStart - 2;) {
        size_t end = data.find("\r\n", at);
        while (end + 2 < bodyStart - 2 && (data[end + 2] == ' ' || data[end + 2] == '\t'))
            end = data.find("\r\n", end + 2);
        const std::string_view line = data.substr(at, end - at);
        at = end + 2;
        // message-header: field-name (a token) HCOLON value.
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return {Datagram::BadHeaderLine};
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenChar))
            return {Datagram::BadHeaderLine};
        if (!SameLetters(name, "Content-Length") && !SameLetters(name, "l")) continue;
        const std::string_view value = Trim(line.substr(colon + 1));
        if (value.empty() || !std::all_of(value.begin(), value.end(), IsDigit)) return {Datagram::BadLength};
        // More digits than any datagram holds: larger than the body, whatever it says.
        const long long given = value.size() > 9 ? 1000000000LL : std::stoll(std::string(value));
        if (contentLength >= 0 && given != contentLength) return {Datagram::BadLength};
        contentLength = given;
    }
    return {Datagram::Message, bodyStart, contentLength};
}

}  // namespace

Framing FrameDatagram(std::string_view data) {
    const Headers headers = ReadHeaders(data);
    if (headers.kind == Datagram::KeepAlive) return {Datagram::KeepAlive, data.size()};
    if (headers.kind != Datagram::Message) return {headers.kind, 0};
    const size_t body = data.size() - headers.bodyStart;
    if (headers.contentLength < 0)
        return {Datagram::Message, data.size()};  // the body runs to the end (18.3)
    if (static_cast<unsigned long long>(headers.contentLength) > body) return {Datagram::ShortBody, 0};
    return {Datagram::Message, headers.bodyStart + static_cast<size_t>(headers.contentLength)};
}

bool LibraryReadsHeaders(std::string_view message, long long* contentLength) {
    size_t start = 0;
    while (start < message.size() && (message[start] == '\r' || message[start] == '\n')) ++start;
    const size_t end = message.find("\r\n\r\n", start);
    if (end == std::string_view::npos) return false;
    // The library reads the header section the same way, and takes a message only when
    // its parser consumed something.
    const std::string headers(message.substr(start, end + 4 - start));
    size_t read = 0;
    belle_sip_message_t* parsed = belle_sip_message_parse_raw(headers.c_str(), headers.size(), &read);
    if (!parsed) return false;
    belle_sip_object_ref(parsed);
    if (contentLength) {
        const auto* length = belle_sip_message_get_header_by_type(parsed, belle_sip_header_content_length_t);
        *contentLength =
            length ? static_cast<long long>(belle_sip_header_content_length_get_content_length(length)) : -1;
    }
    belle_sip_object_unref(parsed);
    return read > 0;
}

Verdict JudgeDatagram(std::string_view data, const ScreenPolicy& policy) {
    const Framing framing = FrameDatagram(data);
    if (framing.kind == Datagram::KeepAlive) return {Screened::Action::Pass, framing.length, {}, {}};
    if (framing.kind != Datagram::Message) return {Screened::Action::Drop, 0, {}, DatagramName(framing.kind)};
    const std::string_view message = data.substr(0, framing.length);
    // The limits before the library's parser, whose time they bound.
    if (auto problem = LengthProblem(message); !problem.empty())
        return {Screened::Action::Drop, 0, {}, std::move(problem)};
    if (!LibraryReadsHeaders(message))
        return {Screened::Action::Drop, 0, {}, "headers the SIP parser cannot read"};
    Screened screened = Screen(message, policy);
    return {screened.action, framing.length, std::move(screened.message), std::move(screened.reason)};
}

void StreamChecker::End(std::string reason) {
    reason_ = reason.empty() ? "ended" : std::move(reason);
    held_.clear();
    body_ = 0;
    skip_ = 0;
}

bool StreamChecker::Feed(std::string_view data, std::string& out) {
    while (!data.empty() && !Bad()) {
        if (skip_ > 0) {
            const size_t n = static_cast<size_t>(std::min<unsigned long long>(skip_, data.size()));
            skip_ -= n;
            data.remove_prefix(n);
            continue;
        }
        if (body_ > 0) {
            const size_t n = static_cast<size_t>(std::min<unsigned long long>(body_, data.size()));
            out.append(data.substr(0, n));
            body_ -= n;
            data.remove_prefix(n);
            continue;
        }
        if (held_.empty()) {
            // Between messages CRLFs are keep-alives (RFC 5626 4.4.1): they pass as they come.
            size_t n = 0;
            while (n < data.size() && (data[n] == '\r' || data[n] == '\n')) ++n;
            out.append(data.substr(0, n));
            data.remove_prefix(n);
            if (data.empty()) break;
        }
        // A header section, held until its empty line.
        const size_t before = held_.size();
        held_.append(data);
        const size_t end = held_.find("\r\n\r\n", scanned_);
        if (end == std::string::npos) {
            if (held_.size() > limit_) End("a header section over " + std::to_string(limit_) + " bytes");
            scanned_ = held_.size() < 3 ? 0 : held_.size() - 3;
            break;
        }
        const std::string_view section(held_.data(), end + 4);
        const Headers headers = ReadHeaders(section);
        Screened screened;
        if (headers.kind != Datagram::Message) {
            End(DatagramName(headers.kind));
        } else if (headers.contentLength < 0) {
            End("no Content-Length");  // which a stream must carry (RFC 3261 20.14)
        } else if (headers.contentLength >= 1000000000LL) {
            End(DatagramName(Datagram::BadLength));
        } else if (auto problem = LengthProblem(section); !problem.empty()) {
            End(std::move(problem));
        } else if (long long libraryLength = -1; !LibraryReadsHeaders(section, &libraryLength)) {
            End("headers the SIP parser cannot read");
        } else if (libraryLength != headers.contentLength) {
            // Where the library would take the body to end, the next header section starts.
            End("a Content-Length the SIP parser reads otherwise");
        } else if (screened = Screen(section, policy_); screened.action == Screened::Action::Drop) {
            End(std::move(screened.reason));
        } else {
            if (screened.action == Screened::Action::Answer) {
                answers_ += screened.message;
                lastAnswered_ = std::move(screened.reason);
                skip_ = static_cast<unsigned long long>(headers.contentLength);
            } else {
                out.append(screened.action == Screened::Action::Rewrite ? std::string_view(screened.message)
                                                                        : section);
                body_ = static_cast<unsigned long long>(headers.contentLength);
            }
            data.remove_prefix(end + 4 - before);
            held_.clear();
            scanned_ = 0;
        }
    }
    return !Bad();
}

// ---- the receive call, interposed ---------------------------------------------------------------

namespace {

using RecvFrom = ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*);

RecvFrom Real() {
    static const RecvFrom real = reinterpret_cast<RecvFrom>(dlsym(RTLD_NEXT, "recvfrom"));
    return real;
}

std::atomic<bool> g_armed{false};
sockaddr_storage g_sipAddress{};
ScreenPolicy g_policy;  // set before the guard is armed, read only afterwards
std::atomic<uint64_t> g_dropped{0};
std::atomic<uint64_t> g_answered{0};
std::atomic<int> g_sipFd{-1};

// What each descriptor was found to be. The SIP library peeks at its port before every
// read, and a peek looks the descriptor up afresh, as does every read of the SIP socket: a
// descriptor number the SIP socket leaves behind is soon seen for what it is.
enum : uint8_t { kUnknown, kOther, kSipSocket };
constexpr int kTracked = 4096;
std::array<std::atomic<uint8_t>, kTracked> g_kind{};

// Whether fd is a socket of that type at the SIP address. A connection accepted at a port
// bound to every address has one of them as its own: there the port alone decides.
bool IsAtSipAddress(int fd, int wantedType) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.ss_family != g_sipAddress.ss_family ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != wantedType)
        return false;
    const bool anyAddress = wantedType == SOCK_STREAM;
    if (local.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(local);
        const auto& b = reinterpret_cast<const sockaddr_in&>(g_sipAddress);
        return a.sin_port == b.sin_port &&
               (a.sin_addr.s_addr == b.sin_addr.s_addr || (anyAddress && b.sin_addr.s_addr == INADDR_ANY));
    }
    const auto& a = reinterpret_cast<const sockaddr_in6&>(local);
    const auto& b = reinterpret_cast<const sockaddr_in6&>(g_sipAddress);
    return a.sin6_port == b.sin6_port && (std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 ||
                                          (anyAddress && IN6_IS_ADDR_UNSPECIFIED(&b.sin6_addr)));
}

bool IsSipSocket(int fd) {
    return IsAtSipAddress(fd, SOCK_DGRAM);
}

bool Guarded(int fd, int flags) {
    if (!g_armed.load(std::memory_order_acquire) || fd < 0) return false;
    if (fd >= kTracked) return IsSipSocket(fd);
    if (g_kind[fd].load(std::memory_order_relaxed) == kOther && !(flags & MSG_PEEK)) return false;
    const bool sip = IsSipSocket(fd);
    g_kind[fd].store(sip ? kSipSocket : kOther, std::memory_order_relaxed);
    if (sip) g_sipFd.store(fd, std::memory_order_relaxed);
    return sip;
}

// The last datagram judged on this thread. The SIP library peeks at every datagram before
// it reads it: the read finds the same bytes and takes the verdict already given, so each
// datagram costs one parse of the guard's beside the library's own.
struct Judged {
    int fd = -1;
    std::string bytes;
    Verdict verdict;
};

const Verdict& Judge(int fd, std::string_view data) {
    thread_local Judged last;
    if (last.fd != fd || last.bytes != data) {
        last.verdict = JudgeDatagram(data, g_policy);
        last.fd = fd;
        last.bytes.assign(data);
    }
    return last.verdict;
}

// Reads (or peeks at) the first datagram that passes, as the guard lets it: each one
// before it is taken off the queue, answered when the screen says so, and counted. Once
// one is taken off only what is queued already is read, so a caller that polled for one
// datagram never blocks: with nothing else there a read gets EAGAIN, which the library's
// reader passes over. A peek then gets an empty datagram from the last sender instead: the
// library takes a failed peek at its port for a broken socket, and opens it anew, ending
// every transaction under way on it (a call being set up, a registration).
ssize_t GuardedReceive(RecvFrom real, int fd, void* buf, size_t len, int flags, sockaddr* from,
                       socklen_t* fromLength) {
    thread_local std::vector<char> whole(65536);  // more than any UDP datagram holds
    const bool peek = flags & MSG_PEEK;
    for (bool takenOff = false;; takenOff = true) {
        sockaddr_storage sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t n = real(fd, whole.data(), whole.size(), flags & ~MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < 0 && !(takenOff && peek && (errno == EAGAIN || errno == EWOULDBLOCK))) return n;
        if (n < 0) return 0;  // `from` still names the last sender
        if (from && fromLength) {
            std::memcpy(from, &sender, std::min<size_t>(*fromLength, senderLength));
            *fromLength = senderLength;
        }
        const Verdict& verdict = Judge(fd, {whole.data(), static_cast<size_t>(n)});
        if (verdict.action == Screened::Action::Pass || verdict.action == Screened::Action::Rewrite) {
            const bool rewritten = verdict.action == Screened::Action::Rewrite;
            const char* bytes = rewritten ? verdict.message.data() : whole.data();
            const size_t length = rewritten ? verdict.message.size() : verdict.length;
            const size_t given = std::min(len, length);
            if (given) std::memcpy(buf, bytes, given);
            return static_cast<ssize_t>((flags & MSG_TRUNC) ? length : given);
        }
        if (peek) real(fd, nullptr, 0, MSG_DONTWAIT, nullptr, nullptr);
        const std::string text = AddressText(reinterpret_cast<sockaddr*>(&sender), senderLength);
        if (verdict.action == Screened::Action::Answer) {
            // Back to where the request came from, as rport has it (RFC 3581).
            ::sendto(fd, verdict.message.data(), verdict.message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&sender), senderLength);
            const uint64_t answered = g_answered.fetch_add(1) + 1;
            const std::string status = verdict.message.substr(0, verdict.message.find('\r'));
            bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING,
                      "SIP port: answered %s from %s with %s; %llu answered so far", verdict.reason.c_str(),
                      text.c_str(), status.c_str(), static_cast<unsigned long long>(answered));
        } else {
            const uint64_t dropped = g_dropped.fetch_add(1) + 1;
            bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING,
                      "SIP port: dropped a datagram of %zd bytes from %s (%s); %llu dropped so far", n,
                      text.c_str(), verdict.reason.c_str(), static_cast<unsigned long long>(dropped));
        }
        flags |= MSG_DONTWAIT;
    }
}

// ---- the same for TCP connections to the SIP port ----------------------------------------------

using Recv = ssize_t (*)(int, void*, size_t, int);

Recv RealRecv() {
    static const Recv real = reinterpret_cast<Recv>(dlsym(RTLD_NEXT, "recv"));
    return real;
}

std::atomic<uint64_t> g_ended{0};

// What a descriptor was found to be, for the socket it was then. A socket's inode is its
// own while it is open, so a new connection on a descriptor number an old one left
// behind is told apart by one fstat, and the old one's state goes with it.
struct Connection {
    explicit Connection(const ScreenPolicy& policy) : checker(65536, policy) {}
    dev_t device = 0;
    ino_t inode = 0;
    bool guarded = false;
    std::mutex mutex;  // one reader at a time: the checker is the stream's
    StreamChecker checker;
    std::string peer;
    unsigned long long passed = 0;
};

std::mutex g_connectionsMutex;
std::unordered_map<int, std::shared_ptr<Connection>> g_connections;

std::shared_ptr<Connection> GuardedConnection(int fd) {
    struct stat status {};
    if (!g_armed.load(std::memory_order_acquire) || fd < 0 || ::fstat(fd, &status) != 0 ||
        !S_ISSOCK(status.st_mode))
        return nullptr;
    std::lock_guard lock(g_connectionsMutex);
    auto& connection = g_connections[fd];
    if (!connection || connection->device != status.st_dev || connection->inode != status.st_ino) {
        connection = std::make_shared<Connection>(g_policy);
        connection->device = status.st_dev;
        connection->inode = status.st_ino;
        connection->guarded = IsAtSipAddress(fd, SOCK_STREAM);
        if (connection->guarded) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
                connection->peer = AddressText(reinterpret_cast<sockaddr*>(&peer), length);
        }
    }
    return connection->guarded ? connection : nullptr;
}

// Reads no more from the kernel than fits the caller's buffer together with what is held,
// so that every byte checked is given in the same call: none wait for a wake-up that the
// socket, with nothing more to read, would never give. With everything held it reads on,
// so a non-blocking socket answers EAGAIN and a blocking one waits for the rest.
ssize_t GuardedStreamReceive(Recv real, int fd, void* buf, size_t len, int flags, Connection& connection) {
    if (flags & MSG_PEEK) {
        errno = EOPNOTSUPP;  // a peek would see bytes that are not yet checked
        return -1;
    }
    StreamChecker& checker = connection.checker;
    if (checker.Bad()) return 0;
    if (len == 0) return real(fd, buf, len, flags);
    thread_local std::vector<char> chunk(65536);
    std::string out;
    for (;;) {
        if (checker.Held() >= std::min(len, chunk.size()))
            checker.End("a header section larger than the reader's buffer");
        ssize_t n = 0;
        if (!checker.Bad()) {
            n = real(fd, chunk.data(), std::min(len, chunk.size()) - checker.Held(), flags);
            if (n <= 0) return n;  // the end of the stream takes anything held with it
            checker.Feed({chunk.data(), static_cast<size_t>(n)}, out);
            if (const std::string answers = checker.TakeAnswers(); !answers.empty()) {
                ::send(fd, answers.data(), answers.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                const uint64_t answered = g_answered.fetch_add(1) + 1;
                bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING,
                          "SIP port: answered %s on a TCP connection from %s itself; %llu answered so far",
                          checker.LastAnswered().c_str(), connection.peer.c_str(),
                          static_cast<unsigned long long>(answered));
            }
        }
        if (checker.Bad()) {
            // The reader gets what passed before, then the end of the stream; the socket
            // shows that end as readable, so it is woken for it.
            ::shutdown(fd, SHUT_RD);
            const uint64_t ended = g_ended.fetch_add(1) + 1;
            bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING,
                      "SIP port: ended a TCP connection from %s after %llu bytes (%s); %llu ended so far",
                      connection.peer.c_str(), connection.passed + out.size(), checker.Reason().c_str(),
                      static_cast<unsigned long long>(ended));
        }
        if (!out.empty()) {
            std::memcpy(buf, out.data(), out.size());
            connection.passed += out.size();
            return static_cast<ssize_t>(out.size());
        }
        if (checker.Bad()) return 0;
    }
}

}  // namespace

std::string AddressText(const sockaddr* from, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (!from || length < sizeof(sockaddr_in)) return text;
    if (from->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(from);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (from->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(from);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        // Appended piece by piece: GCC 12 at -O3 takes "[" + std::string for an overlapping copy.
        std::string sender = "[";
        sender += text;
        sender += "]:";
        sender += std::to_string(ntohs(in6->sin6_port));
        return sender;
    }
    return text;
}

bool GuardSipPort(const std::string& host, int port, ScreenPolicy policy) {
    // The address as the SIP library binds it: IPv6 only when written as such.
    addrinfo hints{};
    hints.ai_family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) return false;
    std::memcpy(&g_sipAddress, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof g_sipAddress));
    freeaddrinfo(found);
    g_policy = std::move(policy);
    g_sipFd.store(-1);
    for (auto& kind : g_kind) kind.store(kUnknown, std::memory_order_relaxed);
    {
        std::lock_guard lock(g_connectionsMutex);
        g_connections.clear();
    }
    g_armed.store(true, std::memory_order_release);
    return true;
}

uint64_t DroppedDatagrams() {
    return g_dropped.load();
}

uint64_t AnsweredRequests() {
    return g_answered.load();
}

bool SipPortReadable() {
    const int fd = g_sipFd.load(std::memory_order_relaxed);
    if (!g_armed.load(std::memory_order_acquire) || fd < 0 || !IsSipSocket(fd)) return false;
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN);
}

uint64_t EndedConnections() {
    return g_ended.load();
}

}  // namespace quvo::sip

// The SIP library (through its helper library) receives every datagram with recvfrom: this
// definition in the program comes before the C library's.
extern "C" ssize_t recvfrom(int fd, void* __restrict buf, size_t len, int flags, sockaddr* __restrict from,
                            socklen_t* __restrict fromLength) {
    const auto real = quvo::sip::Real();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    if (!quvo::sip::Guarded(fd, flags)) return real(fd, buf, len, flags, from, fromLength);
    return quvo::sip::GuardedReceive(real, fd, buf, len, flags, from, fromLength);
}

// ... and reads its TCP connections with recv.
extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
    const auto real = quvo::sip::RealRecv();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    const auto connection = quvo::sip::GuardedConnection(fd);
    if (!connection) return real(fd, buf, len, flags);
    std::lock_guard lock(connection->mutex);
    return quvo::sip::GuardedStreamReceive(real, fd, buf, len, flags, *connection);
}
