// Client slots: removal, the 15000 ms time-out and the 3000 ms hold, also
// when the server clock wraps.
#include "sv_support.h"

namespace {

using Slots = SvServer;

// A connected slot as the handshake leaves it, without the network.
void Occupy(ClientSlot& c, const char* name, uint8_t host) {
    c = ClientSlot{};
    Netchan_Setup(c.netchan, NET_MakeAddress(127, 0, 0, host, 5000), host);
    c.state = CLIENT_CONNECTED;
    std::snprintf(c.name.data(), c.name.size(), "%s", name);
    c.last_message = server_time;
}

// Runs the time-out check at each of the given clock readings.
void RunAt(uint32_t time) {
    server_time = time;
    SV_CheckClientTimeouts();
}

}  // namespace

TEST_F(Slots, SilentClientTimesOutAfter15000msAcrossTheClockWrap) {
    // Clocks started just below the signed and the unsigned wrap.
    for (uint32_t start : {1000u, 0x7FFFE000u, 0xFFFFE000u}) {
        SV_ResetClients();
        ClearLog();
        server_time = start;
        Occupy(sv_clients[0], "quiet", 1);
        Occupy(sv_clients[1], "chatty", 2);

        for (uint32_t t = start; t != start + 15000u; t += 500u) {
            RunAt(t);
            sv_clients[1].last_message = t;   // chatty keeps sending
        }
        RunAt(start + 15000u);
        EXPECT_EQ(sv_clients[0].state, CLIENT_CONNECTED) << start;
        RunAt(start + 15001u);
        EXPECT_EQ(sv_clients[0].state, CLIENT_FREE) << start;
        EXPECT_EQ(sv_clients[1].state, CLIENT_CONNECTED) << start;
        std::string log = Log();
        size_t timed = log.find("quiet timed out\n");
        size_t removed = log.find("Client quiet removed\n");
        ASSERT_NE(timed, std::string::npos) << start;
        ASSERT_NE(removed, std::string::npos) << start;
        EXPECT_LT(timed, removed);
        EXPECT_EQ(Count("chatty"), 0u);
    }
}

TEST_F(Slots, RemovedClientHoldsItsSlotFor3000msAcrossTheClockWrap) {
    for (uint32_t start : {0u, 0x7FFFF800u, 0xFFFFF800u}) {
        SV_ResetClients();
        ClearLog();
        server_time = start;
        Occupy(sv_clients[0], "leaving", 1);
        SV_RemoveClient(sv_clients[0]);
        RunAt(start + 3000u);
        EXPECT_EQ(sv_clients[0].state, CLIENT_REMOVED) << start;
        RunAt(start + 3001u);
        EXPECT_EQ(sv_clients[0].state, CLIENT_FREE) << start;
        EXPECT_EQ(Count("timed out"), 0u);
    }
}

TEST_F(Slots, AStampAheadOfTheClockIsPulledBack) {
    server_time = 0xFFFFFF00u;
    Occupy(sv_clients[0], "ahead", 1);
    sv_clients[0].last_message = 0x00000100u;   // 512 ms in the future
    RunAt(0xFFFFFF00u);
    EXPECT_EQ(sv_clients[0].last_message, 0xFFFFFF00u);
    RunAt(0xFFFFFF00u + 15000u);
    EXPECT_EQ(sv_clients[0].state, CLIENT_CONNECTED);
    RunAt(0xFFFFFF00u + 15001u);
    EXPECT_EQ(sv_clients[0].state, CLIENT_FREE);
}
