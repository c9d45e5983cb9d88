#include "SipSettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "MessageScreen.h"

namespace quvo::sip {
namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return Lower(text.substr(0, prefix.size())) == prefix;
}

// Characters that may stand in a dialled number or name; '#' is escaped in the URI.
bool DialChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("*#+._-").find(c) != std::string_view::npos;
}

}  // namespace

bool SipAccount::ProxyUsesTcp() const {
    return Lower(proxy).find("transport=tcp") != std::string::npos || ProxyUsesTls();
}

bool SipAccount::ProxyUsesTls() const {
    return Lower(proxy).find("transport=tls") != std::string::npos || StartsWithNoCase(proxy, "sips:");
}

namespace {

bool IsIpv6(const std::string& host) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// A host as a URI writes it: an IPv6 address in brackets.
std::string UriHost(const std::string& host) {
    return IsIpv6(host) ? "[" + host + "]" : host;
}

// Whether text is a host a SIP URI can hold, with an optional port: a name of letters, digits,
// '-' and '.', or an IPv4 address, or an IPv6 reference in brackets.
bool IsUriHostPort(const std::string& text) {
    std::string host = text, port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || !IsIpv6(text.substr(1, close - 1))) return false;
        host.clear();
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            port = text.substr(close + 2);
            if (port.empty()) return false;
        }
    } else if (const auto colon = text.find(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) return false;
    }
    if (!std::all_of(port.begin(), port.end(), ::isdigit) || port.size() > 5) return false;
    if (!port.empty() && (std::stoi(port) < 1 || std::stoi(port) > 65535)) return false;
    if (text.front() == '[') return true;
    return !host.empty() && host.front() != '.' && host.front() != '-' &&
           std::all_of(host.begin(), host.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
           });
}

}  // namespace

std::string SipAccount::ProxyHost() const {
    if (proxy.empty()) return {};
    std::string rest = proxy.substr(proxy.find(':') + 1);  // after "sip:" or "sips:"
    if (const auto at = rest.find('@'); at != std::string::npos) rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') return rest.substr(0, rest.find(']') + 1);
    return rest.substr(0, rest.find_first_of(":;>?"));
}

std::string SipAccount::Domain() const {
    if (!domain.empty()) return domain;
    if (!proxy.empty()) return ProxyHost();
    return UriHost(listenHost);
}

std::string SipAccount::ContactUri() const {
    const bool v6 = listenHost.find(':') != std::string::npos;
    return "sip:" + user + "@" + (v6 ? "[" + listenHost + "]" : listenHost) + ":" +
           std::to_string(listenPort);
}

std::string SipAccount::IdentityUri() const {
    return "sip:" + user + "@" + Domain();
}

bool ParseHostPort(const std::string& rawText, std::string& host, int& port) {
    const std::string text = Trim(rawText);
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
            if (portText.empty()) return false;
        }
    } else {
        const auto colon = text.find(':');
        if (colon != text.rfind(':')) return false;  // a bare IPv6 address needs brackets
        host = text.substr(0, colon);
        if (colon != std::string::npos) {
            portText = text.substr(colon + 1);
            if (portText.empty()) return false;
        }
    }
    if (host.empty()) return false;
    port = 5060;
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit)) return false;
        port = std::stoi(portText);
        if (port < 1 || port > 65535) return false;
    }
    return true;
}

namespace {

// A setting of 0 or 1; unset leaves the default.
bool ReadFlag(const std::string& value, const char* name, bool& flag, std::string& error) {
    if (value.empty()) return true;
    if (value != "0" && value != "1") {
        error = std::string(name) + " '" + value + "' is not 0 or 1";
        return false;
    }
    flag = value == "1";
    return true;
}

}  // namespace

