#include "MessageScreen.h"

#include <linphone/core.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <vector>

#include "SipText.h"

namespace quvo::sip {
namespace {

struct Header {
    std::string_view name;   // as written (a compact form stays compact)
    std::string_view value;  // trimmed; folded lines stay in it
    size_t start = 0;        // where its line starts in the message
    size_t end = 0;          // where its line ends (before the CRLF)
};

struct Parsed {
    std::string_view startLine;
    std::vector<Header> headers;
    size_t headersEnd = 0;  // where the empty line's CRLF ends
};

// The start line and header lines of a message whose header section ends in an empty line
// (the guard's framing made sure of that); folded lines belong to the header before them.
Parsed Parse(std::string_view message) {
    Parsed parsed;
    size_t at = 0;
    while (at < message.size() && (message[at] == '\r' || message[at] == '\n')) ++at;
    size_t lineEnd = message.find("\r\n", at);
    if (lineEnd == std::string_view::npos) return parsed;
    parsed.startLine = message.substr(at, lineEnd - at);
    at = lineEnd + 2;
    while (at < message.size()) {
        size_t end = message.find("\r\n", at);
        if (end == std::string_view::npos) end = message.size();
        if (end == at) {
            parsed.headersEnd = end + 2;
            break;
        }
        while (end + 2 < message.size() && (message[end + 2] == ' ' || message[end + 2] == '\t')) {
            const size_t next = message.find("\r\n", end + 2);
            end = next == std::string_view::npos ? message.size() : next;
        }
        const std::string_view line = message.substr(at, end - at);
        const size_t colon = line.find(':');
        Header header;
        header.name = Trim(line.substr(0, colon == std::string_view::npos ? line.size() : colon));
        header.value = colon == std::string_view::npos ? std::string_view() : Trim(line.substr(colon + 1));
        header.start = at;
        header.end = end;
        parsed.headers.push_back(header);
        at = end + 2;
    }
    return parsed;
}

// A header's full name, for its compact form too (RFC 3261 7.3.3, RFC 3515, RFC 6665).
bool Is(const Header& header, std::string_view full, char compact) {
    return SameLetters(header.name, full) ||
           (compact && header.name.size() == 1 && SameLetters(header.name, std::string_view(&compact, 1)));
}

const Header* Find(const Parsed& parsed, std::string_view full, char compact) {
    for (const Header& header : parsed.headers)
        if (Is(header, full, compact)) return &header;
    return nullptr;
}

std::string TooLong(std::string_view what, size_t limit) {
    return std::string(what) + " over " + std::to_string(limit) + " characters";
}

// A host as a URI or a Via gives it: an IPv6 reference in brackets, or a name of labels.
std::string HostProblem(std::string_view host) {
    if (!host.empty() && host.front() == '[') return host.size() > 66 ? TooLong("an IPv6 reference", 66) : "";
    if (host.size() > kMaxHostName) return TooLong("a host name", kMaxHostName);
    for (size_t start = 0; start <= host.size();) {
        size_t dot = host.find('.', start);
        if (dot == std::string_view::npos) dot = host.size();
        if (dot - start > kMaxHostLabel) return TooLong("a host name's label", kMaxHostLabel);
        start = dot + 1;
    }
    return {};
}

// The host at the start of text (after "user@" or a Via's protocol).
std::string_view HostAt(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        return text.substr(0, close == std::string_view::npos ? text.size() : close + 1);
    }
    return text.substr(0, std::min(text.size(), text.find_first_of(":;?>, \t\"\r\n")));
}

// Every SIP URI written in text: where "sip:" or "sips:" starts a word.
std::string UrisProblem(std::string_view text) {
    for (size_t at = 0; at + 4 <= text.size(); ++at) {
        if (at > 0 && IsTokenChar(text[at - 1])) continue;
        size_t scheme = 0;
        if (SameLetters(text.substr(at, 4), "sip:"))
            scheme = 4;
        else if (at + 5 <= text.size() && SameLetters(text.substr(at, 5), "sips:"))
            scheme = 5;
        if (!scheme) continue;
        const size_t end = std::min(text.size(), text.find_first_of(">, \t\"\r\n", at));
        if (auto problem = UriProblem(text.substr(at, end - at)); !problem.empty()) return problem;
        at = end;
    }
    return {};
}

// Display names before '<' and quoted strings anywhere in a header's value.
std::string NamesProblem(std::string_view value) {
    size_t segment = 0;  // where the current comma-separated value began
    for (size_t at = 0; at < value.size(); ++at) {
        const char c = value[at];
        if (c == '"') {
            size_t close = at + 1;
            while (close < value.size() && value[close] != '"') close += value[close] == '\\' ? 2 : 1;
            if (close - at - 1 > kMaxQuotedString) return TooLong("a quoted string", kMaxQuotedString);
            at = close;
        } else if (c == ',') {
            segment = at + 1;
        } else if (c == '<') {
            if (Trim(value.substr(segment, at - segment)).size() > kMaxDisplayName)
                return TooLong("a display name", kMaxDisplayName);
            const size_t close = value.find('>', at);
            if (close == std::string_view::npos) break;
            at = close;
        }
    }
    return {};
}

// The sent-by hosts of a Via header's values.
std::string ViaProblem(std::string_view value) {
    for (size_t start = 0; start < value.size();) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view via = Trim(value.substr(start, comma - start));
        const size_t blank = via.find_first_of(" \t");
        if (blank != std::string_view::npos) {
            via = Trim(via.substr(blank));
            if (auto problem = HostProblem(HostAt(via)); !problem.empty()) return problem;
        }
        start = comma + 1;
    }
    return {};
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The URI of an address header's value: inside <...>, else up to its parameters.
std::string_view AddressUri(std::string_view value, size_t* start = nullptr) {
    // A display name may hold '<' only when quoted.
    size_t at = 0;
    for (; at < value.size(); ++at) {
        if (value[at] == '"') {
            ++at;
            while (at < value.size() && value[at] != '"') at += value[at] == '\\' ? 2 : 1;
        } else if (value[at] == '<') {
            break;
        }
    }
    if (at < value.size()) {
        const size_t close = value.find('>', at);
        if (start) *start = at + 1;
        return value.substr(at + 1, (close == std::string_view::npos ? value.size() : close) - at - 1);
    }
    if (start) *start = 0;
    return value.substr(0, std::min(value.size(), value.find(';')));
}

bool HasTag(std::string_view value) {
    const std::string lower =
        Lower(value.substr(value.rfind('>') == std::string_view::npos ? 0 : value.rfind('>')));
    return lower.find(";tag=") != std::string::npos || lower.find("; tag=") != std::string::npos;
}

}  // namespace

