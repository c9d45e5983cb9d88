// What the phone lets through to the SIP library of a whole message that arrived at its SIP
// port, and what it answers itself.
//
// Lengths first: the library's parser takes time that grows with the square of a URI's user
// part or of a host name's label (4,000 characters: seconds), and a display name of about a
// thousand characters makes it build an address it cannot, and crash. A message with anything
// over the limits below never reaches it.
//
// Then the requests the phone refuses: MESSAGE (nothing here shows a text message, so none
// is taken as delivered), SUBSCRIBE (it serves no event package) and a far end's REFER, unless the user
// allows far ends to transfer this phone (sSipAcceptRefer=1), and then only to a destination in the phone's
// own domain and without the headers a Refer-To URI may carry for the new INVITE (RFC 3261 19.1.5 forbids
// Route there; only Replaces, which an attended transfer needs, stays).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quvo::sip {

// The limits, in bytes.
inline constexpr size_t kMaxHeaderSection = 16384;
inline constexpr size_t kMaxHeaderLines = 100;
inline constexpr size_t kMaxHeaderLine = 4096;  // one header, folded lines joined
inline constexpr size_t kMaxUri = 1024;
inline constexpr size_t kMaxUriUser = 128;
inline constexpr size_t kMaxHostName = 253;  // RFC 1035
inline constexpr size_t kMaxHostLabel = 63;  // RFC 1035
inline constexpr size_t kMaxDisplayName = 256;
inline constexpr size_t kMaxQuotedString = 512;

// The methods the phone takes, for the Allow header of its refusals.
inline constexpr const char* kAllowedMethods =
    "INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, UPDATE, PRACK, NOTIFY, REFER";

struct ScreenPolicy {
    bool acceptRefer = false;  // sSipAcceptRefer
    std::string domain;        // the host a far end's REFER may send this phone to
};

// The reason phrase the library gets, with 403, in place of a redirect (3xx) of a REGISTER:
// a registration is never taken off the registrar that sSipProxy names.
inline constexpr const char* kRegisterRedirectRefused = "Redirect Not Followed";
// The phrase's beginning, with 403 and the algorithms offered, in place of a challenge (401,
// 407) in no digest algorithm the library answers (it answers MD5 and SHA-256).
inline constexpr const char* kChallengeUnanswerable = "Unanswerable Challenge";

struct Screened {
    enum class Action {
        Pass,     // to the library as it is
        Rewrite,  // to the library as `message` says
        Answer,   // not to the library: `message` is the response to send back
        Drop,     // not to the library, unanswered
    };
    Action action = Action::Pass;
    std::string message;
    std::string reason;  // for the log, when it is not passed as it is
};

// Why a URI (a SIP URI, with or without "sip:") is longer than the library may read; empty
// when it is within the limits.
std::string UriProblem(std::string_view uri);

// Why a message's start line and headers (through the empty line) exceed the limits; empty
// when they do not.
std::string LengthProblem(std::string_view headers);

// The verdict on a whole message within the limits whose headers the library reads (a body
// may follow them).
Screened Screen(std::string_view message, const ScreenPolicy& policy);

// Whether the SIP library makes an address (with a host) of text, a header's value or a URI:
// a caller's address that it cannot make crashes it while it sets up the call.
bool LibraryBuildsAddress(std::string_view text);

// The response to a request, as a stateless server gives it: its Via, From, To (with a tag
// of ours when it had none), Call-ID and CSeq, then extraHeaders (each ending in CRLF).
std::string ResponseTo(std::string_view request, int code, std::string_view reason,
                       std::string_view extraHeaders = {});

}  // namespace quvo::sip
