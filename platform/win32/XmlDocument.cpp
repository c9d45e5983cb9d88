// The XML document loader: a synchronous GET with WinHTTP, whose body the system's
// DOM document parses. The DOM document's own load from a URL cannot be bounded (it
// waits as long as the server keeps the connection open, and takes any status and
// any size), and Wine's server HTTP request object takes its time-outs without
// applying them; WinHTTP applies them and hands the body over piece by piece.
#include "platform/XmlDocument.h"

#include <windows.h>
// The HTTP, COM and DOM headers after <windows.h>.
#include <msxml.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <winhttp.h>

#include <algorithm>
#include <string>

#include "platform/Text.h"

namespace quvo::platform {

namespace {

// The same bounds as the Linux loader's.
constexpr DWORD kConnectTimeoutMs = 5000;
constexpr ULONGLONG kTotalTimeoutMs = 15000;
constexpr size_t kMaxBodyBytes = 1024 * 1024;
constexpr DWORD kMaxRedirects = 3;

// A WinHTTP handle, closed on every path out.
class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle) : m_handle(handle) {}
    ~InternetHandle() {
        if (m_handle) ::WinHttpCloseHandle(m_handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    HINTERNET get() const { return m_handle; }

  private:
    HINTERNET m_handle;
};

// The whole request's time, from its start.
class Deadline {
  public:
    Deadline() : m_end(::GetTickCount64() + kTotalTimeoutMs) {}

    // Milliseconds left; 0 once the time is up.
    DWORD Left() const {
        const ULONGLONG now = ::GetTickCount64();
        return now >= m_end ? 0 : static_cast<DWORD>(m_end - now);
    }

  private:
    ULONGLONG m_end;
};

// WinHTTP bounds each wait on its own (and takes 0 for no bound at all), so before
// every step the waits are cut to what is left of the whole request's time. The wait
// for the answer's head has its own option, which WinHttpSetTimeouts leaves alone.
// False when the time is up or the bounds cannot be set.
bool BoundNextStep(HINTERNET request, const Deadline& deadline) {
    DWORD left = deadline.Left();
    if (left == 0) return false;
    const int wait = static_cast<int>(left);
    const int connect = static_cast<int>(std::min(left, kConnectTimeoutMs));
    return ::WinHttpSetTimeouts(request, wait, connect, wait, wait) &&
           ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left, sizeof left);
}

// Failures of the send that mean the request never left the console.
bool RequestNotIssued(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        case ERROR_INVALID_PARAMETER:
        case ERROR_NOT_ENOUGH_MEMORY: return true;
        default: return false;
    }
}

// The answer's body, up to the cap. False when it cannot be read whole in time or
// is larger than the cap. Only what has arrived is read at each step: a read of more
// waits until that much has come, however long the server takes to send it.
bool ReadBody(HINTERNET request, const Deadline& deadline, std::string& body) {
    char buffer[16 * 1024];
    for (;;) {
        DWORD available = 0;
        if (!BoundNextStep(request, deadline) || !::WinHttpQueryDataAvailable(request, &available))
            return false;
        if (available == 0) return true;
        if (body.size() + available > kMaxBodyBytes) return false;
        DWORD read = 0;
        if (!::WinHttpReadData(request, buffer, std::min<DWORD>(available, sizeof buffer), &read))
            return false;
        if (read == 0) return true;
        body.append(buffer, read);
    }
}

class HttpDomDocument final : public XmlDocument {
  public:
    HttpDomDocument(HINTERNET session, IXMLDOMDocument* document)
        : m_session(session), m_document(document) {}
    ~HttpDomDocument() override { m_document->Release(); }
    HttpDomDocument(const HttpDomDocument&) = delete;
    HttpDomDocument& operator=(const HttpDomDocument&) = delete;

