// The SIP phone's own rules (destinations, settings, line states) and, on loopback, two
// engines in one process calling each other with real SIP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CallLine.h"
#include "CoreWait.h"
#include "DatagramGuard.h"
#include "LocalRegistrar.h"
#include "LoopbackSocket.h"
#include "Media.h"
#include "Options.h"
#include "RegistrarProbe.h"
#include "SipEngine.h"
#include "SipSettings.h"
#include "softphone-server/Settings.h"

namespace quvo::sip {
namespace {

using State = linphone::Call::State;
using namespace std::chrono_literals;

// ---- destinations and settings -----------------------------------------------------------------

TEST(Destination, NumbersNamesAndUris) {
    SipAccount a;
    a.domain = "example.test";
    std::string error;
    EXPECT_EQ(DestinationUri("1002", a, error), "sip:1002@example.test");
    EXPECT_EQ(DestinationUri("  1002 ", a, error), "sip:1002@example.test");
    EXPECT_EQ(DestinationUri("*97#", a, error), "sip:*97%23@example.test");
    EXPECT_EQ(DestinationUri("sip:bob@10.0.0.1:5070", a, error), "sip:bob@10.0.0.1:5070");
    EXPECT_EQ(DestinationUri("SIPS:bob@host", a, error), "SIPS:bob@host");
    EXPECT_EQ(DestinationUri("bob@host", a, error), "sip:bob@host");
    // Without a domain, numbers are dialled at this phone's own address.
    SipAccount bare;
    bare.listenHost = "127.0.0.11";
    EXPECT_EQ(DestinationUri("1003", bare, error), "sip:1003@127.0.0.11");
}

TEST(Destination, RefusesWhatIsNoDestination) {
    SipAccount a;
    for (const char* bad : {"", "   ", "sip:", "a b", "<sip:x@y>", "@host", "bob@", "12;34", "x\"y"}) {
        std::string error;
        EXPECT_EQ(DestinationUri(bad, a, error), "") << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// The account that a settings file of these values gives (a malformed one fails the test).
SipAccount AccountOf(const std::map<std::string, std::string>& file) {
    SipAccount a;
    std::string error;
    EXPECT_TRUE(ReadAccount(
        [&](const std::string& n) -> std::optional<std::string> {
            auto it = file.find(n);
            return it == file.end() ? std::nullopt : std::optional(it->second);
        },
        a, error))
        << error;
    return a;
}

TEST(Settings, ReadsTheAccount) {
    const SipAccount a = AccountOf({
        {"sSipUser", "1002"},
        {"sSipDomain", " example.test "},
        {"sSipProxy", "127.0.0.1:5070;transport=tcp"},
        {"sSipPassword", " secret "},
        {"sSipListen", "127.0.0.12:5062"},
        {"sVoicemail", "*97"},
    });
    EXPECT_EQ(a.user, "1002");
    EXPECT_EQ(a.domain, "example.test");
    EXPECT_EQ(a.proxy, "sip:127.0.0.1:5070;transport=tcp");
    EXPECT_TRUE(a.ProxyUsesTcp());
    EXPECT_EQ(a.password, " secret ");
    EXPECT_EQ(a.listenHost, "127.0.0.12");
    EXPECT_EQ(a.listenPort, 5062);
    EXPECT_EQ(a.voicemail, "*97");
    EXPECT_EQ(a.ContactUri(), "sip:1002@127.0.0.12:5062");
    EXPECT_EQ(a.IdentityUri(), "sip:1002@example.test");

    EXPECT_EQ(a.keepAliveSeconds, 30);
    EXPECT_FALSE(a.acceptRefer);
    // Secure by default as far as a far end allows: SRTP offered, the system's CAs for TLS.
    EXPECT_EQ(a.mediaEncryption, "srtp");
    EXPECT_FALSE(a.mediaEncryptionMandatory);
    EXPECT_EQ(a.caFile, "/etc/ssl/certs/ca-certificates.crt");
    EXPECT_EQ(a.AuthUser(), "1002");
    EXPECT_FALSE(a.ProxyUsesTls());

    // Nothing set: peer to peer on 127.0.0.1:5060 as 1001.
    const SipAccount d = AccountOf({});
    EXPECT_FALSE(d.HasRegistrar());
    EXPECT_EQ(d.ContactUri(), "sip:1001@127.0.0.1:5060");
}

TEST(Settings, TheDomainFollowsTheRegistrarAndTakesBareIpv6) {
    const auto read = AccountOf;
    // Without sSipDomain, a registrar's host (never this phone's own address) is the domain.
    const SipAccount proxied =
        read({{"sSipProxy", "sip:pbx.example.test:5070;transport=tcp"}, {"sSipListen", "127.0.0.11:5060"}});
    EXPECT_EQ(proxied.IdentityUri(), "sip:1001@pbx.example.test");
    std::string error;
    EXPECT_EQ(DestinationUri("1002", proxied, error), "sip:1002@pbx.example.test");
    EXPECT_EQ(read({{"sSipProxy", "[::1]:5070"}}).Domain(), "[::1]");
    EXPECT_EQ(read({{"sSipProxy", "sips:user@10.1.2.3"}}).Domain(), "10.1.2.3");
    // A bare IPv6 address is taken as if bracketed.
    const SipAccount v6 = read({{"sSipDomain", "::1"}});
    EXPECT_EQ(v6.IdentityUri(), "sip:1001@[::1]");
    EXPECT_EQ(DestinationUri("1002", v6, error), "sip:1002@[::1]");
    EXPECT_EQ(read({{"sSipDomain", "[2001:db8::1]:5070"}}).IdentityUri(), "sip:1001@[2001:db8::1]:5070");
    EXPECT_EQ(read({{"sSipListen", "[::1]:5070"}}).Domain(), "[::1]");
    // The registrar probe's interval, and far ends' transfers.
    EXPECT_EQ(read({{"sSipKeepAlive", "0"}}).keepAliveSeconds, 0);
    EXPECT_EQ(read({{"sSipKeepAlive", "120"}}).keepAliveSeconds, 120);
    EXPECT_TRUE(read({{"sSipAcceptRefer", "1"}}).acceptRefer);
    // TLS, SRTP and the authentication user.
    for (const char* proxy : {"sip:pbx:5061;transport=tls", "sips:pbx", "SIP:pbx;Transport=TLS"}) {
        const SipAccount tls = read({{"sSipProxy", proxy}});
        EXPECT_TRUE(tls.ProxyUsesTls()) << proxy;
        EXPECT_TRUE(tls.ProxyUsesTcp()) << proxy;  // a stream: its loss shows at once
    }
    const SipAccount secure = read({{"sSipMediaEncryption", "DTLS"},
                                    {"sSipMediaEncryptionMandatory", "1"},
                                    {"sSipAuthUser", "a-9f3"},
                                    {"sSipCaFile", "/etc/company-ca.pem"}});
    EXPECT_EQ(secure.mediaEncryption, "dtls");
    EXPECT_TRUE(secure.mediaEncryptionMandatory);
    EXPECT_EQ(secure.AuthUser(), "a-9f3");
    EXPECT_EQ(secure.caFile, "/etc/company-ca.pem");
}

TEST(Settings, NatCodecsDevicesAndForwarding) {
    const auto read = AccountOf;
    // STUN's own port unless one is given; a scheme in front is taken as written by habit.
    for (auto [value, host, port] : std::vector<std::tuple<std::string, std::string, int>>{
             {"stun.example.test", "stun.example.test", 3478},
             {"stun:192.0.2.7:3479", "192.0.2.7", 3479},
             {"[2001:db8::7]", "2001:db8::7", 3478},
             {"[2001:db8::7]:19302", "2001:db8::7", 19302}}) {
        const SipAccount a = read({{"sSipStun", value}});
        EXPECT_EQ(a.stunHost, host) << value;
        EXPECT_EQ(a.stunPort, port) << value;
    }
    const SipAccount relay = read({{"sSipStun", "turn.example.test"},
                                   {"sSipIce", "1"},
                                   {"sSipTurnUser", "alice"},
                                   {"sSipTurnPassword", " pw \r\n"}});
    EXPECT_TRUE(relay.ice);
    EXPECT_EQ(relay.turnPassword, " pw ");
    // Named codecs in the order given, each once.
    EXPECT_EQ(read({{"sSipCodecs", " G722, pcma ,speex/16000,g722"}}).codecs,
              (std::vector<std::string>{"G722", "pcma", "speex/16000"}));
    EXPECT_TRUE(read({}).codecs.empty());
    const SipAccount devices = read({{"sSipPlaybackDevice", "PulseAudio Unknown: Two"},
                                     {"sSipForwardAll", "1005"},
                                     {"sSipListen", "127.0.0.11:5060"}});
    EXPECT_EQ(devices.playbackDevice, "PulseAudio Unknown: Two");
    EXPECT_EQ(devices.forwardAll, "1005");
}

TEST(Media, DevicesAreFoundByIdOrByAnUnambiguousName) {
    const std::vector<SoundDevice> devices = {
        {"PulseAudio Unknown: One", "One", false, true},
        {"PulseAudio Unknown: One.monitor", "One.monitor", true, false},
        {"ALSA: default", "default", true, true},
        {"PulseAudio Unknown: default", "default", true, true},
    };
    EXPECT_EQ(FindSoundDevice(devices, "PulseAudio Unknown: One", false), "PulseAudio Unknown: One");
    EXPECT_EQ(FindSoundDevice(devices, "One", false), "PulseAudio Unknown: One");
    // A playback device is no capture device; a name that two devices share picks none.
    EXPECT_EQ(FindSoundDevice(devices, "One", true), "");
    EXPECT_EQ(FindSoundDevice(devices, "default", true), "");
    EXPECT_EQ(FindSoundDevice(devices, "ALSA: default", true), "ALSA: default");
    EXPECT_EQ(FindSoundDevice(devices, "Two", false), "");
    EXPECT_EQ(DeviceListing(devices),
              "PulseAudio Unknown: One\tplayback\nPulseAudio Unknown: One.monitor\tcapture\n"
              "ALSA: default\tcapture,playback\nPulseAudio Unknown: default\tcapture,playback\n");
    // Codec names are checked against the media library's.
    EXPECT_EQ(CodecProblem({"opus", "G722", "pcmu", "PCMA/8000"}), "");
    EXPECT_NE(CodecProblem({"PCMU", "G.729x"}).find("'G.729x'"), std::string::npos);
}

TEST(Settings, RefusesMalformedValues) {
    for (auto [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"sSipListen", "127.0.0.1:"},
                                                          {"sSipListen", "127.0.0.1:70000"},
                                                          {"sSipListen", ":5060"},
                                                          {"sSipListen", "::1"},
                                                          {"sSipListen", "host:50x"},
                                                          {"sSipUser", "bob smith"},
                                                          {"sSipUser", "#"},
                                                          {"sSipDomain", "[::1"},
                                                          {"sSipDomain", "bad host"},
                                                          {"sSipDomain", "a@b"},
                                                          {"sSipDomain", "host:"},
                                                          {"sSipDomain", "pbx;maddr=10.0.0.9"},
                                                          {"sSipKeepAlive", "-1"},
                                                          {"sSipKeepAlive", "often"},
                                                          {"sSipAcceptRefer", "yes"},
                                                          {"sSipMediaEncryption", "zrtp"},
                                                          {"sSipMediaEncryptionMandatory", "yes"},
                                                          {"sSipAuthUser", "a b"},
                                                          {"sSipStun", "stun.test:0"},
                                                          {"sSipStun", "stun test"},
                                                          {"sSipIce", "on"},
                                                          {"sSipTurnUser", "alice"},
                                                          {"sSipCodecs", "opus,,PCMA"},
                                                          {"sSipCodecs", "opus;PCMA"},
                                                          {"sSipCodecs", "speex/fast"},
                                                          {"sSipForwardAll", "two words"}}) {
        SipAccount a;
        std::string error;
        EXPECT_FALSE(ReadAccount(
            [&](const std::string& n) { return n == name ? std::optional(value) : std::nullopt; }, a, error))
            << name << "=" << value;
        EXPECT_NE(error.find(name), std::string::npos) << error;
    }
    std::string host;
    int port = 0;
    ASSERT_TRUE(ParseHostPort("[::1]:5070", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 5070);
    ASSERT_TRUE(ParseHostPort("10.1.2.3", host, port));
    EXPECT_EQ(port, 5060);
}

TEST(Settings, PasswordFileMustBePrivate) {
    char dir[] = "/tmp/sipphone-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string path = std::string(dir) + "/QUVO.ini";
    std::ofstream(path) << "sSipPassword=x\n";
    ::chmod(path.c_str(), 0644);
    EXPECT_NE(PasswordFileProblem(path, "sSipTurnPassword")
                  .find("holds sSipTurnPassword but others may read it (chmod 600"),
              std::string::npos);
    EXPECT_EQ(PasswordFileProblem(path, ""), "");
    ::chmod(path.c_str(), 0640);
    EXPECT_NE(PasswordFileProblem(path, "sSipPassword"), "");
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(PasswordFileProblem(path, "sSipPassword"), "");
    // The program records its own settings in the same file at every start: the file must
    // stay private, or the next start refuses.
    std::string error;
    ASSERT_TRUE(server::WriteSettings(path, {{"sPhoneOnline", "SIP"}}, error)) << error;
    EXPECT_EQ(PasswordFileProblem(path, "sSipPassword"), "");
    EXPECT_EQ(server::ReadSetting(path, "sSipPassword"), "x");
    // The rewrite goes through a private file of its own: a link left in its place is not
    // followed (nor is what it points to written), and nothing is left behind.
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    const std::string elsewhere = std::string(dir) + "/elsewhere";
    std::ofstream(elsewhere) << "untouched\n";
    ASSERT_EQ(::symlink(elsewhere.c_str(), temp.c_str()), 0);
    ASSERT_TRUE(server::WriteSettings(path, {{"sPhoneOnline", "SIP 2"}}, error)) << error;
    std::ifstream untouched(elsewhere);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(untouched), {}), "untouched\n");
    EXPECT_EQ(server::ReadSetting(path, "sPhoneOnline"), "SIP 2");
    EXPECT_NE(::access(temp.c_str(), F_OK), 0);
    // A file the program creates is private from the start.
    const std::string fresh = std::string(dir) + "/fresh.ini";
    ASSERT_TRUE(server::WriteSettings(fresh, {{"sPhoneOnline", "SIP"}}, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::filesystem::remove_all(dir);
}

TEST(Settings, AFifoOrADeviceInPlaceOfTheFileNeitherBlocksNorGrows) {
    char dir[] = "/tmp/sipphone-settings-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string fifo = std::string(dir) + "/fifo.ini", zero = std::string(dir) + "/zero.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    for (const std::string& path : {fifo, zero}) {
        // Before: the FIFO blocked the reader for good, /dev/zero grew it to a gigabyte.
        EXPECT_EQ(server::ReadSetting(path, "sSipUser"), std::nullopt) << path;
        std::string error;
        EXPECT_FALSE(server::WriteSettings(path, {{"sPhoneOnline", "SIP"}}, error)) << path;
        EXPECT_NE(error.find("not a settings file"), std::string::npos) << error;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(zero.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // A missing file is written.
    std::string error;
    EXPECT_TRUE(server::WriteSettings(std::string(dir) + "/new.ini", {{"sPhoneOnline", "SIP"}}, error))
        << error;
    std::filesystem::remove_all(dir);
}

TEST(Settings, ListenAddressInUse) {
    EXPECT_EQ(ListenProblem("127.0.83.8", 5060), "");
    for (const char* many : {"255.255.255.255", "224.0.0.1", "239.1.2.3", "ff02::1"})
        EXPECT_NE(ListenProblem(many, 5060).find("cast address"), std::string::npos) << many;
    const int taken = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int yes = 1;
    ::setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);  // as a SIP stack does
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(5060);
    ::inet_pton(AF_INET, "127.0.83.8", &addr.sin_addr);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_NE(ListenProblem("127.0.83.8", 5060).find("(UDP)"), std::string::npos);
    ::close(taken);
    EXPECT_NE(ListenProblem("localhost", 5060), "");
    EXPECT_NE(ListenProblem("192.0.2.1", 5060), "");  // not this machine's
}

TEST(Settings, PartyNames) {
    EXPECT_EQ(PartyNumber("1002", "host"), "1002");
    EXPECT_EQ(PartyNumber("", "host"), "host");
    EXPECT_EQ(CallerIdentity("Alice", "1002"), "Alice <1002>");
    EXPECT_EQ(CallerIdentity(" ", "1002"), "1002");
    EXPECT_EQ(CallerIdentity("1002", "1002"), "1002");
}

TEST(Options, ParsesAndRefuses) {
    auto parse = [](std::vector<std::string> words, Options& o, std::string& error) {
        std::vector<char*> argv{const_cast<char*>("quvo-sipphone")};
        for (auto& w : words) argv.push_back(w.data());
        return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, error);
    };
    Options o;
    std::string error;
    ASSERT_EQ(parse({"--no-audio", "--tone=1000", "--record", "/tmp/x.wav", "--auto-answer", "--no-window",
                     "--quiet", "--title", "T"},
                    o, error),
              ParseResult::Run);
    EXPECT_TRUE(o.noAudio && o.autoAnswer && o.quiet && !o.window);
    EXPECT_EQ(o.toneHz, 1000);
    EXPECT_EQ(o.recordPath, "/tmp/x.wav");
    EXPECT_EQ(o.title, "T");
    for (auto bad : std::vector<std::vector<std::string>>{{"--tone", "-1"},
                                                          {"--tone", "9000"},
                                                          {"--tone", "4x"},
                                                          {"--tone"},
                                                          {"--record="},
                                                          {"--quiet=1"},
                                                          {"-x"}}) {
        Options p;
        EXPECT_EQ(parse(bad, p, error), ParseResult::Error) << bad[0];
    }
    Options h;
    EXPECT_EQ(parse({"--help"}, h, error), ParseResult::Help);
    EXPECT_EQ(parse({"--version"}, h, error), ParseResult::Version);
}

TEST(Options, StateFolder) {
    std::map<std::string, const char*> env;
    auto get = [&](const char* n) -> const char* { return env.count(n) ? env[n] : nullptr; };
    env = {{"HOME", "/home/u"}};
    EXPECT_EQ(StateFolder(get), "/home/u/.local/state/quvo-sipphone");
    env["XDG_RUNTIME_DIR"] = "/run/user/1";
    EXPECT_EQ(StateFolder(get), "/run/user/1/quvo-sipphone");
    env["XDG_STATE_HOME"] = "/s";
    EXPECT_EQ(StateFolder(get), "/s/quvo-sipphone");
    env["XDG_STATE_HOME"] = "relative";  // not an absolute path: ignored
    EXPECT_EQ(StateFolder(get), "/run/user/1/quvo-sipphone");
}

TEST(LocalRegistrar, AnswersRegisterAndRefusesTheRest) {
    const std::string reg =
        "REGISTER sip:127.0.0.1:4000 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK1;rport\r\n"
        "v: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK2\r\nFrom: <sip:1001@127.0.0.1>;tag=a\r\nTo: "
        "sip:1001@127.0.0.1\r\n"
        "i: abc\r\nCSeq: 20 REGISTER\r\nm: <sip:1001@127.0.0.1:5060>\r\nExpires: 3600\r\n"
        "Content-Length: 0\r\n\r\n";
    const std::string ok = LocalRegistrar::Answer(reg);
    EXPECT_EQ(ok.rfind("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK1;rport\r\n"
                       "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK2\r\n",
                       0),
              0u)
        << ok;
    EXPECT_NE(ok.find("To: sip:1001@127.0.0.1;tag=quvo-local\r\n"), std::string::npos);
    EXPECT_NE(ok.find("Call-ID: abc\r\nCSeq: 20 REGISTER\r\nContact: <sip:1001@127.0.0.1:5060>\r\n"),
              std::string::npos);
    EXPECT_EQ(ok.substr(ok.size() - 4), "\r\n\r\n");
    // Taking the registration back: no contact in the answer.
    std::string un = reg;
    un.replace(un.find("Expires: 3600"), 13, "Expires: 0");
    EXPECT_EQ(LocalRegistrar::Answer(un).find("Contact:"), std::string::npos);
    std::string invite = reg;
    invite.replace(0, 8, "INVITE");
    EXPECT_EQ(LocalRegistrar::Answer(invite).rfind("SIP/2.0 405", 0), 0u);
    EXPECT_EQ(LocalRegistrar::Answer("SIP/2.0 200 OK\r\n\r\n"), "");
    EXPECT_EQ(LocalRegistrar::Answer("garbage"), "");
    EXPECT_EQ(LocalRegistrar::Answer("REGISTER sip:x SIP/2.0\r\nVia: a\r\n\r\n"), "");  // no Call-ID
}

// ---- the datagram guard at the SIP port --------------------------------------------------------

const std::string kInvite =
    "INVITE sip:1001@127.0.0.1:5060 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK7\r\n"
    "Max-Forwards: 70\r\nFrom: <sip:a@127.0.0.1>;tag=7\r\nTo: <sip:1001@127.0.0.1>\r\n"
    "Call-ID: guard-7@127.0.0.1\r\nCSeq: 1 INVITE\r\nContact: <sip:a@127.0.0.1:5999>\r\n"
    "Content-Type: application/sdp\r\nContent-Length: 34\r\n\r\n"
    "v=0\r\ns=-\r\nm=audio 5998 RTP/AVP 0\r\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(DatagramGuard, WholeMessagesAndKeepAlivesPass) {
    auto admits = [](const std::string& data, size_t expected) {
        const Verdict verdict = JudgeDatagram(data, {});
        EXPECT_EQ(verdict.action, Screened::Action::Pass) << verdict.reason << "\n" << data;
        EXPECT_EQ(verdict.length, expected) << data;
    };
    admits(kInvite, kInvite.size());
    const std::string options =
        "OPTIONS sip:1001@127.0.0.1 SIP/2.0\r\nv: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK1\r\nf: "
        "<sip:a@b>;tag=1\r\nt: <sip:1001@127.0.0.1>\r\ni: x1\r\nCSeq: 3 OPTIONS\r\nl: 0\r\n\r\n";
    admits(options, options.size());                                  // compact headers
    admits(Replace(options, "l: 0", "l :  0 "), options.size() + 3);  // spaces around the colon
    const std::string noLength = Replace(kInvite, "Content-Length: 34\r\n", "");
    admits(noLength, noLength.size());  // over UDP the body runs to the end of the datagram
    const std::string ok =
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK2\r\nFrom: <sip:a@b>;tag=1\r\n"
        "To: <sip:c@d>;tag=2\r\nCall-ID: y\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n";
    admits(ok, ok.size());
    admits("\r\n\r\n" + ok, ok.size() + 4);  // leading CRLFs before the start line
    admits(Replace(ok, "To: <sip:c@d>;tag=2\r\n", "To: <sip:c@d>\r\n  ;tag=2\r\n"), ok.size() + 4);  // folded
    // Bytes past the Content-Length are cut off, not taken as the start of another message.
    admits(kInvite + "INVITE sip:x SIP/2.0\r\n", kInvite.size());
    admits("\r\n\r\n", 4);
    admits("\r\n", 2);
}

TEST(DatagramGuard, RefusesWhatIsNotOneWholeMessage) {
    auto frames = [](const std::string& data) { return FrameDatagram(data).kind; };
    EXPECT_EQ(frames(Replace(kInvite, "Content-Length: 34", "Content-Length: 150")), Datagram::ShortBody);
    EXPECT_EQ(frames(Replace(kInvite, "Content-Length: 34", "l: 99999999999999999999")), Datagram::ShortBody);
    EXPECT_EQ(frames(kInvite.substr(0, kInvite.size() - 1)), Datagram::ShortBody);  // cut short
    EXPECT_EQ(frames(kInvite.substr(0, 200)), Datagram::OpenHeaders);
    EXPECT_EQ(frames(kInvite.substr(0, 20)), Datagram::NoStartLine);
    EXPECT_EQ(frames(Replace(kInvite, "Content-Length: 34", "Content-Length: -1")), Datagram::BadLength);
    EXPECT_EQ(frames(Replace(kInvite, "Content-Length: 34", "Content-Length: 34\r\nl: 5")),
              Datagram::BadLength);
    EXPECT_EQ(frames(Replace(kInvite, "CSeq: 1", std::string("CSeq: \0", 7))), Datagram::NulInHeaders);
    for (const std::string& bad :
         {std::string(),
          std::string("\xff\xfe"
                      "AAAA\r\n\r\n"),
          std::string("INVITE  SIP/2.0\r\nVia: x\r\n\r\n"), std::string("INVITE sip:x SIP/2.0 extra\r\n\r\n"),
          std::string("IN<VITE sip:x SIP/2.0\r\n\r\n"), std::string("SIP/2.0 2000 OK\r\n\r\n"),
          std::string("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\n\r\n")})
        EXPECT_EQ(frames(bad), Datagram::NoStartLine) << bad;
    // Bare line feeds never end the header section.
    EXPECT_EQ(frames("OPTIONS sip:x SIP/2.0\nCall-ID: z\n\n"), Datagram::NoStartLine);
    EXPECT_EQ(frames("OPTIONS sip:x SIP/2.0\r\nCall-ID: z\n\n"), Datagram::OpenHeaders);
}

TEST(DatagramGuard, HeaderLinesMustBeNamed) {
    // A header name with a byte outside the token set: the library's parser gives up on the
    // whole header section, and before this guard the sender's next datagram crashed the phone.
    const std::string broken = Replace(kInvite, "Call-ID:",
                                       "\xb3"
                                       "all-ID:");
    EXPECT_EQ(FrameDatagram(broken).kind, Datagram::BadHeaderLine);
    EXPECT_FALSE(LibraryReadsHeaders(broken));
    EXPECT_TRUE(LibraryReadsHeaders(kInvite));
    EXPECT_EQ(FrameDatagram(Replace(kInvite, "Max-Forwards: 70", "Max-Forwards 70")).kind,
              Datagram::BadHeaderLine);
    EXPECT_EQ(FrameDatagram(Replace(kInvite, "Max-Forwards: 70", ": 70")).kind, Datagram::BadHeaderLine);
    EXPECT_EQ(FrameDatagram(Replace(kInvite, "Max-Forwards: 70", "Max Forwards: 70")).kind,
              Datagram::BadHeaderLine);
    // Values are the library's to judge: a mangled one still frames as a message.
    EXPECT_EQ(FrameDatagram(Replace(kInvite, "<sip:a@127.0.0.1>", "<sip:a@127.0.0.1\xd1")).kind,
              Datagram::Message);
}

TEST(DatagramGuard, DropsAtTheGuardedPortOnlyAndNeverBlocks) {
    const auto bound = test::BoundLoopbackUdp;
    auto [sip, sipAddress] = bound();
    auto [other, otherAddress] = bound();
    GuardSipPort("127.0.0.1", ntohs(sipAddress.sin_port));
    const uint64_t droppedBefore = DroppedDatagrams();
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    auto send = [&](const sockaddr_in& to, const std::string& data) {
        ASSERT_EQ(
            ::sendto(sender, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(data.size()));
    };
    const std::string shortBody = Replace(kInvite, "Content-Length: 34", "Content-Length: 150");
    // One sender: garbage, a message with a trailing extra, garbage, a keep-alive, garbage.
    for (const std::string& data : {std::string("\x01\x02garbage"), kInvite + "EXTRA", shortBody,
                                    std::string("\r\n\r\n"), std::string("INVITE sip:x SIP/2.0\r\nVia:")})
        send(sipAddress, data);
    send(otherAddress, shortBody);
    std::this_thread::sleep_for(50ms);

    std::vector<char> buf(65536);
    auto receive = [&](int fd, int flags) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buf.data(), buf.size(), flags, reinterpret_cast<sockaddr*>(&from), &fromLength);
        return n < 0 ? "errno " + std::to_string(errno) : std::string(buf.data(), static_cast<size_t>(n));
    };
    // A peek with a small buffer, as the library does before it reads.
    std::vector<char> small(16);
    EXPECT_EQ(::recvfrom(sip, small.data(), small.size(), MSG_PEEK, nullptr, nullptr), 16);
    EXPECT_EQ(std::string(small.data(), 16), kInvite.substr(0, 16));
    EXPECT_EQ(receive(sip, 0), kInvite);
    EXPECT_EQ(receive(sip, MSG_PEEK), "\r\n\r\n");
    EXPECT_EQ(receive(sip, 0), "\r\n\r\n");
    // Only garbage was left: the peek finds an empty datagram (a failed one makes the library
    // open its socket anew), the read finds nothing.
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    EXPECT_EQ(
        ::recvfrom(sip, buf.data(), buf.size(), MSG_PEEK, reinterpret_cast<sockaddr*>(&from), &fromLength),
        0);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(receive(sip, 0), "errno " + std::to_string(EAGAIN));
    EXPECT_EQ(receive(sip, MSG_PEEK), "errno " + std::to_string(EAGAIN));  // nothing taken off: as it is
    EXPECT_EQ(DroppedDatagrams() - droppedBefore, 3u);
    EXPECT_EQ(receive(other, 0), shortBody);  // any other socket is left alone
    ::close(sender);
    ::close(sip);
    ::close(other);
}

// ---- the same guard on a TCP connection --------------------------------------------------------

const std::string kOk =
    "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP 127.0.0.1:5060;branch=z9hG4bK2\r\nFrom: <sip:a@127.0.0.1>;tag=1\r\n"
    "To: <sip:c@d>;tag=2\r\nCall-ID: y\r\nCSeq: 2 BYE\r\nl: 0\r\n\r\n";
const std::string kBroken = Replace(kInvite, "Call-ID:",
                                    "\xb3"
                                    "all-ID:");

bool StartsMessage(const std::string& stream, size_t at) {
    return stream.compare(at, 7, "INVITE ") == 0 || stream.compare(at, 8, "SIP/2.0 ") == 0;
}

TEST(StreamGuard, PassesWholeHeaderSectionsWhereverTheStreamIsCut) {
    // Keep-alives, a message with a body, one without, a ping between them, folded and
    // compact headers, and a pong at the end.
    const std::string stream =
        "\r\n\r\n" + kInvite + kOk + "\r\n\r\n" +
        Replace(kInvite, "To: <sip:1001@127.0.0.1>\r\n", "To: <sip:1001@127.0.0.1>\r\n ;x=1\r\n") + "\r\n";
    {
        StreamChecker whole;
        std::string out;
        EXPECT_TRUE(whole.Feed(stream, out));
        EXPECT_EQ(out, stream);
        EXPECT_EQ(whole.Held(), 0u);
    }
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        StreamChecker checker;
        std::string out;
        ASSERT_TRUE(checker.Feed(std::string_view(stream).substr(0, cut), out)) << checker.Reason();
        // Everything before the cut passed, except the start of a header section.
        ASSERT_EQ(stream.compare(0, out.size(), out), 0);
        if (out.size() < cut) {
            EXPECT_TRUE(StartsMessage(stream, out.size())) << cut;
            EXPECT_EQ(checker.Held(), cut - out.size());
        }
        ASSERT_TRUE(checker.Feed(std::string_view(stream).substr(cut), out)) << checker.Reason();
        ASSERT_EQ(out, stream) << cut;
    }
    StreamChecker bytes;
    std::string out;
    for (char c : stream) ASSERT_TRUE(bytes.Feed(std::string_view(&c, 1), out)) << bytes.Reason();
    EXPECT_EQ(out, stream);
}

TEST(StreamGuard, EndsTheStreamAtTheFirstBadMessage) {
    auto passes = [](const std::string& stream, size_t limit = 65536) {
        StreamChecker checker(limit);
        std::string out;
        for (size_t at = 0; at < stream.size(); at += 7)
            if (!checker.Feed(std::string_view(stream).substr(at, 7), out)) break;
        EXPECT_EQ(checker.Held(), 0u);
        return std::make_pair(out, checker.Reason());
    };
    // What passed before stays passed; the bad header section and all after it do not.
    EXPECT_EQ(passes(kInvite + kBroken + kInvite),
              std::make_pair(kInvite, std::string("a header line without a name")));
    EXPECT_EQ(passes("\r\n" + kOk + "IN<VITE sip:x SIP/2.0\r\nl: 0\r\n\r\n" + kOk),
              std::make_pair("\r\n" + kOk, std::string("no start line")));
    EXPECT_EQ(passes(Replace(kOk, "l: 0\r\n", "")).second, "no Content-Length");
    EXPECT_EQ(passes(Replace(kOk, "l: 0", "l: 0x")).second, "a malformed Content-Length");
    // The library reads this one as 34 (modulo 2^32): bytes it would take for headers would
    // pass here as a body.
    EXPECT_EQ(passes(Replace(kOk, "l: 0", "l: 4294967330")).second, "a malformed Content-Length");
    EXPECT_EQ(passes(Replace(kOk, "CSeq: 2", std::string("CSeq: \0", 7))).second,
              "a NUL byte in the headers");
    // A body is the library's to read, whatever it holds.
    const std::string oddBody = Replace(Replace(kInvite, "v=0\r\ns=-\r\nm=audio 5998 RTP/AVP 0\r\n",
                                                "\xb3"
                                                "all-ID: x\r\n\r\n\r\nINVITE x \r\n\r\n"),
                                        "Content-Length: 34", "Content-Length: 29");
    EXPECT_EQ(passes(oddBody + kOk), std::make_pair(oddBody + kOk, std::string()));
    // A header section that never ends is not held past the limit.
    const std::string endless = "INVITE sip:x SIP/2.0\r\nX: " + std::string(5000, 'a');
    EXPECT_EQ(passes(kOk + endless, 1024),
              std::make_pair(kOk, std::string("a header section over 1024 bytes")));
    EXPECT_EQ(passes("INVITE sip:x SIP/2.0\nl: 0\n\n" + std::string(2000, '\n'), 1024).second,
              "a header section over 1024 bytes");  // bare line feeds end nothing
}

TEST(StreamGuard, EndsBadConnectionsAtTheSipPortOnly) {
    auto listening = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        return std::make_pair(fd, addr);
    };
    auto [sip, sipAddress] = listening();
    auto [other, otherAddress] = listening();
    GuardSipPort("127.0.0.1", ntohs(sipAddress.sin_port));
    const uint64_t endedBefore = EndedConnections();
    struct Pair {
        int client = -1, server = -1;
        ~Pair() {
            ::close(client);
            ::close(server);
        }
    };
    auto connect = [](int listener, const sockaddr_in& to) {
        auto pair = std::make_unique<Pair>();
        pair->client = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(pair->client, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        pair->server = ::accept(listener, nullptr, nullptr);
        return pair;
    };
    auto send = [](int fd, const std::string& data) {
        ASSERT_EQ(::send(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
        std::this_thread::sleep_for(20ms);
    };
    std::vector<char> buf(65536);
    auto receive = [&](int fd, size_t room = 65536) {
        const ssize_t n = ::recv(fd, buf.data(), room, MSG_DONTWAIT);
        return n < 0 ? "errno " + std::to_string(errno) : std::string(buf.data(), static_cast<size_t>(n));
    };

    auto first = connect(sip, sipAddress);
    send(first->client, kInvite + kBroken + kInvite);
    EXPECT_EQ(receive(first->server), kInvite);
    EXPECT_EQ(receive(first->server), "");  // the end of the stream, for good
    EXPECT_EQ(receive(first->server), "");
    EXPECT_EQ(EndedConnections() - endedBefore, 1u);
    first.reset();

    // The next connection (on the same descriptor number, likely) starts afresh. A header
    // section is held until it is whole; nothing checked waits for another read.
    auto second = connect(sip, sipAddress);
    send(second->client, kOk + kInvite.substr(0, 100));
    EXPECT_EQ(receive(second->server), kOk);
    EXPECT_EQ(receive(second->server), "errno " + std::to_string(EAGAIN));
    send(second->client, kInvite.substr(100, 200));  // the rest of the headers and 6 body bytes
    EXPECT_EQ(receive(second->server), kInvite.substr(0, 300));
    send(second->client, kInvite.substr(300) + kOk);
    EXPECT_EQ(receive(second->server, 20), kInvite.substr(300, 20));  // the body, in the reader's measure
    EXPECT_EQ(receive(second->server), kInvite.substr(320) + kOk);
    // A header section larger than the reader's buffer ends the connection.
    send(second->client, kOk);
    EXPECT_EQ(receive(second->server, 100), "");
    EXPECT_EQ(EndedConnections() - endedBefore, 2u);

    auto elsewhere = connect(other, otherAddress);
    send(elsewhere->client, kBroken);
    EXPECT_EQ(receive(elsewhere->server), kBroken);  // any other connection is left alone
    ::close(sip);
    ::close(other);
}

TEST(Registration, RefusedCredentialsAreTriedEverMoreRarely) {
    std::vector<long> minutes;
    for (int n = 1; n <= 7; ++n) minutes.push_back(static_cast<long>(RefusedRetryDelay(n).count() / 1000));
    EXPECT_EQ(minutes, (std::vector<long>{60, 120, 240, 480, 600, 600, 600}));
}

TEST(RegistrarProbe, AliveWhileAnsweredGoneWhenSilentOrRefused) {
    // A stand-in registrar: a UDP socket that answers what it is asked.
    const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.83.9", &addr.sin_addr);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), length), 0);
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const int port = ntohs(addr.sin_port);

    RegistrarProbe probe;
    ASSERT_FALSE(RegistrarProbe().Open("127.0.83.9", "registrar.example", port));  // numeric only
    ASSERT_TRUE(probe.Open("127.0.83.9", "127.0.83.9", port));
    auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(probe.Poll(now), RegistrarProbe::Verdict::Unknown);
    auto answer = [&](bool reply) {
        char buffer[2048];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        std::this_thread::sleep_for(20ms);
        const ssize_t n =
            ::recvfrom(server, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0) return std::string();
        const std::string request(buffer, static_cast<size_t>(n));
        if (reply) {
            const std::string response = "SIP/2.0 404 Not Found\r\n\r\n";
            ::sendto(server, response.data(), response.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLength);
            std::this_thread::sleep_for(20ms);
        }
        return request;
    };
    EXPECT_EQ(answer(true).rfind("OPTIONS sip:127.0.83.9:" + std::to_string(port) + " SIP/2.0\r\n", 0), 0u);
    EXPECT_EQ(probe.Poll(now), RegistrarProbe::Verdict::Alive);
    // Answered, the next probe comes a whole interval later (the registrar is spared).
    const auto start = now;
    probe.Poll(now += 29s);
    EXPECT_EQ(answer(false), "");
    // Unanswered, a probe goes again after 0.5, 1.5 and 3.5 s; 4 s without an answer: gone.
    int sent = 0;
    for (auto at : {30000ms, 30500ms, 31500ms, 33500ms}) {
        EXPECT_EQ(probe.Poll(now = start + at), RegistrarProbe::Verdict::Alive);
        sent += !answer(false).empty();
        EXPECT_EQ(probe.Poll(now += 100ms), RegistrarProbe::Verdict::Alive);
        EXPECT_EQ(answer(false), "");
    }
    EXPECT_EQ(sent, 4);
    EXPECT_EQ(probe.Poll(now = start + 34s), RegistrarProbe::Verdict::Gone);
    // While it is gone it is asked every 5 s; it answers again: back.
    probe.Poll(now = start + 34900ms);
    EXPECT_EQ(answer(false), "");
    probe.Poll(now = start + 35s);
    answer(true);
    EXPECT_EQ(probe.Poll(now), RegistrarProbe::Verdict::Alive);
    // The port is closed: the host says so at the next probe.
    ::close(server);
    probe.Poll(now += 30s);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe.Poll(now), RegistrarProbe::Verdict::Gone);
}

// ---- line states --------------------------------------------------------------------------------

std::string Describe(const std::vector<Emission>& events) {
    std::string out;
    for (const Emission& e : events) {
        if (!out.empty()) out += " ";
        if (e.dispid == kLineUpdate)
            out += "L" + std::to_string(std::get<int32_t>(e.args[4]));
        else
            out += "E" + std::to_string(e.dispid);
    }
    return out;
}

std::string Feed(CallLine& line, std::vector<State> states,
                 linphone::Reason reason = linphone::Reason::None) {
    std::vector<Emission> all;
    for (State s : states)
        for (auto& e : OnCallState(line, s, reason, "1001")) all.push_back(e);
    return Describe(all);
}

CallLine Line(int32_t ref, bool outgoing = true) {
    CallLine line;
    line.ref = ref;
    line.number = "1002";
    line.outgoing = outgoing;
    return line;
}

TEST(LineStates, OutgoingCallAnsweredHeldAndHungUpByTheFarEnd) {
    CallLine line = Line(1001);
    // Ring-out once however many provisional answers; pickup once; a re-INVITE shows nothing.
    EXPECT_EQ(Feed(line, {State::OutgoingInit, State::OutgoingProgress, State::OutgoingRinging,
                          State::OutgoingEarlyMedia, State::Connected, State::StreamsRunning}),
              "L3 L5 E3");
    EXPECT_EQ(Feed(line, {State::Pausing, State::Paused, State::Resuming, State::StreamsRunning,
                          State::UpdatedByRemote, State::StreamsRunning}),
              "L8 L5");
    EXPECT_EQ(Feed(line, {State::End, State::Released}), "E1 L0");
}

TEST(LineStates, LineUpdateArguments) {
    CallLine line = Line(1004, false);
    line.callerId = "Bob <1002>";
    auto events = OnCallState(line, State::IncomingReceived, linphone::Reason::None, "1001");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].dispid, kIncomingCall);
    EXPECT_EQ(events[0].args, (server::Args{int32_t{1004}, std::string("1001"), std::string("Bob <1002>")}));
    EXPECT_EQ(events[1].args,
              (server::Args{int32_t{1}, int32_t{1004}, std::string("1001"), std::string("1001"),
                            int32_t{kTsRingIn}, std::string("1002"), int32_t{0}, int32_t{0}, int32_t{1}}));
}

