// The SIP engine's set-up: the libraries' log into the phone's own, and the core with its
// account, codecs, NAT traversal and sound, as the settings give them.
#include <bctoolbox/list.h>
#include <bctoolbox/logging.h>
#include <fcntl.h>
#include <linphone/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <linphone++/linphone.hh>
#include <list>
#include <mutex>

#include "Media.h"
#include "MediaGuard.h"
#include "NullSoundCard.h"
#include "SipEngine.h"
#include "SipEngineParts.h"
#include "platform/posix/Files.h"

namespace quvo::sip {
namespace {

// Expiry of the registration: short over UDP, where only a failed refresh shows the loss.
constexpr int kUdpExpirySeconds = 30;
constexpr int kTcpExpirySeconds = 600;

// ---- the library's log, into the phone's own log file ----------------------------------------

// The log is bounded whatever the traffic: past kLogLimit it becomes sip.log.1 (the one
// before that goes) and a new sip.log begins.
constexpr long kLogLimit = 2L << 20;

std::mutex g_logMutex;
FILE* g_log = nullptr;
std::string g_logPath;
bool g_stderrToLog = false;

}  // namespace

// Where a sanitizer build reports (weak: absent from other builds).
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace {

// The SIP parser prints its errors on standard error itself, a few lines for each message
// it cannot read (which any sender can cause): when quiet, standard error is the log. A
// sanitizer's reports still go to the real standard error.
void TakeStandardError() {
    if (!g_stderrToLog || !g_log) return;
    static const int original = [] {
        const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd >= 0 && __sanitizer_set_report_fd)
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
        return fd;
    }();
    (void)original;
    ::dup2(::fileno(g_log), STDERR_FILENO);
}

void LogLine(void*, const char* domain, BctbxLogLevel level, const char* fmt, va_list args) {
    std::lock_guard lock(g_logMutex);
    if (!g_log) return;
    const char* name = level >= BCTBX_LOG_ERROR     ? "error"
                       : level >= BCTBX_LOG_WARNING ? "warning"
                       : level >= BCTBX_LOG_MESSAGE ? "message"
                                                    : "debug";
    std::fprintf(g_log, "%s %s: ", domain ? domain : "-", name);
    std::vfprintf(g_log, fmt, args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
    if (std::ftell(g_log) > kLogLimit) {
        std::fclose(g_log);
        std::rename(g_logPath.c_str(), (g_logPath + ".1").c_str());
        g_log = std::fopen(g_logPath.c_str(), "we");
        TakeStandardError();
    }
}

void OpenLog(const std::string& path, bool quiet) {
    std::lock_guard lock(g_logMutex);
    if (g_log) return;
    g_logPath = path;
    g_log = std::fopen(path.c_str(), "we");
    g_stderrToLog = quiet;
    TakeStandardError();
}

void KeepHandler(bctbx_log_handler_t*) {}

// The libraries print their log on standard output, and liblinphone puts its own handler
// back as the core comes up: after each step, every handler but ours goes.
void RouteLibraryLog() {
    static bctbx_log_handler_t* ours = nullptr;
    std::vector<bctbx_log_handler_t*> others;
    for (bctbx_list_t* it = bctbx_get_log_handlers(); it; it = it->next)
        if (it->data != ours) others.push_back(static_cast<bctbx_log_handler_t*>(it->data));
    for (bctbx_log_handler_t* handler : others) bctbx_remove_log_handler(handler);
    if (!ours) {
        ours = bctbx_create_log_handler(LogLine, KeepHandler, nullptr);
        bctbx_add_log_handler(ours);
    }
    bctbx_set_log_level(nullptr, BCTBX_LOG_MESSAGE);
}

}  // namespace

// ---- set-up -------------------------------------------------------------------------------------

SipEngine::SipEngine(server::EngineHost& host, EngineConfig config)
    : host_(host),
      config_(std::move(config)),
      line_(config_.account.user, *this,
            [this](int32_t dispid, server::Args args) { Emit(dispid, std::move(args)); }) {
    if (!OpenCore(startError_)) {
        core_.reset();
        host_.Note("SIP core not started: " + startError_);
    }
}

SipEngine::~SipEngine() {
    Stop();
}

bool SipEngine::OpenCore(std::string& error) {
    // One core folder per listening address, so that phones sharing a state folder (a far
    // end for tests) keep apart.
    const SipAccount& a = config_.account;
    const std::string dir = config_.stateDir + "/core-" + a.listenHost + "-" + std::to_string(a.listenPort);
    platform::MakeFolders(dir);  // whether it is a folder now is seen below
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "cannot create " + dir;
        return false;
    }
    OpenLog(dir + "/sip.log", config_.quiet);
    RouteLibraryLog();

