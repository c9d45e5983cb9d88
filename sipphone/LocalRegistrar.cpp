#include "LocalRegistrar.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "SipSettings.h"

namespace quvo::sip {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The long name of a header, from either form.
std::string HeaderName(const std::string& raw) {
    const std::string name = Lower(raw);
    if (name == "v") return "via";
    if (name == "f") return "from";
    if (name == "t") return "to";
    if (name == "i") return "call-id";
    if (name == "m") return "contact";
    return name;
}

}  // namespace

LocalRegistrar::~LocalRegistrar() {
    if (fd_ >= 0) ::close(fd_);
}

bool LocalRegistrar::Open(const std::string& host, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!NumericSocketAddress(host, 0, storage, length)) {
        error = "the registrar needs a numeric address, not " + host;
        return false;
    }
    const bool v6 = storage.ss_family == AF_INET6;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        error = std::string("local registrar: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return true;
}

void LocalRegistrar::Poll() {
    if (fd_ < 0) return;
    char buffer[8192];
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0) return;
        const std::string answer = Answer(std::string(buffer, static_cast<size_t>(n)));
        if (!answer.empty())
            ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

std::string LocalRegistrar::Answer(const std::string& request) {
    std::istringstream in(request);
    std::string line;
    if (!std::getline(in, line)) return {};
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto space = line.find(' ');
    if (space == std::string::npos || line.size() < 8 || line.compare(line.size() - 8, 8, " SIP/2.0") != 0)
        return {};
    const std::string method = line.substr(0, space);
    if (method == "ACK") return {};

    std::vector<std::pair<std::string, std::string>> headers;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        headers.emplace_back(HeaderName(name), value);
    }
    auto first = [&](const std::string& name) -> std::string {
        for (const auto& [n, v] : headers)
            if (n == name) return v;
        return {};
    };
    if (first("call-id").empty() || first("cseq").empty() || first("via").empty()) return {};

    std::string out = method == "REGISTER" ? "SIP/2.0 200 OK\r\n" : "SIP/2.0 405 Method Not Allowed\r\n";
    for (const auto& [n, v] : headers)
        if (n == "via") out += "Via: " + v + "\r\n";
    std::string to = first("to");
    if (Lower(to).find(";tag=") == std::string::npos) to += ";tag=quvo-local";
    out += "From: " + first("from") + "\r\nTo: " + to + "\r\nCall-ID: " + first("call-id") +
           "\r\nCSeq: " + first("cseq") + "\r\n";
    if (method == "REGISTER") {
        const std::string expires = first("expires").empty() ? "3600" : first("expires");
        for (const auto& [n, v] : headers)
            if (n == "contact" && v != "*" && expires != "0") out += "Contact: " + v + "\r\n";
        out += "Expires: " + expires + "\r\n";
    } else {
        out += "Allow: REGISTER\r\n";
    }
    return out + "Content-Length: 0\r\n\r\n";
}

}  // namespace quvo::sip
