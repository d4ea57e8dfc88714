// tests/unit/net_udp_test.cpp: the server's socket, addresses and the
// start-up address line, with peers on 127.0.0.1.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "net/msg.h"
#include "net/udp.h"
#include "net_test_support.h"

TEST(LocalAddressLine, ListsTheAddressesJoinedByOr) {
    const std::array<std::array<uint8_t, 4>, 2> two = {{{192, 168, 1, 20}, {10, 0, 0, 5}}};
    ::testing::internal::CaptureStdout();
    NET_PrintAddressList(two.data(), 2);
    NET_PrintAddressList(two.data(), 1);
    NET_PrintAddressList(two.data(), 0);
    NET_PrintAddressList(nullptr, -1);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "IP address (use in app settings) = 192.168.1.20 or 10.0.0.5\n"
              "IP address (use in app settings) = 192.168.1.20\n"
              "IP address (use in app settings) = \n"
              "IP address (use in app settings) = Unknown\n");

    // This host's own line: one line with the same lead.
    ::testing::internal::CaptureStdout();
    NET_PrintLocalAddresses();
    std::fflush(stdout);
    std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("IP address (use in app settings) = ", 0), 0u);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(UdpEndpoint, ReceivesDatagramsUpTo8192BytesAndReportsLongerOnes) {
    LogCapture log;
    NetAddress server = OpenServerSocket();
    Peer peer;
    Peer other;

    EXPECT_EQ(NET_GetPacket(), 0);      // nothing waiting
    EXPECT_EQ(log.Text(), "");

    peer.SendTo(server, {1, 2, 3, 4, 5});
    ASSERT_EQ(ServerReceive(), 5);
    EXPECT_TRUE(NET_SameAddress(net_sender, peer.Address()));
    EXPECT_EQ(net_received.cursize, 5);
    EXPECT_EQ(std::vector<uint8_t>(net_received_data.begin(), net_received_data.begin() + 5),
              (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // An empty datagram yields 0, yet it was received: sender and size change.
    other.SendTo(server, {});
    EXPECT_EQ(ServerReceive(), 0);
    EXPECT_TRUE(NET_SameAddress(net_sender, other.Address()));
    EXPECT_EQ(net_received.cursize, 0);

    std::vector<uint8_t> full(8192);
    for (size_t i = 0; i < full.size(); i++) full[i] = static_cast<uint8_t>(i * 7);
    peer.SendTo(server, full);
    ASSERT_EQ(ServerReceive(), 8192);
    EXPECT_EQ(std::vector<uint8_t>(net_received_data.begin(), net_received_data.end()), full);
    EXPECT_TRUE(NET_SameAddress(net_sender, peer.Address()));

    // One byte more is reported and dropped; sender and size stay as they were.
    other.SendTo(server, std::vector<uint8_t>(8193, 0x55));
    EXPECT_EQ(ServerReceive(), 0);
    EXPECT_TRUE(log.Has(std::string("NET_GetPacket: ") + Sys_NetErrorText(EMSGSIZE) + "\n"))
        << log.Text();
    EXPECT_EQ(net_received.cursize, 8192);
    EXPECT_TRUE(NET_SameAddress(net_sender, peer.Address()));

    // Reading goes on with the next datagram.
    other.SendTo(server, {9});
    EXPECT_EQ(ServerReceive(), 1);
    EXPECT_EQ(net_received_data[0], 9);
    CloseServerSocket();
}
