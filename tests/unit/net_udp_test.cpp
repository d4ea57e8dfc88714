// The address line printed at start-up, and the fullest packet a channel sends.
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

using Channel = SvServer;

TEST_F(Channel, APacketCarriesUnreliableDataUpToItsFull128Bytes) {
    Dash dash;
    NetChannel chan{};
    Netchan_Setup(chan, dash.Address(), 1);
    const Bytes data(121, 0x07);
    Netchan_Transmit(chan, 120, data.data());
    Netchan_Transmit(chan, 121, data.data());   // one byte too many: the header goes alone
    EXPECT_EQ(dash.Next(), Header(1, 0) + Bytes(120, 0x07));
    EXPECT_EQ(dash.Next(), Header(2, 0));
    EXPECT_EQ(TakeLog(), Lines{"Netchan_Transmit: dumped unreliable"});
}
