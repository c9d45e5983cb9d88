// Extension Mobility: the request URLs and how the answers' text is classified.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commands/mobility/ExtensionMobility.h"
#include "platform/Text.h"
#include "support/FakeSoftphone.h"

namespace quvo {
namespace {

TEST(PercentEncode, KeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(PercentEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(PercentEncode("a&b=c#d%e+f g?h/i"), "a%26b%3Dc%23d%25e%2Bf%20g%3Fh%2Fi");
    EXPECT_EQ(PercentEncode(""), "");
    // Bytes above 0x7F (any character set) and control characters, upper-case hex.
    EXPECT_EQ(PercentEncode("\xC3\xA9\x01\xFF"), "%C3%A9%01%FF");
    EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(ExtensionMobilityUrls, HostAsReadValuesEncoded) {
    EXPECT_EQ(EMLoginUrl("10.1.2.3:8080", "SEP0001", "alice", "p&w#1 %+"),
              "http://10.1.2.3:8080/emapp/EMAppServlet?device=SEP0001&userid=alice&seq=p%26w%231%20%25%2B");
    EXPECT_EQ(EMLoginUrl("cm", "SEP 1", "a=b", "x"),
              "http://cm/emapp/EMAppServlet?device=SEP%201&userid=a%3Db&seq=x");
    EXPECT_EQ(EMLogoutUrl("cm.example", "SEP&1"),
              "http://cm.example/emapp/EMAppServlet?device=SEP%261&doLogout=true");
    // Empty settings give an empty host and device, left for the loader to refuse.
    EXPECT_EQ(EMLogoutUrl("", ""), "http:///emapp/EMAppServlet?device=&doLogout=true");
}

TEST(ExtensionMobilityUrls, ValuesTravelAsUtf8WhateverTheConsolesCharacterSet) {
    // As the console reads them: one byte for each letter in the ANSI code page, two
    // or three in a UTF-8 locale. The server sees the same bytes either way.
    const std::string password = platform::ToNarrow(L"p\u00FCx\u20AC");
    const std::string device = platform::ToNarrow(L"SEP\u00E9");
    EXPECT_EQ(EMLoginUrl("cm", device, platform::ToNarrow(L"M\u00FCller"), password),
              "http://cm/emapp/EMAppServlet?device=SEP%C3%A9&userid=M%C3%BCller&seq=p%C3%BCx%E2%82%AC");
    EXPECT_EQ(EMLogoutUrl("cm", device), "http://cm/emapp/EMAppServlet?device=SEP%C3%A9&doLogout=true");
}

TEST(ClassifyLoginResponse, FirstMatchingRuleDecides) {
    EXPECT_EQ(ClassifyLoginResponse("login successful"), SUCCESS);
    EXPECT_EQ(ClassifyLoginResponse("xxlogin successful for alice"), SUCCESS);
    // Success wins over any refusal phrase in the same text.
    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful, another user logged in; login successful"), SUCCESS);

    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful: another user logged in"),
              ERROR_EM_ANOTHER_USER_LOGGED_ON);
    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful: device does not allow logon"),
              ERROR_EM_DEVICE_NOT_CONFIGURED);
    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful: error: [11] unknown device"),
              ERROR_EM_UNKNOWN_DEVICE);
    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful: authentication error"),
              ERROR_EM_INVALID_CREDENTIALS);

    // Precedence among the refusals: 116 before 117 before 118 before 119.
    EXPECT_EQ(ClassifyLoginResponse("authentication error error: [11] device does not allow logon "
                                    "another user logged in login unsuccessful"),
              ERROR_EM_ANOTHER_USER_LOGGED_ON);
    EXPECT_EQ(ClassifyLoginResponse(
                  "login unsuccessful authentication error error: [11] device does not allow logon"),
              ERROR_EM_DEVICE_NOT_CONFIGURED);
    EXPECT_EQ(ClassifyLoginResponse("login unsuccessful authentication error error: [11]"),
              ERROR_EM_UNKNOWN_DEVICE);
}

TEST(ClassifyLoginResponse, ReasonsWithoutTheRefusalAreUnknown) {
    for (const char* text :
         {"", "another user logged in", "authentication error", "error: [11]", "device does not allow logon",
          "login unsuccessful", "login unsuccessful: error: [12]", "logout successful", "login  successful",
          "Login Successful"}) {
        EXPECT_EQ(ClassifyLoginResponse(text), ERROR_EM_UNKNOWN_RESPONSE) << '"' << text << '"';
    }
}

TEST(ClassifyLogoutResponse, FirstMatchingRuleDecides) {
    EXPECT_EQ(ClassifyLogoutResponse("logout successful"), SUCCESS);
    EXPECT_EQ(ClassifyLogoutResponse("logout unsuccessful: no user logged in"), SUCCESS);
    EXPECT_EQ(ClassifyLogoutResponse("logout unsuccessful: error: [11] unknown device"),
              ERROR_EM_UNKNOWN_DEVICE);
    // "no user logged in" precedes "error: [11]".
    EXPECT_EQ(ClassifyLogoutResponse("logout unsuccessful error: [11] no user logged in"), SUCCESS);
}

TEST(ClassifyLogoutResponse, NeverGivesTheLoginRefusals) {
    for (const char* text :
         {"", "no user logged in", "error: [11]", "logout unsuccessful",
          "logout unsuccessful: another user logged in", "logout unsuccessful: authentication error",
          "logout unsuccessful: device does not allow logon", "login successful", "Logout Successful"}) {
        EXPECT_EQ(ClassifyLogoutResponse(text), ERROR_EM_UNKNOWN_RESPONSE) << '"' << text << '"';
    }
}

