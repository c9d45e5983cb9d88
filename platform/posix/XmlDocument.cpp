// The XML document loader: a synchronous GET with libcurl, parsed with libxml2.
#include "platform/XmlDocument.h"

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <mutex>

#include "platform/posix/Utf8.h"

namespace quvo::platform {

namespace {

constexpr long kConnectTimeoutMs = 5000;
constexpr long kTotalTimeoutMs = 15000;
constexpr size_t kMaxBodyBytes = 1024 * 1024;
constexpr long kMaxRedirects = 3;

// libcurl and libxml2 set up their global state once for the whole process.
bool InitializeLibraries() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        xmlInitParser();
    });
    return ready;
}

// Character data of node and everything below it, in document order. Entity
// references are not expanded: only text and CDATA sections count. The parser's
// own nesting limit bounds the recursion.
void CollectText(const xmlNode* node, std::string& text) {
    for (; node; node = node->next) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            if (node->content) text += reinterpret_cast<const char*>(node->content);
        } else if (node->type == XML_ELEMENT_NODE) {
            CollectText(node->children, text);
        }
    }
}

std::string DocumentText(const std::string& body) {
    if (body.empty() || body.size() > kMaxBodyBytes) return {};
    // No network access, no external DTD or entities, no entity substitution, and
    // no diagnostics on the console.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDoc* document =
        xmlReadMemory(body.data(), static_cast<int>(body.size()), "response.xml", nullptr, options);
    if (!document) return {};
    std::string text;
    CollectText(xmlDocGetRootElement(document), text);
    xmlFreeDoc(document);
    return text;
}

struct Transfer {
    std::string body;
    bool tooLarge = false;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->body.size() + bytes > kMaxBodyBytes) {
        transfer->tooLarge = true;
        return 0;  // aborts the transfer
    }
    transfer->body.append(data, bytes);
    return bytes;
}

// Errors that mean the request could not be issued at all, as opposed to a
// server that cannot be reached or does not answer properly.
bool RequestNotIssued(CURLcode code) {
    switch (code) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_NOT_BUILT_IN:
        case CURLE_BAD_FUNCTION_ARGUMENT:
        case CURLE_OUT_OF_MEMORY:
        case CURLE_FAILED_INIT: return true;
        default: return false;
    }
}

// libcurl reads "http:///path" as a URL whose host is the first path segment;
// a URL without a scheme and a host part cannot be requested at all.
bool HasHost(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos || scheme == 0) return false;
    const size_t start = scheme + 3;
    const size_t end = url.find_first_of("/?#", start);
    return (end == std::string::npos ? url.size() : end) > start;
}

class CurlXmlDocument final : public XmlDocument {
  public:
    explicit CurlXmlDocument(CURL* curl) : m_curl(curl) {}
    ~CurlXmlDocument() override { curl_easy_cleanup(m_curl); }
    CurlXmlDocument(const CurlXmlDocument&) = delete;
    CurlXmlDocument& operator=(const CurlXmlDocument&) = delete;

    bool Load(const std::string& url) override {
        m_text.clear();
        if (!HasHost(url)) return false;
        curl_easy_reset(m_curl);
        Transfer transfer;
        bool ok = curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str()) == CURLE_OK;
        // A URL libcurl refuses outright cannot be requested at all.
        if (!ok) return false;
        ok = curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxBodyBytes)) ==
                 CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, Receive) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
             curl_easy_setopt(m_curl, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK;
        if (!ok) return false;

        const CURLcode code = curl_easy_perform(m_curl);
        // Once a request has left the console, whatever comes back (another
        // protocol's banner, a body without a status line, a bad status code, a
        // header beyond libcurl's limits, a redirect to somewhere unusable) is the
        // server's answer, not a request that could not be issued.
        long requestBytes = 0;
        if (curl_easy_getinfo(m_curl, CURLINFO_REQUEST_SIZE, &requestBytes) != CURLE_OK) requestBytes = 0;
        if (requestBytes == 0 && RequestNotIssued(code)) return false;
        if (code != CURLE_OK || transfer.tooLarge) return true;  // loaded, but nothing usable
        long status = 0;
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) return true;
        m_text = Utf8ToWide(DocumentText(transfer.body));
        return true;
    }

    std::wstring Text() const override { return m_text; }

  private:
    CURL* m_curl;
    std::wstring m_text;
};

}  // namespace

XmlDocument::CreateResult XmlDocument::Create(std::unique_ptr<XmlDocument>& document) {
    document.reset();
    if (!InitializeLibraries()) return CreateResult::CreateFailed;
    CURL* curl = curl_easy_init();
    if (!curl) return CreateResult::CreateFailed;
    try {
        document = std::make_unique<CurlXmlDocument>(curl);
    } catch (...) {
        curl_easy_cleanup(curl);
        return CreateResult::CreateFailed;
    }
    return CreateResult::Ok;
}

}  // namespace quvo::platform