    // The core's own configuration, written afresh each start: what it keeps between runs
    // (call logs, friends) stays in this folder too, never under $HOME.
    const std::string rc = rcPath_ = dir + "/linphonerc";
    {
        std::ofstream out(rc, std::ios::trunc);
        out << "[sip]\n"
            << "bind_address=" << a.listenHost << "\n"
            << "guess_hostname=0\n"
            << "contact=\"" << a.user << "\" <" << a.ContactUri() << ">\n"
            << "use_ipv6=" << (a.listenHost.find(':') != std::string::npos ? 1 : 0) << "\n"
            << "register_only_when_network_is_up=0\n"
            << "auto_net_state_mon=0\n"
            << "inc_timeout=120\n"
            << "[rtp]\n"
            << "bind_address=" << a.listenHost << "\n"
            << "[sound]\n"
            << "echocancellation=0\n"
            << "[video]\n"
            << "capture=0\ndisplay=0\nautomatically_initiate=0\nautomatically_accept=0\n"
            // Nothing that traffic brings is kept: no message or call database, no call
            // history, no ZRTP secrets (the phone takes no text messages, see MessageScreen.h).
            << "[storage]\n"
            << "uri=null\n"
            << "call_logs_db_uri=null\n"
            << "zrtp_secrets_db_uri=null\n"
            << "[misc]\n"
            << "history_max_size=0\n"
            << "max_call_logs=0\n"
            << "conference_layout=0\n";
        if (!out) {
            error = "cannot write " + rc;
            return false;
        }
    }
    ::chmod(rc.c_str(), 0600);

    auto factory = linphone::Factory::get();
    RouteLibraryLog();
    factory->setConfigDir(dir + "/");
    factory->setDataDir(dir + "/");
    factory->setDownloadDir(dir + "/");
    factory->setSoundResourcesDir("/usr/share/sounds/linphone");
    core_ = factory->createCore(rc, "", nullptr);
    if (!core_) {
        error = "liblinphone could not create its core";
        return false;
    }
    RouteLibraryLog();
    listener_ = std::make_shared<Listener>(*this);
    core_->addListener(listener_);
    core_->setUserAgent("quvo-sipphone", QUVO_SIPPHONE_VERSION);
    core_->enableAutoIterate(false);

    auto transports = factory->createTransports();
    transports->setUdpPort(a.listenPort);
    transports->setTcpPort(a.listenPort);
    // TLS only for an account that uses it (on a port of the system's choosing).
    transports->setTlsPort(a.ProxyUsesTls() ? LC_SIP_TRANSPORT_RANDOM : 0);
    if (core_->setTransports(transports) != 0) {
        error = "cannot listen on " + a.listenHost + ":" + std::to_string(a.listenPort);
        return false;
    }
    // Servers' certificates are verified, names and all, against the CAs of sSipCaFile (the
    // system's store unless set; never the library's own bundle).
    core_->setRootCa(a.caFile);
    core_->verifyServerCertificates(true);
    core_->verifyServerCn(true);
    // SRTP offered (a far end without it still connects), or required.
    core_->setMediaEncryption(a.mediaEncryption == "dtls"   ? linphone::MediaEncryption::DTLS
                              : a.mediaEncryption == "srtp" ? linphone::MediaEncryption::SRTP
                                                            : linphone::MediaEncryption::None);
    core_->setMediaEncryptionMandatory(a.mediaEncryptionMandatory);
    core_->setUseRfc2833ForDtmf(true);
    core_->setUseInfoForDtmf(false);
    core_->enableVideoCapture(false);
    core_->enableVideoDisplay(false);
    core_->setPrimaryContact(a.ContactUri());
    core_->setMaxCalls(8);
    core_->setAudioPort(-1);  // a free port: phones may share an address
    // The listening address's family only (STUN, for one, works over IPv4 alone).
    core_->enableIpv6(a.listenHost.find(':') != std::string::npos);

    if (core_->start() != 0) {
        error = "liblinphone's core did not start";
        return false;
    }
    RouteLibraryLog();
    // With only the loopback interface the core believes the network to be down.
    core_->setNetworkReachable(true);
    if (core_->getTransportsUsed()->getUdpPort() <= 0) {
        error = "cannot listen on " + a.listenHost + ":" + std::to_string(a.listenPort);
        return false;
    }
    if (!SetUpCodecs(error)) return false;
    SetUpAudio();
    SetUpNat();
    SetUpAccount();
    return true;
}

