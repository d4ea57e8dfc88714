// A flood of garbage datagrams neither ends nor stalls the server: it reads
// every one, and a dashboard that connects afterwards is served as usual.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

class FloodRun : public BuildRun {};

}  // namespace

TEST_P(FloodRun, GarbageDatagramsNeitherEndNorStallTheServer) {
    const int port = Harness_FreeUdpPort();
    Proc server;
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    int big = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));

    // Random bytes of 0 to 9000, some dressed as out-of-band requests, some
    // as sequenced packets: every kind of header the server looks at.
    std::mt19937 rng(20261207);
    std::vector<uint8_t> d(9000);
    for (int i = 0; i < 3000; i++) {
        size_t len = rng() % 9001;
        for (size_t k = 0; k < len; k++) d[k] = static_cast<uint8_t>(rng());
        if (len >= 4 && i % 3 == 0) d[0] = d[1] = d[2] = d[3] = 0xFF;
        if (len >= 16 && i % 9 == 0) std::memcpy(&d[4], "connect 1 ", 10);
        sendto(s, d.data(), len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (i % 50 == 0) usleep(2000);  // let the loopback queue drain
    }
    close(s);

    Harness_Poll(server, 200);
    ASSERT_FALSE(server.exited) << "exit code " << server.exit_code;

    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", std::to_string(port), "--json", "--count", "10"},
                                     false));
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms()));
    EXPECT_EQ(dash.exit_code, 0) << dash.out;
    int updates = 0;
    for (const std::string& line : Harness_Lines(dash.out))
        if (line.rfind("{\"seq\":", 0) == 0) updates++;
    EXPECT_EQ(updates, 10) << dash.out;

    Harness_Poll(server, 0);
    EXPECT_FALSE(server.exited);
    // The oversized ones were reported and dropped, not fatal.
    EXPECT_NE(Harness_ReadFile(server.dir + "/log.txt").find("NET_GetPacket: "), std::string::npos);
    Harness_Interrupt(server);
    ASSERT_TRUE(Harness_WaitExit(server, wait_ms()));
    EXPECT_EQ(server.exit_code, 0);
}

TARMIS_BUILD_SUITE(FloodRun);
