// The packet source hook of NET_GetPacket: datagrams handed in by a test or
// fuzzer take the same path as those read from the socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "net/msg.h"
#include "net/udp.h"
#include "server/clients.h"
#include "server/handshake.h"
#include "server/intake.h"

namespace {

struct Queued {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 4> ip;
    uint16_t port;
};
std::deque<Queued> queued;

int QueueSource(uint8_t* buf, int size, std::array<uint8_t, 4>& ip, uint16_t& port) {
    if (queued.empty()) return -1;
    Queued next = queued.front();
    queued.pop_front();
    int n = static_cast<int>(next.bytes.size());
    if (n > size) n = size;
    std::memcpy(buf, next.bytes.data(), static_cast<size_t>(n));
    ip = next.ip;
    port = next.port;
    return n;
}

// Sized once and filled in place (growing a four-byte vector draws a false
// -Warray-bounds from g++ 12 at -O2).
std::vector<uint8_t> Oob(const std::string& text) {
    std::vector<uint8_t> out(4 + text.size(), 0xFF);
    std::copy(text.begin(), text.end(), out.begin() + 4);
    return out;
}

}  // namespace

TEST(NetPacketSource, DatagramsComeFromTheSourceUntilItHasNone) {
    NET_Reset();
    MSG_Reset();
    queued = {{{1, 2, 3, 4, 5}, {127, 0, 0, 9}, 0x3412}};
    net_packet_source = QueueSource;

    EXPECT_EQ(NET_GetPacket(), 5);
    EXPECT_EQ(net_received.cursize, 5);
    EXPECT_EQ(std::vector<uint8_t>(net_received.data, net_received.data + 5),
              (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(NET_SameAddress(net_sender, NetAddress{{127, 0, 0, 9}, 0x3412}));

    // Nothing waiting: 0, and the last datagram and sender stay.
    EXPECT_EQ(NET_GetPacket(), 0);
    EXPECT_EQ(net_received.cursize, 5);
    EXPECT_TRUE(NET_SameAddress(net_sender, NetAddress{{127, 0, 0, 9}, 0x3412}));

    NET_Reset();
    EXPECT_EQ(net_packet_source, nullptr);
}

TEST(NetPacketSource, ServerIntakeReadsEveryQueuedDatagram) {
    NET_Reset();
    MSG_Reset();
    SV_ResetClients();
    SV_ResetHandshake();
    server_time = 500;
    // Two hosts ask for a challenge; the replies go to no socket.
    queued = {{Oob("getchallenge"), {127, 0, 0, 2}, 0x1111},
              {Oob("getchallenge"), {127, 0, 0, 3}, 0x2222}};
    net_packet_source = QueueSource;

    SV_ReadPackets();
    EXPECT_TRUE(queued.empty());
    int issued = 0;
    for (const ChallengeEntry& entry : sv_challenges) {
        if (entry.issued != 500) continue;
        issued++;
        EXPECT_TRUE(entry.address.ip == (std::array<uint8_t, 4>{127, 0, 0, 2}) ||
                    entry.address.ip == (std::array<uint8_t, 4>{127, 0, 0, 3}));
    }
    EXPECT_EQ(issued, 2);
    NET_Reset();
    SV_ResetClients();
    SV_ResetHandshake();
}