bool LibraryBuildsAddress(std::string_view value) {
    const std::string text(value);
    LinphoneAddress* address = linphone_address_new(text.c_str());
    if (!address) return false;
    const bool usable = linphone_address_get_domain(address) != nullptr;
    linphone_address_unref(address);
    return usable;
}

namespace {

// A far end's REFER: refused, or followed within the phone's own domain without the URI's
// headers (but Replaces).
Screened ScreenRefer(std::string_view message, const Parsed& parsed, const ScreenPolicy& policy) {
    const auto refuse = [&](std::string why) {
        return Screened{Screened::Action::Answer, ResponseTo(message, 603, "Decline"), "a REFER " + why};
    };
    if (!policy.acceptRefer) return refuse("(far ends may not transfer this phone: sSipAcceptRefer)");
    const Header* to = Find(parsed, "To", 't');
    if (!to || !HasTag(to->value)) return refuse("outside a call");
    const Header* referTo = Find(parsed, "Refer-To", 'r');
    if (!referTo)
        return Screened{Screened::Action::Answer, ResponseTo(message, 400, "Missing Refer-To"),
                        "a REFER without Refer-To"};
    size_t uriStart = 0;
    const std::string_view uri = AddressUri(referTo->value, &uriStart);
    const std::string lower = Lower(uri);
    if (lower.rfind("sip:", 0) != 0 && lower.rfind("sips:", 0) != 0)
        return refuse("to a destination not SIP");
    const size_t question = uri.find('?');
    const std::string_view plain = uri.substr(0, question);
    const size_t at = plain.find('@');
    const std::string_view host =
        HostAt(plain.substr(at == std::string_view::npos ? plain.find(':') + 1 : at + 1));
    std::string_view domain = policy.domain;
    if (!domain.empty() && domain.front() != '[' && std::count(domain.begin(), domain.end(), ':') == 1)
        domain = domain.substr(0, domain.find(':'));
    const auto bare = [](std::string_view h) {
        return h.size() >= 2 && h.front() == '[' && h.back() == ']' ? h.substr(1, h.size() - 2) : h;
    };
    if (!SameLetters(bare(host), bare(domain)))
        return refuse("to " + std::string(host) + ", outside " + policy.domain);
    if (question == std::string_view::npos) return {};

    // The URI's headers go, but Replaces.
    std::string kept;
    for (size_t start = question + 1; start < uri.size();) {
        size_t amp = uri.find('&', start);
        if (amp == std::string_view::npos) amp = uri.size();
        const std::string_view header = uri.substr(start, amp - start);
        if (SameLetters(header.substr(0, std::min(header.size(), header.find('='))), "Replaces"))
            kept += std::string(kept.empty() ? "?" : "&") + std::string(header);
        start = amp + 1;
    }
    const size_t valueStart = static_cast<size_t>(referTo->value.data() - message.data());
    const size_t cutStart = valueStart + uriStart + question;
    const size_t cutEnd = valueStart + uriStart + uri.size();
    Screened rewritten{Screened::Action::Rewrite, {}, "a REFER's URI headers removed"};
    rewritten.message.reserve(message.size());
    rewritten.message.append(message.substr(0, cutStart)).append(kept).append(message.substr(cutEnd));
    return rewritten;
}

}  // namespace

