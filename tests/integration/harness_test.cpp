// The harness's guard for the simulator's named objects: while a stand-in
// that the test program did not start holds them (one of ./run.sh, say), a
// test that needs them fails at once with a message naming that stand-in,
// instead of waiting for minutes.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace {

// Waits at most `ms` for Harness_ForeignSimulator to say `held`.
bool WaitForeign(bool held, int ms) {
    const double end = Harness_NowMs() + ms;
    for (;;) {
        if (Harness_ForeignSimulator(false).empty() != held) return true;
        if (Harness_NowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

TEST(SimulatorGuard, AStandInOfSomeoneElseFailsTheTestAtOnceAndOursDoesNot) {
    const std::string sim = Harness_NativeProgram("tarmis_simulator");
    if (!std::filesystem::exists(sim)) GTEST_SKIP() << sim << " is not built";

    // Our own stand-in holds the objects without being foreign.
    {
        Proc own;
        ASSERT_TRUE(Harness_StartProgram(own, "tarmis_simulator", {"--quiet"}, false));
        ASSERT_TRUE(Harness_WaitOutput(own, "READY", 15000)) << own.out;
        EXPECT_EQ(Harness_ForeignSimulator(false), "");
    }
    ASSERT_TRUE(WaitForeign(false, 5000)) << "the own stand-in's window outlived it";

    // A stand-in that a shell started, as ./run.sh does: not our child.
    Proc other;
    ASSERT_TRUE(Harness_Start(other, {"/bin/sh", "-c", "\"$0\" --quiet & wait", sim}));
    ASSERT_TRUE(WaitForeign(true, 15000)) << "the other stand-in never took the window";
    const std::string message = Harness_ForeignSimulator(false);
    EXPECT_NE(message.find("another simulator stand-in"), std::string::npos) << message;
    EXPECT_NE(message.find("tarmis_simulator --quiet"), std::string::npos) << message;
    EXPECT_NE(message.find("./run.sh"), std::string::npos) << message;

    // A stand-in and a server that reads the simulator are refused at once;
    // every wait on them ends at once.
    const double t0 = Harness_NowMs();
    Proc refused_sim, refused_server;
    bool started = true;
    EXPECT_NONFATAL_FAILURE(
        started = Harness_StartProgram(refused_sim, "tarmis_simulator", {}, false),
        "tarmis_simulator not started: another simulator stand-in holds");
    EXPECT_FALSE(started);
    EXPECT_FALSE(Harness_WaitOutput(refused_sim, "READY", 15000));
    const std::string port = std::to_string(Harness_FreeUdpPort());
    EXPECT_NONFATAL_FAILURE(
        started = Harness_StartProgram(refused_server, "tarmis_server", {"-p", port}, false),
        "tarmis_server not started");
    EXPECT_FALSE(started);
    EXPECT_TRUE(Harness_WaitExit(refused_server, 15000));
    EXPECT_LT(Harness_NowMs() - t0, 3000) << "the refusals were not at once";

    // A test-mode server does not touch the simulator and still starts.
    Proc test_server;
    ASSERT_TRUE(Harness_StartProgram(test_server, "tarmis_server", {"-t", "-p", port}, false));
    EXPECT_TRUE(Harness_WaitOutput(test_server, "Port = " + port, 15000)) << test_server.out;

    // Once the other stand-in has gone, stand-ins start again.
    Harness_Kill(other);
    ASSERT_TRUE(WaitForeign(false, 5000));
    Proc again;
    ASSERT_TRUE(Harness_StartProgram(again, "tarmis_simulator", {"--quiet"}, false));
    EXPECT_TRUE(Harness_WaitOutput(again, "READY", 15000)) << again.out;
}
