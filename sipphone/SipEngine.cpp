#include "SipEngine.h"

#include <bctoolbox/list.h>
#include <bctoolbox/logging.h>
#include <fcntl.h>
#include <linphone/api/c-call-stats.h>
#include <linphone/core.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <linphone++/linphone.hh>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "CoreWait.h"
#include "DatagramGuard.h"
#include "Media.h"
#include "MessageScreen.h"
#include "NullSoundCard.h"
#include "platform/posix/Files.h"

namespace quvo::sip {
namespace {

using State = linphone::Call::State;
using namespace std::chrono_literals;

// The core runs when one of its sockets is readable, when its next timer is due (see
// CoreWait.h) and after each operation. While a call exists it also runs every kBusyBeat,
// for what the media threads report (ICE, statistics, received DTMF) and the calls' own
// clocks (their time-outs), which the library keeps in its run rather than in timers; idle,
// at least every kIdleLimit, for what it checks in its run (each run costs about 1 ms of
// CPU: once a second that is 0.1 % of a core). Where the waits cannot be learnt it runs by
// a beat alone: kBusyBeat, and kIdleBeat idle.
constexpr auto kBusyBeat = 20ms;
constexpr auto kIdleLimit = 5000ms;
constexpr auto kIdleBeat = 250ms;
// Readiness that does not go away (a socket the library leaves unread) must not spin the
// loop: after this many wakes in a row, each within kReadyStreakGap of the last, the core
// runs by the beat for one round.
constexpr int kReadyStreakLimit = 100;
constexpr auto kReadyStreakGap = 2ms;
// How many waiting datagrams one beat takes at most, and for how long.
constexpr int kBacklogDatagrams = 512;
constexpr auto kBacklogTime = 100ms;
// How often a lost registration is tried again (see RefusedRetryDelay for a refused one).
constexpr auto kRegisterRetry = 2s;
constexpr std::chrono::milliseconds kRefusedRetry = 60s;
constexpr std::chrono::milliseconds kRefusedRetryMax = 600s;
// Expiry of the registration: short over UDP, where only a failed refresh shows the loss.
constexpr int kUdpExpirySeconds = 30;
constexpr int kTcpExpirySeconds = 600;
// How long a transfer or conference waits for the held call's hold to be acknowledged: less
// than the console waits for a reply (5 s).
constexpr auto kHoldWait = 4s;
// How long a blind transfer's leg may wait for the far end to report on the transfer (its
// NOTIFYs can be lost: one that overtakes the 202 to the REFER is turned away by the library,
// and the far end may send no other). Then the leg ends all the same.
constexpr auto kTransferReportWait = 10s;

// A transfer that this phone asked for and that has not failed (nor been taken back).
bool TransferUnderWay(State transfer) {
    return transfer == State::OutgoingInit || transfer == State::OutgoingProgress ||
           transfer == State::OutgoingRinging || transfer == State::OutgoingEarlyMedia ||
           transfer == State::Connected;
}

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

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

// ---- listeners ----------------------------------------------------------------------------------

struct SipEngine::Listener : public linphone::CoreListener {
    explicit Listener(SipEngine& engine) : engine(engine) {}
    void onCallStateChanged(const std::shared_ptr<linphone::Core>&,
                            const std::shared_ptr<linphone::Call>& call, linphone::Call::State state,
                            const std::string& message) override {
        engine.OnCallState(call, static_cast<int>(state), message);
    }
    void onAccountRegistrationStateChanged(const std::shared_ptr<linphone::Core>&,
                                           const std::shared_ptr<linphone::Account>&,
                                           linphone::RegistrationState state,
                                           const std::string& message) override {
        engine.OnRegistration(static_cast<int>(state), message);
    }
    void onTransferStateChanged(const std::shared_ptr<linphone::Core>&,
                                const std::shared_ptr<linphone::Call>& call,
                                linphone::Call::State state) override {
        engine.OnTransferState(call, static_cast<int>(state));
    }
    SipEngine& engine;
};

// ---- set-up -------------------------------------------------------------------------------------

SipEngine::SipEngine(server::EngineHost& host, EngineConfig config)
    : host_(host), config_(std::move(config)) {
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

// ---- driving the core ---------------------------------------------------------------------------

void SipEngine::Start() {
    if (!core_) {
        host_.StatusChanged(Status());
        return;
    }
    // Without a registrar there is nothing to lose: the call server counts as reached.
    if (!config_.account.HasRegistrar()) SetCallManager(1);
    Schedule(0ms);
    Changed();
}

void SipEngine::Schedule(std::chrono::milliseconds delay) {
    const uint64_t generation = ++tickGeneration_;
    host_.After(delay, [this, generation] {
        if (generation == tickGeneration_) Tick();
    });
}

void SipEngine::Tick() {
    if (!core_ || stopped_) return;
    ++runs_;
    localRegistrar_.Poll();
    Iterate([this] { core_->iterate(); });
    // The core takes one datagram each time it runs: all that waits at the SIP port is taken
    // now, so that a sender of many keeps no caller waiting (bounded, should they never stop).
    const auto until = std::chrono::steady_clock::now() + kBacklogTime;
    for (int n = 0; n < kBacklogDatagrams && SipPortReadable() && std::chrono::steady_clock::now() < until;
         ++n)
        core_->iterate();
    WatchRegistrar();
    Flush();
    Rest();
}

// Until what wakes the core next: a socket of its main loop or of the phone's own (the local
// registrar, the registrar probe), its next timer, the probe's next round, the beat.
void SipEngine::Rest() {
    const bool busy = !calls_.empty() || core_->getCallsNb() > 0;
    CoreWait wait;
    // With every call settled (in talk or held) the beat wakes the core anyway: its sockets as
    // its run polled them serve, and no step of the main loop of its own is spent on its
    // timers. A call on its way up follows them exactly.
    const bool settled =
        busy && std::all_of(calls_.begin(), calls_.end(), [](const auto& entry) {
            const State s = entry.second.call->getState();
            return s == State::StreamsRunning || s == State::Paused || s == State::PausedByRemote;
        });
    const bool learnt = settled
                            ? LastCoreSockets(wait.fds)
                            : LearnCoreWait(wait, static_cast<int>((busy ? kBusyBeat : kIdleLimit).count()));
    if (readyStreak_ >= kReadyStreakLimit || !learnt) {
        readyStreak_ = 0;
        host_.Watch({}, nullptr);
        Schedule(busy ? kBusyBeat : kIdleBeat);
        return;
    }
    for (int fd : {localRegistrar_.Fd(), probe_.Fd()})
        if (fd >= 0) wait.fds.push_back({fd, POLLIN});
    auto delay = std::chrono::milliseconds(wait.timeoutMs < 0 ? (busy ? kBusyBeat : kIdleLimit).count()
                                                              : wait.timeoutMs);
    if (probe_.IsOpen())
        delay = std::min(delay, std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(
                                                  probe_.Next() - std::chrono::steady_clock::now())));
    Schedule(delay);
    host_.Watch(std::move(wait.fds), [this] {
        const auto now = std::chrono::steady_clock::now();
        readyStreak_ = now - lastReady_ < kReadyStreakGap ? readyStreak_ + 1 : 0;
        ++readyWakes_;
        Tick();
        lastReady_ = std::chrono::steady_clock::now();
    });
}

// What the probe of a UDP registrar finds: gone shows at once; back, the phone registers again.
void SipEngine::WatchRegistrar() {
    if (!probe_.IsOpen() || !account_) return;
    const auto now = std::chrono::steady_clock::now();
    switch (probe_.Poll(now)) {
        case RegistrarProbe::Verdict::Gone:
            if (callManager_ != 0) {
                registration_ = "registrar not answering";
                host_.Note(registration_);
                SetCallManager(0);
                Changed();
            }
            break;
        case RegistrarProbe::Verdict::Alive:
            if (callManager_ == 0 && !refused_ && now - lastRefresh_ >= kRegisterRetry &&
                account_->getState() != linphone::RegistrationState::Progress) {
                lastRefresh_ = now;
                account_->refreshRegister();
            }
            break;
        case RegistrarProbe::Verdict::Unknown: break;
    }
}

// Runs the core for a while on its own (while stopping, when no loop timer fires).
void SipEngine::Drain(std::chrono::milliseconds upTo) {
    const auto end = std::chrono::steady_clock::now() + upTo;
    while (std::chrono::steady_clock::now() < end) {
        localRegistrar_.Poll();
        core_->iterate();
        Flush();
        const bool unregistered = !account_ || account_->getState() != linphone::RegistrationState::Ok;
        if (core_->getCallsNb() == 0 && calls_.empty() && unregistered) break;
        std::this_thread::sleep_for(10ms);
    }
}

void SipEngine::Stop() {
    if (!core_ || stopped_) return;
    stopped_ = true;
    ++tickGeneration_;
    if (waiting_.kind != Pending::None) {
        Waiting waiting = std::move(waiting_);
        waiting_ = Waiting{};
        ++waitGeneration_;
        waiting.reply("the phone is closing");
    }
    // End the calls and take the registration back, giving the far ends a moment to hear it.
    for (auto& [ref, record] : calls_) record.line.endedHere = true;
    core_->terminateAllCalls();
    if (account_) {
        auto params = account_->getParams()->clone();
        params->enableRegister(false);
        account_->setParams(params);
    }
    host_.Watch({}, nullptr);
    Drain(1500ms);
    core_->stop();
    core_->removeListener(listener_);
    calls_.clear();
    core_.reset();
    // The library keeps the password in its configuration (passwd=): it goes with the phone.
    ::unlink(rcPath_.c_str());
    if (nullCard_) CloseNullSoundCardRecording();
}

// ---- events -------------------------------------------------------------------------------------

void SipEngine::Emit(const Emission& e) {
    if (inOperation_) {
        held_.push_back(e);
        return;
    }
    host_.Send(e.dispid, e.args);
}

void SipEngine::Flush() {
    if (inOperation_) return;
    std::vector<Emission> events;
    events.swap(held_);
    for (const Emission& e : events) host_.Send(e.dispid, e.args);
}

void SipEngine::SetCallManager(int32_t status) {
    if (status == callManager_) return;
    callManager_ = status;
    Emit(kCallManagerStatus, {status});
}

void SipEngine::Changed() {
    host_.StatusChanged(Status());
}

std::string SipEngine::Status() const {
    const std::string line = "Line " + config_.account.user + ": ";
    if (!core_) return line + (startError_.empty() ? "stopped" : "not started (" + startError_ + ")");
    std::string status = line;
    if (calls_.empty()) {
        status += offHook_ ? "off hook" : "idle";
    } else {
        bool first = true;
        for (const auto& [ref, record] : calls_) {
            const char* name = server::LineStateText(record.line.state);
            status += (first ? "" : ", ") + record.line.OtherParty() + " (" + (name ? name : "calling") + ")";
            first = false;
        }
    }
    if (config_.account.HasRegistrar()) status += " - " + registration_;
    return status;
}

// ---- core callbacks -----------------------------------------------------------------------------

SipEngine::Record* SipEngine::Find(const std::shared_ptr<linphone::Call>& call) {
    if (!call) return nullptr;
    for (auto& [ref, record] : calls_)
        if (record.call->cPtr() == call->cPtr()) return &record;
    return nullptr;
}

SipEngine::Record* SipEngine::Find(int32_t ref) {
    auto it = calls_.find(ref);
    return it == calls_.end() ? nullptr : &it->second;
}

void SipEngine::OnCallState(const std::shared_ptr<linphone::Call>& call, int rawState,
                            const std::string& message) {
    const auto state = static_cast<State>(rawState);
    Record* record = Find(call);
    if (!record) {
        if (IsOver(state)) return;
        Record fresh;
        fresh.call = call;
        fresh.line.ref = nextRef_++;
        fresh.line.outgoing = call->getDir() == linphone::Call::Dir::Outgoing;
        auto remote = call->getRemoteAddress();
        fresh.line.number = PartyNumber(remote->getUsername(), remote->getDomain());
        fresh.line.callerId = CallerIdentity(remote->getDisplayName(), fresh.line.number);
        record = &(calls_[fresh.line.ref] = fresh);
    }
    const int32_t ref = record->line.ref;
    if (state == State::Error || state == State::End) {
        const auto reason = call->getReason();
        if (state == State::Error && reason != linphone::Reason::Busy && !record->line.endedHere)
            host_.Note("call " + std::to_string(ref) + " to " + record->line.number + " failed: " + message);
    }

    // Do not disturb: a new call is turned away busy before it shows on the line.
    if (IsRingingIn(state) && record->line.state == -1 && dnd_) {
        record->line.state = kTsIdle;
        call->decline(linphone::Reason::Busy);
        return;
    }
    // Forwarding of every call: it is sent on (302) before it shows on the line.
    if (IsRingingIn(state) && record->line.state == -1 && forwardAll_) {
        record->line.state = kTsIdle;
        std::string error;
        auto target = core_->interpretUrl(DestinationUri(config_.account.forwardAll, config_.account, error));
        if (target && call->redirectTo(target) == 0) {
            host_.Note("call from " + record->line.number + " forwarded to " + target->asStringUriOnly());
            return;
        }
        host_.Note("call from " + record->line.number + " could not be forwarded; it rings here");
        record->line.state = -1;
    }
    // A far end that ends the call while it takes a transfer from this phone (a transferee
    // may hang up on the transferor itself once it calls the new party): the call was handed
    // on, not hung up on.
    if (state == State::End && !record->line.transferred && TransferUnderWay(call->getTransferState()))
        record->line.transferred = true;
    for (const Emission& e : quvo::sip::OnCallState(
             record->line, state, call->getReason(), config_.account.user,
             state == State::Error && call->getErrorInfo() ? call->getErrorInfo()->getProtocolCode() : 0))
        Emit(e);

    if (state == State::Paused && record->resumeWhenPaused) {
        record->resumeWhenPaused = false;
        call->resume();
    }
    // The hold that a transfer or conference waits for is over (acknowledged, or not): it
    // goes on, or fails, outside the core's callback.
    if (waiting_.kind != Pending::None && ref == heldRef_ && state != State::Pausing) {
        const uint64_t generation = waitGeneration_;
        host_.After(0ms, [this, generation] { FinishWaiting(generation, ""); });
    }
    if (IsRingingIn(state) && config_.autoAnswer && record->line.state == kTsRingIn) {
        host_.After(config_.autoAnswerDelay, [this, ref] {
            if (Record* r = Find(ref); r && IsRingingIn(r->call->getState())) {
                HoldTalking(r);
                r->call->accept();
                Schedule(0ms);
            }
        });
    }
    if (state == State::Released ||
        (IsOver(state) && record->line.state == kTsIdle && state != State::Error)) {
        // A consultation that ends leaves nothing to complete.
        if (pending_ != Pending::None && (ref == heldRef_ || ref == consultRef_)) pending_ = Pending::None;
        if (state == State::Released) calls_.erase(ref);
    }
    if (state == State::Released) {
        // The conference's last member but one: what is left is an ordinary call again.
        int members = 0;
        Record* last = nullptr;
        for (auto& [r, rec] : calls_)
            if (rec.line.conference) {
                ++members;
                last = &rec;
            }
        if (members == 1) {
            last->line.conference = false;
            const int32_t shown = last->line.state;
            last->line.state = -2;
            Emit(LineUpdate(config_.account.user, last->line.ref, shown, last->line.OtherParty(),
                            last->line.outgoing ? 1 : 0));
            last->line.state = shown;
        }
        if (members == 0) conference_.reset();
    }
    Changed();
}

void SipEngine::OnRegistration(int rawState, const std::string& message) {
    const auto state = static_cast<linphone::RegistrationState>(rawState);
    if (!config_.account.HasRegistrar()) {
        // The phone's own registrar: nothing that the call server status should show.
        if (state == linphone::RegistrationState::Failed) host_.Note("local registration failed: " + message);
        return;
    }
    switch (state) {
        case linphone::RegistrationState::Ok:
            registration_ = "registered";
            SetCallManager(1);
            break;
        case linphone::RegistrationState::Failed: {
            const auto info = account_ ? account_->getErrorInfo() : nullptr;
            const int code = info ? info->getProtocolCode() : 0;
            const auto reason = account_ ? account_->getError() : linphone::Reason::None;
            refused_ = code == 401 || code == 403 || code == 407 ||
                       reason == linphone::Reason::Unauthorized || reason == linphone::Reason::Forbidden;
            registration_ = "registration failed (" +
                            (code > 0 ? std::to_string(code) + " " : std::string()) + message + ")";
            if (refused_) {
                ++refusals_;
                const std::string phrase = info ? info->getPhrase() : "";
                const char* why = phrase == kRegisterRedirectRefused
                                      ? "; the registrar sends the registration to another host, which the "
                                        "phone does not follow"
                                  : phrase.rfind(kChallengeUnanswerable, 0) == 0
                                      ? "; the registrar asks for a digest algorithm the phone cannot answer"
                                      : "; the registrar refuses these credentials";
                registration_ +=
                    why + (", next try in " + std::to_string(RetryDelay().count() / 1000) + " s");
            }
            if (callManager_ != 0 || refused_) Say(registration_);  // once, but for each refusal
            SetCallManager(0);
            break;
        }
        case linphone::RegistrationState::Cleared:
        case linphone::RegistrationState::None:
            registration_ = "not registered";
            if (!stopped_) SetCallManager(0);
            break;
        default: return;  // Progress, Refreshing
    }
    if (state == linphone::RegistrationState::Ok) refusals_ = 0, refused_ = false;
    // A lost registration is tried again soon, so that a registrar that comes back is found
    // within seconds (the library's own retry waits a minute); one that refuses the
    // credentials is asked again ever more rarely.
    if (state == linphone::RegistrationState::Failed && !stopped_) {
        const uint64_t generation = ++retryGeneration_;
        host_.After(RetryDelay(), [this, generation] { RetryRegistration(generation); });
    }
    Changed();
}

std::chrono::milliseconds RefusedRetryDelay(int refusals) {
    auto delay = kRefusedRetry;
    for (int n = 1; n < refusals && delay < kRefusedRetryMax; ++n) delay *= 2;
    return std::min(delay, kRefusedRetryMax);
}

std::chrono::milliseconds SipEngine::RetryDelay() const {
    return refused_ ? RefusedRetryDelay(refusals_) : kRegisterRetry;
}

void SipEngine::RetryRegistration(uint64_t generation) {
    if (generation != retryGeneration_ || stopped_ || !account_) return;
    if (account_->getState() == linphone::RegistrationState::Ok) return;
    if (account_->getState() != linphone::RegistrationState::Progress) account_->refreshRegister();
    Schedule(0ms);
    // Not answered at all: the registration never fails, so the next try is set here.
    if (!refused_) host_.After(kRegisterRetry, [this, generation] { RetryRegistration(generation); });
}

void SipEngine::Say(const std::string& text) {
    host_.Note(text);
    bctbx_log("quvo-sipphone", BCTBX_LOG_WARNING, "%s", text.c_str());
}

void SipEngine::OnTransferState(const std::shared_ptr<linphone::Call>& call, int rawState) {
    const auto state = static_cast<State>(rawState);
    Record* record = Find(call);
    if (!record) return;
    if (TransferUnderWay(state) && state != State::OutgoingInit) {
        // The far end took the transfer and is calling the new party: this phone's leg ends.
        record->line.transferred = true;
        record->line.endedHere = true;
        if (!IsOver(call->getState())) call->terminate();
    } else if (state == State::Error) {
        record->line.transferred = false;
        host_.Note("transfer of call " + std::to_string(record->line.ref) + " failed");
    }
}

// ---- operations ---------------------------------------------------------------------------------

void SipEngine::Call(const bus::Method& method, server::Args args, Reply reply) {
    std::string error;
    inOperation_ = true;
    reply_ = &reply;
    replyTaken_ = false;
    try {
        // Without a core the phone can still be told to go.
        if (!core_ && method.id == bus::MethodId::ExitProgram)
            host_.RequestExit();
        else if (!core_ && method.id != bus::MethodId::SetClientActive)
            throw Failure("SIP phone not running: " + startError_);
        else if (core_)
            Dispatch(method, args);
    } catch (const std::exception& e) {
        error = e.what();
    }
    inOperation_ = false;
    reply_ = nullptr;
    if (!replyTaken_) reply(error);
    Flush();
    Changed();
    // Whatever the operation set going is taken up at once, not at the next beat.
    if (core_ && !stopped_) Schedule(0ms);
}

// A transfer or conference completed while the held call's hold is still on its way: the
// library refuses to refer, or to join, a call in that state. The reply waits for the hold's
// answer (then the operation runs), or fails after kHoldWait. False: nothing to wait for.
bool SipEngine::WaitForHold(const Record& held, Pending kind) {
    if (held.call->getState() != State::Pausing) return false;
    if (!reply_) throw Failure("the held call's hold is not acknowledged");
    waiting_ = Waiting{kind, std::move(*reply_)};
    replyTaken_ = true;
    const uint64_t generation = ++waitGeneration_;
    host_.After(kHoldWait, [this, generation] {
        FinishWaiting(generation, "the held call's hold was not acknowledged");
    });
    return true;
}

void SipEngine::FinishWaiting(uint64_t generation, const std::string& failure) {
    if (generation != waitGeneration_ || waiting_.kind == Pending::None) return;
    Waiting waiting = std::move(waiting_);
    waiting_ = Waiting{};
    ++waitGeneration_;
    std::string error = failure;
    if (error.empty() && (!core_ || stopped_)) error = "the phone is closing";
    if (error.empty()) {
        inOperation_ = true;
        try {
            if (waiting.kind == Pending::Transfer)
                TransferComplete();
            else
                ConferenceComplete();
        } catch (const std::exception& e) {
            error = e.what();
        }
        inOperation_ = false;
    }
    if (!error.empty()) host_.Note("call " + std::to_string(heldRef_) + ": " + error);
    waiting.reply(error);
    Flush();
    Changed();
    if (core_ && !stopped_) Schedule(0ms);
}

namespace {
int32_t IntArg(const server::Args& args, size_t i) {
    return i < args.size() && std::holds_alternative<int32_t>(args[i]) ? std::get<int32_t>(args[i]) : 0;
}
std::string TextArg(const server::Args& args, size_t i) {
    return i < args.size() && std::holds_alternative<std::string>(args[i]) ? std::get<std::string>(args[i])
                                                                           : "";
}
constexpr const char* kNoAgent = "this softphone has no contact-centre agent";
}  // namespace

void SipEngine::Dispatch(const bus::Method& method, const server::Args& args) {
    using Op = bus::MethodId;
    switch (method.id) {
        case Op::SetClientActive:
            if (IntArg(args, 0) != 0) {
                // A new client subscribes to the events right after it activates: tell it about
                // the call server a moment later.
                host_.After(300ms, [this] {
                    if (callManager_ >= 0) host_.Send(kCallManagerStatus, {callManager_});
                });
            }
            break;
        case Op::Answer: Answer(IntArg(args, 0)); break;
        case Op::EndCall: EndCall(); break;
        case Op::Hold: Hold(); break;
        case Op::MakeCall: MakeCall(TextArg(args, 0)); break;
        case Op::OffHook: OffHook(); break;
        case Op::OnHook: OnHook(); break;
        case Op::Resume: Resume(IntArg(args, 0)); break;
        case Op::SendDtmf: SendDtmf(TextArg(args, 0)); break;
        case Op::Transfer: Transfer(TextArg(args, 0)); break;
        case Op::ExitProgram:
            host_.After(0ms, [this] {
                Stop();
                host_.RequestExit();
            });
            break;
        case Op::MicVolumeUp: Gain(true, 1); break;
        case Op::MicVolumeDown: Gain(true, -1); break;
        case Op::SpkrVolumeUp: Gain(false, 1); break;
        case Op::SpkrVolumeDown: Gain(false, -1); break;
        case Op::SetMute: SetMute(IntArg(args, 0) != 0); break;
        case Op::Messages:
            if (config_.account.voicemail.empty()) throw Failure("no voicemail number (sVoicemail) is set");
            MakeCall(config_.account.voicemail);
            break;
        case Op::Snapshot: Snapshot(); break;
        case Op::TransferInitiate: StartConsultation(TextArg(args, 0), Pending::Transfer); break;
        case Op::TransferComplete: TransferComplete(); break;
        case Op::ConferenceInitiate: StartConsultation(TextArg(args, 0), Pending::Conference); break;
        case Op::ConferenceComplete: ConferenceComplete(); break;
        case Op::IPCCLogin:
        case Op::IPCCLogout:
        case Op::IPCCSetState:
        case Op::IPCCNotReadyReasons:
        case Op::IPCCLogoutReasons: throw Failure(kNoAgent);
        case Op::Softkey: Softkey(TextArg(args, 0), IntArg(args, 1), IntArg(args, 2)); break;
        case Op::CallStats: CallStats(); break;
    }
}

// The call that EndCall, OnHook and CallStats act on, as the simulated phone picks it: the
// newest call in talk, else the newest one being placed, else the newest held one; a call
// ringing in only when there is no other (a waiting call is answered or declined, never
// hung up in place of the call in talk).
SipEngine::Record* SipEngine::Active() {
    auto rank = [](State s) {
        if (IsTalking(s)) return 3;
        if (IsHeld(s)) return 1;
        if (IsRingingIn(s)) return 0;
        return 2;  // dialling, ringing out
    };
    Record* best = nullptr;
    int bestRank = -1;
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
        const State s = it->second.call->getState();
        if (IsOver(s)) continue;
        if (rank(s) > bestRank) {
            best = &it->second;
            bestRank = rank(s);
        }
    }
    return best;
}

SipEngine::Record* SipEngine::Latest(bool (*test)(int)) {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if (test(static_cast<int>(it->second.call->getState()))) return &it->second;
    return nullptr;
}

namespace {
bool Talking(int s) {
    return IsTalking(static_cast<State>(s));
}
bool Held(int s) {
    const auto state = static_cast<State>(s);
    return state == State::Paused || state == State::Pausing;
}
bool RingingIn(int s) {
    return IsRingingIn(static_cast<State>(s));
}
}  // namespace

// Puts every talking call on hold (but a conference member: the conference stays).
void SipEngine::HoldTalking(const Record* except) {
    for (auto& [ref, record] : calls_) {
        if (&record == except || record.line.conference) continue;
        if (IsTalking(record.call->getState())) record.call->pause();
    }
}

std::shared_ptr<linphone::Call> SipEngine::Dial(const std::string& destination) {
    if (config_.account.HasRegistrar() && !account_) throw Failure("no SIP account (" + registration_ + ")");
    std::string error;
    const std::string uri = DestinationUri(destination, config_.account, error);
    if (uri.empty()) throw Failure(error);
    // A secure destination goes out secure or not at all.
    if (Lower(uri).rfind("sips:", 0) == 0 && !config_.account.ProxyUsesTls())
        throw Failure(
            "a sips: destination needs TLS, and no account uses it (sSipProxy with ;transport=tls): "
            "the call is not placed in clear");
    auto address = core_->interpretUrl(uri);
    if (!address) throw Failure("'" + destination + "' is not a SIP destination");
    auto params = core_->createCallParams(nullptr);
    params->enableVideo(false);
    OfferOptionalSrtp(params);
    // To free the sound for a new call the library holds "the current call", and refuses the
    // new one when that cannot be held: a call ringing in. The phone holds its calls itself
    // (HoldTalking), so while a call rings in the library is told that the sound is shared.
    const bool ringingIn = Latest(RingingIn) != nullptr;
    if (ringingIn) core_->setMediaResourceMode(linphone::MediaResourceMode::SharedMediaResources);
    auto call = core_->inviteAddressWithParams(address, params);
    if (ringingIn) core_->setMediaResourceMode(linphone::MediaResourceMode::ExclusiveMediaResources);
    if (!call || IsOver(call->getState())) throw Failure("call to " + uri + " could not be placed");
    lastDialled_ = destination;
    offHook_ = false;
    return call;
}

void SipEngine::Hangup(Record& record) {
    record.line.endedHere = true;
    if (record.call->terminate() != 0) throw Failure("the call could not be ended");
}

void SipEngine::Answer(int32_t ref) {
    Record* record = ref != 0 ? Find(ref) : Latest(RingingIn);
    if (!record || !IsRingingIn(record->call->getState())) throw Failure("no such call");
    HoldTalking(record);
    auto params = core_->createCallParams(record->call);
    params->enableVideo(false);
    if (record->call->acceptWithParams(params) != 0) throw Failure("the call could not be answered");
}

void SipEngine::EndCall() {
    Record* record = Active();
    if (!record) throw Failure("no active call");
    if (record->line.conference) {
        EndConference();
        return;
    }
    Hangup(*record);
}

void SipEngine::EndConference() {
    for (auto& [ref, record] : calls_)
        if (record.line.conference) record.line.endedHere = true;
    for (auto& [ref, record] : calls_)
        if (record.line.conference && !IsOver(record.call->getState())) record.call->terminate();
}

void SipEngine::Hold() {
    Record* record = Latest(Talking);
    if (!record) throw Failure("no connected call");
    if (record->call->pause() != 0) throw Failure("the call could not be held");
}

void SipEngine::Resume(int32_t ref) {
    Record* record = ref == 0 ? Latest(Held) : Find(ref);
    if (!record) throw Failure(ref == 0 ? "no held call" : "no such call");
    const State state = record->call->getState();
    if (state != State::Paused && state != State::Pausing) throw Failure("call not on hold");
    HoldTalking(record);
    if (state == State::Pausing)
        record->resumeWhenPaused = true;
    else if (record->call->resume() != 0)
        throw Failure("the call could not be resumed");
    if (pending_ != Pending::None && record->line.ref == heldRef_) pending_ = Pending::None;
}

void SipEngine::MakeCall(const std::string& destination) {
    std::string error;
    if (DestinationUri(destination, config_.account, error).empty()) throw Failure(error);
    HoldTalking(nullptr);
    Dial(destination);
}

void SipEngine::OffHook() {
    offHook_ = true;
    Emit(LineUpdate(config_.account.user, 0, kTsOffHook, "", 1));
}

void SipEngine::OnHook() {
    offHook_ = false;
    Record* record = Active();
    const bool ends = record && !IsHeld(record->call->getState()) && !IsRingingIn(record->call->getState());
    Emit(LineUpdate(config_.account.user, ends ? record->line.ref : 0, kTsOnHook,
                    ends ? record->line.OtherParty() : "", ends && !record->line.outgoing ? 0 : 1));
    if (!ends) return;
    if (record->line.conference)
        EndConference();
    else
        Hangup(*record);
}

void SipEngine::SendDtmf(const std::string& keys) {
    if (keys.empty()) throw Failure("no key");
    for (char c : keys)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '*' && c != '#' &&
            std::string_view("ABCDabcd").find(c) == std::string_view::npos)
            throw Failure(std::string("'") + c + "' is not a DTMF key");
    Record* record = Latest(Talking);
    if (!record) throw Failure("no connected call");
    std::string upper = keys;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto status = upper.size() == 1 ? record->call->sendDtmf(upper[0]) : record->call->sendDtmfs(upper);
    if (status != 0) throw Failure("the keys could not be sent");
}