TEST(LineStates, EndingsBusyDeclinedLocalAndTransferred) {
    CallLine busy = Line(1);
    EXPECT_EQ(Feed(busy, {State::OutgoingProgress, State::Error, State::Released}, linphone::Reason::Busy),
              "L3 L6 E2 L0");
    CallLine declined = Line(2);
    EXPECT_EQ(
        Feed(declined, {State::OutgoingProgress, State::Error, State::Released}, linphone::Reason::Declined),
        "L3 E1 L7 L0");
    // Why a call placed here failed, from the final answer's status, before TsIdle.
    for (const auto& [code, reason, shown] : {std::tuple{404, linphone::Reason::NotFound, "L3 L14 L0"},
                                              {484, linphone::Reason::AddressIncomplete, "L3 L14 L0"},
                                              {604, linphone::Reason::Unknown, "L3 L14 L0"},
                                              {480, linphone::Reason::TemporarilyUnavailable, "L3 L7 L0"},
                                              {503, linphone::Reason::IOError, "L3 L7 L0"},
                                              {0, linphone::Reason::NoResponse, "L3 L7 L0"},
                                              {600, linphone::Reason::Unknown, "L3 L6 E2 L0"}}) {
        CallLine failed = Line(3);
        std::vector<Emission> all;
        for (State s : {State::OutgoingProgress, State::Error, State::Released})
            for (auto& e : OnCallState(failed, s, reason, "1001", code)) all.push_back(e);
        EXPECT_EQ(Describe(all), shown) << code;
    }
    // A call ringing in that fails shows no reason.
    CallLine incoming = Line(8, false);
    EXPECT_EQ(
        Feed(incoming, {State::IncomingReceived, State::Error, State::Released}, linphone::Reason::NotFound),
        "E4 L4 L0");
    CallLine here = Line(4);
    EXPECT_EQ(Feed(here, {State::OutgoingProgress, State::StreamsRunning}), "L3 L5 E3");
    here.endedHere = true;
    EXPECT_EQ(Feed(here, {State::End, State::Released}), "L0");
    CallLine moved = Line(5, false);
    EXPECT_EQ(Feed(moved, {State::IncomingReceived, State::StreamsRunning}), "E4 L4 L5");
    moved.transferred = true;
    EXPECT_EQ(Feed(moved, {State::End, State::Released}), "L10 L0");
    // The caller gives up before this phone answers.
    CallLine missed = Line(6, false);
    EXPECT_EQ(Feed(missed, {State::IncomingReceived, State::End, State::Released}), "E4 L4 E1 L0");
    // Held by the far end shows as held.
    CallLine remoteHold = Line(7);
    EXPECT_EQ(Feed(remoteHold, {State::OutgoingProgress, State::StreamsRunning, State::PausedByRemote,
                                State::StreamsRunning}),
              "L3 L5 E3 L8 L5");
}

