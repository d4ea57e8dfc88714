// What one dashboard's commands can make the server do: never hold up the
// updates of the others, never press a key that nobody asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "udp_client.h"

namespace {

constexpr int DASHBOARDS = 10;

// The wall clock of the kernel's receive stamps, in ms.
double WallMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

// A string command: byte 4, the text, byte 0.
void PutText(Bytes& b, const std::string& text) {
    b.push_back(4);
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
}

// Updates to one dashboard: kernel arrival stamps.
struct Arrivals {
    std::vector<double> stamps;
    double LongestGap(double* at = nullptr) const {
        double gap = 0;
        for (size_t i = 1; i < stamps.size(); i++) {
            if (stamps[i] - stamps[i - 1] > gap) {
                gap = stamps[i] - stamps[i - 1];
                if (at != nullptr) *at = stamps[i - 1];
            }
        }
        return gap;
    }
};

class RelayLimits : public BuildRun {
protected:
    // Connects DASHBOARDS raw clients to the server on `port`.
    void ConnectAll(int port, std::vector<std::unique_ptr<UdpClient>>& dashes) {
        for (int i = 0; i < DASHBOARDS; i++) {
            dashes.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(100 + i)));
            ASSERT_TRUE(dashes.back()->Ok());
            ASSERT_EQ(dashes.back()->Join("dash" + std::to_string(i), 0, wait_ms()), "j") << i;
        }
    }

    // Reads every dashboard's updates for `ms`, noting their arrival.
    void Watch(std::vector<std::unique_ptr<UdpClient>>& dashes, std::vector<Arrivals>& seen,
               double ms) {
        const double end = Harness_NowMs() + ms;
        while (Harness_NowMs() < end) {
            for (size_t i = 0; i < dashes.size(); i++) {
                Datagram d;
                while (dashes[i]->Receive(d, 0))
                    if (!Udp_IsOob(d.bytes)) seen[i].stamps.push_back(d.stamp_ms);
            }
            // A short bounded wait on one socket keeps the loop from spinning.
            Datagram d;
            if (dashes[0]->Receive(d, 2) && !Udp_IsOob(d.bytes)) seen[0].stamps.push_back(d.stamp_ms);
        }
    }
};

}  // namespace

TEST_P(RelayLimits, CommandFloodsNeitherStallUpdatesNorTheHandshake) {
    const int port = Harness_FreeUdpPort();
    Proc server;
    // With the debug log on: every command and every drop is a record.
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)},
                                     wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;

    std::vector<std::unique_ptr<UdpClient>> dashes;
    ConnectAll(port, dashes);
    if (HasFailure()) return;
    // The count starts once every dashboard is served (a Windows server
    // under Wine settles for a moment after its first connects).
    std::vector<Arrivals> seen(DASHBOARDS);
    Watch(dashes, seen, 1000);
    for (Arrivals& a : seen) a.stamps.clear();
    Watch(dashes, seen, 300);

    // 247 bytes: a pause of 2^31 - 1 ms, then 110 empty commands that the
    // sleeping relay cannot take.
    Bytes pause;
    PutText(pause, "key p2147483647");
    for (int i = 0; i < 110; i++) PutText(pause, "");
    const double pause_sent = WallMs();
    dashes[9]->SendSequenced(pause);
    ASSERT_EQ(pause.size() + 10, 247u);
    Watch(dashes, seen, 500);

    // 2260 bytes: 150 commands of five key presses each.
    Bytes keys;
    for (int i = 0; i < 150; i++) PutText(keys, "key 1 1 1 1 1");
    const double keys_sent = WallMs();
    dashes[8]->SendSequenced(keys);
    ASSERT_EQ(keys.size() + 10, 2260u);
    Watch(dashes, seen, 500);

    // 8010 bytes: 4000 empty commands, all dropped; with the debug log on
    // they must not cost 4000 log records in one pass.
    Bytes empties;
    for (int i = 0; i < 4000; i++) PutText(empties, "");
    const double empties_sent = WallMs();
    dashes[7]->SendSequenced(empties);
    Watch(dashes, seen, 500);

    // A new dashboard is answered at once.
    UdpClient newcomer(port, 555);
    ASSERT_TRUE(newcomer.Ok());
    const double asked = Harness_NowMs();
    newcomer.SendOob("getchallenge");
    const std::string reply = newcomer.OobReply(1000);
    const double answered = Harness_NowMs() - asked;
    EXPECT_EQ(reply.substr(0, 1), "c") << reply;
    EXPECT_LT(answered, 100.0);

    Watch(dashes, seen, 1500);
    for (int i = 0; i < DASHBOARDS; i++) {
        // 3.3 s of watching, updates 51 ms apart.
        EXPECT_GE(seen[i].stamps.size(), 55u) << "dashboard " << i;
        double at = 0;
        EXPECT_LT(seen[i].LongestGap(&at), 200.0)
            << "dashboard " << i << ": the gap began " << at - pause_sent << " ms after the pause, "
            << at - keys_sent << " ms after the keys, " << at - empties_sent
            << " ms after the empty commands were sent";
    }

    // The drops were reported; the server still runs.
    Harness_Poll(server, 0);
    ASSERT_FALSE(server.exited);
    const std::string log = Harness_ReadFile(server.dir + "/log.txt");
    // The pause holds the relay for 10 s, so of the 110 empty and the 150
    // key commands 160 met a full queue: 10 and 150, or 11 and 149 when
    // the relay took the pause only after the empty ones were queued.
    std::vector<int> drops;
    for (size_t at = log.find("Relay queue full, "); at != std::string::npos;
         at = log.find("Relay queue full, ", at + 1))
        drops.push_back(std::atoi(log.c_str() + at + 18));
    ASSERT_EQ(drops.size(), 3u) << log.substr(0, 3000);
    EXPECT_EQ(drops[0] + drops[1], 160) << drops[0] << " and " << drops[1];
    EXPECT_EQ(drops[2], 4000);
    Harness_Interrupt(server);
    EXPECT_TRUE(Harness_WaitExit(server, wait_ms()));
}