// ---- The commands, against the fake desktop ----------------------------------------

using Calls = std::vector<std::string>;

class ExtensionMobilityCommand : public testing::Test {
  protected:
    ExtensionMobilityCommand() {
        m_desktop->settings = {{"IpAddress", "cm:8080"}, {"sDeviceName", "SEP01"}};
        m_output.Take();
    }
    ResultCode Run(const std::string& line) { return m_fake.Run(line); }

    std::shared_ptr<test::FakeDesktopState> m_desktop = std::make_shared<test::FakeDesktopState>();
    test::OutputCapture m_output;
    test::FakeControl m_fake = test::MakeFakeControl(test::FakeControlOptions().On(m_desktop));
};

TEST_F(ExtensionMobilityCommand, LoginSendsTrimmedWordsAndPrintsItsSuccessLine) {
    m_desktop->responseText = L"<ok>Login Successful</ok>";
    EXPECT_EQ(Run("EMLogin \" alice \" \"p w \""), SUCCESS);
    EXPECT_EQ(m_desktop->Calls(),
              (Calls{"CreateXmlDocument()", "ReadSettings(IpAddress,sDeviceName)",
                     R"(Load("http://cm:8080/emapp/EMAppServlet?device=SEP01&userid=alice&seq=p%20w"))"}));
    EXPECT_EQ(m_output.Take(), "> Event : Extension Mobility login successfull\n");
    EXPECT_EQ(m_fake.phone->CommandCalls(), Calls{});
}

TEST_F(ExtensionMobilityCommand, MissingWordsAreRefusedBeforeAnyRequest) {
    for (const char* line : {"EMLogin", "EMLogin alice", "EMLogin alice \"   \"", "EMLogin \"\" pw"})
        EXPECT_EQ(Run(line), ERROR_MISSING_PARAMETER) << line;
    EXPECT_EQ(m_desktop->Calls(), Calls{});
}

TEST_F(ExtensionMobilityCommand, AHostNoUrlCanHoldIsRefusedBeforeAnyRequest) {
    for (const char* host : {"", "[::1", "[::1]x", "[]", "cm 8080", " cm", "cm\x01", "cm\x7f",
                             "cm:", "cm:99999", "cm:80x", "cm/path", "user@cm", "[::1]:", ":8080"}) {
        m_desktop->settings["IpAddress"] = host;
        m_desktop->ClearCalls();
        EXPECT_EQ(Run("EMLogin a b"), ERROR_EM_REQUEST_FAILED) << host;
        EXPECT_EQ(Run("EMLogout"), ERROR_EM_REQUEST_FAILED) << host;
        for (const std::string& call : m_desktop->Calls())
            EXPECT_EQ(call.rfind("Load(", 0), std::string::npos) << host;
    }
    for (const char* host :
         {"cm", "cm:8080", "10.0.0.1:80", "[::1]:8080", "[2001:db8::1]", "cm-1.example.com", "a_b~c"}) {
        m_desktop->settings["IpAddress"] = host;
        EXPECT_EQ(Run("EMLogout"), ERROR_EM_UNKNOWN_RESPONSE) << host;  // requested, nothing understood
    }
}

TEST_F(ExtensionMobilityCommand, LoaderFailuresHaveTheirOwnCodes) {
    m_desktop->createResult = platform::XmlDocument::CreateResult::CreateFailed;
    EXPECT_EQ(Run("EMLogin a b"), ERROR_CREATE_XML_OBJECT_FAILED);
    EXPECT_EQ(Run("EMLogout"), ERROR_CREATE_XML_OBJECT_FAILED);
    m_desktop->createResult = platform::XmlDocument::CreateResult::NoObject;
    EXPECT_EQ(Run("EMLogin a b"), ERROR_CREATE_DOM_OBJECT_FAILED);
    // The document comes before the settings: a failed creation reads nothing.
    EXPECT_EQ(m_desktop->Calls(), Calls(3, "CreateXmlDocument()"));

    m_desktop->createResult = platform::XmlDocument::CreateResult::Ok;
    m_desktop->loadSucceeds = false;
    m_desktop->responseText = L"login successful";
    EXPECT_EQ(Run("EMLogin a b"), ERROR_EM_REQUEST_FAILED);
    EXPECT_EQ(Run("EMLogout"), ERROR_EM_REQUEST_FAILED);
    EXPECT_EQ(m_output.Take(), "");
}

TEST_F(ExtensionMobilityCommand, AnswersAreLowerCasedAndClassified) {
    m_desktop->responseText = L"Login Unsuccessful: ANOTHER USER LOGGED IN";
    EXPECT_EQ(Run("EMLogin a b"), ERROR_EM_ANOTHER_USER_LOGGED_ON);
    m_desktop->responseText = L"";
    EXPECT_EQ(Run("EMLogin a b"), ERROR_EM_UNKNOWN_RESPONSE);
    EXPECT_EQ(m_output.Take(), "");

    m_desktop->responseText = L"Logout unsuccessful - No user logged in";
    EXPECT_EQ(Run("EMLogout extra"), SUCCESS);
    EXPECT_EQ(m_output.Take(), "> Event : Extension Mobility logout successfull\n");
    EXPECT_EQ(m_desktop->Calls().back(),
              R"(Load("http://cm:8080/emapp/EMAppServlet?device=SEP01&doLogout=true"))");
    m_desktop->responseText = L"logout unsuccessful error: [11]";
    EXPECT_EQ(Run("EMLogout"), ERROR_EM_UNKNOWN_DEVICE);
    EXPECT_EQ(m_output.Take(), "");
}

}  // namespace
}  // namespace quvo