// The codecs in order of preference: sSipCodecs's and no other, or the default order.
bool SipEngine::SetUpCodecs(std::string& error) {
    const std::vector<std::string>& named = config_.account.codecs;
    const bool chosen = !named.empty();
    const auto all = core_->getAudioPayloadTypes();
    std::list<std::shared_ptr<linphone::PayloadType>> ordered;
    auto taken = [&ordered](const std::shared_ptr<linphone::PayloadType>& pt) {
        return std::any_of(ordered.begin(), ordered.end(),
                           [&pt](const auto& o) { return o->cPtr() == pt->cPtr(); });
    };
    for (const std::string& name : chosen ? named : kDefaultCodecOrder) {
        const auto slash = name.find('/');
        const std::string mime = Lower(name.substr(0, slash));
        const int rate = slash == std::string::npos ? 0 : std::atoi(name.c_str() + slash + 1);
        bool found = false;
        for (const auto& pt : all)
            if (Lower(pt->getMimeType()) == mime && (rate == 0 || pt->getClockRate() == rate) && !taken(pt)) {
                pt->enable(true);
                ordered.push_back(pt);
                found = true;
            }
        if (!found && chosen) {
            error = "sSipCodecs names '" + name + "', a codec this phone does not have";
            return false;
        }
    }
    for (const auto& pt : all)
        if (!taken(pt)) {
            if (chosen) pt->enable(false);
            ordered.push_back(pt);
        }
    core_->setAudioPayloadTypes(ordered);
    return true;
}

// Behind NAT: what the STUN server sees of the phone goes into its SDP; with ICE the far
// end also gets the phone's own and (through TURN) relayed addresses to try.
//
// Both go through ICE: what this library does for STUN alone binds a second socket to the
// RTP port after the stream holds it, which fails, and the SDP keeps the private address.
// ICE's gathering asks from the stream's own socket, and the SDP's address and port are its
// default candidate, the server-reflexive one, which a far end without ICE uses as it is.
void SipEngine::SetUpNat() {
    const SipAccount& a = config_.account;
    if (a.stunHost.empty() && !a.ice) return;
    natPolicy_ = core_->createNatPolicy();
    if (!a.stunHost.empty()) {
        const bool v6 = a.stunHost.find(':') != std::string::npos;
        natPolicy_->setStunServer((v6 ? "[" + a.stunHost + "]" : a.stunHost) + ":" +
                                  std::to_string(a.stunPort));
        natPolicy_->enableStun(true);
        mediaServers_ = ResolveHosts(a.stunHost);  // its answers, and relayed media, come from it
    }
    natPolicy_->enableIce(true);
    if (!a.turnUser.empty()) {
        natPolicy_->enableTurn(true);
        natPolicy_->enableUdpTurnTransport(true);
        natPolicy_->setStunServerUsername(a.turnUser);
        core_->addAuthInfo(
            linphone::Factory::get()->createAuthInfo(a.turnUser, a.turnUser, a.turnPassword, "", "", ""));
    }
    core_->setNatPolicy(natPolicy_);
}

// A far end without SRTP answers an offer of RTP/SAVP 488, and the library's second offer
// (RTP/AVP) goes out without waiting for the ICE candidates: with the private address again.
// Behind NAT an optional SRTP is therefore offered as a potential configuration of an
// RTP/AVP offer (RFC 5939), which such a far end simply answers.
void SipEngine::OfferOptionalSrtp(const std::shared_ptr<linphone::CallParams>& params) const {
    const SipAccount& a = config_.account;
    if (!natPolicy_ || a.mediaEncryptionMandatory || a.mediaEncryption == "none") return;
    const auto wanted =
        a.mediaEncryption == "dtls" ? LinphoneMediaEncryptionDTLS : LinphoneMediaEncryptionSRTP;
    params->setMediaEncryption(linphone::MediaEncryption::None);
    params->enableCapabilityNegotiations(true);
    bctbx_list_t* supported =
        bctbx_list_append(nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(wanted)));
    linphone_call_params_set_supported_encryptions(params->cPtr(), supported);
    bctbx_list_free(supported);
}

