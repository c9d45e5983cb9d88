// The DOM document loader: creation through COM, a synchronous load and the text.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/Startup.h"
#include "platform/XmlDocument.h"

namespace quvo::platform {
namespace {

class XmlDocumentTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { InitializeApartment(); }

    void TearDown() override {
        if (!m_path.empty()) ::DeleteFileA(m_path.c_str());
    }

    // Writes body to a temporary file and returns its file URL.
    std::string Serve(const std::string& body) {
        char folder[MAX_PATH];
        ::GetTempPathA(MAX_PATH, folder);
        m_path = std::string(folder) + "quvo-xml-test-" + std::to_string(::GetCurrentProcessId()) + ".xml";
        FILE* file = std::fopen(m_path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file) {
            std::fwrite(body.data(), 1, body.size(), file);
            std::fclose(file);
        }
        return "file:///" + m_path;
    }

    std::unique_ptr<XmlDocument> Create() {
        std::unique_ptr<XmlDocument> document;
        EXPECT_EQ(XmlDocument::Create(document), XmlDocument::CreateResult::Ok);
        EXPECT_NE(document, nullptr);
        return document;
    }

    std::string m_path;
};

TEST_F(XmlDocumentTest, TextIsTheCharacterDataOfTheWholeDocument) {
    auto document = Create();
    ASSERT_NE(document, nullptr);
    ASSERT_TRUE(
        document->Load(Serve("<?xml version=\"1.0\"?>\n<response status=\"ignored\"><result>Login "
                             "<b>Successful</b></result></response>")));
    EXPECT_EQ(document->Text(), L"Login Successful");
}

TEST_F(XmlDocumentTest, ABodyThatIsNotXmlLoadsWithAnEmptyText) {
    auto document = Create();
    ASSERT_NE(document, nullptr);
    ASSERT_TRUE(document->Load(Serve("<html><body>404 Not Found</body>")));
    EXPECT_EQ(document->Text(), L"");
}

}  // namespace
}  // namespace quvo::platform
