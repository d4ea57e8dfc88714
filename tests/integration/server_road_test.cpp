// The road of one dashboard: a small UDP client gets a challenge from the
// running server (test pattern), connects, receives paced updates and is timed out when it
// falls silent. Runs the native build and, when available, the Windows
// build under Wine.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Long(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// A dashboard's socket on 127.0.0.1, talking to the server's port only.
class Dashboard {
public:
    explicit Dashboard(int server_port) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        server_.sin_family = AF_INET;
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server_.sin_port = htons(static_cast<uint16_t>(server_port));
    }
    ~Dashboard() { close(fd_); }
    Dashboard(const Dashboard&) = delete;
    Dashboard& operator=(const Dashboard&) = delete;

    void SendOob(const std::string& text) {
        Bytes b{0xFF, 0xFF, 0xFF, 0xFF};
        b.insert(b.end(), text.begin(), text.end());
        sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
    }

    // The next datagram from the server within `ms`, with its arrival time.
    bool Receive(Bytes& out, double& at_ms, int ms) {
        const double end = Harness_NowMs() + ms;
        for (;;) {
            int left = static_cast<int>(end - Harness_NowMs());
            if (left < 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            uint8_t buf[2048];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n < 0) continue;
            at_ms = Harness_NowMs();
            out.assign(buf, buf + n);
            return true;
        }
    }

    // The text of the next out-of-band reply, skipping sequenced packets.
    std::string OobReply(int ms) {
        Bytes b;
        double at;
        const double end = Harness_NowMs() + ms;
        while (Receive(b, at, static_cast<int>(std::max(0.0, end - Harness_NowMs())))) {
            if (b.size() >= 4 && Long(b, 0) == 0xFFFFFFFFu) return std::string(b.begin() + 4, b.end());
        }
        return "<none>";
    }

private:
    int fd_ = -1;
    sockaddr_in server_{};
};

class ServerRoad : public BuildRun {};

}  // namespace

TEST_P(ServerRoad, DashboardConnectsReceivesPacedUpdatesAndTimesOut) {
    Proc server;
    const int port = Harness_FreeUdpPort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server",
                                     {"-t", "-d", "-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;

    Dashboard dash(port);
    // The challenge: asked again until the server answers (it may still be
    // starting), then the same host always gets the same one.
    std::string reply = "<none>";
    for (int i = 0; i < 20 && reply == "<none>"; i++) {
        dash.SendOob("getchallenge");
        reply = dash.OobReply(500);
    }
    ASSERT_EQ(reply.substr(0, 1), "c") << reply;
    const std::string challenge = reply.substr(1);
    ASSERT_FALSE(challenge.empty());
    dash.SendOob("getchallenge");
    EXPECT_EQ(dash.OobReply(2000), "c" + challenge);

    dash.SendOob("connect 1 4711 " + std::to_string(std::stoll(challenge) + 1) + " \"road test\" 0");
    EXPECT_EQ(dash.OobReply(2000), "n\nBad challenge.\n");
    dash.SendOob("connect 1 4711 " + challenge + " \"road test\" 0");
    ASSERT_EQ(dash.OobReply(2000), "j");
    const double connected_at = Harness_NowMs();

    // Updates for a second and a half: numbered from 1 without gaps, each a
    // header and a well-formed body, more than 50 ms apart at the sender.
    std::vector<double> arrivals;
    std::vector<int> rpms;
    uint32_t expect_seq = 1;
    Bytes b;
    double at = 0;
    while (Harness_NowMs() - connected_at < 1500 && dash.Receive(b, at, 1000)) {
        ASSERT_GE(b.size(), 9u);
        ASSERT_NE(Long(b, 0), 0xFFFFFFFFu);
        EXPECT_EQ(Long(b, 0), expect_seq++);
        EXPECT_EQ(Long(b, 4), 0u);   // nothing sequenced was sent yet
        const uint8_t tag = b[8];
        EXPECT_TRUE(tag == 0x05 || tag == 0x0B) << int(tag);
        if (tag == 0x0B) {
            // Device type 0, the only client: the test pattern publishes
            // between any two updates, so each carries the session block.
            EXPECT_EQ(b.size(), 8u + 75u);
            EXPECT_EQ(b[8 + 2], 0x12);
            EXPECT_EQ(b[8 + 17], 0x0D);
            EXPECT_EQ(b[8 + 30], 0x0A);
            EXPECT_EQ(b.back(), 0x14);
            rpms.push_back(b[8 + 18] | b[8 + 19] << 8);
        }
        arrivals.push_back(at);
    }
    ASSERT_GE(arrivals.size(), 10u);
    // With option t the values come from the moving test pattern.
    EXPECT_GE(rpms.size(), arrivals.size() - 2);
    std::sort(rpms.begin(), rpms.end());
    EXPECT_GT(std::unique(rpms.begin(), rpms.end()) - rpms.begin(), 5);
    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals.size(); i++) gaps.push_back(arrivals[i] - arrivals[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    const double median = gaps[gaps.size() / 2];
    const double mean = (arrivals.back() - arrivals.front()) / static_cast<double>(gaps.size());
    // Arrival times jitter a little around the send times; the sender's
    // spacing is 51 ms or a little more.
    // (The test's own scheduling can bunch two arrivals, so single gaps
    // are not judged.)
    EXPECT_GE(median, 49.0);
    EXPECT_GE(mean, 50.5);
    EXPECT_LE(mean, wine() ? 90.0 : 70.0);

    // Silent since the connect: the updates stop after 15000 ms.
    double last = arrivals.back();
    while (dash.Receive(b, at, 2000)) {
        last = at;
        ASSERT_LT(Harness_NowMs() - connected_at, 25000.0) << "updates never stopped";
    }
    const double silent_for = last - connected_at;
    EXPECT_GE(silent_for, 14900.0);
    EXPECT_LE(silent_for, 16500.0);

    Harness_Interrupt(server);
    ASSERT_TRUE(Harness_WaitExit(server, wait_ms()));
    EXPECT_EQ(server.exit_code, 0);

    // The Windows build writes its log in text mode: "\r\n" line ends.
    std::string log;
    for (char c : Harness_ReadFile(server.dir + "/log.txt"))
        if (c != '\r') log += c;
    EXPECT_NE(log.find(" - getchallenge\n"), std::string::npos);
    EXPECT_NE(log.find(" - Client road test connected\n"), std::string::npos);
    EXPECT_NE(log.find(" - DeviceType is 0\n"), std::string::npos);
    const size_t timed_out = log.find(" - road test timed out\n");
    ASSERT_NE(timed_out, std::string::npos) << log;
    EXPECT_NE(log.find(" - Client road test removed\n", timed_out), std::string::npos);
}

TARMIS_BUILD_SUITE(ServerRoad);
