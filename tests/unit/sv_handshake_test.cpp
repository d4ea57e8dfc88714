// Handshake: challenges and connect requests over UDP on 127.0.0.1.
#include <cerrno>

#include "sv_support.h"

using Handshake = SvServer;

TEST_F(Handshake, EachRequestGetsItsOwnReplyAndLogLines) {
    Dash dashes[2];   // one host, two ports
    const struct {
        int from;
        std::string request, reply;
        Lines log;
    } steps[] = {
        {0, "connect 1 7 2705443 x", "n\nNo challenge for address.\n", {"connect"}},
        // The first challenge of every run; one per host, repeated to each
        // port. A datagram may fill 8192 bytes; a longer one is dropped.
        {0, "getchallenge\n" + std::string(8192 - 17, 'x'), "c2705443", {"getchallenge"}},
        {0, "getchallenge\n" + std::string(8192 - 16, 'x'), "<none>",
         {std::string("NET_GetPacket: ") + Sys_NetErrorText(EMSGSIZE)}},
        {1, "getchallenge", "c2705443", {"getchallenge"}},
        {0, "connect", "o\n", {"connect", "* rejected connect from version 0"}},
        {0, "connect 2 7 2705443 x", "o\n", {"connect", "* rejected connect from version 2"}},
        // A number beyond 32 bits is held at the limit.
        {0, "connect 99999999999999999999 7 2705443 x", "o\n",
         {"connect", "* rejected connect from version 2147483647"}},
        {0, "connect 1 7 2705444 x", "n\nBad challenge.\n", {"connect"}},
        {0, "CONNECT 1 7 2705443 x", "<none>",
         {"bad connectionless packet from " + dashes[0].Name() + ":", "CONNECT 1 7 2705443 x"}},
        // The version reads up to its first non-digit; only the first line counts.
        {0, "connect 1.5 7 2705443 \"a name\" 3\nconnect junk", "j",
         {"connect", "Client a name connected", "DeviceType is 3"}},
        {1, "connect 1 7 2705443 again", "<none>", {"connect", dashes[1].Name() + ":dup connect"}},
    };
    for (const auto& step : steps) {
        Deliver(dashes[step.from], Oob(step.request));
        EXPECT_EQ(Reply(dashes[step.from]), step.reply) << step.request.substr(0, 40);
        EXPECT_EQ(TakeLog(), step.log) << step.request.substr(0, 40);
    }
    EXPECT_EQ(SV_CountConnected(), 1);
}

TEST_F(Handshake, TenDashboardsFillTheServerAndARemovedOneGetsItsSlotBack) {
    std::array<Dash, MAX_CLIENTS> dashes;
    for (int i = 0; i < MAX_CLIENTS; i++) ASSERT_TRUE(Connect(dashes[i], 100 + i, "d")) << i;
    // A removed slot is held, so the server is still full.
    SV_RemoveClient(sv_clients[4]);
    Dash late;
    Deliver(late, Oob("connect 1 555 2705443 late"));
    EXPECT_EQ(Reply(late), "n\nServer is full\n\n");
    Deliver(dashes[4], Oob("connect 1 104 2705443 back"));
    EXPECT_EQ(Reply(dashes[4]), "j");
    EXPECT_EQ(TakeLog(), (Lines{"Client d removed", "connect", late.Name() + ":full connect", "connect",
                                dashes[4].Name() + ":reconnect", "Client back connected", "DeviceType is 0"}));
}
