// Key commands from dashboards to the simulator's window through the real
// programs, in both builds: the stand-in owns the window and prints every key
// message it receives ("KEY WM_KEYDOWN 13 0x00000000 123456").
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"
#include "udp_client.h"

namespace {

// The key messages the stand-in received after byte `from` of its output,
// without their time: "WM_KEYDOWN 13 0x00000000".
std::vector<std::string> Keys(const Proc& sim, size_t from = 0) {
    static const std::regex key("KEY (\\w+ \\d+ 0x[0-9A-F]{8}) \\d+");
    std::vector<std::string> keys;
    for (const std::string& line : Harness_Lines(sim.out.substr(from)))
        if (std::smatch m; std::regex_match(line, m, key)) keys.push_back(m[1].str());
    return keys;
}

// What the window gets for presses of the keys in turn: "13" (flags 0) or
// "37 0x01000000".
std::vector<std::string> Pressed(std::initializer_list<std::string> keys) {
    std::vector<std::string> messages;
    for (const std::string& k : keys)
        for (const char* m : {"WM_KEYDOWN ", "WM_KEYUP "})
            messages.push_back(m + k + (k.find(' ') == std::string::npos ? " 0x00000000" : ""));
    return messages;
}

// Commands in one packet: byte 4, the text, byte 0, for each.
Bytes Commands(const std::vector<std::string>& texts) {
    Bytes b;
    for (const std::string& text : texts) {
        b.push_back(4);
        b.insert(b.end(), text.begin(), text.end());
        b.push_back(0);
    }
    return b;
}

// The sum of the counts of the log's "<what>N ..." lines.
int Dropped(const std::string& log, const std::string& what) {
    int n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
        n += std::atoi(log.c_str() + at + what.size());
    return n;
}

class RelayRun : public BuildRun {};

}  // namespace

TEST_P(RelayRun, KeysReachTheWindowAndEveryBoundHolds) {
    Proc sim, server;
    ASSERT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(sim, "READY", wait_ms())) << sim.out;
    const int port = Harness_FreeUdpPort();
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-d", "-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;
    const std::string log_file = server.dir + "/log.txt";
    auto wait_keys = [&](size_t from, size_t n, double ms) {
        for (const double end = Harness_NowMs() + ms; Keys(sim, from).size() < n && Harness_NowMs() < end;)
            Harness_Poll(sim, 2);
        Harness_Poll(sim, 300);   // anything more would show here
        return Keys(sim, from);
    };

    // The project's dashboard: "KEY 14" presses nothing, +37 is an extended
    // key, r3 presses three times.
    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", std::to_string(port), "--duration", "1",
                                                          "--command", "key 13", "--command", "KEY 14",
                                                          "--command", "key +37", "--command", "key r3 32"}, false));
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms()));
    EXPECT_EQ(dash.exit_code, 0) << dash.out;
    EXPECT_EQ(wait_keys(0, 10, wait_ms()), Pressed({"13", "37 0x01000000", "32", "32", "32"})) << sim.out;

    // 105 characters that cut to 104 would press key 4: the server drops
    // the command whole.
    std::string too_long = "key";
    for (int i = 0; i < 33; i++) too_long += " p0";
    too_long += " 45";
    UdpClient hog(port, 61), other(port, 62);
    ASSERT_EQ(hog.Join("hog", 0, wait_ms()), "j");
    ASSERT_EQ(other.Join("other", 0, wait_ms()), "j");
    size_t from = sim.out.size();
    other.SendSequenced(Commands({too_long, "key 13"}));
    EXPECT_EQ(wait_keys(from, 2, wait_ms()), Pressed({"13"})) << sim.out;
    EXPECT_NE(Harness_ReadFile(log_file).find("Command of 105 characters is longer than 104, dropped"), std::string::npos);

    // Commands that would each hold the relay for two minutes, then floods
    // behind them: the first runs 10 s and is cut (its key 66 would end past
    // 10 s); 97 more, a key 13 and 2 of the 150 five-key commands queue up
    // and come too late; the rest, and 4000 empty commands, meet a full queue.
    // Meanwhile a newcomer's handshake goes on.
    from = sim.out.size();
    std::string forever = "key 65 p9900 66 66 66";
    for (int i = 0; i < 11; i++) forever += " p10000";
    hog.SendSequenced(Commands(std::vector<std::string>(49, forever)));
    hog.SendSequenced(Commands(std::vector<std::string>(49, forever)));
    auto wait_log = [&](double ms, const std::string& text) {
        for (const double end = Harness_NowMs() + ms; Harness_NowMs() < end && Harness_ReadFile(log_file).find(text) == std::string::npos;)
            Harness_Poll(sim, 20);
    };
    for (const double end = Harness_NowMs() + 1000; Harness_NowMs() < end;) Harness_Poll(sim, 20);
    other.SendSequenced(Commands({"key 13"}));
    other.SendSequenced(Commands(std::vector<std::string>(150, "key 1 1 1 1 1")));
    other.SendSequenced(Commands(std::vector<std::string>(4000, "")));
    EXPECT_TRUE(Udp_AnswersAtOnce(port)) << "the handshake waited for the relay";
    wait_log(15000, "Relay late");
    EXPECT_EQ(Keys(sim, from), Pressed({"65"})) << sim.out;

    // The relay is free again: a press comes at once.
    from = sim.out.size();
    const double sent = Harness_NowMs();
    other.SendSequenced(Commands({"key 13"}));
    while (Keys(sim, from).empty() && Harness_NowMs() < sent + 2000) Harness_Poll(sim, 2);
    EXPECT_LT(Harness_NowMs() - sent, 100.0);
    EXPECT_EQ(wait_keys(from, 2, 2000), Pressed({"13"}));

    // Every drop reported: the log reports them once a second at most.
    std::string log;
    for (const double end = Harness_NowMs() + 5000; Harness_NowMs() < end; Harness_Poll(sim, 100)) {
        log = Harness_ReadFile(log_file);
        if (Dropped(log, "Relay late, ") + Dropped(log, "Relay queue full, ") >= 97 + 1 + 150 + 4000) break;
    }
    EXPECT_EQ(Dropped(log, "Relay late, ") + Dropped(log, "Relay queue full, "), 97 + 1 + 150 + 4000) << log;
    EXPECT_GE(Dropped(log, "Relay late, "), 98) << log;
    EXPECT_NE(log.find("Relay time limit, 1 command cut at 10000 ms"), std::string::npos) << log;
}

TARMIS_BUILD_SUITE(RelayRun);