void SipEngine::Transfer(const std::string& destination) {
    std::string error;
    const std::string uri = DestinationUri(destination, config_.account, error);
    if (uri.empty()) throw Failure(error);
    Record* record = Latest(Talking);
    if (!record) record = Latest(Held);
    if (!record) throw Failure("no connected call");
    auto address = core_->interpretUrl(uri);
    if (!address) throw Failure("'" + destination + "' is not a SIP destination");
    if (record->call->transferTo(address) != 0) throw Failure("transfer rejected");
    // The far end reports on the transfer in NOTIFYs, which end this leg (OnTransferState).
    // Should none arrive, the leg is not left hanging: unless the transfer failed, it ends.
    const int32_t ref = record->line.ref;
    host_.After(kTransferReportWait, [this, ref] {
        Record* r = Find(ref);
        if (!r || stopped_ || IsOver(r->call->getState())) return;
        if (!TransferUnderWay(r->call->getTransferState())) return;
        host_.Note("call " + std::to_string(ref) + ": no report on its transfer; the call ends");
        r->line.transferred = true;
        r->line.endedHere = true;
        r->call->terminate();
        Schedule(0ms);
    });
}

void SipEngine::StartConsultation(const std::string& destination, Pending kind) {
    if (pending_ != Pending::None) throw Failure("transfer or conference already in progress");
    std::string error;
    if (DestinationUri(destination, config_.account, error).empty()) throw Failure(error);
    Record* connected = Latest(Talking);
    if (!connected) throw Failure("no connected call");
    const int32_t held = connected->line.ref;
    if (!connected->line.conference) connected->call->pause();
    auto call = Dial(destination);
    pending_ = kind;
    heldRef_ = held;
    // The consultation call's record appears with its first state, which the core reports
    // while placing it.
    Record* consult = Find(call);
    consultRef_ = consult ? consult->line.ref : 0;
}

