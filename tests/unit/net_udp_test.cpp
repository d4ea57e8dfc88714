// The server's socket and channel: the address line, the longest datagram
// taken, and the fullest packet sent.
#include <cerrno>

#include "sv_support.h"

TEST(AddressLine, ListsTheAddressesJoinedByOrOrSaysUnknown) {
    const std::array<std::array<uint8_t, 4>, 2> two = {{{192, 168, 1, 20}, {10, 0, 0, 5}}};
    ::testing::internal::CaptureStdout();
    NET_PrintAddressList(two.data(), 2);
    NET_PrintAddressList(two.data(), 1);
    NET_PrintAddressList(nullptr, -1);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "IP address (use in app settings) = 192.168.1.20 or 10.0.0.5\n"
              "IP address (use in app settings) = 192.168.1.20\n"
              "IP address (use in app settings) = Unknown\n");
}

using Socket = SvServer;

TEST_F(Socket, TakesDatagramsUpTo8192BytesAndLogsLongerOnesAndGoesOn) {
    Dash dash;
    Bytes request = Oob("getchallenge\n");
    request.resize(8192, 'x');
    Deliver(dash, request);
    EXPECT_EQ(Reply(dash), "c2705443");
    request.push_back('x');
    Deliver(dash, request);
    EXPECT_EQ(Reply(dash), "<none>");
    Deliver(dash, Oob("getchallenge"));
    EXPECT_EQ(Reply(dash), "c2705443");
    EXPECT_EQ(TakeLog(), (Lines{"getchallenge", std::string("NET_GetPacket: ") + Sys_NetErrorText(EMSGSIZE),
                                "getchallenge"}));
}

TEST_F(Socket, AChannelPacketCarriesUnreliableDataUpToItsFull128Bytes) {
    Dash dash;
    NetChannel chan{};
    Netchan_Setup(chan, dash.Address(), 1);
    const Bytes data(121, 0x07);
    Netchan_Transmit(chan, 120, data.data());
    Netchan_Transmit(chan, 121, data.data());   // one byte too many: the header goes alone
    Bytes got;
    ASSERT_TRUE(dash.Receive(got));
    EXPECT_EQ(got, Header(1, 0) + Bytes(120, 0x07));
    ASSERT_TRUE(dash.Receive(got));
    EXPECT_EQ(got, Header(2, 0));
    EXPECT_EQ(TakeLog(), Lines{"Netchan_Transmit: dumped unreliable"});
}