bool ReadAccount(const SettingLookup& lookup, SipAccount& account, std::string& error) {
    auto get = [&](const char* name) { return Trim(lookup(name).value_or("")); };
    // A password may begin or end with blanks: only the line end goes.
    auto password = [&](const char* name) {
        std::string value = lookup(name).value_or("");
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        return value;
    };
    if (auto user = get("sSipUser"); !user.empty()) account.user = user;
    // A user name as a URI holds it unescaped ('#', which a dialled number may have, is not).
    if (!std::all_of(account.user.begin(), account.user.end(),
                     [](char c) { return DialChar(c) && c != '#'; })) {
        error = "sSipUser '" + account.user + "' is not a SIP user name";
        return false;
    }
    account.domain = get("sSipDomain");
    if (IsIpv6(account.domain)) account.domain = "[" + account.domain + "]";  // as a URI writes it
    if (!account.domain.empty() && !IsUriHostPort(account.domain)) {
        error = "sSipDomain '" + account.domain + "' is not a host name or address";
        return false;
    }
    account.proxy = get("sSipProxy");
    if (!account.proxy.empty() && !StartsWithNoCase(account.proxy, "sip:") &&
        !StartsWithNoCase(account.proxy, "sips:"))
        account.proxy = "sip:" + account.proxy;
    account.password = password("sSipPassword");
    account.voicemail = get("sVoicemail");
    if (auto keepAlive = get("sSipKeepAlive"); !keepAlive.empty()) {
        if (keepAlive.size() > 5 || !std::all_of(keepAlive.begin(), keepAlive.end(), ::isdigit)) {
            error = "sSipKeepAlive '" + keepAlive + "' is not a number of seconds";
            return false;
        }
        account.keepAliveSeconds = std::stoi(keepAlive);
    }
    account.authUser = get("sSipAuthUser");
    if (!std::all_of(account.authUser.begin(), account.authUser.end(),
                     [](char c) { return static_cast<unsigned char>(c) > ' ' && c != 0x7f; })) {
        error = "sSipAuthUser '" + account.authUser + "' is not a user name";
        return false;
    }
    if (auto ca = get("sSipCaFile"); !ca.empty()) account.caFile = ca;
    if (auto encryption = Lower(get("sSipMediaEncryption")); !encryption.empty()) {
        if (encryption != "none" && encryption != "srtp" && encryption != "dtls") {
            error = "sSipMediaEncryption '" + encryption + "' is not none, srtp or dtls";
            return false;
        }
        account.mediaEncryption = encryption;
    }
    if (!ReadFlag(get("sSipMediaEncryptionMandatory"), "sSipMediaEncryptionMandatory",
                  account.mediaEncryptionMandatory, error))
        return false;
    if (account.mediaEncryptionMandatory && account.mediaEncryption == "none") {
        error = "sSipMediaEncryptionMandatory=1 needs sSipMediaEncryption srtp or dtls";
        return false;
    }
    if (!ReadFlag(get("sSipAcceptRefer"), "sSipAcceptRefer", account.acceptRefer, error)) return false;
    if (auto stun = get("sSipStun"); !stun.empty()) {
        for (const char* scheme : {"stun:", "turn:"})
            if (StartsWithNoCase(stun, scheme)) stun = stun.substr(5);
        if (!ParseHostPort(stun, account.stunHost, account.stunPort) ||
            !IsUriHostPort(UriHost(account.stunHost))) {
            error = "sSipStun '" + stun + "' is not HOST[:PORT]";
            return false;
        }
        if (stun.find(':') == std::string::npos || (stun.front() == '[' && stun.back() == ']'))
            account.stunPort = 3478;  // STUN's port, not SIP's
    }
    if (!ReadFlag(get("sSipIce"), "sSipIce", account.ice, error)) return false;
    account.turnUser = get("sSipTurnUser");
    account.turnPassword = password("sSipTurnPassword");
    if ((!account.turnUser.empty() || !account.turnPassword.empty()) &&
        (account.turnUser.empty() || account.turnPassword.empty() || account.stunHost.empty())) {
        error = "a TURN relay needs sSipTurnUser, sSipTurnPassword and sSipStun (the server) together";
        return false;
    }
    if (auto codecs = get("sSipCodecs"); !codecs.empty()) {
        for (size_t start = 0; start <= codecs.size();) {
            const size_t comma = std::min(codecs.find(',', start), codecs.size());
            const std::string name = Trim(codecs.substr(start, comma - start));
            start = comma + 1;
            const auto slash = name.find('/');
            const std::string mime = name.substr(0, slash);
            const std::string rate = slash == std::string::npos ? "0" : name.substr(slash + 1);
            if (mime.empty() || rate.empty() || rate.size() > 6 ||
                !std::all_of(rate.begin(), rate.end(), ::isdigit) ||
                !std::all_of(mime.begin(), mime.end(), [](char c) {
                    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
                })) {
                error = "sSipCodecs '" + codecs + "' is not a comma-separated list of codec names";
                return false;
            }
            auto same = [&](const std::string& known) { return Lower(known) == Lower(name); };
            if (std::none_of(account.codecs.begin(), account.codecs.end(), same))
                account.codecs.push_back(name);
        }
    }
    account.captureDevice = get("sSipCaptureDevice");
    account.playbackDevice = get("sSipPlaybackDevice");
    account.ringerDevice = get("sSipRingerDevice");
    account.forwardAll = get("sSipForwardAll");
    if (auto listen = get("sSipListen"); !listen.empty()) {
        if (!ParseHostPort(listen, account.listenHost, account.listenPort)) {
            error = "sSipListen '" + listen + "' is not ADDRESS:PORT";
            return false;
        }
    }
    if (!account.forwardAll.empty()) {
        std::string problem;
        if (DestinationUri(account.forwardAll, account, problem).empty()) {
            error = "sSipForwardAll: " + problem;
            return false;
        }
    }
    return true;
}