void SipEngine::TransferComplete() {
    if (pending_ != Pending::Transfer) throw Failure("no transfer in progress");
    Record* held = Find(heldRef_);
    Record* consult = Find(consultRef_);
    if (!held || !consult || IsOver(held->call->getState()) || IsOver(consult->call->getState()))
        throw Failure("no transfer in progress");
    if (waiting_.kind != Pending::None) throw Failure("the transfer is already under way");
    if (WaitForHold(*held, Pending::Transfer)) return;
    // The held party is referred to the consulted one, replacing this phone's call to it.
    if (held->call->transferToAnother(consult->call) != 0) throw Failure("transfer rejected");
    consult->line.transferred = true;
    consult->line.endedHere = true;
    pending_ = Pending::None;
}

void SipEngine::CancelConsultation() {
    const int32_t held = heldRef_;
    pending_ = Pending::None;
    if (Record* consult = Find(consultRef_); consult && !IsOver(consult->call->getState())) Hangup(*consult);
    if (Record* h = Find(held); h && h->call->getState() == State::Paused) h->call->resume();
}

void SipEngine::Softkey(const std::string& rawName, int32_t line, int32_t ref) {
    (void)line;
    const std::string name = Lower(rawName);
    if (name == "redial") {
        if (lastDialled_.empty()) throw Failure("nothing to redial");
        MakeCall(lastDialled_);
    } else if (name == "newcall") {
        HoldTalking(nullptr);
        OffHook();
    } else if (name == "hold") {
        Hold();
    } else if (name == "resume") {
        Resume(ref);
    } else if (name == "answer") {
        Answer(ref);
    } else if (name == "endcall") {
        // The call named ends (a call ringing in is declined, 603), else a consultation is
        // taken back, else the active call ends.
        if (ref > 0) {
            Record* r = Find(ref);
            if (!r || IsOver(r->call->getState())) throw Failure("no such call");
            if (IsRingingIn(r->call->getState())) {
                r->line.endedHere = true;
                if (r->call->decline(linphone::Reason::Declined) != 0)
                    throw Failure("the call could not be declined");
            } else if (r->line.conference) {
                EndConference();
            } else {
                if (pending_ != Pending::None && (ref == consultRef_ || ref == heldRef_))
                    pending_ = Pending::None;
                Hangup(*r);
            }
        } else if (pending_ != Pending::None) {
            CancelConsultation();
        } else {
            EndCall();
        }
    } else if (name == "transfer") {
        if (pending_ == Pending::Transfer) {
            TransferComplete();
        } else {
            throw Failure("no transfer in progress (TransferInitiate first)");
        }
    } else if (name == "conference" || name == "join") {
        if (pending_ == Pending::Conference || pending_ == Pending::Transfer) {
            pending_ = Pending::Conference;
            ConferenceComplete();
        } else {
            throw Failure("no second call to join");
        }
    } else if (name == "dnd") {
        dnd_ = !dnd_;
        host_.Note(std::string("do not disturb ") + (dnd_ ? "on" : "off"));
    } else if (name == "cfwdall") {
        if (config_.account.forwardAll.empty())
            throw Failure("no forwarding destination is set (sSipForwardAll): calls cannot be forwarded");
        forwardAll_ = !forwardAll_;
        host_.Note(forwardAll_ ? "forward all calls on, to " + config_.account.forwardAll
                               : "forward all calls off");
    } else if (name == "mute") {
        SetMute(!muted_);
    } else {
        throw Failure("this softphone has no softkey '" + rawName + "'");
    }
}

