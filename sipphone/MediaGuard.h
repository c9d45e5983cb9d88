// A guard in front of each call's RTP and RTCP sockets. The media library takes packets
// from any sender: a third host's RTP counts in the call's statistics and may reach the
// speaker, and with symmetric RTP the phone's own audio may be re-aimed at that host. So
// a call's media is taken only from the hosts its far end gave (the SDP's addresses, or
// the pair that ICE selected) and from the phone's own STUN/TURN server; whatever else
// arrives is dropped before the library reads it, and counted. A far end on this machine
// may also send from the machine's loopback address (its socket bound to every address).
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace linphone {
class Call;
}

namespace quvo::sip {

// A host's address, without the port: the far end may send from another port than the
// SDP gives (RTCP, a NAT's new mapping), but not from another host.
struct MediaHost {
    int family = 0;  // AF_INET or AF_INET6
    std::array<unsigned char, 16> bytes{};
    bool operator==(const MediaHost&) const = default;
};
// The host of a socket address (an IPv4-mapped IPv6 address as IPv4); none for another family.
std::optional<MediaHost> HostOf(const sockaddr* address, socklen_t length);
// Whether a host's address is one that is only reachable on a private network (RFC 1918,
// RFC 6598, link-local, unique local), which a far end behind NAT gives.
bool IsPrivateHost(const MediaHost& host);

// What one media socket accepts.
struct MediaPolicy {
    std::vector<MediaHost> hosts;  // the far end's and the phone's servers
    bool stunFromAnyHost = false;  // ICE is running: its checks come from every candidate
    // The far end gave only private addresses and no ICE: it is behind NAT, and its media
    // comes from its NAT's public address. The first host that sends RTP is taken as its
    // (the symmetric RTP that such calls rely on), before any other packet was taken.
    bool latchFirstSender = false;
};

enum class MediaVerdict { Take, TakeAndLatch, Drop };
// Whether a packet from sender may reach the media library; taken: whether one was taken
// on that socket before.
MediaVerdict JudgeMediaPacket(const MediaPolicy& policy, const std::optional<MediaHost>& sender,
                              const unsigned char* data, size_t length, bool taken);

// Arms the guard on a call's sockets (replacing what the call had), keyed by the call's
// reference; every other descriptor is left alone.
void GuardMediaSockets(int32_t callRef, const std::vector<int>& fds, MediaPolicy policy);
void ReleaseMediaSockets(int32_t callRef);
// Packets dropped on a call's sockets.
uint64_t ForeignMediaPackets(int32_t callRef);

// The call's audio sockets and the policy its far end's addresses give, read from the
// media library's session: its remote addresses are the SDP's (or ICE's), since nothing
// foreign reaches the session once the guard is armed. servers: the STUN/TURN server.
// False when the call has no audio session yet.
bool GuardCallMedia(int32_t callRef, linphone::Call& call, const std::vector<MediaHost>& servers);

// The addresses a host name (or address) resolves to, for the servers above.
std::vector<MediaHost> ResolveHosts(const std::string& host);

}  // namespace quvo::sip