// ---- two phones on loopback ----------------------------------------------------------------------

// The bus server's part, played in-process: one timer loop for all phones, the events kept.
// The bus server's loop as the engine sees it: timers, and each phone's watch of its sockets.
class Loop {
  public:
    void Add(std::chrono::milliseconds delay, std::function<void()> fn) {
        timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(fn));
    }
    void Watch(const void* owner, std::vector<server::WatchedFd> fds, std::function<void()> onReady) {
        if (onReady)
            watches_[owner] = {std::move(fds), std::move(onReady)};
        else
            watches_.erase(owner);
    }
    // Runs timers and watches until pred holds or the time is up; true when pred held.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) return false;
            if (!timers_.empty() && timers_.begin()->first <= now) {
                auto fn = std::move(timers_.begin()->second);
                timers_.erase(timers_.begin());
                fn();
                continue;
            }
            std::vector<pollfd> fds;
            std::vector<const void*> owners;
            for (const auto& [owner, watch] : watches_)
                for (const server::WatchedFd& w : watch.first) {
                    fds.push_back({w.fd, w.events, 0});
                    owners.push_back(owner);
                }
            ::poll(fds.data(), fds.size(), 2);
            for (size_t i = 0; i < fds.size(); ++i)
                if (fds[i].revents != 0 && watches_.count(owners[i])) {
                    auto ready = std::move(watches_[owners[i]].second);
                    watches_.erase(owners[i]);
                    ready();
                }
        }
        return true;
    }
    void RunFor(std::chrono::milliseconds time) {
        RunUntil([] { return false; }, time);
    }

  private:
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    std::map<const void*, std::pair<std::vector<server::WatchedFd>, std::function<void()>>> watches_;
};