// The library's gain value acts twice over on the signal (-6 set: -12 dB heard), so each
// step sets half of what is meant.
void SipEngine::Gain(bool microphone, int steps) {
    float& gain = microphone ? micGainDb_ : speakerGainDb_;
    gain = std::clamp(gain + steps * kGainStepDb, kGainMinDb, kGainMaxDb);
    if (microphone)
        core_->setMicGainDb(gain / 2);
    else
        core_->setPlaybackGainDb(gain / 2);
}

void SipEngine::SetMute(bool muted) {
    muted_ = muted;
    core_->enableMic(!muted);
}

// The interarrival jitter of what this phone receives (RFC 3550 6.4.1), in whole
// milliseconds: the library gives it in seconds, as of the last report the phone sent.
int32_t JitterMs(const linphone::CallStats& stats) {
    return static_cast<int32_t>(std::lround(stats.getSenderInterarrivalJitter() * 1000.0f));
}

void SipEngine::CallStats() {
    Record* record = Active();
    if (!record) {
        Emit(kCallStatsUpdate, {int32_t{0}, std::string(), config_.account.user, std::string(), int32_t{0},
                                int32_t{0}, int32_t{0}, int32_t{0}, int32_t{0}, int32_t{0}});
        return;
    }
    auto& call = record->call;
    std::string codec;
    if (auto params = call->getCurrentParams())
        if (auto pt = params->getUsedAudioPayloadType())
            codec = pt->getMimeType() + "/" + std::to_string(pt->getClockRate());
    int32_t sent = 0, received = 0, lost = 0, discarded = 0, jitter = 0;
    if (auto stats = call->getAudioStats()) {
        if (const rtp_stats_t* rtp = linphone_call_stats_get_rtp_stats(stats->cPtr())) {
            sent = static_cast<int32_t>(rtp->packet_sent);
            received = static_cast<int32_t>(rtp->packet_recv);
            lost = static_cast<int32_t>(std::max<int64_t>(rtp->cum_packet_loss, 0));
            discarded = static_cast<int32_t>(rtp->discarded + rtp->outoftime);
        }
        jitter = JitterMs(*stats);
    }
    Emit(kCallStatsUpdate,
         {record->line.ref, codec, config_.account.user, record->line.OtherParty(),
          static_cast<int32_t>(call->getDuration()), sent, received, lost, discarded, jitter});
}

}  // namespace quvo::sip
