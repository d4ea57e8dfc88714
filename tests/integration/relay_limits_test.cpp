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

// The key codes of the stand-in's "KEY WM_KEYDOWN 13 ..." lines, in order.
std::vector<unsigned> Keys(const std::string& out) {
    std::vector<unsigned> keys;
    for (const std::string& line : Harness_Lines(out)) {
        char message[32] = {};
        unsigned key = 0;
        if (std::sscanf(line.c_str(), "KEY %31s %u", message, &key) == 2) keys.push_back(key);
    }
    return keys;
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
    // The stand-in, and a test-mode server with its debug log on a free `port`.
    void StartSimAndServer(Proc& sim, Proc& server, int& port) {
        ASSERT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(sim, "READY", wait_ms())) << sim.out;
        port = Harness_FreeUdpPort();
        ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)},
                                         wine()));
        ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;
    }

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
    int port = 0;
    StartSimAndServer(sim, server, port);
    if (HasFatalFailure()) return;

    // Sent raw, as an app that does not check would: the long text, then
    // a key that marks the end.
    UdpClient app(port, 77);
    ASSERT_TRUE(app.Ok());
    ASSERT_EQ(app.Join("app", 0, wait_ms()), "j");
    Bytes commands;
    PutText(commands, text);
    PutText(commands, "key 13");
    app.SendSequenced(commands);

    const double end = Harness_NowMs() + wait_ms();
    while (Harness_NowMs() < end && Keys(sim.out).size() < 2) Harness_Poll(sim, 100);
    Harness_Poll(sim, 300);   // a late press of key 4 would show here
    EXPECT_EQ(Keys(sim.out), (std::vector<unsigned>{13, 13})) << sim.out;
    EXPECT_NE(Harness_ReadFile(server.dir + "/log.txt").find("Command of 105 characters is longer than 104, dropped"),
              std::string::npos);
}

TEST_P(RelayLimits, NoKeyIsPressedLateBehindACommandThatHogsTheRelay) {
    RequireTools({"tarmis_simulator"});
    if (IsSkipped()) return;
    Proc sim, server;
    int port = 0;
    StartSimAndServer(sim, server, port);
    if (HasFatalFailure()) return;
    UdpClient hog(port, 61), other(port, 62);
    ASSERT_TRUE(hog.Ok() && other.Ok());
    ASSERT_EQ(hog.Join("hog", 0, wait_ms()), "j");
    ASSERT_EQ(other.Join("other", 0, wait_ms()), "j");

    // Two datagrams of 49 commands that would each hold the relay for two
    // minutes: key 65, 9.9 s, key 66 three times (which would end past
    // 10 s), then 110 s more.
    std::string text = "key 65 p9900 66 66 66";
    for (int i = 0; i < 11; i++) text += " p10000";
    ASSERT_LE(text.size(), 104u);
    Bytes hogs;
    for (int i = 0; i < 49; i++) PutText(hogs, text);
    hog.SendSequenced(hogs);
    hog.SendSequenced(hogs);
    Bytes key13;
    PutText(key13, "key 13");
    for (const double later = Harness_NowMs() + 1000; Harness_NowMs() < later;) Harness_Poll(sim, 50);
    other.SendSequenced(key13);   // its turn comes after the first hog, 9 s late

    // Once the first hog is over, everything behind it is dropped as late.
    const std::string log_file = server.dir + "/log.txt";
    std::string log;
    for (const double end = Harness_NowMs() + 15000;
         log.find("Relay late") == std::string::npos && Harness_NowMs() < end;) {
        Harness_Poll(sim, 100);
        log = Harness_ReadFile(log_file);
    }
    EXPECT_EQ(Keys(sim.out), (std::vector<unsigned>{65, 65})) << sim.out;

    // The relay is free again: a new press comes at once.
    const double sent = Harness_NowMs();
    other.SendSequenced(key13);
    auto pressed = [&sim] {
        const std::vector<unsigned> keys = Keys(sim.out);
        return std::find(keys.begin(), keys.end(), 13u) != keys.end();
    };
    while (!pressed() && Harness_NowMs() < sent + 2000) Harness_Poll(sim, 2);
    EXPECT_LT(Harness_NowMs() - sent, 100.0);
    Harness_Poll(sim, 300);
    EXPECT_EQ(Keys(sim.out), (std::vector<unsigned>{65, 65, 13, 13})) << sim.out;

    // One hog cut; 97 hogs and the first key 13 dropped, on one line or
    // more: the drops are logged once a second at most, so the last of
    // them may come a second after the first line.
    int late = 0;
    for (const double end = Harness_NowMs() + 5000; late < 98 && Harness_NowMs() < end;) {
        Harness_Poll(sim, 100);
        log = Harness_ReadFile(log_file);
        late = 0;
        for (size_t at = log.find("Relay late, "); at != std::string::npos; at = log.find("Relay late, ", at + 1))
            late += std::atoi(log.c_str() + at + 12);
    }
    EXPECT_EQ(late, 98) << log;
    EXPECT_NE(log.find("Relay time limit, 1 command cut at 10000 ms"), std::string::npos) << log;
}

TARMIS_BUILD_SUITE(RelayLimits);