std::string UriProblem(std::string_view uri) {
    if (uri.size() > kMaxUri) return TooLong("a URI", kMaxUri);
    std::string_view rest = uri;
    for (std::string_view scheme : {"sip:", "sips:"})
        if (SameLetters(rest.substr(0, std::min(rest.size(), scheme.size())), scheme)) {
            rest.remove_prefix(scheme.size());
            break;
        }
    const std::string_view beforeHeaders = rest.substr(0, rest.find('?'));
    const size_t at = beforeHeaders.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view user = beforeHeaders.substr(0, std::min(at, beforeHeaders.find(':')));
        if (user.size() > kMaxUriUser) return TooLong("a URI's user part", kMaxUriUser);
        rest = beforeHeaders.substr(at + 1);
    }
    return HostProblem(HostAt(rest));
}

std::string LengthProblem(std::string_view headers) {
    const Parsed parsed = Parse(headers);
    if (parsed.headersEnd > kMaxHeaderSection) return TooLong("a header section", kMaxHeaderSection);
    if (parsed.headers.size() > kMaxHeaderLines)
        return "more than " + std::to_string(kMaxHeaderLines) + " header lines";
    if (parsed.startLine.size() > kMaxHeaderLine) return TooLong("a start line", kMaxHeaderLine);
    if (auto problem = UrisProblem(parsed.startLine); !problem.empty()) return problem;
    for (const Header& header : parsed.headers) {
        if (header.end - header.start > kMaxHeaderLine) return TooLong("a header line", kMaxHeaderLine);
        if (auto problem = UrisProblem(header.value); !problem.empty()) return problem;
        if (auto problem = NamesProblem(header.value); !problem.empty()) return problem;
        if (Is(header, "Via", 'v'))
            if (auto problem = ViaProblem(header.value); !problem.empty()) return problem;
    }
    return {};
}

// The digest algorithm of a challenge (MD5 when it names none), unquoted; empty for a
// scheme other than Digest.
std::string ChallengeAlgorithm(std::string_view value) {
    value = Trim(value);
    if (!SameLetters(value.substr(0, std::min<size_t>(value.size(), 7)), "Digest ")) return {};
    for (size_t at = 0; (at = value.find('=', at)) != std::string_view::npos; ++at) {
        size_t start = value.find_last_of(" ,\t", at);
        start = start == std::string_view::npos ? 0 : start + 1;
        if (!SameLetters(Trim(value.substr(start, at - start)), "algorithm")) continue;
        std::string_view rest = Trim(value.substr(at + 1));
        rest = rest.substr(0, rest.find(','));
        rest = Trim(rest);
        if (rest.size() >= 2 && rest.front() == '"') rest = rest.substr(1, rest.find('"', 1) - 1);
        return std::string(rest);
    }
    return "MD5";
}

