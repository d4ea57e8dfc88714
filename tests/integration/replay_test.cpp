// Recordings through the real programs: the stand-in plays a telemetry
// recording (.ibt) with --replay while the server reads its mapping and
// tarmis_dash shows what arrives. The expected values are computed here from
// the recording's own bytes. Runs the native build and, when available, the
// Windows build under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "recordings.h"

namespace {

constexpr int kBusyExit = 3;    // the stand-in's "another simulator is running"

// ---- the recording, read here on its own ----------------------------------

struct Recording {
    std::vector<uint8_t> bytes;
    int32_t frame_len = 0, frames_at = 0, count = 0;
    std::map<std::string, int32_t> offsets;

    bool Load(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        if (bytes.size() < 144) return false;
        frame_len = I32(36);
        frames_at = I32(52);
        count = I32(140);
        const int32_t vars = I32(24), table = I32(28);
        for (int32_t i = 0; i < vars; i++) {
            const size_t e = static_cast<size_t>(table) + static_cast<size_t>(i) * 144;
            if (e + 144 > bytes.size()) return false;
            const char* name = reinterpret_cast<const char*>(&bytes[e + 16]);
            offsets[std::string(name, strnlen(name, 32))] = I32(e + 4);
        }
        return count > 0 && static_cast<size_t>(frames_at) +
                                    static_cast<size_t>(count) * static_cast<size_t>(frame_len) <=
                                bytes.size();
    }
    int32_t I32(size_t at) const {
        int32_t v;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    }
    template <typename T>
    T Get(int frame, const char* name) const {
        T v{};
        auto it = offsets.find(name);
        if (it == offsets.end()) return v;
        std::memcpy(&v, &bytes[static_cast<size_t>(frames_at) +
                               static_cast<size_t>(frame) * static_cast<size_t>(frame_len) +
                               static_cast<size_t>(it->second)],
                    sizeof v);
        return v;
    }
};

// What the server makes of one frame, as the dashboard shows it.
struct Reduced {
    bool on_track;
    int gear, rpm, engine_warnings, session_flags, lap;
    float throttle, brake, speed, shift, fuel, water, oil;
};

Reduced Reduce(const Recording& r, int i) {
    Reduced x;
    x.on_track = r.Get<uint8_t>(i, "IsOnTrack") != 0;
    x.gear = static_cast<int16_t>(r.Get<int32_t>(i, "Gear"));
    x.rpm = static_cast<int16_t>(static_cast<int32_t>(r.Get<float>(i, "RPM")));
    x.engine_warnings = static_cast<uint8_t>(r.Get<int32_t>(i, "EngineWarnings"));
    x.session_flags = static_cast<uint8_t>(r.Get<int32_t>(i, "SessionFlags"));
    x.lap = static_cast<int16_t>(r.Get<int32_t>(i, "Lap"));
    x.throttle = r.Get<float>(i, "Throttle");
    x.brake = r.Get<float>(i, "Brake");
    x.speed = r.Get<float>(i, "Speed");
    x.shift = r.Get<float>(i, "ShiftIndicatorPct");
    x.fuel = r.Get<float>(i, "FuelLevel");
    x.water = r.Get<float>(i, "WaterTemp");
    x.oil = r.Get<float>(i, "OilTemp");
    return x;
}

// ---- the dashboard's JSON lines -------------------------------------------

using Json = std::map<std::string, std::string>;

std::vector<Json> Updates(const std::string& out) {
    std::vector<Json> u;
    for (const std::string& line : Harness_Lines(out))
        if (line.rfind("{\"seq\"", 0) == 0) u.push_back(Harness_JsonFields(line));
    return u;
}

bool IntIs(const Json& u, const char* key, int v) {
    auto it = u.find(key);
    return it != u.end() && std::atoi(it->second.c_str()) == v;
}
bool FloatIs(const Json& u, const char* key, float v) {
    auto it = u.find(key);
    return it != u.end() && it->second != "null" && std::strtof(it->second.c_str(), nullptr) == v;
}

// The update shows frame `x`: its basic values, and with the session block
// its lap and fuel level.
bool Shows(const Json& u, const Reduced& x) {
    if (!IntIs(u, "gear", x.gear) || !IntIs(u, "rpm", x.rpm) ||
        !IntIs(u, "engine_warnings", x.engine_warnings) ||
        !IntIs(u, "session_flags", x.session_flags) || !FloatIs(u, "throttle", x.throttle) ||
        !FloatIs(u, "brake", x.brake) || !FloatIs(u, "speed", x.speed) ||
        !FloatIs(u, "shift_indicator_pct", x.shift))
        return false;
    if (!u.count("end_session")) return true;
    return IntIs(u, "lap", x.lap) && FloatIs(u, "fuel_level", x.fuel);
}

// The values of an update that a recording decides, as one comparable text.
std::string Values(const Json& u) {
    if (u.count("no_data")) return "no data";
    std::string s;
    for (const char* k : {"gear", "rpm", "engine_warnings", "session_flags", "throttle", "brake",
                          "speed", "shift_indicator_pct", "car_id", "session_laps", "lap",
                          "fuel_level", "fuel_laps", "water_temp", "oil_temp", "position",
                          "num_positions", "fastest_time", "last_time"}) {
        auto it = u.find(k);
        s += std::string(k) + "=" + (it == u.end() ? "-" : it->second) + " ";
    }
    return s;
}

// ---- running the programs -------------------------------------------------

class Replay : public BuildRun {
protected:
    void SetUp() override {
        BuildRun::SetUp();
        if (IsSkipped()) return;
        RequireTools({"tarmis_simulator", "tarmis_server", "tarmis_dash"});
        if (IsSkipped()) return;
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "tarmis_replay_XXXXXX").string();
        const char* d = mkdtemp(tmpl.data());
        ASSERT_NE(d, nullptr);
        dir_ = d;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    // Starts the server and a dashboard on it, and waits for the first
    // update.
    void StartServerAndDash() {
        server_ = std::make_unique<Proc>();
        dash_ = std::make_unique<Proc>();
        port_ = std::to_string(Harness_FreeUdpPort());
        ASSERT_TRUE(Harness_StartProgram(*server_, "tarmis_server", {"-p", port_}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(*server_, "Clients connected = ", wait_ms())) << server_->out;
        ASSERT_TRUE(
            Harness_StartProgram(*dash_, "tarmis_dash", {"--port", port_, "--json"}, wine()));
        ASSERT_TRUE(Harness_WaitOutput(*dash_, "\"seq\"", wait_ms())) << dash_->out;
    }

    // Runs the stand-in with `args` in `dir_` until it ends by itself,
    // waiting its turn while another stand-in runs; keeps the server and
    // dashboard output flowing meanwhile. Returns the stand-in's exit code.
    int RunSim(std::unique_ptr<Proc>& p, const std::vector<std::string>& args, int limit_ms) {
        const double give_up = Harness_NowMs() + 180000;
        for (;;) {
            p = std::make_unique<Proc>();
            Proc& sim = *p;
            if (!Harness_StartProgram(sim, "tarmis_simulator", args, wine(), dir_)) {
                ADD_FAILURE() << "cannot start the stand-in";
                return -1;
            }
            const double end = Harness_NowMs() + limit_ms;
            while (!sim.exited && Harness_NowMs() < end) {
                Harness_Poll(sim, 20);
                if (dash_) Harness_Poll(*dash_, 0);
                if (server_) Harness_Poll(*server_, 0);
            }
            if (!sim.exited) {
                ADD_FAILURE() << "the stand-in did not end: " << sim.out;
                Harness_Kill(sim);
                return -1;
            }
            if (sim.exit_code != kBusyExit || Harness_NowMs() > give_up) return sim.exit_code;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // Lets the dashboard take a few more updates, then ends it and the server.
    void StopServerAndDash() {
        const double end = Harness_NowMs() + 300;
        while (Harness_NowMs() < end) {
            Harness_Poll(*dash_, 20);
            Harness_Poll(*server_, 0);
        }
        Harness_Interrupt(*dash_);
        Harness_WaitExit(*dash_, wait_ms());
        Harness_Kill(*server_);
    }

    std::string dir_, port_;
    std::unique_ptr<Proc> server_, dash_;
};

}  // namespace

// The simulator's own recording, given alone as dropping it onto the
// program does: every update with values carries the reduction of some
// recorded frame, in recording order, none invented; the car and session
// come from the recording's text; the stand-in ends by itself.
TEST_P(Replay, SimulatorsRecordingReachesTheDashboardFrameByFrame) {
    const std::string file = recordings::Path(recordings::DISK);
    if (file.empty())
        GTEST_SKIP() << "../shared/recordings/redbullring-disk-390frames.ibt is absent: no real recording to play";
    Recording rec;
    ASSERT_TRUE(rec.Load(file));
    ASSERT_EQ(rec.count, 390);

    StartServerAndDash();
    if (HasFatalFailure()) return;
    std::unique_ptr<Proc> p;
    // Half speed: about 13 s, so a few hundred updates against 390 frames.
    ASSERT_EQ(RunSim(p, {file, "--speed", "0.5"}, wait_ms() + 30000), 0)
        << p->out << Harness_ReadFile(dir_ + "/stderr.txt");
    StopServerAndDash();
    const Proc& sim = *p;

    EXPECT_NE(sim.out.find("REPLAY " + file + ": track Red Bull Ring, car Mercedes-AMG W13 E "
                           "Performance, 390 frames of 1072 bytes, 6.50 s at 60 a second"),
              std::string::npos)
        << sim.out;
    EXPECT_NE(sim.out.find("REPLAY lap 9 to 9"), std::string::npos) << sim.out;
    EXPECT_NE(sim.out.find("REPLAY frame 390/390"), std::string::npos) << sim.out;
    EXPECT_NE(sim.out.find("REPLAY end, 390 frames played"), std::string::npos) << sim.out;

    std::vector<Reduced> frames;
    for (int i = 0; i < rec.count; i++) frames.push_back(Reduce(rec, i));
    const std::vector<Json> ups = Updates(dash_->out);
    int at = 0, with_values = 0, with_session = 0;
    std::set<int> shown;
    for (const Json& u : ups) {
        if (u.count("no_data")) continue;
        with_values++;
        int j = at;
        while (j < rec.count && !Shows(u, frames[static_cast<size_t>(j)])) j++;
        if (j == rec.count) {
            ADD_FAILURE() << "update of no recorded frame at or after frame " << at << ": "
                          << Values(u);
            continue;
        }
        at = j;
        shown.insert(j);
        if (!u.count("end_session")) continue;
        with_session++;
        // The engine temperatures are taken on the frames with a session
        // scan, so they are those of this frame or an earlier one.
        bool temps = false;
        for (int k = 0; k <= j && !temps; k++)
            temps = FloatIs(u, "water_temp", frames[static_cast<size_t>(k)].water) &&
                    FloatIs(u, "oil_temp", frames[static_cast<size_t>(k)].oil);
        EXPECT_TRUE(temps) << "temperatures of no frame up to " << j << ": " << Values(u);
        // The one driver's car, laps unlimited, the player first of one.
        EXPECT_TRUE(IntIs(u, "car_id", 161)) << Values(u);
        EXPECT_TRUE(IntIs(u, "session_laps", -1)) << Values(u);
    }
    EXPECT_GE(with_values, 100) << "too few updates with values";
    EXPECT_GE(with_session, with_values / 2);
    EXPECT_GE(shown.size(), 80u) << "too few distinct frames shown";
    EXPECT_GT(*shown.rbegin(), 370) << "the last frames never arrived";
}

// A text file and a dump of the live memory, given alone: one plain
// sentence on standard error, exit code 2, nothing created, no wait for a
// key (standard input is no console here).
TEST_P(Replay, FileThatIsNoRecordingIsRefusedInOneSentence) {
    {
        std::ofstream f(dir_ + "/notes.ibt", std::ios::binary);
        for (int i = 0; i < 10; i++)
            f << "these are not telemetry frames, just a text file with an .ibt name\n";
    }
    std::vector<std::string> files = {"notes.ibt"};
    const std::string dump = recordings::Path(recordings::LIVE_DUMP);
    if (!dump.empty()) files.push_back(dump);
    for (const std::string& file : files) {
        Proc sim;
        ASSERT_TRUE(Harness_StartProgram(sim, "tarmis_simulator", {file}, wine(), dir_));
        ASSERT_TRUE(Harness_WaitExit(sim, wait_ms())) << file;
        EXPECT_EQ(sim.exit_code, 2) << file;
        EXPECT_EQ(sim.out, "") << file;
        EXPECT_EQ(Harness_Lines(Harness_ReadFile(dir_ + "/stderr.txt")),
                  std::vector<std::string>{"tarmis_simulator: " + file +
                                           " is not a telemetry recording written by the simulator"});
    }
    if (dump.empty()) GTEST_SKIP() << recordings::MISSING;
}

// Record -> replay: a script with lap completions and a refuel in the pits,
// recorded while the server and a dashboard watched it live, then played
// back to a fresh server. The dashboard shows the same values in the same
// order both times, and the fuel estimate follows the laps: the first lap
// completion records the level, the next ones set and smooth the use per
// lap, and the lap completed after the refuel only records the new level,
// keeping the use per lap and the estimate.
class RecordReplay : public Replay {
protected:
    static std::string Script() {
        return "fps 100\n"
               "set IsOnTrack 1\n"
               "set Gear 3\n"
               "set Throttle 0.75\n"
               "set Speed 50.5\n"
               "set WaterTemp 90.5\n"
               "set OilTemp 101.25\n"
               "session begin\n"
               "DriverInfo:\n"
               " DriverCarIdx: 4\n"
               " Drivers:\n"
               " - CarIdx: 0\n"
               "   CarID: 11\n"
               " - CarIdx: 4\n"
               "   CarID: 44\n"
               "SessionInfo:\n"
               " Sessions:\n"
               " - SessionNum: 0\n"
               "   SessionLaps: 12\n"
               "   ResultsPositions:\n"
               "   - Position: 1\n"
               "     CarIdx: 4\n"
               "     FastestTime: 80.5\n"
               "     LastTime: 81.25\n"
               "\n"
               "session end\n"
               "pause 1500\n"
               "set Lap 1\nset FuelLevel 50\nset RPM 5000\nframes 60\n"
               "set Lap 2\nset FuelLevel 47\nset RPM 5100\nframes 60\n"
               "set Lap 3\nset FuelLevel 44.2\nset RPM 5200\nframes 60\n"
               "set FuelLevel 60\nset RPM 5300\nset Speed 0\nframes 60\n"
               "set FuelLevel 80\nset RPM 5400\nframes 60\n"
               "set Lap 4\nset FuelLevel 77\nset RPM 5500\nset Speed 50.5\nframes 60\n"
               "set Lap 5\nset FuelLevel 74.1\nset RPM 5600\nframes 60\n"
               "set IsOnTrack 0\nframes 60\n";
    }

    // The distinct values shown in turn (repeats of one state folded).
    static std::vector<std::string> States(const std::string& dash_out) {
        std::vector<std::string> s;
        for (const Json& u : Updates(dash_out)) {
            if (u.count("no_data") || !u.count("end_session")) continue;
            std::string v = Values(u);
            if (s.empty() || s.back() != v) s.push_back(v);
        }
        return s;
    }

    // Records the script with a live server and dashboard watching, then
    // replays the recording to a fresh server and dashboard.
    void RecordAndReplay() {
        {
            std::ofstream f(dir_ + "/race.txt");
            f << Script();
        }
        StartServerAndDash();
        if (HasFatalFailure()) return;
        std::unique_ptr<Proc> live;
        ASSERT_EQ(RunSim(live, {"--quiet", "--script", "race.txt", "--record", "race.ibt"},
                         wait_ms() + 20000),
                  0)
            << live->out << Harness_ReadFile(dir_ + "/stderr.txt");
        EXPECT_NE(live->out.find("RECORD race.ibt 480 frames, 4 laps completed"),
                  std::string::npos)
            << live->out;
        StopServerAndDash();
        live_dash_ = dash_->out;

        StartServerAndDash();
        if (HasFatalFailure()) return;
        std::unique_ptr<Proc> replay;
        ASSERT_EQ(RunSim(replay, {"--quiet", "--replay", "race.ibt"}, wait_ms() + 20000), 0)
            << replay->out << Harness_ReadFile(dir_ + "/stderr.txt");
        EXPECT_NE(replay->out.find("REPLAY race.ibt: track unknown, car unknown, 480 frames"),
                  std::string::npos)
            << replay->out;
        StopServerAndDash();
        replay_dash_ = dash_->out;
    }

    std::string live_dash_, replay_dash_;
};

TEST_P(RecordReplay, ReplayShowsWhatTheLiveRunShowedFuelEstimateIncluded) {
    RecordAndReplay();
    if (HasFatalFailure()) return;
    const std::vector<std::string> live = States(live_dash_), played = States(replay_dash_);
    ASSERT_GE(live.size(), 7u) << "the live run showed too few of the script's states";
    EXPECT_EQ(played, live);

    // Lap 2: used 3.0, the first use per lap (an outlier against none).
    const float used2 = 50.0f - 47.0f;
    const float laps2 = 47.0f / used2;
    // Lap 3: used 2.8, within a tenth of 3.0: smoothed.
    const float used3 = 47.0f - 44.2f;
    const float per_lap3 = 0.8f * used2 + 0.2f * used3;
    const float laps3 = 44.2f / per_lap3;
    ASSERT_FALSE(used3 > 1.1 * used2 || used3 < 0.9 * used2);
    // Lap 4 after the refuel to 80: 77 is recorded, the estimate stays.
    // Lap 5: used 2.9 against the kept 2.96, smoothed again.
    const float used5 = 77.0f - 74.1f;
    ASSERT_FALSE(used5 > 1.1 * per_lap3 || used5 < 0.9 * per_lap3);
    const float per_lap5 = 0.8f * per_lap3 + 0.2f * used5;
    const float laps5 = 74.1f / per_lap5;

    struct Step {
        int lap;
        float fuel, fuel_laps;
    } steps[] = {{2, 47.0f, laps2}, {3, 44.2f, laps3}, {3, 60.0f, laps3}, {3, 80.0f, laps3},
                 {4, 77.0f, laps3}, {5, 74.1f, laps5}};
    // The replay shows what the live run showed, so the replay alone is
    // held to the estimate.
    for (const Step& s : steps) {
        int seen = 0, right = 0;
        std::string got;
        for (const Json& u : Updates(replay_dash_)) {
            if (!u.count("end_session") || !IntIs(u, "lap", s.lap) ||
                !FloatIs(u, "fuel_level", s.fuel))
                continue;
            seen++;
            if (FloatIs(u, "fuel_laps", s.fuel_laps)) right++;
            else got = u.at("fuel_laps");
        }
        EXPECT_GT(seen, 0) << "lap " << s.lap << " at " << s.fuel << " l never shown";
        EXPECT_EQ(right, seen) << "lap " << s.lap << " at " << s.fuel << " l: fuel_laps " << got
                               << ", expected " << s.fuel_laps;
    }
}

TARMIS_BUILD_SUITE(Replay);
TARMIS_BUILD_SUITE(RecordReplay);