TEST_P(RelayLimits, AnOverLongCommandPressesNothingAndTheDashRefusesIt) {
    RequireTools({"tarmis_simulator", "tarmis_dash"});
    if (IsSkipped()) return;
    // "key" + 33 x " p0" + " 45": 105 characters, which cut to 104 would
    // press key 4.
    std::string text = "key";
    for (int i = 0; i < 33; i++) text += " p0";
    text += " 45";
    ASSERT_EQ(text.size(), 105u);

    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", "2047", "--command", text}, false));
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms()));
    EXPECT_EQ(dash.exit_code, 1);
    EXPECT_NE(Harness_ReadFile(dash.dir + "/stderr.txt").find("longer than the 104 characters the server accepts"),
              std::string::npos);

    Proc sim, server;
    ASSERT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(sim, "READY", wait_ms())) << sim.out;
    const int port = Harness_FreeUdpPort();
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)},
                                     wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;

    // Sent raw, as an app that does not check would: the long text, then
    // a key that marks the end.
    UdpClient app(port, 77);
    ASSERT_TRUE(app.Ok());
    ASSERT_EQ(app.Join("app", 0, wait_ms()), "j");
    Bytes commands;
    PutText(commands, text);
    PutText(commands, "key 13");
    app.SendSequenced(commands);

    std::vector<unsigned> keys;
    const double end = Harness_NowMs() + wait_ms();
    while (Harness_NowMs() < end && keys.size() < 2) {
        Harness_Poll(sim, 100);
        keys.clear();
        for (const std::string& line : Harness_Lines(sim.out)) {
            char message[32] = {};
            unsigned key = 0;
            if (std::sscanf(line.c_str(), "KEY %31s %u", message, &key) == 2) keys.push_back(key);
        }
    }
    Harness_Poll(sim, 300);   // a late press of key 4 would show here
    keys.clear();
    for (const std::string& line : Harness_Lines(sim.out)) {
        char message[32] = {};
        unsigned key = 0;
        if (std::sscanf(line.c_str(), "KEY %31s %u", message, &key) == 2) keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<unsigned>{13, 13})) << sim.out;
    EXPECT_NE(Harness_ReadFile(server.dir + "/log.txt").find("Command of 105 characters is longer than 104, dropped"),
              std::string::npos);
}

TARMIS_BUILD_SUITE(RelayLimits);
