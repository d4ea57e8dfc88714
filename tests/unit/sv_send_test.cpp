// Update transmission: pacing per client, the byte budget and the drops.
#include "sv_support.h"


namespace {

class Sending : public SvServer {
protected:
    // One main-loop pass at `now` after the packets were read.
    void Pass(uint32_t now) {
        curtime = now;
        frame_count++;
        SV_SendUpdates();
    }

    // Packets `peer` received; each is checked to be an update packet.
    int Drain(SvPeer& peer, int wait_ms = 30) {
        int n = 0;
        Bytes b;
        while (peer.Receive(b, wait_ms)) {
            EXPECT_GE(b.size(), 9u);
            n++;
        }
        return n;
    }
};

}  // namespace

TEST_F(Sending, UpdatesAreMoreThanTheIntervalApartAcrossTheClockWrap) {
    for (uint32_t start : {70000u, 0x7FFFFFE0u, 0xFFFFFFE0u}) {
        SV_ResetClients();
        SvPeer peer;
        curtime = start;
        ASSERT_EQ(Connect(peer, 1, "paced"), 0);

        // Due at once after the connect.
        Pass(start);
        Bytes first;
        ASSERT_TRUE(peer.Receive(first)) << start;
        EXPECT_EQ(SvLong(first, 0), 1u);
        EXPECT_EQ(first.size(), 9u);          // header and "no data"
        EXPECT_EQ(first[8], 0x05);

        Pass(start + 25);
        Pass(start + 50);
        EXPECT_EQ(Drain(peer), 0) << start;
        Pass(start + 51);
        Bytes second;
        ASSERT_TRUE(peer.Receive(second)) << start;
        EXPECT_EQ(SvLong(second, 0), 2u);
        Pass(start + 101);
        Pass(start + 102);
        EXPECT_EQ(Drain(peer), 1) << start;
    }
}

TEST_F(Sending, FrameBytesAndTheByteBudget) {
    SvPeer peer;
    TelemetrySnapshot s{};
    s.on_track = 1;
    Snap_Publish(s, live_snapshot);
    ASSERT_EQ(Connect(peer, 1, "counted", 0), 0);
    ClientSlot& c = sv_clients[0];

    frame_count = 0xFFFFFFFEu;   // the next pass wraps to slot 5 of 0..9
    Pass(curtime);
    EXPECT_EQ(frame_count, 0xFFFFFFFFu);
    EXPECT_EQ(c.frame_bytes[5], 31);
    Bytes packet;
    ASSERT_TRUE(peer.Receive(packet));
    EXPECT_EQ(packet.size(), 8u + 31u);

    // Over budget: held back, and one more entry cleared in each pass.
    for (int i = 0; i < CLIENT_RATE_FRAMES; i++) c.frame_bytes[i] = 1000;
    uint32_t t = curtime + 1000;
    Pass(t);                                // frame_count 0: slot 0 cleared
    EXPECT_EQ(c.frame_bytes[0], 0);
    EXPECT_EQ(Drain(peer), 0);
    for (int i = 1; i <= 4; i++) Pass(t += 100);   // slots 1..4 cleared
    EXPECT_EQ(Drain(peer), 0);
    Pass(t += 100);                         // sum now 5000: within the budget
    EXPECT_EQ(Drain(peer), 1);
    EXPECT_EQ(c.frame_bytes[5], 31);
}

TEST_F(Sending, OverflowsDropTheClientOrTheirData) {
    SvPeer peer;
    ASSERT_EQ(Connect(peer, 1, "spilled"), 0);
    ClientSlot& c = sv_clients[0];

    // Pending datagram bytes go behind the body...
    const uint8_t extra[3] = {0xAA, 0xBB, 0xCC};
    SZ_Write(c.datagram, extra, 3);
    Pass(curtime);
    Bytes packet;
    ASSERT_TRUE(peer.Receive(packet));
    EXPECT_EQ(packet, (Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0x05, 0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(c.datagram.cursize, 0);

    // ...unless the datagram overflowed: dropped, and the update still goes.
    SZ_Write(c.datagram, extra, 3);
    c.datagram.overflowed = 1;
    Pass(curtime + 51);
    ASSERT_TRUE(peer.Receive(packet));
    EXPECT_EQ(packet.size(), 9u);
    EXPECT_EQ(Count("WARNING: datagram overflowed for spilled\n"), 1u);
    EXPECT_EQ(c.datagram.overflowed, 0);

    // An overflowed reliable message drops the client: nothing more is sent.
    c.netchan.message.overflowed = 1;
    c.netchan.message.cursize = 17;
    Pass(curtime + 51);
    EXPECT_EQ(Count("Reliable message overflowed, dropping client spilled\n"), 1u);
    EXPECT_EQ(Count("Client spilled removed\n"), 1u);
    EXPECT_EQ(c.state, CLIENT_REMOVED);
    EXPECT_EQ(c.netchan.message.overflowed, 0);
    EXPECT_EQ(c.netchan.message.cursize, 1);
    EXPECT_EQ(c.netchan.message_data[0], SRV_DISCONNECT);
    EXPECT_EQ(Drain(peer), 0);
}

TEST_F(Sending, EveryClientDueInThePassGetsTheSessionBlockOncePerRefresh) {
    // Four dashboards connected at one moment fall due in the same passes.
    std::array<SvPeer, 4> peers;
    for (int i = 0; i < 4; i++) ASSERT_EQ(Connect(peers[i], 10 + i, std::string("d").append(std::to_string(i))), i);
    TelemetrySnapshot s{};
    s.on_track = 1;
    s.lap = 7;
    s.session_refreshed = 1;
    // Sizes of the unreliable body behind the 8-byte header of each packet.
    auto bodies = [&peers, this]() {
        std::vector<size_t> sizes;
        for (SvPeer& peer : peers) {
            Bytes b;
            EXPECT_TRUE(peer.Receive(b));
            sizes.push_back(b.size() - 8);
            EXPECT_EQ(Drain(peer, 0), 0);
        }
        return sizes;
    };
    const std::vector<size_t> with_session(4, 75), basic(4, 31);

    uint32_t t = curtime;
    for (int scan = 0; scan < 3; scan++) {
        Snap_Publish(s, live_snapshot);   // a session scan
        Pass(t += 51);
        EXPECT_EQ(bodies(), with_session) << scan;
        Pass(t += 51);                    // no publish since: basic only
        EXPECT_EQ(bodies(), basic) << scan;
    }
}