void SipEngine::SetUpAudio() {
    const SipAccount& a = config_.account;
    std::vector<SoundDevice> devices;
    for (const auto& device : core_->getExtendedAudioDevices())
        devices.push_back({device->getId(), device->getDeviceName(),
                           device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord),
                           device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityPlay)});
    // ALSA's "default" is listed, able to do everything, on machines without any sound
    // hardware: a device counts only under a name of its own.
    const bool haveDevice = std::any_of(devices.begin(), devices.end(), [](const SoundDevice& d) {
        return d.name != "default" && (d.capture || d.playback);
    });
    struct Choice {
        const char* setting;
        const std::string& wanted;
        bool capture;
        linphone::Status (linphone::Core::*use)(const std::string&);
    };
    const Choice choices[] = {
        {"sSipCaptureDevice", a.captureDevice, true, &linphone::Core::setCaptureDevice},
        {"sSipPlaybackDevice", a.playbackDevice, false, &linphone::Core::setPlaybackDevice},
        {"sSipRingerDevice", a.ringerDevice, false, &linphone::Core::setRingerDevice}};
    if (config_.noAudio || !haveDevice) {
        nullCard_ = true;
        audioDevice_ = RegisterNullSoundCard(linphone_core_get_ms_factory(core_->cPtr()),
                                             {config_.toneHz, config_.recordPath});
        core_->reloadSoundDevices();
        core_->setCaptureDevice(audioDevice_);
        core_->setPlaybackDevice(audioDevice_);
        core_->setRingerDevice(audioDevice_);
        core_->setMediaDevice(audioDevice_);
        // Nobody hears the null card ring: no ring or ringback file to open (the library's
        // default ring, a 3.6 MB Matroska file, took most of the time from an INVITE to its
        // IncomingCall), and the recording holds only what the calls bring.
        linphone_core_set_ring(core_->cPtr(), nullptr);
        linphone_core_set_ringback(core_->cPtr(), nullptr);
        for (const Choice& c : choices)
            if (!c.wanted.empty())
                Say(std::string(c.setting) + " '" + c.wanted + "' is not used: " +
                    (config_.noAudio ? "--no-audio" : "this machine has no sound device") +
                    ", the null sound card plays and records");
        return;
    }
    for (const Choice& c : choices) {
        if (c.wanted.empty()) continue;
        const std::string id = FindSoundDevice(devices, c.wanted, c.capture);
        if (id.empty())
            Say(std::string(c.setting) + " '" + c.wanted + "' is no " + (c.capture ? "capture" : "playback") +
                " device here (see quvo-sipphone --list-devices): the default one is used");
        else
            ((*core_).*c.use)(id);
    }
    audioDevice_ = core_->getCaptureDevice();
}

void SipEngine::SetUpAccount() {
    const SipAccount& a = config_.account;
    std::string server_uri = a.proxy;
    if (!a.HasRegistrar()) {
        registration_ = "peer to peer";
        std::string error;
        if (!localRegistrar_.Open(a.listenHost, error)) {
            host_.Note(error + "; conferences may fail");
            return;
        }
        const bool v6 = a.listenHost.find(':') != std::string::npos;
        server_uri = "sip:" + (v6 ? "[" + a.listenHost + "]" : a.listenHost) + ":" +
                     std::to_string(localRegistrar_.Port()) + ";transport=udp";
    }
    auto factory = linphone::Factory::get();
    auto params = core_->createAccountParams();
    auto identity = factory->createAddress(a.IdentityUri());
    auto server = factory->createAddress(server_uri);
    if (!identity || !server) {
        host_.Note("sSipProxy '" + a.proxy + "' or the identity " + a.IdentityUri() +
                   " is not a SIP address");
        registration_ = "bad address";
        return;
    }
    params->setIdentityAddress(identity);
    params->setServerAddress(server);
    params->enableOutboundProxy(a.HasRegistrar());
    params->enableRegister(true);
    if (natPolicy_) params->setNatPolicy(natPolicy_);
    params->setExpires(!a.HasRegistrar() ? 3600 : a.ProxyUsesTcp() ? kTcpExpirySeconds : kUdpExpirySeconds);
    if (!a.password.empty())
        // No realm: the one the server challenges with.
        core_->addAuthInfo(factory->createAuthInfo(a.user, a.AuthUser(), a.password, "", "", a.Domain()));
    if (a.HasRegistrar() && !a.ProxyUsesTcp() && a.keepAliveSeconds > 0) {
        const int port = server->getPort() > 0 ? server->getPort() : 5060;
        if (!probe_.Open(a.listenHost, server->getDomain(), port, std::chrono::seconds(a.keepAliveSeconds)))
            host_.Note("the registrar " + server->getDomain() +
                       " is not a numeric address: its loss shows late");
    }
    account_ = core_->createAccount(params);
    core_->addAccount(account_);
    core_->setDefaultAccount(account_);
    if (a.HasRegistrar()) registration_ = "registering";
}

}  // namespace quvo::sip
