// Handshake: challenges and connect requests over real UDP on 127.0.0.1.
#include "sv_support.h"

using Handshake = SvServer;

TEST_F(Handshake, ChallengeIsKeptPerHostAndRepeated) {
    SvPeer a;
    SvPeer b;   // same host, another port
    server_time = 500;
    int32_t first = Challenge(a);
    EXPECT_GE(first, 0);
    EXPECT_EQ(first & 0x80008000, 0);   // two 15-bit draws
    server_time = 900;
    EXPECT_EQ(Challenge(a), first);
    EXPECT_EQ(Challenge(b), first);
    EXPECT_EQ(Count("getchallenge\n"), 3u);
}

TEST_F(Handshake, RefusesEveryBadConnectWithItsOwnReply) {
    SvPeer peer;
    Deliver(peer, SvOob("connect 1 7 12345 nochallenge"));
    EXPECT_EQ(Reply(peer), "n\nNo challenge for address.\n");

    int32_t challenge = Challenge(peer);
    const std::string ok = std::to_string(challenge);

    Deliver(peer, SvOob("connect"));
    EXPECT_EQ(Reply(peer), "o\n");
    EXPECT_EQ(Count("* rejected connect from version 0\n"), 1u);

    Deliver(peer, SvOob("connect 2 7 " + ok + " x"));
    EXPECT_EQ(Reply(peer), "o\n");
    EXPECT_EQ(Count("* rejected connect from version 2\n"), 1u);

    Deliver(peer, SvOob("connect 1 7 " + std::to_string(challenge + 1) + " x"));
    EXPECT_EQ(Reply(peer), "n\nBad challenge.\n");

    // Numbers beyond 32 bits are held at the limit, never overflowing.
    Deliver(peer, SvOob("connect 99999999999999999999 7 " + ok + " x"));
    EXPECT_EQ(Reply(peer), "o\n");
    EXPECT_EQ(Count("* rejected connect from version 2147483647\n"), 1u);

    // Requests of other kinds, capitals included, get nothing back.
    Deliver(peer, SvOob("CONNECT 1 7 " + ok + " x"));
    EXPECT_TRUE(peer.Silent());
    EXPECT_EQ(Count(std::string("bad connectionless packet from ") + NET_AddressToString(peer.Address()) +
                    ":\nCONNECT 1 7 " + ok + " x\n"),
              1u);

    for (const ClientSlot& c : sv_clients) EXPECT_EQ(c.state, CLIENT_FREE);
}

TEST_F(Handshake, AcceptedConnectFillsTheSlot) {
    SvPeer peer;
    int32_t challenge = Challenge(peer);
    std::string name(100, 'N');
    // A version with trailing text still reads as 1; text after the first
    // newline is ignored.
    Deliver(peer, SvOob("connect 1.5 4242 " + std::to_string(challenge) + " " + name +
                        " 3\nconnect junk"));
    ASSERT_EQ(Reply(peer), "j");

    const ClientSlot& c = sv_clients[0];
    EXPECT_EQ(c.state, CLIENT_CONNECTED);
    EXPECT_EQ(std::string(c.name.data()), std::string(79, 'N'));
    EXPECT_EQ(c.device_type, 3);
    EXPECT_EQ(Count("Client " + std::string(79, 'N') + " connected\n"), 1u);
    EXPECT_EQ(Count("DeviceType is 3\n"), 1u);
    // The new client is due for its first update at once.
    EXPECT_GT(Sys_Elapsed(curtime, c.netchan.last_sent), transmit_interval);
}

