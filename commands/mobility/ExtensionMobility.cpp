// EMLogin and EMLogout: the call server's Extension Mobility web application.
#include "commands/mobility/ExtensionMobility.h"

#include <memory>

#include "base/Output.h"
#include "base/Text.h"
#include "link/SoftphoneControl.h"
#include "platform/Text.h"

namespace quvo {

std::string PercentEncode(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

namespace {

// A query value: the console's text (the locale's character set, the ANSI code page
// on Windows) as UTF-8, percent-encoded, so that the server reads the same value
// whatever the console's character set.
std::string QueryValue(const std::string& value) {
    return PercentEncode(platform::ToUtf8(value));
}

}  // namespace

std::string EMLoginUrl(const std::string& host, const std::string& device, const std::string& userId,
                       const std::string& password) {
    return "http://" + host + "/emapp/EMAppServlet?device=" + QueryValue(device) +
           "&userid=" + QueryValue(userId) + "&seq=" + QueryValue(password);
}

std::string EMLogoutUrl(const std::string& host, const std::string& device) {
    return "http://" + host + "/emapp/EMAppServlet?device=" + QueryValue(device) + "&doLogout=true";
}

bool IsUrlHost(const std::string& host) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto isHex = [&](char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    size_t end = 0;
    if (!host.empty() && host.front() == '[') {
        end = host.find(']');
        if (end == std::string::npos || end == 1) return false;
        for (size_t i = 1; i < end; ++i)
            if (!isHex(host[i]) && host[i] != ':' && host[i] != '.') return false;
        ++end;
    } else {
        while (end < host.size() && host[end] != ':') {
            const char c = host[end];
            if (!isDigit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && c != '-' && c != '.' &&
                c != '_' && c != '~')
                return false;
            ++end;
        }
        if (end == 0) return false;
    }
    if (end == host.size()) return true;
    if (host[end] != ':') return false;
    const std::string port = host.substr(end + 1);
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (!isDigit(c)) return false;
    return std::stoi(port) <= 65535;
}

namespace {

bool Contains(const std::string& text, const char* phrase) {
    return text.find(phrase) != std::string::npos;
}

}  // namespace

ResultCode ClassifyLoginResponse(const std::string& text) {
    if (Contains(text, "login successful")) return SUCCESS;
    if (Contains(text, "login unsuccessful")) {
        if (Contains(text, "another user logged in")) return ERROR_EM_ANOTHER_USER_LOGGED_ON;
        if (Contains(text, "device does not allow logon")) return ERROR_EM_DEVICE_NOT_CONFIGURED;
        if (Contains(text, "error: [11]")) return ERROR_EM_UNKNOWN_DEVICE;
        if (Contains(text, "authentication error")) return ERROR_EM_INVALID_CREDENTIALS;
    }
    return ERROR_EM_UNKNOWN_RESPONSE;
}

ResultCode ClassifyLogoutResponse(const std::string& text) {
    if (Contains(text, "logout successful")) return SUCCESS;
    if (Contains(text, "logout unsuccessful")) {
        if (Contains(text, "no user logged in")) return SUCCESS;
        if (Contains(text, "error: [11]")) return ERROR_EM_UNKNOWN_DEVICE;
    }
    return ERROR_EM_UNKNOWN_RESPONSE;
}

}  // namespace quvo

namespace quvo::link {

namespace {

// One Extension Mobility request: creates the document, reads the host and device
// from the settings, loads the URL that makeUrl builds from them and leaves the
// lower-cased text of the answer in text. SUCCESS or the failure's code.
template <typename MakeUrl>
ResultCode RequestEM(platform::IDesktop& desktop, MakeUrl&& makeUrl, std::string& text) {
    std::unique_ptr<platform::XmlDocument> document;
    switch (desktop.CreateXmlDocument(document)) {
        case platform::XmlDocument::CreateResult::CreateFailed: return ERROR_CREATE_XML_OBJECT_FAILED;
        case platform::XmlDocument::CreateResult::NoObject: return ERROR_CREATE_DOM_OBJECT_FAILED;
        case platform::XmlDocument::CreateResult::Ok: break;
    }
    if (!document) return ERROR_CREATE_DOM_OBJECT_FAILED;

    const std::vector<std::string> settings = desktop.ReadSettings({"IpAddress", "sDeviceName"});
    if (!IsUrlHost(settings[0])) return ERROR_EM_REQUEST_FAILED;  // no URL can hold it
    if (!document->Load(makeUrl(settings[0], settings[1]))) return ERROR_EM_REQUEST_FAILED;
    text = ToLower(platform::ToNarrow(document->Text()));
    return SUCCESS;
}

}  // namespace

ResultCode CSoftphoneControl::EMLogin(std::string userId, std::string password) {
    userId = Trim(userId);
    password = Trim(password);
    if (userId.empty() || password.empty()) return ERROR_MISSING_PARAMETER;

    std::string text;
    const auto url = [&](const std::string& host, const std::string& device) {
        return EMLoginUrl(host, device, userId, password);
    };
    if (ResultCode code = RequestEM(*m_pDesktop, url, text)) return code;
    const ResultCode code = ClassifyLoginResponse(text);
    if (code == SUCCESS) quvo::Print("> Event : Extension Mobility login successfull\n");
    return code;
}

ResultCode CSoftphoneControl::EMLogout() {
    std::string text;
    if (ResultCode code = RequestEM(*m_pDesktop, EMLogoutUrl, text)) return code;
    const ResultCode code = ClassifyLogoutResponse(text);
    if (code == SUCCESS) quvo::Print("> Event : Extension Mobility logout successfull\n");
    return code;
}

}  // namespace quvo::link
