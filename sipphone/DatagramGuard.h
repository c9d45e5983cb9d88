// A guard in front of the SIP library's UDP port. The library keeps one parser per sender
// for datagrams as it would for a stream: a datagram it cannot read leaves that parser in a
// state in which the sender's next datagram can crash the phone. A datagram is one whole
// message (RFC 3261 18.3), so anything at the SIP port that is not one is dropped before the
// library reads it. What is one whole message then goes through the message screen
// (MessageScreen.h): over-long messages are dropped, and the requests the phone refuses are
// answered here, never seen by the library.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "MessageScreen.h"

namespace quvo::sip {

enum class Datagram {
    Message,      // one whole message: start line, headers, an empty line and its body
    KeepAlive,    // CRLFs only (RFC 5626 keep-alives)
    NoStartLine,  // neither a request line nor a status line first
    OpenHeaders,  // the header section is not ended by an empty line
    NulInHeaders,
    BadHeaderLine,  // a header line that is not a name (a token) and a colon
    BadLength,      // Content-Length not a number, or given twice with different values
    ShortBody,      // Content-Length larger than the body carried
};

const char* DatagramName(Datagram kind);

// How a datagram's bytes frame: what it is and, for a message, how many of its bytes the
// message takes (RFC 3261 18.3: bytes past the Content-Length are discarded).
struct Framing {
    Datagram kind = Datagram::Message;
    size_t length = 0;
};
Framing FrameDatagram(std::string_view data);

// Whether the SIP library's own parser reads a message's header section; contentLength,
// when given, takes the body length it read from it (-1: none).
bool LibraryReadsHeaders(std::string_view message, long long* contentLength = nullptr);

// What becomes of a datagram at the SIP port: passed (a keep-alive, or a whole message
// within the limits whose headers the library reads, as the screen lets it), rewritten,
// answered here or dropped. Nothing over the limits reaches the library's parser.
struct Verdict {
    Screened::Action action = Screened::Action::Pass;
    size_t length = 0;    // Pass: how many of the datagram's bytes the library gets
    std::string message;  // Rewrite: what the library gets instead; Answer: the response
    std::string reason;   // for the log
};
Verdict JudgeDatagram(std::string_view data, const ScreenPolicy& policy);

// The same guard for a byte stream (a TCP connection to the SIP port), where the library
// keeps one parser per connection. The bytes pass as they come, except a header section:
// it is held back until it is whole and then checked as a datagram's is, so the library
// only ever reads whole, checked header sections and the bodies their Content-Length gives.
class StreamChecker {
  public:
    explicit StreamChecker(size_t limit = 65536, ScreenPolicy policy = {})
        : limit_(limit), policy_(std::move(policy)) {}

    // Takes the next bytes of the stream and appends to out every byte that may now pass.
    // False once the stream is bad: nothing more passes (out may still have taken the
    // bytes of the whole messages before the bad one). A message the screen answers does
    // not pass (nor its body): its response waits in TakeAnswers().
    bool Feed(std::string_view data, std::string& out);

    // The responses to send back on the stream, oldest first; taken, they are gone.
    std::string TakeAnswers() { return std::move(answers_); }
    const std::string& LastAnswered() const { return lastAnswered_; }

    // Ends the stream from outside (nothing more passes).
    void End(std::string reason);

    bool Bad() const { return !reason_.empty(); }
    const std::string& Reason() const { return reason_; }
    size_t Held() const { return held_.size(); }

  private:
    size_t limit_;
    ScreenPolicy policy_;
    std::string held_;             // the start of a header section that is not yet whole
    size_t scanned_ = 0;           // how far held_ was searched for the empty line
    unsigned long long body_ = 0;  // body bytes still to pass
    unsigned long long skip_ = 0;  // body bytes of an answered message, still to drop
    std::string answers_;
    std::string lastAnswered_;  // why the last answered message was
    std::string reason_;
};

// Arms the guard on the UDP socket bound to host:port (the phone's SIP address), and on
// the TCP connections accepted at it, screening with policy. Every other descriptor is
// looked up once (per socket) and left alone. False when host does not resolve.
// host:port of a socket address, [host]:port for IPv6; "?" for what is neither.
std::string AddressText(const sockaddr* address, socklen_t length);

bool GuardSipPort(const std::string& host, int port, ScreenPolicy policy = {});
uint64_t DroppedDatagrams();
uint64_t AnsweredRequests();
uint64_t EndedConnections();

// Whether a datagram waits at the guarded UDP port (the library takes one each time it is
// driven: it is driven again while one waits).
bool SipPortReadable();

}  // namespace quvo::sip
