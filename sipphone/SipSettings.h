// The SIP phone's account and addresses, as the softphone's settings file gives them, and
// the small rules that turn what the console says into SIP: a destination into a URI, a
// remote address into the number and name that the events show.
#pragma once

#include <sys/socket.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quvo::sip {

struct SipAccount {
    std::string user = "1001";             // sSipUser
    std::string domain;                    // sSipDomain (a bare IPv6 address bracketed); empty: see Domain()
    std::string proxy;                     // sSipProxy: registrar and outbound proxy; empty: peer to peer
    std::string password;                  // sSipPassword
    std::string authUser;                  // sSipAuthUser: the digest user name; empty: user
    std::string listenHost = "127.0.0.1";  // sSipListen, for SIP and RTP
    int listenPort = 5060;
    std::string voicemail;      // sVoicemail
    bool acceptRefer = false;   // sSipAcceptRefer: a far end may transfer this phone (REFER)
    int keepAliveSeconds = 30;  // sSipKeepAlive: between probes of a registrar over UDP; 0: none
    std::string caFile = "/etc/ssl/certs/ca-certificates.crt";  // sSipCaFile: the CAs TLS trusts
    std::string mediaEncryption = "srtp";   // sSipMediaEncryption: none, srtp (SDES) or dtls
    bool mediaEncryptionMandatory = false;  // sSipMediaEncryptionMandatory: no call in clear
    // Behind NAT: a STUN server (sSipStun, HOST[:PORT], port 3478 by default) whose view of
    // this phone goes into its SDP; ICE (sSipIce); relay candidates from a TURN server at the
    // same address (sSipTurnUser, sSipTurnPassword).
    std::string stunHost;
    int stunPort = 3478;
    bool ice = false;
    std::string turnUser;
    std::string turnPassword;
    // Codec names in order of preference (sSipCodecs: "opus,G722,PCMA"; NAME or NAME/RATE,
    // any case); those not named are off. Empty: the default order (see SipEngine).
    std::vector<std::string> codecs;
    // Sound devices by the names that --list-devices prints; empty: the system's default.
    std::string captureDevice;   // sSipCaptureDevice
    std::string playbackDevice;  // sSipPlaybackDevice
    std::string ringerDevice;    // sSipRingerDevice
    std::string forwardAll;      // sSipForwardAll: where Softkey cfwdall sends every incoming call

    bool HasRegistrar() const { return !proxy.empty(); }
    // Whether the registrar is reached over a stream (TCP, or TLS over it), and over TLS
    // (";transport=tls", or a sips: proxy).
    bool ProxyUsesTcp() const;
    bool ProxyUsesTls() const;
    // The digest user name.
    std::string AuthUser() const { return authUser.empty() ? user : authUser; }
    // The domain that bare numbers are dialled in, as a URI writes it: sSipDomain, else the
    // registrar's host, else the listening address.
    std::string Domain() const;
    // The host of sSipProxy, as a URI writes it (an IPv6 address in brackets); empty without one.
    std::string ProxyHost() const;
    // This phone's own address: sip:USER@LISTENHOST:PORT.
    std::string ContactUri() const;
    std::string IdentityUri() const;
};

// One setting of the settings file by name, or nothing.
using SettingLookup = std::function<std::optional<std::string>(const std::string& name)>;

// Reads the account; false with a one-line reason when a setting is malformed.
bool ReadAccount(const SettingLookup& lookup, SipAccount& account, std::string& error);

// "HOST:PORT", "HOST" (port 5060) or "[V6]:PORT".
bool ParseHostPort(const std::string& text, std::string& host, int& port);

// The URI that a destination of MakeCall, Transfer and the others names: a sip: or sips:
// URI as given, USER@HOST with sip: in front, a bare number or name in the account's
// domain. Empty, with a reason, for what is no destination at all.
std::string DestinationUri(const std::string& destination, const SipAccount& account, std::string& error);

// What the events call the other party: the user part of the address (the number), else
// its host; and the caller identity of IncomingCall: "Name <number>", or the number alone.
std::string PartyNumber(const std::string& user, const std::string& host);
std::string CallerIdentity(const std::string& displayName, const std::string& number);

// The socket address of a numeric IPv4 or IPv6 address and a port; false for anything else.
bool NumericSocketAddress(const std::string& host, int port, sockaddr_storage& storage, socklen_t& length);

// A reason to refuse to start when ADDRESS:PORT of sSipListen is taken (UDP or TCP) or not
// this machine's; empty when the phone can listen there.
std::string ListenProblem(const std::string& host, int port);

// A reason to refuse to start when the settings file holds a password (the setting named;
// empty: none) that others than its owner can read; empty when all is well (or the file
// cannot be looked at).
std::string PasswordFileProblem(const std::string& path, const std::string& passwordSetting);

}  // namespace quvo::sip
