// tests/unit/net_netchan_test.cpp: the sequenced channel and connectionless
// packets, against a dashboard peer on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"
#include "net_test_support.h"
#include "shell/sys.h"

using Bytes8 = std::vector<uint8_t>;

namespace {

uint32_t Long(const Bytes8& p, size_t at) {
    return static_cast<uint32_t>(p[at]) | (static_cast<uint32_t>(p[at + 1]) << 8) |
           (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
}

void PutLong(Bytes8& p, uint32_t v) {
    for (int i = 0; i < 4; i++) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A client packet: sequence, acknowledgement (with their bit 31 flags), the
// channel tag, then `rest`.
Bytes8 ClientPacket(uint32_t seq, bool reliable, uint32_t ack, bool toggle, uint16_t qport,
                    const Bytes8& rest = {}) {
    Bytes8 p;
    PutLong(p, seq | (reliable ? 0x80000000u : 0u));
    PutLong(p, ack | (toggle ? 0x80000000u : 0u));
    p.push_back(static_cast<uint8_t>(qport));
    p.push_back(static_cast<uint8_t>(qport >> 8));
    p.insert(p.end(), rest.begin(), rest.end());
    return p;
}

// A server with a channel to one dashboard peer.
class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = OpenServerSocket();
        Netchan_Reset();
        Netchan_Setup(chan, peer.Address(), 0x1234);
    }
    void TearDown() override { CloseServerSocket(); }

    // The packet the server sends next, as the peer receives it.
    Bytes8 Transmit(const Bytes8& data = {}) {
        Netchan_Transmit(chan, static_cast<int>(data.size()), data.empty() ? nullptr : data.data());
        Bytes8 got;
        EXPECT_TRUE(peer.Receive(got));
        return got;
    }
    // Delivers a packet from `from` and offers it to the channel.
    bool Deliver(const Peer& from, const Bytes8& packet) {
        from.SendTo(server, packet);
        EXPECT_EQ(ServerReceive(), static_cast<int>(packet.size()));
        return Netchan_AcceptPacket(chan);
    }

    LogCapture log;
    Peer peer;
    NetAddress server{};
    NetChannel chan{};
};

}  // namespace