// The library is told a request was refused (403, with a phrase of the phone's own) where
// it would do harm or nothing at all: a redirect of REGISTER would send the account's
// digests to whatever host it names (kRegisterRedirectRefused); a challenge in no digest
// algorithm it can answer would leave it silent for ever (kChallengeUnanswerable).
Screened ScreenResponse(std::string_view message, const Parsed& parsed) {
    const std::string_view status = parsed.startLine.substr(std::min<size_t>(parsed.startLine.size(), 8), 3);
    const Header* cseq = Find(parsed, "CSeq", 0);
    if (status.size() != 3 || !cseq) return {};
    auto refused = [&](const std::string& phrase, std::string reason) {
        std::string rewritten = "SIP/2.0 403 " + phrase + "\r\n";
        rewritten.append(message.substr(message.find('\n') + 1));
        return Screened{Screened::Action::Rewrite, std::move(rewritten), std::move(reason)};
    };
    if (status == "401" || status == "407") {
        std::string offered;
        for (const Header& header : parsed.headers) {
            if (!Is(header, "WWW-Authenticate", 0) && !Is(header, "Proxy-Authenticate", 0)) continue;
            const std::string algorithm = ChallengeAlgorithm(header.value);
            if (SameLetters(algorithm, "MD5") || SameLetters(algorithm, "SHA-256")) return {};
            if (!algorithm.empty()) offered += (offered.empty() ? "" : ", ") + algorithm;
        }
        if (offered.empty()) return {};
        return refused(std::string(kChallengeUnanswerable) + " (" + offered + ")",
                       "a challenge in " + offered + " only, which the phone cannot answer");
    }
    const std::string_view value = cseq->value;
    const size_t space = value.find_last_of(" \t");
    if (status[0] != '3' || space == std::string_view::npos ||
        !SameLetters(Trim(value.substr(space + 1)), "REGISTER"))
        return {};
    return refused(kRegisterRedirectRefused,
                   "a redirect of REGISTER (" + std::string(Trim(parsed.startLine)) + "), not followed");
}

Screened Screen(std::string_view message, const ScreenPolicy& policy) {
    const Parsed parsed = Parse(message);
    const std::string_view method = parsed.startLine.substr(0, parsed.startLine.find(' '));
    if (SameLetters(method.substr(0, std::min<size_t>(method.size(), 4)), "SIP/"))
        return ScreenResponse(message, parsed);

    if (SameLetters(method, "INVITE")) {
        const Header* to = Find(parsed, "To", 't');
        if (!to || !HasTag(to->value)) {
            for (const auto& [full, compact] : {std::pair{"From", 'f'}, std::pair{"To", 't'}}) {
                const Header* header = Find(parsed, full, compact);
                if (!header || !LibraryBuildsAddress(header->value))
                    return Screened{Screened::Action::Answer, ResponseTo(message, 400, "Bad Request"),
                                    std::string("an INVITE whose ") + full + " the SIP library cannot build"};
            }
        }
    } else if (SameLetters(method, "MESSAGE")) {
        return Screened{
            Screened::Action::Answer,
            ResponseTo(message, 405, "Method Not Allowed", std::string("Allow: ") + kAllowedMethods + "\r\n"),
            "a MESSAGE (this phone shows no text messages)"};
    } else if (SameLetters(method, "SUBSCRIBE")) {
        // The phone serves no event package (a transfer's progress comes as NOTIFYs within
        // the REFER's own subscription, which needs no SUBSCRIBE).
        const Header* event = Find(parsed, "Event", 'o');
        return Screened{Screened::Action::Answer, ResponseTo(message, 489, "Bad Event"),
                        "a SUBSCRIBE for " + std::string(event ? event->value : "no event") +
                            " (this phone serves no event package)"};
    } else if (SameLetters(method, "REFER")) {
        return ScreenRefer(message, parsed, policy);
    }
    return {};
}

std::string ResponseTo(std::string_view request, int code, std::string_view reason,
                       std::string_view extraHeaders) {
    const Parsed parsed = Parse(request);
    std::string out = "SIP/2.0 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
    std::string callId, fromTag;
    for (const Header& header : parsed.headers) {
        if (Is(header, "Call-ID", 'i')) callId = header.value;
        if (Is(header, "From", 'f')) fromTag = header.value;
    }
    for (const Header& header : parsed.headers) {
        const bool to = Is(header, "To", 't');
        if (!to && !Is(header, "Via", 'v') && !Is(header, "From", 'f') && !Is(header, "Call-ID", 'i') &&
            !Is(header, "CSeq", 0))
            continue;
        out.append(request.substr(header.start, header.end - header.start));
        if (to && !HasTag(header.value)) {
            // The same tag for each retransmission of the request.
            char tag[24];
            std::snprintf(tag, sizeof tag, ";tag=q%zx", std::hash<std::string>{}(callId + "|" + fromTag));
            out += tag;
        }
        out += "\r\n";
    }
    out.append(extraHeaders);
    out += "Content-Length: 0\r\n\r\n";
    return out;
}

}  // namespace quvo::sip
