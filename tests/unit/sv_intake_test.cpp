// Packet intake: routing datagrams to the handshake or to a client's channel.
#include "sv_support.h"

#include "platform/sys.h"

using Intake = SvServer;

TEST_F(Intake, FindsTheClientByHostAndQport) {
    SvPeer a;
    SvPeer b;   // same host, its own qport
    ASSERT_EQ(Connect(a, 10, "a"), 0);
    ASSERT_EQ(Connect(b, 20, "b"), 1);

    server_time = 700;
    Deliver(b, SvSequenced(1, 0, 20));
    EXPECT_EQ(sv_clients[1].netchan.incoming_sequence, 1);
    EXPECT_EQ(sv_clients[1].last_message, 700u);
    EXPECT_EQ(sv_clients[0].netchan.incoming_sequence, 0);
    EXPECT_EQ(sv_clients[0].last_message, 0u);

    // A repeated number is refused by the channel and refreshes nothing.
    server_time = 800;
    Deliver(b, SvSequenced(1, 0, 20));
    EXPECT_EQ(sv_clients[1].last_message, 700u);

    // An unknown qport from a known host is dropped with a log line.
    Deliver(a, SvSequenced(5, 0, 99));
    EXPECT_EQ(Count("127.0.0.1:" + std::to_string(a.HostPort()) +
                    ":sequenced packet without connection\n"),
              1u);
    EXPECT_EQ(sv_clients[0].netchan.incoming_sequence, 0);
    EXPECT_TRUE(a.Silent(20));

    // A datagram with the out-of-band header is out-of-band even from a
    // connected client.
    Deliver(a, SvOob("getchallenge"));
    EXPECT_EQ(Reply(a).substr(0, 1), "c");
}

TEST_F(Intake, FollowsAClientToItsTranslatedPort) {
    SvPeer before;
    ASSERT_EQ(Connect(before, 33, "moving"), 0);
    SvPeer after;   // the same client seen through a new port
    Deliver(after, SvSequenced(1, 0, 33));
    EXPECT_EQ(Count("SV_ReadPackets: fixing up a translated port\n"), 1u);
    EXPECT_TRUE(NET_SameAddress(sv_clients[0].netchan.remote_address, after.Address()));
    EXPECT_EQ(sv_clients[0].netchan.incoming_sequence, 1);

    // Its updates now go to the new port only.
    SV_SendUpdates();
    Bytes packet;
    ASSERT_TRUE(after.Receive(packet));
    EXPECT_EQ(SvLong(packet, 0), 1u);   // the server's first packet
    EXPECT_EQ(SvLong(packet, 4), 1u);   // acknowledges the client's packet 1
    EXPECT_TRUE(before.Silent(20));
}

TEST_F(Intake, RemovedClientsStillMatchButAreNotRefreshed) {
    SvPeer peer;
    ASSERT_EQ(Connect(peer, 8, "gone"), 0);
    server_time = 100;
    SV_RemoveClient(sv_clients[0]);
    server_time = 2000;
    Deliver(peer, SvSequenced(1, 0, 8));
    EXPECT_EQ(sv_clients[0].netchan.incoming_sequence, 1);
    EXPECT_EQ(sv_clients[0].last_message, 0u);
    EXPECT_EQ(Count("sequenced packet without connection"), 0u);

    // Freed, its packets are strangers again.
    server_time = 3001;
    SV_CheckClientTimeouts();
    Deliver(peer, SvSequenced(2, 0, 8));
    EXPECT_EQ(Count("sequenced packet without connection"), 1u);
}