struct Event {
    int32_t dispid;
    server::Args args;
    int32_t Int(size_t i) const { return std::get<int32_t>(args.at(i)); }
    std::string Text(size_t i) const { return std::get<std::string>(args.at(i)); }
};

class TestHost : public server::EngineHost {
  public:
    explicit TestHost(Loop& loop) : loop_(loop) {}
    void Send(int32_t dispid, const server::Args& args) override { events.push_back({dispid, args}); }
    void After(std::chrono::milliseconds delay, std::function<void()> fn) override {
        loop_.Add(delay, std::move(fn));
    }
    void Post(std::function<void()> fn) override { loop_.Add(0ms, std::move(fn)); }
    void Watch(std::vector<server::WatchedFd> fds, std::function<void()> onReady) override {
        loop_.Watch(this, std::move(fds), std::move(onReady));
    }
    void RequestExit() override { exitRequested = true; }
    void StatusChanged(const std::string& s) override { status = s; }
    void Note(const std::string& text) override { notes.push_back(text); }

    // LineUpdate states in order, as "3 5 8 5 0".
    std::string States() const {
        std::string out;
        for (const Event& e : events)
            if (e.dispid == kLineUpdate) out += (out.empty() ? "" : " ") + std::to_string(e.Int(4));
        return out;
    }
    const Event* Last(int32_t dispid) const {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->dispid == dispid) return &*it;
        return nullptr;
    }
    bool Has(int32_t dispid) const { return Last(dispid) != nullptr; }
    int32_t LastState() const {
        const Event* e = Last(kLineUpdate);
        return e ? e->Int(4) : -1;
    }

    std::vector<Event> events;
    std::vector<std::string> notes;
    std::string status;
    bool exitRequested = false;

  private:
    Loop& loop_;
};

