// Key commands from a dashboard to the simulator's window, through the real
// programs: the simulator stand-in owns the window (Linux: its socket) and
// prints every key message it receives; tarmis_dash sends the commands to a
// running server.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct KeyLine {
    std::string message;
    unsigned key = 0;
    unsigned flags = 0;
    unsigned long ms = 0;
};

// The "KEY WM_KEYDOWN 13 0x00000000 123456" lines of the stand-in's output.
std::vector<KeyLine> KeyLines(const std::string& out) {
    std::vector<KeyLine> keys;
    for (const std::string& line : Harness_Lines(out)) {
        char message[32] = {};
        KeyLine k;
        if (std::sscanf(line.c_str(), "KEY %31s %u 0x%x %lu", message, &k.key, &k.flags,
                        &k.ms) == 4) {
            k.message = message;
            keys.push_back(k);
        }
    }
    return keys;
}

class RelayRun : public BuildRun {
protected:
    void SetUp() override {
        BuildRun::SetUp();
        if (!IsSkipped()) RequireTools({"tarmis_simulator", "tarmis_dash"});
    }
    // Starts the stand-in (the window) and a test-mode server on a free
    // port, and returns the port.
    std::string StartSimulatorAndServer(Proc& sim, Proc& server) {
        EXPECT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {}, wine()));
        EXPECT_TRUE(Harness_WaitOutput(sim, "READY", wait_ms())) << sim.out;
        const std::string port = std::to_string(Harness_FreeUdpPort());
        EXPECT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-t", "-p", port}, wine()));
        EXPECT_TRUE(Harness_WaitOutput(server, "Port = " + port, wait_ms())) << server.out;
        return port;
    }
};

}  // namespace

TEST_P(RelayRun, KeyCommandsFromADashboardPressKeysInTheSimulatorWindow) {
    Proc sim, server;
    const std::string port = StartSimulatorAndServer(sim, server);
    if (HasFailure()) return;

    // The dashboard runs natively in both cases: it only speaks UDP.
    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash",
                                     {"--port", port, "--duration", "2", "--command", "key 13",
                                      "--command", "KEY 14", "--command", "key +37",
                                      "--command", "key r3 32"},
                                     false));
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms()));
    EXPECT_EQ(dash.exit_code, 0) << dash.out;

    // 1 + 1 + 3 presses, two messages each; "KEY 14" presses nothing.
    std::vector<KeyLine> keys;
    double end = Harness_NowMs() + wait_ms();
    while (Harness_NowMs() < end) {
        Harness_Poll(sim, 100);
        keys = KeyLines(sim.out);
        if (keys.size() >= 10) break;
    }
    Harness_Poll(sim, 300);   // anything beyond the ten would show here
    keys = KeyLines(sim.out);
    ASSERT_EQ(keys.size(), 10u) << sim.out;

    const unsigned expect_key[] = {13, 13, 37, 37, 32, 32, 32, 32, 32, 32};
    for (size_t i = 0; i < keys.size(); i++) {
        EXPECT_EQ(keys[i].message, i % 2 == 0 ? "WM_KEYDOWN" : "WM_KEYUP") << i;
        EXPECT_EQ(keys[i].key, expect_key[i]) << i;
        EXPECT_EQ(keys[i].flags, i == 2 || i == 3 ? 0x01000000u : 0u) << i;
    }
    // The relay waits 35 ms before each message.
    long gap = static_cast<long>(keys[1].ms - keys[0].ms);
    EXPECT_GE(gap, 25);
    EXPECT_LT(gap, 2000);
    EXPECT_GE(static_cast<long>(keys[9].ms - keys[4].ms), 5 * 25);
}

TARMIS_BUILD_SUITE(RelayRun);
