// The diagnostic snapshot: what the phone knows of its account, registration, calls and
// sound devices, in a new file of the phone's state folder. No password goes in.
#include <fcntl.h>
#include <linphone/api/c-call-stats.h>
#include <linphone/core.h>
#include <unistd.h>

#include <ctime>
#include <linphone++/linphone.hh>
#include <sstream>
#include <stdexcept>

#include "SipEngine.h"

namespace quvo::sip {
namespace {

const char* StateName(linphone::Call::State s) {
    using S = linphone::Call::State;
    switch (s) {
        case S::Idle: return "Idle";
        case S::IncomingReceived: return "IncomingReceived";
        case S::PushIncomingReceived: return "PushIncomingReceived";
        case S::OutgoingInit: return "OutgoingInit";
        case S::OutgoingProgress: return "OutgoingProgress";
        case S::OutgoingRinging: return "OutgoingRinging";
        case S::OutgoingEarlyMedia: return "OutgoingEarlyMedia";
        case S::Connected: return "Connected";
        case S::StreamsRunning: return "StreamsRunning";
        case S::Pausing: return "Pausing";
        case S::Paused: return "Paused";
        case S::Resuming: return "Resuming";
        case S::Referred: return "Referred";
        case S::Error: return "Error";
        case S::End: return "End";
        case S::PausedByRemote: return "PausedByRemote";
        case S::UpdatedByRemote: return "UpdatedByRemote";
        case S::IncomingEarlyMedia: return "IncomingEarlyMedia";
        case S::Updating: return "Updating";
        case S::Released: return "Released";
        case S::EarlyUpdatedByRemote: return "EarlyUpdatedByRemote";
        case S::EarlyUpdating: return "EarlyUpdating";
    }
    return "?";
}

// Whether a call's media is encrypted, and how.
const char* EncryptionName(linphone::MediaEncryption encryption) {
    switch (encryption) {
        case linphone::MediaEncryption::None: return "none (in clear)";
        case linphone::MediaEncryption::SRTP: return "srtp (SDES)";
        case linphone::MediaEncryption::ZRTP: return "zrtp";
        case linphone::MediaEncryption::DTLS: return "dtls (DTLS-SRTP)";
    }
    return "?";
}

}  // namespace

void SipEngine::Snapshot() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);

    const SipAccount& a = config_.account;
    std::ostringstream out;
    out << "quvo-sipphone snapshot " << stamp << " UTC\n"
        << "\n[account]\n"
        << "user=" << a.user << "\ndomain=" << a.Domain()
        << "\nproxy=" << (a.proxy.empty() ? "(none)" : a.proxy) << "\nlisten=" << a.listenHost << ":"
        << a.listenPort << "\ncontact=" << a.ContactUri() << "\nauth_user=" << a.AuthUser()
        << "\npassword=" << (a.password.empty() ? "(none)" : "(set)") << "\nca_file=" << a.caFile
        << "\nmedia_encryption=" << a.mediaEncryption
        << (a.mediaEncryptionMandatory ? " (mandatory)" : " (offered)")
        << "\nvoicemail=" << (a.voicemail.empty() ? "(none)" : a.voicemail) << "\n"
        << "stun=" << (a.stunHost.empty() ? "(none)" : a.stunHost + ":" + std::to_string(a.stunPort))
        << "\nice=" << (a.ice ? "yes" : "no")
        << "\nturn_user=" << (a.turnUser.empty() ? "(none)" : a.turnUser) << "\n"
        << "\n[registration]\nstate=" << registration_ << "\ncall_manager_status=" << callManager_ << "\n"
        << "\n[audio]\ndevice=" << audioDevice_ << "\nnull_card=" << (nullCard_ ? "yes" : "no");
    if (nullCard_) out << "\ntone_hz=" << config_.toneHz << "\nrecord=" << config_.recordPath;
    out << "\nmuted=" << (muted_ ? "yes" : "no") << "\nmic_gain_db=" << micGainDb_
        << "\nspeaker_gain_db=" << speakerGainDb_ << "\ndo_not_disturb=" << (dnd_ ? "yes" : "no")
        << "\nforward_all=" << (forwardAll_ ? "on" : "off")
        << "\nforward_all_to=" << (a.forwardAll.empty() ? "(none)" : a.forwardAll)
        << "\ncapture_device=" << core_->getCaptureDevice()
        << "\nplayback_device=" << core_->getPlaybackDevice()
        << "\nringer_device=" << core_->getRingerDevice() << "\ncodecs=";
    const char* comma = "";
    for (const auto& pt : core_->getAudioPayloadTypes())
        if (pt->enabled()) {
            out << comma << pt->getMimeType() << "/" << pt->getClockRate();
            comma = ",";
        }
    out << "\n";
    for (const auto& device : core_->getExtendedAudioDevices())
        out << "device=" << device->getId() << " (" << device->getDriverName() << ", "
            << (device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord) ? "capture" : "")
            << (device->hasCapability(linphone::AudioDevice::Capabilities::CapabilityPlay) ? " playback" : "")
            << ")\n";

    out << "\n[calls]\ncount=" << calls_.size() << "\n";
    for (const auto& [ref, record] : calls_) {
        auto& call = record.call;
        out << "\ncall=" << ref << "\n  other_party=" << record.line.number
            << "\n  caller_id=" << record.line.callerId
            << "\n  direction=" << (record.line.outgoing ? "outgoing" : "incoming")
            << "\n  sip_state=" << StateName(call->getState()) << "\n  line_state=" << record.line.state
            << "\n  conference=" << (record.line.conference ? "yes" : "no")
            << "\n  duration_s=" << call->getDuration();
        if (auto params = call->getCurrentParams()) {
            if (auto pt = params->getUsedAudioPayloadType())
                out << "\n  codec=" << pt->getMimeType() << "/" << pt->getClockRate();
            out << "\n  media_encryption=" << EncryptionName(params->getMediaEncryption());
        }
        if (auto stats = call->getAudioStats()) {
            if (const rtp_stats_t* rtp = linphone_call_stats_get_rtp_stats(stats->cPtr()))
                out << "\n  rtp_sent=" << rtp->packet_sent << "\n  rtp_received=" << rtp->packet_recv
                    << "\n  rtp_lost=" << rtp->cum_packet_loss << "\n  rtp_discarded=" << rtp->discarded
                    << "\n  rtp_late=" << rtp->outoftime << "\n  rtp_foreign=" << ForeignMediaPackets(ref);
            out << "\n  jitter_ms=" << JitterMs(*stats) << "\n  round_trip_s=" << stats->getRoundTripDelay()
                << "\n  download_kbit_s=" << stats->getDownloadBandwidth()
                << "\n  upload_kbit_s=" << stats->getUploadBandwidth();
        }
        out << "\n";
    }

    const std::string text = out.str();
    for (int n = 0; n < 100; ++n) {
        std::string path = config_.stateDir + "/snapshot-" + stamp;
        if (n > 0) {
            path += '-';
            path += std::to_string(n);
        }
        path += ".txt";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        if (!ok) break;
        host_.Note("snapshot written to " + path);
        return;
    }
    throw std::runtime_error("the snapshot could not be written in " + config_.stateDir);
}

}  // namespace quvo::sip