class TwoPhones : public ::testing::Test {
  protected:
    static std::string Address(int n) { return "127.0.83." + std::to_string(n); }
    // SIPPHONE_TEST_PROXY=sip:HOST:PORT[;transport=tcp] runs the phones through a registrar
    // (by hand, with one running): then numbers are dialled bare.
    static const char* Proxy() { return std::getenv("SIPPHONE_TEST_PROXY"); }
    static std::string Dest(int n) {
        const std::string number = std::to_string(1000 + n);
        return Proxy() ? number : "sip:" + number + "@" + Address(n);
    }

    std::unique_ptr<SipEngine> MakePhone(TestHost& host, int n, bool autoAnswer) {
        EngineConfig config;
        config.account.user = std::to_string(1000 + n);
        config.account.listenHost = Address(n);
        config.account.listenPort = 5060;
        if (Proxy()) {
            config.account.proxy = Proxy();
            config.account.domain = "quvo.test";
        }
        config.stateDir = dir_;
        config.noAudio = true;
        config.autoAnswer = autoAnswer;
        config.account.password = "s3cret-" + std::to_string(n);
        if (n == 2) config.account.forwardAll = Dest(3);
        auto phone = std::make_unique<SipEngine>(host, config);
        EXPECT_TRUE(phone->Running()) << phone->StartError();
        phone->Start();
        return phone;
    }