TEST_F(ChannelTest, NumbersPacketsFromOneAndCarriesUnreliableDataWhenItFits) {
    EXPECT_EQ(chan.outgoing_sequence, 1);
    curtime = 777;
    EXPECT_EQ(Transmit(), (Bytes8{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(chan.last_sent, 777u);

    Bytes8 data(120);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i + 1);
    Bytes8 p = Transmit(data);
    ASSERT_EQ(p.size(), 128u);          // exactly a full packet
    EXPECT_EQ(Long(p, 0), 2u);
    EXPECT_EQ(Bytes8(p.begin() + 8, p.end()), data);
    EXPECT_FALSE(log.Has("dumped unreliable"));

    data.push_back(121);
    p = Transmit(data);
    EXPECT_EQ(p, (Bytes8{3, 0, 0, 0, 0, 0, 0, 0}));  // header only, the packet still goes
    EXPECT_TRUE(log.Has("Netchan_Transmit: dumped unreliable\n"));
}

TEST_F(ChannelTest, ReliableMessageIsResentUntilTheToggleAnswersIt) {
    // A 20-byte reliable message leaves room for 100 bytes of data.
    Bytes8 reliable(20, 0x42);
    SZ_Write(chan.message, reliable.data(), 20);
    Bytes8 p = Transmit(Bytes8(100, 0x07));
    ASSERT_EQ(p.size(), 128u);
    EXPECT_EQ(Long(p, 0), 0x80000001u);            // packet 1, carries the reliable part
    EXPECT_EQ(Bytes8(p.begin() + 8, p.begin() + 28), reliable);

    // Packet 2, no copy: nothing has been acknowledged yet.
    p = Transmit();
    EXPECT_EQ(p, (Bytes8{2, 0, 0, 0, 0, 0, 0, 0}));

    // The peer acknowledges packets 1 and 2 with its old toggle: no resend.
    EXPECT_TRUE(Deliver(peer, ClientPacket(1, false, 1, false, 0x1234)));
    EXPECT_EQ(Transmit().size(), 8u);
    EXPECT_TRUE(Deliver(peer, ClientPacket(2, false, 2, false, 0x1234)));
    p = Transmit();
    EXPECT_EQ(Long(p, 0), 4u);

    // It acknowledges packet 3 with the old toggle: the copy was lost, resend.
    // Beside the 20 reliable bytes, 101 bytes of data no longer fit.
    EXPECT_FALSE(log.Has("dumped unreliable"));
    EXPECT_TRUE(Deliver(peer, ClientPacket(3, false, 3, false, 0x1234)));
    p = Transmit(Bytes8(101, 0x07));
    EXPECT_TRUE(log.Has("Netchan_Transmit: dumped unreliable\n"));
    ASSERT_EQ(p.size(), 28u);
    EXPECT_EQ(Long(p, 0), 0x80000005u);
    EXPECT_EQ(Long(p, 4), 3u);          // the peer's latest packet

    // A second message waits while the first is in flight.
    MSG_WriteByte(chan.message, 0x99);
    EXPECT_EQ(Transmit().size(), 8u);   // packet 6: not due again, second waits

    // The toggle now equals ours: acknowledged; the second message starts.
    EXPECT_TRUE(Deliver(peer, ClientPacket(4, false, 5, true, 0x1234)));
    p = Transmit();
    EXPECT_EQ(p, (Bytes8{7, 0, 0, 0x80, 4, 0, 0, 0, 0x99}));
}

TEST_F(ChannelTest, AcceptsOnlyNewerPacketsFromThePeersAddress) {
    Peer other_port;
    EXPECT_TRUE(Deliver(peer, ClientPacket(5, false, 0, false, 0x1234, {0x01, 0xFF})));
    EXPECT_EQ(msg_readpos, 10);         // at the client's commands
    EXPECT_EQ(MSG_ReadChar(), 1);
    EXPECT_EQ(chan.incoming_sequence, 5);

    NetChannel before = chan;
    EXPECT_FALSE(Deliver(peer, ClientPacket(5, true, 0, true, 0x1234)));   // repeated
    EXPECT_FALSE(Deliver(peer, ClientPacket(4, true, 0, true, 0x1234)));   // late
    EXPECT_FALSE(Deliver(other_port, ClientPacket(9, true, 0, true, 0x1234)));
    EXPECT_EQ(chan.incoming_sequence, before.incoming_sequence);

    // A jump over lost packets is taken; a reliable packet flips our copy of
    // the peer's toggle, which the next header carries back.
    EXPECT_TRUE(Deliver(peer, ClientPacket(9, true, 0, false, 0x1234)));
    EXPECT_EQ(chan.incoming_sequence, 9);
    Bytes8 p = Transmit();
    EXPECT_EQ(Long(p, 4), 0x80000009u);
    EXPECT_FALSE(Deliver(peer, ClientPacket(7, false, 0, false, 0x1234)));
    EXPECT_TRUE(Deliver(peer, ClientPacket(10, true, 0, false, 0x1234)));
    EXPECT_EQ(Long(Transmit(), 4), 10u);

    // A packet cut short inside its header reads -1 there and flags it.
    EXPECT_TRUE(Deliver(peer, ClientPacket(11, false, 0, false, 0x1234)));
    EXPECT_EQ(msg_badread, 0);
    EXPECT_TRUE(Deliver(peer, Bytes8{12, 0, 0, 0, 0, 0, 0, 0, 0x34}));
    EXPECT_EQ(msg_badread, 1);
    EXPECT_EQ(log.Text(), "");          // refusals are silent
}

TEST_F(ChannelTest, ConnectionlessTextGoesBehindFourFFBytesCutTo132) {
    Netchan_PrintConnectionless(peer.Address(), "abc");
    Bytes8 got;
    ASSERT_TRUE(peer.Receive(got));
    EXPECT_EQ(got, (Bytes8{0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'}));

    Netchan_PrintConnectionless(peer.Address(), "c%i %s", 12345, "x");
    ASSERT_TRUE(peer.Receive(got));
    EXPECT_EQ(std::string(got.begin() + 4, got.end()), "c12345 x");

    // A text longer than a packet can carry is cut, and the server goes on.
    std::string longtext(300, 'q');
    longtext[131] = 'E';
    Netchan_PrintConnectionless(peer.Address(), "%s", longtext.c_str());
    ASSERT_TRUE(peer.Receive(got));
    ASSERT_EQ(got.size(), 136u);
    EXPECT_EQ(std::string(got.begin() + 4, got.end()), longtext.substr(0, 132));
    EXPECT_EQ(log.Text(), "");
}
