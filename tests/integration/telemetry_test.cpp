// Live telemetry through the real programs, in both builds: the simulator
// stand-in plays a script or the simulator's own recording, the server reads
// its mapping, and tarmis_dash --json shows what a dashboard receives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "recordings.h"

namespace {

using Json = std::map<std::string, std::string>;
struct Field {
    const char* name;
    float value;
};
using Fields = std::vector<Field>;

// True when the update shows each of `fields` with its value.
bool Shows(const Json& u, const Fields& fields) {
    return std::all_of(fields.begin(), fields.end(), [&u](const Field& f) {
        auto it = u.find(f.name);
        return it != u.end() && it->second != "null" && std::strtof(it->second.c_str(), nullptr) == f.value;
    });
}

bool NoData(const Json& u) { return u.count("no_data") && !u.count("gear"); }

// Every update of a tarmis_dash --json output.
std::vector<Json> Updates(const std::string& out) {
    std::vector<Json> ups;
    for (const std::string& line : Harness_Lines(out))
        if (line.rfind("{\"seq\"", 0) == 0 && line.back() == '}') ups.push_back(Harness_JsonFields(line));
    return ups;
}

class Telemetry : public BuildRun {
protected:
    // Reads every program until an update of the dashboard after byte
    // `from` satisfies `ok`; returns the byte after it, or npos after `ms`.
    size_t WaitUpdate(size_t from, const std::function<bool(const Json&)>& ok, double ms) {
        for (const double end = Harness_NowMs() + ms;;) {
            for (size_t nl; (nl = dash_.out.find('\n', from)) != std::string::npos; from = nl + 1) {
                const std::string line = dash_.out.substr(from, nl - from);
                if (line.rfind("{\"seq\"", 0) == 0 && ok(Harness_JsonFields(line))) return nl + 1;
            }
            if (Harness_NowMs() > end) return std::string::npos;
            for (Proc* p : {&server_, &dash_, &sim_}) Harness_Poll(*p, 0);
            usleep(5000);
        }
    }
    // Starts a server (no test mode) and a dashboard on it.
    void StartServerAndDash() {
        const std::string port = std::to_string(Harness_FreeUdpPort());
        ASSERT_TRUE(Harness_StartProgram(server_, "tarmis_server", {"-p", port}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(server_, "Clients connected = ", wait_ms())) << server_.out;
        ASSERT_TRUE(Harness_StartProgram(dash_, "tarmis_dash", {"--port", port, "--json"}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(dash_, "{\"seq\"", wait_ms())) << dash_.out;
    }
    // A stand-in playing `script`, in the server's directory.
    void StartSim(const std::string& script) {
        Harness_Kill(sim_);
        std::ofstream(server_.dir + "/script.txt", std::ios::binary) << script;
        ASSERT_TRUE(Harness_StartProgram(sim_, "tarmis_simulator", {"--quiet", "--script", "script.txt"}, wine(), server_.dir));
        ASSERT_TRUE(Harness_WaitOutput(sim_, "READY", wait_ms())) << sim_.out << Harness_ReadFile(sim_.dir + "/stderr.txt");
    }

    Proc server_, dash_, sim_;
};

const char* const SESSION =   // the player (car 7) second of three, not first listed
    "session begin\nDriverInfo:\n DriverCarIdx: 7\n Drivers:\n - CarIdx: 0\n   CarID: 42\n - CarIdx: 7\n"
    "   CarID: 99\nSessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionLaps: 20\n   ResultsPositions:\n"
    "   - Position: 1\n     CarIdx: 0\n     FastestTime: 80.1250\n     LastTime: 80.5000\n"
    "   - Position: 2\n     CarIdx: 7\n     FastestTime: 81.5000\n     LastTime: 82.1250\n"
    "   - Position: 3\n     CarIdx: 12\n     FastestTime: 83.0000\n     LastTime: 84.0000\n\nsession end\n";

}  // namespace

// One server and dashboard, stand-ins in turn: no data before any simulator,
// the first stand-in's values and the player's place in its session, "no
// data" when the car leaves the track, Not Active when the status bit clears;
// natively the simulator's names are then made anew under the mapped old
// objects, and later the object is cut short under the server. The server
// takes up each new simulator at once, never crashes, and updates never pause.
TEST_P(Telemetry, DashboardFollowsTheSimulatorAcrossLossRestartAndTruncation) {
    const Fields basic1 = {{"engine_warnings", 0x34}, {"session_flags", 4}, {"gear", 3}, {"speed", 61.7f},
                           {"shift_indicator_pct", 0.42f}, {"rpm", 6543}, {"throttle", 0.875f}, {"brake", 0.0625f}};
    const Fields session1 = {{"car_id", 99},   {"fastest_time", 81.5f}, {"last_time", 82.125f}, {"session_laps", 20},
                             {"lap", 4},       {"water_temp", 91.5f},   {"oil_temp", 104.3f},   {"fuel_level", 41.2f},
                             {"position", 2},  {"num_positions", 3}};
    const Fields basic2 = {{"engine_warnings", 1}, {"session_flags", 8}, {"gear", -1},
                           {"rpm", -4464},         {"throttle", 1.0f},   {"brake", 0.3f}};
    const std::string script2 = "fps 100\nset IsOnTrack 1\nset Gear -1\nset RPM -70000.7\nset Throttle 1\n"
                                "set Brake 0.3\nset EngineWarnings 0x7FFFFF01\nset SessionFlags 8\nframes 100000\n";
    auto shows = [](const Fields& basic, const Fields& session) {
        return [basic, session](const Json& u) { return u.count("end_session") && Shows(u, basic) && Shows(u, session); };
    };
    ASSERT_NO_FATAL_FAILURE(StartServerAndDash());
    EXPECT_TRUE(NoData(Updates(dash_.out).at(0))) << "values before any simulator ran";
    StartSim("fps 100\nset IsOnTrack 1\nset Gear 65539\nset RPM 6543.9\nset Speed 61.7\nset ShiftIndicatorPct 0.42\n"
             "set Throttle 0.875\nset Brake 0.0625\nset EngineWarnings 0x134\nset SessionFlags 0x10004\n"
             "set WaterTemp 91.5\nset OilTemp 104.3\nset Lap 4\nset FuelLevel 41.2\n" + std::string(SESSION) +
             "frames 300\nset IsOnTrack 0\nframes 100\nstatus 0\nstop\n");
    size_t d = WaitUpdate(0, shows(basic1, session1), wait_ms());
    ASSERT_NE(d, std::string::npos) << "the stand-in's values never arrived:\n" << dash_.out;
    ASSERT_TRUE(Harness_WaitOutput(server_, "iRacing Status = Active\nClients connected = 1\n", wait_ms())) << server_.out;
    d = WaitUpdate(d, NoData, wait_ms());
    EXPECT_NE(d, std::string::npos) << "no \"no data\" after the car left the track";
    server_.out.clear();   // the status lines from here on
    EXPECT_TRUE(Harness_WaitOutput(server_, "iRacing Status = Not Active", wait_ms()));
    Harness_Interrupt(sim_);
    ASSERT_TRUE(Harness_WaitExit(sim_, wait_ms()));
    EXPECT_EQ(sim_.exit_code, 0);
    if (!wine()) {   // a simulator that starts again makes its names anew
        shm_unlink("/IRSDKMemMapFileName");
        sem_unlink("/IRSDKDataValidEvent");
    }

    // Taken up within seconds, not once the old objects would go stale (30 s).
    server_.out.clear();
    StartSim(script2);
    d = WaitUpdate(d, shows(basic2, {}), wine() ? 10000 : 5000);
    ASSERT_NE(d, std::string::npos) << "the second stand-in's values did not arrive within seconds";
    EXPECT_TRUE(Harness_WaitOutput(server_, "iRacing Status = Active", wait_ms())) << server_.out;
    if (!wine()) {
        // Cut to nothing under the running server (reading it would raise
        // SIGBUS): no data, no crash; a new stand-in gives it its size back.
        const int fd = shm_open("/IRSDKMemMapFileName", O_RDWR, 0);
        ASSERT_TRUE(fd >= 0 && ftruncate(fd, 0) == 0);
        close(fd);
        d = WaitUpdate(d, NoData, 2000);
        EXPECT_NE(d, std::string::npos) << "still data while the mapping is cut short";
        StartSim(script2);
        d = WaitUpdate(d, shows(basic2, {}), 5000);
        EXPECT_NE(d, std::string::npos) << "no data once the mapping had its size back";
    }

    double longest = 0, last = -1;
    for (const Json& u : Updates(dash_.out)) {
        const double t = std::atof(u.at("t_ms").c_str());
        longest = std::max(longest, last < 0 ? 0 : t - last);
        last = t;
    }
    EXPECT_LT(longest, wine() ? 2000 : 1000) << "updates stalled";
    Harness_Poll(server_, 0);
    EXPECT_FALSE(server_.exited) << "server ended with " << server_.exit_code;
}

// The simulator's own recording, played at half speed: every update with
// values shows a recorded engine speed, none invented, up to the last
// frame; the car and session come from the recording's text.
TEST_P(Telemetry, SimulatorsRecordingReachesTheDashboardFrameByFrame) {
    const std::string file = recordings::Path(recordings::DISK);
    if (file.empty()) GTEST_SKIP() << recordings::MISSING;
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> rec((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto i32 = [&rec](size_t at) { int32_t v; std::memcpy(&v, &rec[at], 4); return v; };
    const int32_t frame_len = i32(36), frames_at = i32(52), count = i32(140);
    std::map<std::string, size_t> var;   // the offset of each variable in a frame
    for (int32_t i = 0; i < i32(24); i++) var[&rec[static_cast<size_t>(i32(28) + i * 144 + 16)]] = static_cast<size_t>(i32(static_cast<size_t>(i32(28) + i * 144 + 4)));
    auto rpm = [&](int frame) {   // as the dashboard shows it: a 16-bit whole number
        float v;
        std::memcpy(&v, &rec[static_cast<size_t>(frames_at + frame * frame_len) + var.at("RPM")], 4);
        return static_cast<float>(static_cast<int16_t>(static_cast<int32_t>(v)));
    };
    ASSERT_EQ(count, 390);

    // A file of the simulator's that is no recording (its live memory dumped)
    // is refused in one sentence, and nothing is played.
    const std::string dump = recordings::Path(recordings::LIVE_DUMP);
    if (!dump.empty()) {
        Proc refused;
        ASSERT_TRUE(Harness_StartProgram(refused, "tarmis_simulator", {dump}, wine()));
        ASSERT_TRUE(Harness_WaitExit(refused, wait_ms()));
        EXPECT_EQ(refused.exit_code, 2);
        EXPECT_EQ(Harness_Lines(Harness_ReadFile(refused.dir + "/stderr.txt")),
                  std::vector<std::string>{"tarmis_simulator: " + dump +
                                           " is not a telemetry recording written by the simulator"});
    }

    ASSERT_NO_FATAL_FAILURE(StartServerAndDash());
    ASSERT_TRUE(Harness_StartProgram(sim_, "tarmis_simulator", {file, "--speed", "0.5"}, wine()));
    for (const double end = Harness_NowMs() + wait_ms() + 30000; !sim_.exited && Harness_NowMs() < end;)
        for (Proc* p : {&sim_, &dash_, &server_}) Harness_Poll(*p, 10);
    ASSERT_TRUE(sim_.exited && sim_.exit_code == 0) << sim_.out;
    EXPECT_NE(sim_.out.find("REPLAY end, 390 frames played"), std::string::npos) << sim_.out;
    WaitUpdate(dash_.out.size(), [](const Json&) { return false; }, 300);   // the last updates

    std::set<float> rpms;   // what the dashboard may show: the recorded engine speeds
    for (int i = 0; i < count; i++) rpms.insert(rpm(i));
    int with_values = 0;
    Json last;
    for (const Json& u : Updates(dash_.out)) {
        if (u.count("no_data")) continue;
        with_values++;
        last = u;
        EXPECT_EQ(rpms.count(std::strtof(u.at("rpm").c_str(), nullptr)), 1u) << "an engine speed never recorded: " << u.at("rpm");
        EXPECT_TRUE(!u.count("end_session") || Shows(u, {{"car_id", 161}, {"session_laps", -1}})) << u.at("car_id");
    }
    EXPECT_GE(with_values, 100) << "too few updates with values";
    EXPECT_TRUE(Shows(last, {{"rpm", rpm(count - 1)}})) << "the last frame never arrived";
}

TARMIS_BUILD_SUITE(Telemetry);
