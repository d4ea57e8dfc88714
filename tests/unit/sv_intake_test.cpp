// Packet intake and client slots: which client a packet reaches, and when
// silent or removed clients give their slots up.
#include "sv_support.h"

using Intake = SvServer;

TEST_F(Intake, APacketReachesItsClientByHostAndQportAndIsAnsweredWhereItCameFrom) {
    Dash a, b;   // one host, each dashboard with its own qport
    ASSERT_TRUE(Connect(a, 10, "a"));
    ASSERT_TRUE(Connect(b, 20, "b"));
    server_time = 700;
    // The server numbers its packets on from the client's latest and echoes
    // its reliable toggle.
    Deliver(b, Sequenced(0x80000000u | 40u, 0, 20));
    Pass(curtime);
    EXPECT_EQ(b.Next(), Header(40, 0x80000000u | 40u) + Bytes{0x05});
    Pass(curtime + 51);
    EXPECT_EQ(b.Next(), Header(41, 0x80000000u | 40u) + Bytes{0x05});
    // A repeated or late number is refused and keeps nothing alive.
    server_time = 800;
    Deliver(b, Sequenced(40, 0, 20));
    Deliver(b, Sequenced(39, 0, 20));
    EXPECT_EQ(sv_clients[1].last_message, 700u);

    // The same client through a translated port is answered there only; a
    // client behind the server's numbers leaves them as they are.
    Dash moved;
    Deliver(moved, Sequenced(41, 0, 20));
    EXPECT_EQ(TakeLog(), Lines{"SV_ReadPackets: fixing up a translated port"});
    Pass(curtime + 51);
    EXPECT_EQ(moved.Next(), Header(42, 0x80000000u | 41u) + Bytes{0x05});
    EXPECT_EQ(b.Next(20), std::nullopt);
}

TEST_F(Intake, SilentClientsTimeOutAndRemovedOnesAreHeldAcrossTheClockWrap) {
    for (uint32_t start : {1000u, 0x7FFFE000u, 0xFFFFE000u}) {
        SV_ResetClients();
        server_time = start;
        Dash quiet, gone;
        ASSERT_TRUE(Connect(quiet, 1, "quiet"));
        ASSERT_TRUE(Connect(gone, 2, "gone"));
        SV_RemoveClient(sv_clients[1]);
        TakeLog();
        const struct {
            uint32_t after;       // ms after the connects: a pass of the main loop
            bool gone_sends;      // in that pass, after the time-outs
            std::string states;   // of quiet and gone: Free, Removed, Connected
            Lines log;
        } passes[] = {
            // A removed client's packets still reach its slot but keep it no longer.
            {3000, true, "CR", {}},
            {3001, true, "CF", {gone.Name() + ":sequenced packet without connection"}},
            {15000, false, "CF", {}},
            {15001, false, "FF", {"quiet timed out", "Client quiet removed"}},
        };
        for (const auto& p : passes) {
            server_time = start + p.after;
            SV_CheckClientTimeouts();
            if (p.gone_sends) Deliver(gone, Sequenced(1, 0, 2));
            EXPECT_EQ(std::string({"FRC"[sv_clients[0].state], "FRC"[sv_clients[1].state]}), p.states)
                << start << " + " << p.after;
            EXPECT_EQ(TakeLog(), p.log) << start << " + " << p.after;
        }
    }
}