    void SetUp() override {
        char dir[] = "/tmp/sipphone-test-XXXXXX";
        ASSERT_TRUE(::mkdtemp(dir));
        dir_ = dir;
        a_ = MakePhone(hostA_, 1, false);
        b_ = MakePhone(hostB_, 2, true);
        Registered(hostA_);
        Registered(hostB_);
    }
    void Registered(TestHost& host) {
        ASSERT_TRUE(Until(
            [&] { return host.Has(kCallManagerStatus) && host.Last(kCallManagerStatus)->Int(0) == 1; }));
    }
    void TearDown() override {
        a_.reset();
        b_.reset();
        if (!std::getenv("SIPPHONE_TEST_KEEP")) std::system(("rm -rf " + dir_).c_str());
    }

    // Runs one operation on a phone; its error text ("" on success).
    std::string Op(SipEngine& phone, const bus::Method& method, server::Args args = {}) {
        auto error = std::make_shared<std::optional<std::string>>();
        phone.Call(method, std::move(args), [error](const std::string& e) { *error = e; });
        // A reply may wait for the SIP side (a transfer for its hold's answer): the loop runs.
        if (!*error && !loop_.RunUntil([&] { return error->has_value(); }, 6s)) return "no reply";
        return **error;
    }
    bool Until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
        return loop_.RunUntil(pred, limit);
    }

    Loop loop_;
    TestHost hostA_{loop_}, hostB_{loop_};
    std::string dir_;
    std::unique_ptr<SipEngine> a_, b_;
};

