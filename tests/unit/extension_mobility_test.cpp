// Extension Mobility: the request URLs and how the answers' text is classified.
#include <gtest/gtest.h>

#include <string>

#include "commands/mobility/ExtensionMobility.h"

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

}  // namespace
}  // namespace quvo
