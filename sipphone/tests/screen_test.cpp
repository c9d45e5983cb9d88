// The message screen at the SIP port: the limits that bound what the library's parser reads,
// the requests the phone answers itself, and both guards (datagrams and streams) acting on
// its verdicts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "DatagramGuard.h"
#include "LoopbackSocket.h"
#include "MessageScreen.h"
#include "SipSettings.h"

namespace quvo::sip {
namespace {

using namespace std::chrono_literals;
using Action = Screened::Action;

std::string Request(const std::string& method, const std::string& from = "<sip:a@127.0.0.1>;tag=7",
                    const std::string& to = "<sip:1001@127.0.0.1>", const std::string& extra = "",
                    const std::string& body = "") {
    return method +
           " sip:1001@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK7\r\n" +
           "Max-Forwards: 70\r\nFrom: " + from + "\r\nTo: " + to +
           "\r\nCall-ID: screen-7@127.0.0.1\r\nCSeq: 1 " + method +
           "\r\nContact: <sip:a@127.0.0.1:5999>\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Name(size_t n) {
    return std::string(n, 'N');
}

TEST(MessageScreen, LimitsBoundWhatTheParserReads) {
    // Within the limits, ordinary messages from servers and phones: nothing to say.
    const std::string routed = Request(
        "INVITE", "\"Alice Example\" <sip:alice@example.com>;tag=a1", "<sip:1001@example.com>",
        "Record-Route: <sip:10.0.0.1;lr;ftag=a1;did=5c.b1>,<sip:10.0.0.2;lr>\r\n"
        "v: SIP/2.0/TCP proxy.example.com:5060;branch=z9hG4bK.x;rport, SIP/2.0/UDP [2001:db8::1]:5070\r\n"
        "Authorization: Digest username=\"1001\", realm=\"example.com\", nonce=\"" +
            std::string(64, 'f') + "\", uri=\"sip:example.com\"\r\n");
    EXPECT_EQ(LengthProblem(routed), "");
    EXPECT_EQ(LengthProblem(Request("INVITE", "\"" + Name(kMaxDisplayName - 2) + "\" <sip:a@b>;tag=1")), "");
    EXPECT_EQ(
        LengthProblem(Request("INVITE", "<sip:" + Name(kMaxUriUser) + "@" + std::string(63, 'h') + ".com>")),
        "");

    // Each limit, one past it, wherever the grammar reads it.
    const std::pair<std::string, std::string> over[] = {
        {Request("INVITE", "\"" + Name(kMaxDisplayName) + "\" <sip:a@b>;tag=1"), "a display name"},
        {Request("INVITE", Name(kMaxDisplayName + 1) + " <sip:a@b>;tag=1"), "a display name"},
        {Request("INVITE", "<sip:a@b>;tag=1", "\"" + Name(1100) + "\" <sip:1001@b>"), "a quoted string"},
        {Request("INVITE", "<sip:" + Name(kMaxUriUser + 1) + "@b>;tag=1"), "a URI's user part"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>", "Contact: <sip:a@" + Name(64) + ".com>\r\n"),
         "a host name's label"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>",
                 "Route: <sip:" + std::string(300, 'a') + ">\r\n"),
         "a host name"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>", "Via: SIP/2.0/UDP " + Name(64) + ".com\r\n"),
         "a host name's label"},
        {Request("REFER", "<sip:a@b>;tag=1", "<sip:1001@b>;tag=2",
                 "Refer-To: <sip:1002@b?X=" + std::string(1100, 'x') + ">\r\n"),
         "a URI"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>", "X-Big: " + std::string(4100, 'x') + "\r\n"),
         "a header line"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>",
                 [] {
                     std::string many;
                     for (int i = 0; i < 100; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
                     return many;
                 }()),
         "header lines"},
        {Request("OPTIONS", "<sip:a@b>;tag=1", "<sip:1001@b>",
                 [] {
                     std::string many;
                     for (int i = 0; i < 5; ++i)
                         many += "X-H" + std::to_string(i) + ": " + std::string(4000, 'x') + "\r\n";
                     return many;
                 }()),
         "a header section"},
    };
    for (const auto& [message, problem] : over) {
        EXPECT_NE(LengthProblem(message).find(problem), std::string::npos) << LengthProblem(message);
        // Dropped by the guard for that reason, before the library's parser saw it.
        const Verdict verdict = JudgeDatagram(message, {});
        EXPECT_EQ(verdict.action, Action::Drop);
        EXPECT_NE(verdict.reason.find(problem), std::string::npos) << verdict.reason;
    }
    // The request line's URI too, and a destination the phone is told to call.
    std::string longRequest = Request("OPTIONS");
    longRequest.replace(longRequest.find("1001"), 4, Name(2000));
    EXPECT_NE(JudgeDatagram(longRequest, {}).reason.find("a URI"), std::string::npos);
    std::string error;
    SipAccount account;
    EXPECT_EQ(DestinationUri(std::string(8000, '5'), account, error), "");
    EXPECT_EQ(error,
              "'5555555555555555555555555555555555555555...' is no SIP destination (a URI over 1024 "
              "characters)");
    EXPECT_EQ(DestinationUri("sip:1002@" + Name(70) + ".example.com", account, error), "");
    EXPECT_NE(DestinationUri("sip:1002@pbx.example.com", account, error), "");
}

TEST(MessageScreen, AnswersWhatThePhoneRefuses) {
    // A text message is refused with what the phone takes instead; the same tag each time.
    const Screened message = Screen(Request("MESSAGE", "<sip:a@b>;tag=1", "<sip:1001@b>", "", "hello"), {});
    ASSERT_EQ(message.action, Action::Answer);
    EXPECT_EQ(message.message.rfind(
                  "SIP/2.0 405 Method Not Allowed\r\nVia: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK7\r\n"
                  "From: <sip:a@b>;tag=1\r\nTo: <sip:1001@b>;tag=q",
                  0),
              0u)
        << message.message;
    EXPECT_NE(message.message.find("\r\nCall-ID: screen-7@127.0.0.1\r\nCSeq: 1 MESSAGE\r\n"),
              std::string::npos);
    EXPECT_NE(
        message.message.find(std::string("\r\nAllow: ") + kAllowedMethods + "\r\nContent-Length: 0\r\n\r\n"),
        std::string::npos);
    EXPECT_EQ(Screen(Request("MESSAGE", "<sip:a@b>;tag=1", "<sip:1001@b>"), {}).message, message.message);

    // A subscription to any event package: the phone serves none.
    for (const char* event : {"Event: presence\r\n", "o: dialog\r\n", ""})
        EXPECT_EQ(Screen(Request("SUBSCRIBE", "<sip:a@b>;tag=1", "<sip:1001@b>", event), {})
                      .message.rfind("SIP/2.0 489 Bad Event\r\n", 0),
                  0u)
            << event;
    // A new call whose caller address the library cannot build.
    for (const char* from : {"<tel:123>;tag=1", "<sip:@127.0.0.1>;tag=1", "\"a\" <sip:a@>;tag=1"})
        EXPECT_EQ(Screen(Request("INVITE", from), {}).message.rfind("SIP/2.0 400 ", 0), 0u) << from;
    EXPECT_EQ(Screen(Request("INVITE"), {}).action, Action::Pass);
    // Responses and in-dialog requests pass.
    EXPECT_EQ(
        Screen("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK1\r\nCSeq: 1 BYE\r\n\r\n", {}).action,
        Action::Pass);
    EXPECT_EQ(Screen(Request("BYE", "<sip:a@b>;tag=1", "<sip:1001@b>;tag=2"), {}).action, Action::Pass);
    // A REGISTER is never redirected off the registrar (the digests would follow it); a
    // call is (forwarding).
    const std::string moved =
        "SIP/2.0 302 Moved Temporarily\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK1\r\n"
        "Contact: <sip:elsewhere.example>\r\nCSeq: 7  register\r\n\r\n";
    const Screened redirect = Screen(moved, {});
    ASSERT_EQ(redirect.action, Action::Rewrite);
    EXPECT_EQ(redirect.message, "SIP/2.0 403 Redirect Not Followed" + moved.substr(moved.find("\r\n")));
    std::string call = moved;
    call.replace(call.find("register"), 8, "INVITE");
    EXPECT_EQ(Screen(call, {}).action, Action::Pass);
    // A challenge only in digest algorithms the library cannot answer is a refusal it can act on.
    auto challenge = [](const std::string& authenticate) {
        return Screen(
            "SIP/2.0 401 Unauthorized\r\nVia: SIP/2.0/UDP x;branch=z9hG4bK2\r\nCSeq: 8 REGISTER\r\n" +
                authenticate + "\r\n",
            {});
    };
    for (const char* unanswerable :
         {"WWW-Authenticate: Digest realm=\"q\", nonce=\"n\", algorithm=SHA-512-256\r\n",
          "WWW-Authenticate: Digest algorithm=\"MD5-sess\",realm=\"q\",nonce=\"n\"\r\n"
          "WWW-Authenticate: Digest realm=\"q\", nonce=\"n\", algorithm=FOO\r\n"}) {
        const Screened refused = challenge(unanswerable);
        ASSERT_EQ(refused.action, Action::Rewrite) << unanswerable;
        EXPECT_EQ(refused.message.rfind(std::string("SIP/2.0 403 ") + kChallengeUnanswerable + " (", 0), 0u);
    }
    EXPECT_NE(challenge("WWW-Authenticate: Digest realm=\"q\", nonce=\"n\", algorithm=MD5-sess\r\n")
                  .message.find("(MD5-sess)\r\n"),
              std::string::npos);
    for (const char* answerable :
         {"WWW-Authenticate: Digest realm=\"q\", nonce=\"n\"\r\n",
          "Proxy-Authenticate: Digest realm=\"q\", algorithm=sha-256, nonce=\"n\"\r\n",
          "WWW-Authenticate: Digest algorithm=SHA-512-256, realm=\"q\"\r\n"
          "WWW-Authenticate: Digest algorithm=MD5, realm=\"q\"\r\n"})
        EXPECT_EQ(challenge(answerable).action, Action::Pass) << answerable;
}

TEST(MessageScreen, FarEndsReferOnlyWhereTheUserAllows) {
    const ScreenPolicy allowed{true, "pbx.example.com"};
    auto refer = [](const std::string& target, const std::string& to = "<sip:1001@pbx.example.com>;tag=2") {
        return Request("REFER", "<sip:1002@pbx.example.com>;tag=1", to, "Refer-To: " + target + "\r\n");
    };
    auto status = [](const Screened& s) { return s.message.substr(0, s.message.find('\r')); };
    // Refused unless allowed; then only inside a call, to SIP in the phone's own domain.
    EXPECT_EQ(status(Screen(refer("<sip:1003@pbx.example.com>"), {})), "SIP/2.0 603 Decline");
    EXPECT_EQ(Screen(refer("<sip:1003@pbx.example.com>"), allowed).action, Action::Pass);
    EXPECT_EQ(Screen(refer("sip:1003@PBX.example.com"), allowed).action, Action::Pass);
    EXPECT_EQ(Screen(refer("<sip:1003@pbx.example.com>"), {true, "pbx.example.com:5070"}).action,
              Action::Pass);
    for (const std::string& target :
         {std::string("<sip:1003@evil.example.net>"), std::string("<sip:pbx.example.com.evil.net>"),
          std::string("<tel:+15551234>"), std::string("<http://pbx.example.com/>")})
        EXPECT_EQ(status(Screen(refer(target), allowed)), "SIP/2.0 603 Decline") << target;
    EXPECT_EQ(status(Screen(refer("<sip:1003@pbx.example.com>", "<sip:1001@pbx.example.com>"), allowed)),
              "SIP/2.0 603 Decline");
    EXPECT_EQ(status(Screen(Request("REFER", "<sip:a@b>;tag=1", "<sip:1001@b>;tag=2"), allowed)),
              "SIP/2.0 400 Missing Refer-To");

    // The URI's headers do not follow the call, but Replaces.
    const Screened stripped = Screen(
        refer("\"Bob\" <sip:1003@pbx.example.com;user=phone?Route=%3Csip:evil%3E&Replaces=c1%3Bto-tag%3D2&"
              "Subject=x>;p=1"),
        allowed);
    ASSERT_EQ(stripped.action, Action::Rewrite);
    EXPECT_NE(
        stripped.message.find(
            "\r\nRefer-To: \"Bob\" <sip:1003@pbx.example.com;user=phone?Replaces=c1%3Bto-tag%3D2>;p=1\r\n"),
        std::string::npos)
        << stripped.message;
    EXPECT_NE(Screen(refer("<sip:1003@pbx.example.com?X-Foo=1>"), allowed)
                  .message.find("Refer-To: <sip:1003@pbx.example.com>\r\n"),
              std::string::npos);
}

TEST(MessageScreen, TheGuardsAnswerAndPassAsScreened) {
    auto [sip, sipAddress] = test::BoundLoopbackUdp();
    auto [caller, callerAddress] = test::BoundLoopbackUdp();
    GuardSipPort("127.0.0.1", ntohs(sipAddress.sin_port));
    const uint64_t answeredBefore = AnsweredRequests();
    const std::string options = Request("OPTIONS");
    for (const std::string& data : {Request("MESSAGE", "<sip:a@b>;tag=1", "<sip:1001@b>", "", "hi"), options})
        ASSERT_EQ(::sendto(caller, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sipAddress),
                           sizeof sipAddress),
                  static_cast<ssize_t>(data.size()));
    std::this_thread::sleep_for(50ms);
    // The library's peek, then its read: both see the OPTIONS only.
    std::string buf(65536, '\0');
    ASSERT_EQ(::recvfrom(sip, buf.data(), buf.size(), MSG_PEEK, nullptr, nullptr),
              static_cast<ssize_t>(options.size()));
    EXPECT_TRUE(SipPortReadable());
    ASSERT_EQ(::recvfrom(sip, buf.data(), buf.size(), 0, nullptr, nullptr),
              static_cast<ssize_t>(options.size()));
    EXPECT_EQ(buf.substr(0, options.size()), options);
    EXPECT_FALSE(SipPortReadable());
    EXPECT_EQ(AnsweredRequests() - answeredBefore, 1u);
    const ssize_t n = ::recv(caller, buf.data(), buf.size(), 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(buf.substr(0, 30), "SIP/2.0 405 Method Not Allowed");
    ::close(sip);
    ::close(caller);

    // On a stream: the MESSAGE and its body go, its answer waits to be sent, the rest passes.
    StreamChecker stream;
    std::string out;
    const std::string text =
        Request("MESSAGE", "<sip:a@b>;tag=1", "<sip:1001@b>", "", std::string(3000, 'x'));
    ASSERT_TRUE(stream.Feed(text.substr(0, 400), out));
    ASSERT_TRUE(stream.Feed(text.substr(400) + options, out));
    EXPECT_EQ(out, options);
    EXPECT_EQ(stream.TakeAnswers().substr(0, 11), "SIP/2.0 405");
    EXPECT_EQ(stream.TakeAnswers(), "");
    // An over-long message ends the stream.
    EXPECT_FALSE(stream.Feed(Request("INVITE", "\"" + Name(2000) + "\" <sip:a@b>;tag=1"), out));
    EXPECT_NE(stream.Reason().find("a quoted string"), std::string::npos) << stream.Reason();
}

}  // namespace
}  // namespace quvo::sip