TEST_F(TwoPhones, CallHoldDtmfStatsAndHangup) {
    // Without a registrar the call server counts as reached from the start.
    ASSERT_TRUE(hostA_.Has(kCallManagerStatus));
    EXPECT_EQ(hostA_.Last(kCallManagerStatus)->Int(0), 1);

    ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
    ASSERT_TRUE(Until([&] { return hostA_.Has(kPartyPickup); })) << hostA_.States();
    EXPECT_EQ(hostA_.States(), "3 5");
    const int32_t ref = hostA_.Last(kPartyPickup)->Int(0);
    EXPECT_EQ(hostA_.Last(kLineUpdate)->Text(5), "1002");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsConnected; }));
    ASSERT_TRUE(hostB_.Has(kIncomingCall));
    EXPECT_EQ(hostB_.Last(kIncomingCall)->Text(2), "1001");
    EXPECT_EQ(hostB_.States(), "4 5");

    loop_.RunFor(1s);
    ASSERT_EQ(Op(*a_, bus::kCallStats), "");
    const Event* stats = hostA_.Last(kCallStatsUpdate);
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->Int(0), ref);
    EXPECT_FALSE(stats->Text(1).empty());
    EXPECT_EQ(stats->Text(3), "1002");
    EXPECT_GT(stats->Int(5), 20);  // sent
    EXPECT_GT(stats->Int(6), 20);  // received

    ASSERT_EQ(Op(*a_, bus::kSendDtmf, {std::string("5")}), "");
    EXPECT_NE(Op(*a_, bus::kSendDtmf, {std::string("x")}), "");

    ASSERT_EQ(Op(*a_, bus::kHold), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsHold; }));
    EXPECT_EQ(hostA_.LastState(), kTsHold);
    ASSERT_EQ(Op(*a_, bus::kResume, {int32_t{0}}), "");
    ASSERT_TRUE(
        Until([&] { return hostB_.LastState() == kTsConnected && hostA_.LastState() == kTsConnected; }));

    // The snapshot: a private file with the call's figures and without the password.
    ASSERT_EQ(Op(*a_, bus::kSnapshot), "");
    std::string snapshot;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        if (entry.path().filename().string().rfind("snapshot-", 0) == 0) snapshot = entry.path();
    ASSERT_FALSE(snapshot.empty());
    struct stat st {};
    ASSERT_EQ(::stat(snapshot.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(snapshot);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("password=(set)"), std::string::npos);
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    EXPECT_NE(text.find("call=" + std::to_string(ref)), std::string::npos);
    EXPECT_NE(text.find("rtp_received="), std::string::npos);

    ASSERT_EQ(Op(*a_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsIdle && hostA_.LastState() == kTsIdle; }));
    EXPECT_TRUE(hostB_.Has(kPartyHangup));
    EXPECT_FALSE(hostA_.Has(kPartyHangup));
    EXPECT_EQ(hostA_.States(), "3 5 8 5 0");
    EXPECT_NE(Op(*a_, bus::kEndCall), "");
    // The library's configuration holds the password while the phone runs, and goes with it.
    const std::string rc = dir_ + "/core-" + Address(1) + "-5060/linphonerc";
    EXPECT_EQ(::access(rc.c_str(), F_OK), 0);
    a_->Stop();
    EXPECT_NE(::access(rc.c_str(), F_OK), 0);
}

TEST_F(TwoPhones, TheCoreRestsUntilASocketOrItsNextTimerWakesIt) {
    ASSERT_TRUE(CanLearnCoreWait());
    loop_.RunFor(500ms);
    // Idle: runs at the core's timers only (a 250 ms beat: 12, a 20 ms one: 150).
    const uint64_t runs = b_->Runs();
    loop_.RunFor(3s);
    EXPECT_LE(b_->Runs() - runs, 8u);
    // A's INVITE wakes B at once, by its socket.
    const uint64_t wakes = b_->ReadyWakes();
    ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
    ASSERT_TRUE(Until([&] { return hostB_.Has(kIncomingCall); }));
    EXPECT_GT(b_->ReadyWakes(), wakes);
    ASSERT_TRUE(Until([&] { return hostA_.Has(kPartyPickup); }));
    ASSERT_EQ(Op(*a_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsIdle; }));
}

TEST_F(TwoPhones, RefusalsSayWhyAndDoNotDisturbAnswersBusy) {
    EXPECT_EQ(Op(*a_, bus::kAnswer, {int32_t{0}}), "no such call");
    EXPECT_EQ(Op(*a_, bus::kResume, {int32_t{0}}), "no held call");
    EXPECT_EQ(Op(*a_, bus::kHold), "no connected call");
    EXPECT_EQ(Op(*a_, bus::kTransferComplete), "no transfer in progress");
    EXPECT_EQ(Op(*a_, bus::kConferenceComplete), "no conference in progress");
    EXPECT_EQ(Op(*a_, bus::kMessages), "no voicemail number (sVoicemail) is set");
    EXPECT_EQ(Op(*a_, bus::kMakeCall, {std::string("")}), "no destination");
    // A secure destination without TLS is not placed in clear.
    EXPECT_NE(Op(*a_, bus::kMakeCall, {std::string("sips:1002@") + Address(2)}).find("needs TLS"),
              std::string::npos);
    for (const bus::Method* m : {&bus::kIPCCLogin, &bus::kIPCCLogout, &bus::kIPCCSetState,
                                 &bus::kIPCCNotReadyReasons, &bus::kIPCCLogoutReasons})
        EXPECT_EQ(Op(*a_, *m, server::Args(m->ArgCount(), std::string("x"))),
                  "this softphone has no contact-centre agent");
    EXPECT_EQ(Op(*a_, bus::kSoftkey, {std::string("Park"), int32_t{1}, int32_t{0}}),
              "this softphone has no softkey 'Park'");
    EXPECT_EQ(Op(*a_, bus::kSoftkey, {std::string("redial"), int32_t{1}, int32_t{0}}), "nothing to redial");
    EXPECT_EQ(Op(*a_, bus::kSoftkey, {std::string("cfwdall"), int32_t{1}, int32_t{0}}),
              "no forwarding destination is set (sSipForwardAll): calls cannot be forwarded");
    EXPECT_EQ(Op(*a_, bus::kSetClientActive, {int32_t{1}}), "");
    EXPECT_EQ(Op(*a_, bus::kMicVolumeUp), "");
    EXPECT_EQ(Op(*a_, bus::kSetMute, {int32_t{1}}), "");

    // B does not want to be disturbed: A's call finds it busy and B shows nothing.
    ASSERT_EQ(Op(*b_, bus::kSoftkey, {std::string("DND"), int32_t{1}, int32_t{0}}), "");
    ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsIdle; })) << hostA_.States();
    EXPECT_EQ(hostA_.States(), "3 6 0");
    EXPECT_TRUE(hostA_.Has(kPartyBusy));
    EXPECT_EQ(hostB_.States(), "");
    EXPECT_FALSE(hostB_.Has(kIncomingCall));
    // Redial calls the same number again.
    ASSERT_EQ(Op(*b_, bus::kSoftkey, {std::string("dnd"), int32_t{1}, int32_t{0}}), "");
    ASSERT_EQ(Op(*a_, bus::kSoftkey, {std::string("redial"), int32_t{1}, int32_t{0}}), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsConnected; })) << hostB_.States();
    // The reply to an operation comes before the events that it causes.
    size_t before = hostA_.events.size();
    std::string reply = "none";
    a_->Call(bus::kEndCall, {},
             [&](const std::string& e) { reply = e + "|" + std::to_string(hostA_.events.size()); });
    EXPECT_EQ(reply, "|" + std::to_string(before));
}