TEST_F(Handshake, DuplicateAndReconnectFromTheSameClient) {
    SvPeer peer;
    ASSERT_EQ(Connect(peer, 77, "first"), 0);
    int32_t challenge = sv_challenges[0].challenge;
    const std::string again = "connect 1 77 " + std::to_string(challenge) + " second 1";

    // Still connected: logged, no reply, slot untouched.
    Deliver(peer, SvOob(again));
    EXPECT_TRUE(peer.Silent());
    EXPECT_EQ(Count(std::string(NET_AddressToString(peer.Address())) + ":dup connect\n"), 1u);
    EXPECT_STREQ(sv_clients[0].name.data(), "first");

    // Removed, and the other nine slots taken: the same slot comes back.
    std::vector<std::unique_ptr<SvPeer>> others;
    for (int i = 1; i < MAX_CLIENTS; i++) {
        others.push_back(std::make_unique<SvPeer>());
        ASSERT_EQ(Connect(*others.back(), 1000 + i, "other"), i);
    }
    SV_RemoveClient(sv_clients[0]);
    Deliver(peer, SvOob(again));
    EXPECT_EQ(Reply(peer), "j");
    EXPECT_EQ(Count(std::string(NET_AddressToString(peer.Address())) + ":reconnect\n"), 1u);
    EXPECT_EQ(sv_clients[0].state, CLIENT_CONNECTED);
    EXPECT_STREQ(sv_clients[0].name.data(), "second");
    EXPECT_EQ(sv_clients[0].device_type, 1);
    // Its reliable buffer starts empty again (the old disconnect byte is gone).
    EXPECT_EQ(sv_clients[0].netchan.message.cursize, 0);

    // Same host, same port, another qport while removed: reconnect too.
    SV_RemoveClient(sv_clients[0]);
    Deliver(peer, SvOob("connect 1 78 " + std::to_string(challenge) + " third"));
    EXPECT_EQ(Reply(peer), "j");
    EXPECT_EQ(sv_clients[0].netchan.qport, 78);
}

TEST_F(Handshake, EleventhClientIsToldTheServerIsFull) {
    std::vector<std::unique_ptr<SvPeer>> peers;
    for (int i = 0; i < MAX_CLIENTS; i++) {
        peers.push_back(std::make_unique<SvPeer>());
        // Appended, not summed: g++ 12 at -O3 sees a false -Wrestrict in "c" + ...
        std::string name = "c";
        name += std::to_string(i);
        ASSERT_EQ(Connect(*peers.back(), 100 + i, name), i);
    }
    // A removed slot still counts as taken.
    SV_RemoveClient(sv_clients[4]);

    SvPeer late;
    int32_t challenge = Challenge(late);
    Deliver(late, SvOob("connect 1 555 " + std::to_string(challenge) + " late"));
    EXPECT_EQ(Reply(late), "n\nServer is full\n\n");
    EXPECT_EQ(Count("127.0.0.1:" + std::to_string(late.HostPort()) + ":full connect\n"), 1u);
    EXPECT_EQ(sv_clients[4].state, CLIENT_REMOVED);

    // Once the removed slot is freed the late client gets it.
    server_time += CLIENT_ZOMBIE_MS + 1;
    SV_CheckClientTimeouts();
    Deliver(late, SvOob("connect 1 555 " + std::to_string(challenge) + " late"));
    EXPECT_EQ(Reply(late), "j");
    EXPECT_STREQ(sv_clients[4].name.data(), "late");
}

TEST_F(Handshake, ChallengeTableReplacesTheOldestEntryAcrossTheClockWrap) {
    // The whole table is in use; its entries were issued just before the
    // server clock wrapped, the one at index 700 longest ago.
    const uint32_t base = 0xFFFFF000u;
    for (int i = 0; i < MAX_CHALLENGES; i++) {
        sv_challenges[i].address = NET_MakeAddress(10, 0, static_cast<uint8_t>(i >> 8),
                                                   static_cast<uint8_t>(i), 2000);
        sv_challenges[i].challenge = i;
        sv_challenges[i].issued = base + 100 + static_cast<uint32_t>(i);
    }
    sv_challenges[700].issued = base;
    sv_challenges[300].issued = 5;   // after the wrap: the youngest
    server_time = 20;                // the clock has wrapped

    SvPeer peer;
    int32_t challenge = Challenge(peer);
    EXPECT_TRUE(NET_SameHost(sv_challenges[700].address, peer.Address()));
    EXPECT_EQ(sv_challenges[700].challenge, challenge);
    EXPECT_EQ(sv_challenges[700].issued, 20u);
    EXPECT_EQ(sv_challenges[300].challenge, 300);

    // Never-used entries are taken first, in index order, even while the
    // clock reads far past them.
    SV_ResetClients();
    server_time = 0x7FFFFFF0u;
    sv_challenges[0].issued = 0x7FFFFF00u;
    sv_challenges[0].address = NET_MakeAddress(10, 9, 9, 9, 1);
    SvPeer other;
    Challenge(other);
    EXPECT_TRUE(NET_SameHost(sv_challenges[1].address, other.Address()));
    EXPECT_EQ(sv_challenges[0].issued, 0x7FFFFF00u);
}
