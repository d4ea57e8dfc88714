// Every dashboard gets the session values (lap, times, fuel, position),
// not only the first one served after the telemetry refreshed them: ten
// dashboards, several connected in one main-loop pass, against the
// simulator stand-in.
//
// The run lasts TARMIS_SESSION_SECONDS seconds (8 by default; 60 for the
// long form: TARMIS_SESSION_SECONDS=60 ./build/native/integration_tests
// --gtest_filter='*SessionBlock*').
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "udp_client.h"

namespace {

constexpr int DASHBOARDS = 10;
// Session scans come every 15 frames of the stand-in's 60 a second; a
// dashboard must have a session block within one interval (51 ms) of each,
// and arrival times carry a loaded machine's jitter.
constexpr double SCAN_PERIOD_MS = 250.0;
constexpr double INTERVAL_MS = 51.0;
constexpr double JITTER_MS = 100.0;

double RunSeconds() {
    const char* s = std::getenv("TARMIS_SESSION_SECONDS");
    const double v = s != nullptr ? std::atof(s) : 0.0;
    return v > 0.0 ? v : 8.0;
}

// The unreliable body of an update: behind the 8-byte header.
size_t BodySize(const Datagram& d) { return d.bytes.size() - 8; }
// A body with the session block: 75 bytes for device type 0, 68 otherwise.
bool HasSession(size_t body) { return body == 75 || body == 68; }

struct Seen {
    int updates = 0;           // since the first session block
    int sessions = 0;
    double first_session = 0;
    double last_session = 0;
    double longest_gap = 0;    // between two session blocks
};

// Counts one datagram of a dashboard; true when it was an update counted
// (updates count from the dashboard's first session block on).
bool Note(Seen& s, const Datagram& d) {
    if (Udp_IsOob(d.bytes) || d.bytes.size() < 9) return false;
    const bool session = HasSession(BodySize(d));
    if (s.sessions == 0 && !session) return false;
    s.updates++;
    if (session) {
        if (s.sessions == 0) s.first_session = d.stamp_ms;
        else s.longest_gap = std::max(s.longest_gap, d.stamp_ms - s.last_session);
        s.last_session = d.stamp_ms;
        s.sessions++;
    }
    return true;
}

class SessionBlock : public BuildRun {
protected:
    void SetUp() override {
        BuildRun::SetUp();
        if (!IsSkipped()) RequireTools({"tarmis_simulator"});
    }
};

}  // namespace

TEST_P(SessionBlock, EveryDashboardGetsTheSessionBlockAfterEachScan) {
    Proc sim, server;
    ASSERT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {"--quiet"}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(sim, "READY", wait_ms())) << sim.out;
    const int port = Harness_FreeUdpPort();
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-p", std::to_string(port)}, wine()));
    ASSERT_TRUE(Harness_WaitOutput(server, "Port = " + std::to_string(port), wait_ms())) << server.out;

    // Challenges first, then all ten connects back to back, so that the
    // server reads several in one pass and serves them in the same passes.
    std::vector<std::unique_ptr<UdpClient>> dashes;
    std::vector<std::string> challenges;
    for (int i = 0; i < DASHBOARDS; i++) {
        dashes.push_back(std::make_unique<UdpClient>(port, static_cast<uint16_t>(200 + i)));
        ASSERT_TRUE(dashes.back()->Ok());
        std::string reply = "<none>";
        for (double end = Harness_NowMs() + wait_ms(); reply == "<none>" && Harness_NowMs() < end;) {
            dashes.back()->SendOob("getchallenge");
            reply = dashes.back()->OobReply(500);
        }
        ASSERT_EQ(reply.substr(0, 1), "c") << reply;
        challenges.push_back(reply.substr(1));
    }
    for (int i = 0; i < DASHBOARDS; i++)
        dashes[i]->SendOob("connect 1 " + std::to_string(200 + i) + " " + challenges[i] + " \"d" +
                           std::to_string(i) + "\" " + std::to_string(i % 2));
    for (int i = 0; i < DASHBOARDS; i++) ASSERT_EQ(dashes[i]->OobReply(wait_ms()), "j") << i;

    std::vector<Seen> seen(DASHBOARDS);
    const double run_ms = RunSeconds() * 1000.0;
    // The stand-in's car is on track within a few seconds; the run counts
    // from then on.
    double start = 0;
    const double give_up = Harness_NowMs() + wait_ms() + run_ms;
    double next_keepalive = Harness_NowMs() + 1000;
    while (Harness_NowMs() < give_up && (start == 0 || Harness_NowMs() < start + run_ms)) {
        for (int i = 0; i < DASHBOARDS; i++) {
            Datagram d;
            while (dashes[i]->Receive(d, 0))
                if (Note(seen[i], d) && start == 0) start = Harness_NowMs();
        }
        // Each dashboard acknowledges now and then, as an app does, so
        // that none times out on a long run.
        if (Harness_NowMs() > next_keepalive) {
            for (auto& dash : dashes) dash->SendSequenced({});
            next_keepalive += 1000;
        }
        // A short bounded wait on one socket keeps the loop from spinning.
        Datagram d;
        if (dashes[0]->Receive(d, 2) && Note(seen[0], d) && start == 0) start = Harness_NowMs();
    }
    ASSERT_GT(start, 0) << "no dashboard saw a session block";

    const double most = SCAN_PERIOD_MS + INTERVAL_MS + JITTER_MS;
    const int least = static_cast<int>(run_ms / SCAN_PERIOD_MS) - 2;
    for (int i = 0; i < DASHBOARDS; i++) {
        EXPECT_GE(seen[i].sessions, least) << "dashboard " << i << " of " << seen[i].updates;
        EXPECT_LT(seen[i].longest_gap, most) << "dashboard " << i;
        // A dashboard that joined the same pass starts with the others.
        EXPECT_LT(std::abs(seen[i].first_session - seen[0].first_session), most) << "dashboard " << i;
    }
    Harness_Poll(server, 0);
    EXPECT_FALSE(server.exited);
}

TARMIS_BUILD_SUITE(SessionBlock);
