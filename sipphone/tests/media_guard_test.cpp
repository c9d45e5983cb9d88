#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "MediaGuard.h"

namespace quvo::sip {
namespace {

MediaHost Host(const char* text) {
    sockaddr_storage address{};
    socklen_t length = sizeof(sockaddr_in);
    if (std::string_view(text).find(':') != std::string_view::npos) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6.sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto& in = reinterpret_cast<sockaddr_in&>(address);
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in.sin_addr);
    }
    return *HostOf(reinterpret_cast<sockaddr*>(&address), length);
}

const unsigned char kRtp[12] = {0x80, 0x00, 0x00, 0x01};
const unsigned char kStun[20] = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xa4, 0x42};

TEST(MediaGuard, TakesOnlyTheFarEndsHostsStunUnderIceAndOneLatchBehindNat) {
    MediaPolicy sdp{{Host("192.0.2.7"), Host("2001:db8::7")}};
    // Any port of the far end's host, an IPv4-mapped form of it, its IPv6 host; nothing else.
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("192.0.2.7"), kRtp, sizeof kRtp, false), MediaVerdict::Take);
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("::ffff:192.0.2.7"), kRtp, sizeof kRtp, true), MediaVerdict::Take);
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("2001:db8::7"), kRtp, sizeof kRtp, true), MediaVerdict::Take);
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("192.0.2.8"), kRtp, sizeof kRtp, false), MediaVerdict::Drop);
    EXPECT_EQ(JudgeMediaPacket(sdp, std::nullopt, kRtp, sizeof kRtp, false), MediaVerdict::Drop);
    // ICE's checks come from every candidate (ICE itself checks them); its media does not.
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("192.0.2.8"), kStun, sizeof kStun, false), MediaVerdict::Drop);
    MediaPolicy ice = sdp;
    ice.stunFromAnyHost = true;
    EXPECT_EQ(JudgeMediaPacket(ice, Host("192.0.2.8"), kStun, sizeof kStun, false), MediaVerdict::Take);
    EXPECT_EQ(JudgeMediaPacket(ice, Host("192.0.2.8"), kRtp, sizeof kRtp, false), MediaVerdict::Drop);
    // A far end on this machine may send from its loopback address, not from another.
    MediaPolicy local{{Host("127.5.6.7")}};
    EXPECT_EQ(JudgeMediaPacket(local, Host("127.0.0.1"), kRtp, sizeof kRtp, true), MediaVerdict::Take);
    EXPECT_EQ(JudgeMediaPacket(local, Host("127.5.6.8"), kRtp, sizeof kRtp, false), MediaVerdict::Drop);
    EXPECT_EQ(JudgeMediaPacket(sdp, Host("127.0.0.1"), kRtp, sizeof kRtp, false), MediaVerdict::Drop);
    // Behind NAT: the first RTP sender, and only before anything was taken.
    MediaPolicy nat{{Host("192.168.1.20")}, false, true};
    EXPECT_EQ(JudgeMediaPacket(nat, Host("198.51.100.1"), kRtp, sizeof kRtp, false),
              MediaVerdict::TakeAndLatch);
    EXPECT_EQ(JudgeMediaPacket(nat, Host("198.51.100.1"), kRtp, sizeof kRtp, true), MediaVerdict::Drop);
    EXPECT_EQ(JudgeMediaPacket(nat, Host("198.51.100.1"), kStun, sizeof kStun, false), MediaVerdict::Drop);
}

TEST(MediaGuard, PrivateHostsAreThoseOfPrivateNetworksOnly) {
    for (const char* text : {"10.1.2.3", "172.16.0.1", "172.31.255.1", "192.168.0.1", "100.64.0.1",
                             "169.254.1.1", "fd00::1", "fe80::1"})
        EXPECT_TRUE(IsPrivateHost(Host(text))) << text;
    for (const char* text : {"172.32.0.1", "100.128.0.1", "192.0.2.1", "127.0.0.1", "2001:db8::1", "::1"})
        EXPECT_FALSE(IsPrivateHost(Host(text))) << text;
}

}  // namespace
}  // namespace quvo::sip