    bool Load(const std::string& url) override {
        m_text.clear();
        const std::wstring wideUrl = ToWide(url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        // A URL that WinHTTP cannot take apart, of another scheme than http and https,
        // or without a host cannot be requested at all.
        if (wideUrl.empty() ||
            !::WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts))
            return false;
        if (parts.dwHostNameLength == 0 ||
            (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS))
            return false;
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring target = L"/";
        if (parts.dwUrlPathLength > 0) target.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        if (parts.dwExtraInfoLength > 0) target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

        const Deadline deadline;
        InternetHandle connection(::WinHttpConnect(m_session.get(), host.c_str(), parts.nPort, 0));
        if (!connection.get()) return false;
        const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
        InternetHandle request(::WinHttpOpenRequest(connection.get(), L"GET", target.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
        if (!request.get()) return false;
        DWORD redirects = kMaxRedirects;
        if (!::WinHttpSetOption(request.get(), WINHTTP_OPTION_MAX_HTTP_AUTOMATIC_REDIRECTS, &redirects,
                                sizeof redirects) ||
            !BoundNextStep(request.get(), deadline))
            return false;

        // Once the request has left the console, whatever comes back (nothing in time,
        // a refused connection, a bad status, a body too large) is the server's answer:
        // a load with an empty text.
        if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                  0, 0))
            return !RequestNotIssued(::GetLastError());
        if (!BoundNextStep(request.get(), deadline) || !::WinHttpReceiveResponse(request.get(), nullptr))
            return true;
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) ||
            status < 200 || status > 299)
            return true;
        std::string body;
        if (!ReadBody(request.get(), deadline, body)) return true;
        m_text = Parse(body);
        return true;
    }

    std::wstring Text() const override { return m_text; }

  private:
    // The character data of body as the DOM document reads it (the parser finds the
    // character set from the body itself); empty when the body does not parse.
    std::wstring Parse(const std::string& body) {
        if (body.empty()) return std::wstring();
        IStream* stream =
            ::SHCreateMemStream(reinterpret_cast<const BYTE*>(body.data()), static_cast<UINT>(body.size()));
        if (!stream) return std::wstring();
        // No DTD or entity is fetched from anywhere.
        (void)m_document->put_async(VARIANT_FALSE);
        (void)m_document->put_resolveExternals(VARIANT_FALSE);
        (void)m_document->put_validateOnParse(VARIANT_FALSE);
        VARIANT source;
        ::VariantInit(&source);
        source.vt = VT_UNKNOWN;
        source.punkVal = stream;  // the variant owns the stream now
        VARIANT_BOOL parsed = VARIANT_FALSE;
        const HRESULT status = m_document->load(source, &parsed);
        ::VariantClear(&source);
        if (status != S_OK || parsed != VARIANT_TRUE) return std::wstring();
        BSTR text = nullptr;
        if (FAILED(m_document->get_text(&text)) || !text) {
            ::SysFreeString(text);
            return std::wstring();
        }
        std::wstring result(text, ::SysStringLen(text));
        ::SysFreeString(text);
        return result;
    }

    InternetHandle m_session;
    IXMLDOMDocument* m_document;
    std::wstring m_text;
};

}  // namespace

XmlDocument::CreateResult XmlDocument::Create(std::unique_ptr<XmlDocument>& document) {
    document.reset();
    IXMLDOMDocument* dom = nullptr;
    const HRESULT status = ::CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IXMLDOMDocument, reinterpret_cast<void**>(&dom));
    if (FAILED(status)) return CreateResult::CreateFailed;
    if (!dom) return CreateResult::NoObject;
    // The system's proxy settings for WinHTTP, as other programs' requests use them.
    HINTERNET session = ::WinHttpOpen(L"QUVOConnect", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        dom->Release();
        return CreateResult::CreateFailed;
    }
    try {
        document = std::make_unique<HttpDomDocument>(session, dom);
    } catch (...) {
        ::WinHttpCloseHandle(session);
        dom->Release();
        return CreateResult::CreateFailed;
    }
    return CreateResult::Ok;
}

}  // namespace quvo::platform