namespace {

std::string BuildDestinationUri(const std::string& destination, const SipAccount& account,
                                std::string& error) {
    if (destination.empty()) {
        error = "no destination";
        return {};
    }
    if (destination.find_first_of(" \t<>\"") != std::string::npos) {
        error = "'" + destination + "' is not a SIP destination";
        return {};
    }
    if (StartsWithNoCase(destination, "sip:") || StartsWithNoCase(destination, "sips:")) {
        if (destination.find(':') + 1 == destination.size()) {
            error = "'" + destination + "' is not a SIP destination";
            return {};
        }
        return destination;
    }
    if (destination.find('@') != std::string::npos) {
        if (destination.front() == '@' || destination.back() == '@') {
            error = "'" + destination + "' is not a SIP destination";
            return {};
        }
        return "sip:" + destination;
    }
    if (!std::all_of(destination.begin(), destination.end(), DialChar)) {
        error = "'" + destination + "' is not a number or SIP address";
        return {};
    }
    std::string user;
    for (char c : destination) user += c == '#' ? std::string("%23") : std::string(1, c);
    return "sip:" + user + "@" + account.Domain();
}

}  // namespace

std::string DestinationUri(const std::string& rawDestination, const SipAccount& account, std::string& error) {
    const std::string destination = Trim(rawDestination);
    const std::string uri = BuildDestinationUri(destination, account, error);
    if (auto problem = uri.empty() ? std::string() : UriProblem(uri); !problem.empty()) {
        // Said short: the destination itself may be thousands of characters long.
        error = "'" + (destination.size() > 40 ? destination.substr(0, 40) + "..." : destination) +
                "' is no SIP destination (" + problem + ")";
        return {};
    }
    return uri;
}

std::string PartyNumber(const std::string& user, const std::string& host) {
    return user.empty() ? host : user;
}

std::string CallerIdentity(const std::string& displayName, const std::string& number) {
    const std::string name = Trim(displayName);
    return name.empty() || name == number ? number : name + " <" + number + ">";
}

bool NumericSocketAddress(const std::string& host, int port, sockaddr_storage& storage, socklen_t& length) {
    storage = {};
    if (host.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *a;
        return ::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) == 1;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *a;
    return ::inet_pton(AF_INET, host.c_str(), &a->sin_addr) == 1;
}

std::string ListenProblem(const std::string& host, int port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!NumericSocketAddress(host, port, storage, length)) return "sSipListen needs a numeric address";
    // An address of this machine (or all of them), not one that many receive.
    if (storage.ss_family == AF_INET) {
        const uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(&storage)->sin_addr.s_addr);
        if (a == INADDR_BROADCAST || (a >> 28) == 0xE)
            return "sSipListen " + host + " is a broadcast or multicast address";
    } else if (IN6_IS_ADDR_MULTICAST(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr)) {
        return "sSipListen " + host + " is a multicast address";
    }
    // Bound without SO_REUSEADDR: a SIP stack listening there already makes this fail,
    // where the core itself would share the port and miss half the requests.
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        const int fd = ::socket(storage.ss_family, type | SOCK_CLOEXEC, 0);
        if (fd < 0) return std::string("no socket: ") + std::strerror(errno);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0;
        const int error = errno;
        ::close(fd);
        if (!bound)
            return "cannot listen on " + host + ":" + std::to_string(port) + " (" +
                   (type == SOCK_DGRAM ? "UDP" : "TCP") + "): " + std::strerror(error);
    }
    return {};
}

std::string PasswordFileProblem(const std::string& path, const std::string& passwordSetting) {
    if (passwordSetting.empty()) return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return {};
    return path + " holds " + passwordSetting + " but others may read it (chmod 600 it)";
}

}  // namespace quvo::sip