TEST_F(TwoPhones, IncomingCallAnsweredHookAndFarEndHangup) {
    // B calls A, which does not answer by itself.
    ASSERT_EQ(Op(*b_, bus::kMakeCall, {Dest(1)}), "");
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsRingIn; }));
    const Event* incoming = hostA_.Last(kIncomingCall);
    ASSERT_TRUE(incoming);
    EXPECT_EQ(incoming->Text(1), "1001");
    EXPECT_EQ(incoming->Text(2), "1002");
    EXPECT_EQ(hostA_.Last(kLineUpdate)->Int(6), 0);  // incoming
    // OnHook leaves a ringing call alone; Answer 0 takes the one that rang last.
    ASSERT_EQ(Op(*a_, bus::kOnHook, {int32_t{1}}), "");
    EXPECT_EQ(hostA_.LastState(), kTsOnHook);
    ASSERT_EQ(Op(*a_, bus::kAnswer, {int32_t{0}}), "");
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsConnected && hostB_.Has(kPartyPickup); }));
    // The far end hangs up.
    ASSERT_EQ(Op(*b_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsIdle; }));
    EXPECT_TRUE(hostA_.Has(kPartyHangup));
    EXPECT_EQ(hostA_.States(), "4 2 5 0");

    // OffHook, then OnHook ends the call in talk on the line.
    ASSERT_EQ(Op(*a_, bus::kOffHook, {int32_t{1}}), "");
    EXPECT_EQ(hostA_.LastState(), kTsOffHook);
    ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
    ASSERT_TRUE(
        Until([&] { return hostB_.LastState() == kTsConnected && hostA_.LastState() == kTsConnected; }));
    ASSERT_EQ(Op(*a_, bus::kOnHook, {int32_t{1}}), "");
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsIdle && hostB_.LastState() == kTsIdle; }));
    EXPECT_EQ(hostA_.States(), "4 2 5 0 1 3 5 2 0");
}

TEST(Registration, FailingRegistrationsLeaveNothingBehind) {
    // A registrar where nothing listens: every try fails at once, and each schedules the next.
    // (The retry once held itself and lived for ever: the sanitizer build reports such a leak.)
    char dir[] = "/tmp/sipphone-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    Loop loop;
    TestHost host(loop);
    {
        EngineConfig config;
        config.account.user = "1001";
        config.account.listenHost = "127.0.83.4";
        config.account.proxy = "sip:127.0.83.9:9;transport=tcp";
        config.stateDir = dir;
        config.noAudio = true;
        SipEngine phone(host, config);
        ASSERT_TRUE(phone.Running()) << phone.StartError();
        phone.Start();
        loop.RunFor(5s);
        EXPECT_EQ(host.Last(kCallManagerStatus)->Int(0), 0);
        EXPECT_NE(host.status.find("registration failed"), std::string::npos) << host.status;
    }
    std::system((std::string("rm -rf ") + dir).c_str());
}

class ThreePhones : public TwoPhones {
  protected:
    void SetUp() override {
        TwoPhones::SetUp();
        c_ = MakePhone(hostC_, 3, true);
        Registered(hostC_);
    }
    void TearDown() override {
        c_.reset();
        TwoPhones::TearDown();
    }
    // A calls B and both talk.
    void Connect() {
        ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
        ASSERT_TRUE(Until([&] { return hostA_.Has(kPartyPickup) && hostB_.LastState() == kTsConnected; }));
    }
    static int Count(const TestHost& host, int32_t state) {
        int n = 0;
        for (const Event& e : host.events) n += e.dispid == kLineUpdate && e.Int(4) == state;
        return n;
    }

    TestHost hostC_{loop_};
    std::unique_ptr<SipEngine> c_;
};

TEST_F(ThreePhones, BlindTransfer) {
    Connect();
    ASSERT_EQ(Op(*a_, bus::kTransfer, {Dest(3)}), "");
    // B is referred to C, C answers, and A's call ends as transferred.
    ASSERT_TRUE(Until([&] { return hostA_.LastState() == kTsIdle && hostC_.LastState() == kTsConnected; }))
        << hostA_.States() << " / " << hostC_.States();
    EXPECT_EQ(hostA_.States(), "3 5 8 10 0");  // held while the REFER goes out
    EXPECT_EQ(hostC_.Last(kIncomingCall)->Text(2), "1002");
    EXPECT_EQ(Op(*a_, bus::kEndCall), "no active call");
}

TEST_F(ThreePhones, ForwardingSendsEveryCallOnUntilTurnedOff) {
    ASSERT_EQ(Op(*b_, bus::kSoftkey, {std::string("CFwdAll"), int32_t{1}, int32_t{0}}), "");
    ASSERT_EQ(Op(*a_, bus::kMakeCall, {Dest(2)}), "");
    // A follows B's 302 to C; B shows nothing of the call.
    ASSERT_TRUE(Until([&] { return hostC_.LastState() == kTsConnected; })) << hostC_.States();
    EXPECT_EQ(hostC_.Last(kIncomingCall)->Text(2), "1001");
    EXPECT_EQ(hostB_.States(), "");
    EXPECT_FALSE(hostB_.Has(kIncomingCall));
    ASSERT_EQ(Op(*a_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostC_.LastState() == kTsIdle; }));
    ASSERT_EQ(Op(*b_, bus::kSoftkey, {std::string("cfwdall"), int32_t{1}, int32_t{0}}), "");
    Connect();
}

TEST_F(ThreePhones, AttendedTransfer) {
    Connect();
    ASSERT_EQ(Op(*a_, bus::kTransferInitiate, {Dest(3)}), "");
    EXPECT_EQ(Op(*a_, bus::kConferenceInitiate, {std::string("1004")}),
              "transfer or conference already in progress");
    // At once, while the hold may still await its answer: the transfer waits for it.
    ASSERT_TRUE(Until([&] { return Count(hostA_, kTsConnected) == 2; }));
    ASSERT_EQ(Op(*a_, bus::kTransferComplete), "");
    // Both of A's calls end as transferred; B talks to C.
    ASSERT_TRUE(Until([&] { return Count(hostA_, kTsIdle) == 2 && hostB_.LastState() == kTsConnected; }, 8s))
        << hostA_.States() << " / " << hostB_.States() << " / " << hostC_.States();
    EXPECT_EQ(Count(hostA_, kTsCallTransfer), 2);
    EXPECT_EQ(Op(*a_, bus::kTransferComplete), "no transfer in progress");
}

TEST_F(ThreePhones, ConferenceSurvivesAPartyLeavingAndTheHostEndingIt) {
    Connect();
    ASSERT_EQ(Op(*a_, bus::kConferenceInitiate, {Dest(3)}), "");
    ASSERT_TRUE(Until([&] { return Count(hostA_, kTsConnected) == 2 && hostC_.LastState() == kTsConnected; }))
        << hostA_.States() << " / " << hostC_.States();
    ASSERT_EQ(Op(*a_, bus::kConferenceComplete), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsConnected; }));
    const Event* joined = hostA_.Last(kLineUpdate);
    EXPECT_EQ(joined->Text(5), "Conference");
    loop_.RunFor(1s);
    // Each party hears the others: both receive RTP from A's mix.
    for (SipEngine* far : {b_.get(), c_.get()}) {
        TestHost& host = far == b_.get() ? hostB_ : hostC_;
        ASSERT_EQ(Op(*far, bus::kCallStats), "");
        EXPECT_GT(host.Last(kCallStatsUpdate)->Int(6), 20);
    }
    // B leaves: A goes on with C alone.
    ASSERT_EQ(Op(*b_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostA_.Has(kPartyHangup); }));
    loop_.RunFor(500ms);
    ASSERT_EQ(hostC_.LastState(), kTsConnected);
    // A ends what is left.
    ASSERT_EQ(Op(*a_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostC_.LastState() == kTsIdle && Count(hostA_, kTsIdle) == 2; }))
        << hostA_.States() << " / " << hostC_.States();
    EXPECT_TRUE(a_->Running());
}

TEST_F(ThreePhones, HostEndsTheWholeConference) {
    Connect();
    ASSERT_EQ(Op(*a_, bus::kConferenceInitiate, {Dest(3)}), "");
    EXPECT_EQ(Op(*a_, bus::kConferenceComplete).empty() ? "" : "early", "early");  // C has not answered yet
    ASSERT_TRUE(Until([&] { return Count(hostA_, kTsConnected) == 2 && hostC_.LastState() == kTsConnected; }))
        << hostA_.States() << " / " << hostC_.States();
    ASSERT_EQ(Op(*a_, bus::kConferenceComplete), "");
    loop_.RunFor(500ms);
    ASSERT_EQ(Op(*a_, bus::kEndCall), "");
    ASSERT_TRUE(Until([&] { return hostB_.LastState() == kTsIdle && hostC_.LastState() == kTsIdle; }))
        << hostA_.States() << " / " << hostB_.States() << " / " << hostC_.States();
    EXPECT_TRUE(hostB_.Has(kPartyHangup));
    EXPECT_TRUE(hostC_.Has(kPartyHangup));
}

}  // namespace
}  // namespace quvo::sip
