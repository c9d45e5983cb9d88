// The XML document loader: the request as it leaves, which answers count, and the
// text of the document, against a small HTTP server on loopback.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Startup.h"
#include "platform/XmlDocument.h"

namespace quvo::platform {
namespace {

// Answers every connection with one fixed response once it has read the request's
// head, and keeps each request line.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::string response) : m_response(std::move(response)) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback server: " << ::WSAGetLastError();
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }

    ~LoopbackServer() {
        ::closesocket(m_listener);  // ends the accept
        m_thread.join();
        ::WSACleanup();
    }

    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Url(const std::string& target) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + target;
    }

    std::string RequestLines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requestLines;
    }

  private:
    void Serve() {
        for (;;) {
            const SOCKET client = ::accept(m_listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) return;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const int got = ::recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                head.append(buffer, static_cast<size_t>(got));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requestLines += head.substr(0, head.find("\r\n")) + "\n";
            }
            for (size_t sent = 0; sent < m_response.size();) {
                const int chunk = static_cast<int>(std::min<size_t>(m_response.size() - sent, 64 * 1024));
                const int put = ::send(client, m_response.data() + sent, chunk, 0);
                if (put <= 0) break;
                sent += static_cast<size_t>(put);
            }
            ::shutdown(client, SD_SEND);
            ::closesocket(client);
        }
    }

    std::string m_response;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_requestLines;
};

std::string Answer(int status, const std::string& body, const std::string& type = "text/xml") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class XmlDocumentTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { InitializeApartment(); }

    std::unique_ptr<XmlDocument> Create() {
        std::unique_ptr<XmlDocument> document;
        EXPECT_EQ(XmlDocument::Create(document), XmlDocument::CreateResult::Ok);
        EXPECT_NE(document, nullptr);
        return document;
    }

    // The text of the document loaded from server; the load must succeed.
    std::wstring TextFrom(LoopbackServer& server, const std::string& target = "/") {
        auto document = Create();
        if (!document) return L"(no document)";
        if (!document->Load(server.Url(target))) return L"(load failed)";
        return document->Text();
    }
};

TEST_F(XmlDocumentTest, TextIsTheCharacterDataOfTheWholeDocumentAndTheTargetGoesAsGiven) {
    LoopbackServer server(Answer(200,
                                 "<?xml version=\"1.0\"?>\n<response status=\"ignored\"><result>Login "
                                 "<b>Successful</b></result></response>"));
    EXPECT_EQ(TextFrom(server, "/emapp/EMAppServlet?device=SEP%201&seq=p%C3%BC%26"), L"Login Successful");
    EXPECT_EQ(server.RequestLines(), "GET /emapp/EMAppServlet?device=SEP%201&seq=p%C3%BC%26 HTTP/1.1\n");
}

TEST_F(XmlDocumentTest, TheBodyNamesItsOwnCharacterSet) {
    LoopbackServer server(Answer(200, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>M\xFCller</r>"));
    EXPECT_EQ(TextFrom(server), L"M\u00FCller");
}

TEST_F(XmlDocumentTest, AnswersWithoutAUsableDocumentLoadWithAnEmptyText) {
    const std::string xml = "<r>Login Successful</r>";
    for (const std::string& answer :
         {Answer(200, "<html><body>404 Not Found</body>", "text/html"), Answer(500, xml), Answer(404, xml),
          Answer(200, ""), Answer(200, "<r>" + std::string(1024 * 1024, 'x') + " Login Successful</r>"),
          std::string("SSH-2.0-OpenSSH\r\n")}) {
        LoopbackServer server(answer);
        EXPECT_EQ(TextFrom(server), L"") << answer.substr(0, 40);
    }
}

TEST_F(XmlDocumentTest, AClosedPortLoadsWithAnEmptyText) {
    std::string url;
    {
        LoopbackServer gone(Answer(200, "<r/>"));
        url = gone.Url("/");
    }
    auto document = Create();
    ASSERT_NE(document, nullptr);
    EXPECT_TRUE(document->Load(url));
    EXPECT_EQ(document->Text(), L"");
}

TEST_F(XmlDocumentTest, URLsThatCannotBeRequestedFailTheLoad) {
    auto document = Create();
    ASSERT_NE(document, nullptr);
    for (const char* url :
         {"http:///emapp/EMAppServlet?device=&doLogout=true", "http://:8080/x", "",
          "file:///c:/windows/win.ini", "ftp://127.0.0.1/x", "not a url", "http://host:99999/"}) {
        EXPECT_FALSE(document->Load(url)) << url;
        EXPECT_EQ(document->Text(), L"") << url;
    }
}

}  // namespace
}  // namespace quvo::platform
