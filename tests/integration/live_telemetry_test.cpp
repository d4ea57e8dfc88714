// Live telemetry through the real programs: the simulator stand-in plays a
// script, the server (without the test pattern) reads its mapping, and
// tarmis_dash shows what arrives. Every line of the three programs is time
// stamped as it arrives, so that the dashboard's values and the status lines
// can be held against the script's timetable. Runs the native build and,
// when available, the Windows build under Wine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

constexpr int kBusyExit = 3;            // the stand-in's "another simulator is running"
constexpr double kInterval = 51.0;      // default update spacing at the server
constexpr double kTelemetryWait = 16.0; // the telemetry thread's longest wait

// ---- time-stamped output of several programs --------------------------------

struct Seen {
    double at;
    std::string text;
};

struct Watch {
    Proc* proc;
    size_t used = 0;
    std::vector<Seen> lines;
};

class Timeline {
public:
    Watch& Add(Proc& p) {
        watches_.push_back(std::make_unique<Watch>());
        watches_.back()->proc = &p;
        return *watches_.back();
    }
    // Reads every program's output for `ms`, stamping each complete line.
    void Pump(double ms) {
        const double end = Harness_NowMs() + ms;
        do {
            for (auto& w : watches_) {
                Harness_Poll(*w->proc, 0);
                const double now = Harness_NowMs();
                size_t nl;
                while ((nl = w->proc->out.find('\n', w->used)) != std::string::npos) {
                    w->lines.push_back({now, w->proc->out.substr(w->used, nl - w->used)});
                    w->used = nl + 1;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } while (Harness_NowMs() < end);
    }
    // Pumps until a line of `w` from index `from` on contains `needle`;
    // its index, or -1 after `timeout_ms`.
    long WaitFor(Watch& w, size_t from, const std::string& needle, double timeout_ms) {
        const double end = Harness_NowMs() + timeout_ms;
        for (;;) {
            for (size_t i = from; i < w.lines.size(); i++)
                if (w.lines[i].text.find(needle) != std::string::npos) return static_cast<long>(i);
            from = w.lines.size();
            if (Harness_NowMs() > end) return -1;
            Pump(5);
        }
    }

    // Waits at most `timeout_ms` for `p` to end, stamping everyone's lines
    // meanwhile; true when it has ended.
    bool WaitExit(Proc& p, double timeout_ms) {
        const double end = Harness_NowMs() + timeout_ms;
        while (!p.exited && Harness_NowMs() < end) Pump(5);
        if (!p.exited) Harness_WaitExit(p, 0);
        return p.exited;
    }

private:
    std::vector<std::unique_ptr<Watch>> watches_;
};

// ---- the dashboard's JSON lines ---------------------------------------------

struct Field {
    const char* name;
    float value;
};
using Fields = std::vector<Field>;

// "" when the update shows every basic field as expected and, when it
// carries the session block, every session field too; else what differs.
std::string Differences(const std::map<std::string, std::string>& got, const Fields& basic,
                        const Fields& session) {
    std::string diff;
    auto check = [&](const Fields& fields) {
        for (const Field& e : fields) {
            auto it = got.find(e.name);
            if (it == got.end()) diff += std::string(" ") + e.name + " missing;";
            else if (std::isnan(e.value) ? it->second != "null"
                                         : std::strtof(it->second.c_str(), nullptr) != e.value ||
                                               it->second == "null")
                diff += std::string(" ") + e.name + " " + it->second + " != " +
                        std::to_string(e.value) + ";";
        }
    };
    if (got.count("no_data")) return " no data;";
    check(basic);
    if (got.count("end_session")) check(session);
    else if (got.count("car_id")) diff += " session block without its end;";
    return diff;
}

struct Update {
    double at;
    std::map<std::string, std::string> fields;
};

std::vector<Update> Updates(const Watch& dash) {
    std::vector<Update> u;
    for (const Seen& s : dash.lines)
        if (s.text.rfind("{\"seq\"", 0) == 0) u.push_back({s.at, Harness_JsonFields(s.text)});
    return u;
}

// ---- status lines -------------------------------------------------------------

struct Status {
    double at;
    bool active;
    int clients;
};

// The redraws after the "Port = " line, each the two blanking lines and the
// two status lines; `problem` tells of any other line there.
std::vector<Status> StatusLines(const Watch& server, std::string& problem) {
    std::vector<Status> s;
    size_t i = 0;
    while (i < server.lines.size() && server.lines[i].text.rfind("Port = ", 0) != 0) i++;
    i++;
    for (; i + 3 < server.lines.size(); i += 4) {
        const std::string& a = server.lines[i].text;
        const std::string& b = server.lines[i + 1].text;
        const std::string& c = server.lines[i + 2].text;
        const std::string& d = server.lines[i + 3].text;
        int n = -1;
        if (a != std::string(27, ' ') || b != std::string(23, ' ') ||
            (c != "iRacing Status = Active" && c != "iRacing Status = Not Active") ||
            std::sscanf(d.c_str(), "Clients connected = %d", &n) != 1 ||
            d != "Clients connected = " + std::to_string(n)) {
            problem += "unexpected redraw: [" + a + "][" + b + "][" + c + "][" + d + "]\n";
            break;
        }
        s.push_back({server.lines[i + 2].at, c == "iRacing Status = Active", n});
    }
    return s;
}

// ---- the stand-in's slot on this machine ----------------------------------------

// Natively the stand-in holds an abstract socket as its window, which also
// keeps a second stand-in from starting. A test holds the same address to
// keep other stand-ins out while it needs the machine's mapping to itself.
class NativeSlot {
public:
    bool Take(double timeout_ms) {
        const double end = Harness_NowMs() + timeout_ms;
        while (Harness_NowMs() < end) {
            fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            const char name[] = "iRacingSim/SimWinClass";
            std::memcpy(addr.sun_path + 1, name, sizeof name - 1);
            socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0) return true;
            close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    ~NativeSlot() { Release(); }

private:
    int fd_ = -1;
};

std::string MakeDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarmis_live_XXXXXX").string();
    const char* d = mkdtemp(tmpl.data());
    return d != nullptr ? std::string(d) : std::string();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

class LiveTelemetry : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) TARMIS_SKIP_WITHOUT_WINE();
        for (const char* tool : {"tarmis_simulator", "tarmis_dash", "tarmis_server"}) {
            if (!std::filesystem::exists(Harness_NativeProgram(tool)))
                GTEST_SKIP() << tool << " is not built";
            if (GetParam() &&
                !std::filesystem::exists(Harness_WinDir() + "/" + tool + ".exe"))
                GTEST_SKIP() << tool << ".exe is not built";
        }
        dir_ = MakeDir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    bool wine() const { return GetParam(); }
    double wait_ms() const { return wine() ? 60000 : 10000; }
    // Allowance for scheduling and pipes on top of the server's own pacing.
    double slack() const { return wine() ? 400 : 200; }
    // From a stand-in's READY to its first frame taken by the server.
    double attach() const { return wine() ? 600 : 250; }

    // Starts a stand-in on `script` (a file in its own subdirectory `name`)
    // and waits for READY, waiting its turn while another stand-in runs.
    // Returns the time of READY (0 on failure) and the stand-in in `p`.
    double StartSim(Proc*& p, Timeline& tl, const std::string& name, const std::string& script) {
        const std::string d = dir_ + "/" + name;
        std::filesystem::create_directories(d);
        WriteFile(d + "/script.txt", script);
        const double give_up = Harness_NowMs() + 180000;
        for (;;) {
            procs_.push_back(std::make_unique<Proc>());
            p = procs_.back().get();
            if (!Harness_StartProgram(*p, "tarmis_simulator", {"--quiet", "--script", "script.txt"},
                                      wine(), d)) {
                ADD_FAILURE() << "cannot start the stand-in";
                return 0;
            }
            Watch& w = tl.Add(*p);
            long at = tl.WaitFor(w, 0, "READY", wait_ms());
            if (at >= 0) return w.lines[static_cast<size_t>(at)].at;
            Harness_WaitExit(*p, 5000);
            if (!p->exited || p->exit_code != kBusyExit || Harness_NowMs() > give_up) {
                ADD_FAILURE() << "no READY: " << p->out << Harness_ReadFile(d + "/stderr.txt");
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // Ctrl-C ends the server (the shell's own tests hold it to its exit
    // code). Under Wine the signal once went unanswered for a minute, which
    // says nothing about telemetry: there it is only reported, and the
    // server is killed when its Proc goes.
    void StopServer(Proc& server, Timeline& tl) {
        Harness_Interrupt(server);
        bool ended = tl.WaitExit(server, wine() ? 15000 : wait_ms());
        if (!wine()) EXPECT_TRUE(ended) << "the server did not end on Ctrl-C";
        else if (!ended) std::printf("note: tarmis_server.exe did not end on Ctrl-C within 15 s\n");
    }

    std::string dir_;
    std::vector<std::unique_ptr<Proc>> procs_;   // every stand-in started
};

// Values of the first script and what the server makes of them.
const char* const kSession1 =
    "WeekendInfo:\n"
    " TrackName: test oval\n"
    "DriverInfo:\n"
    " DriverCarIdx: 7\n"
    " Drivers:\n"
    " - CarIdx: 0\n"
    "   CarID: 42\n"
    " - CarIdx: 7\n"
    "   CarID: 99\n"
    "SessionInfo:\n"
    " Sessions:\n"
    " - SessionNum: 0\n"
    "   SessionLaps: unlimited\n"
    "   ResultsPositions:\n"
    "   - Position: 1\n"
    "     CarIdx: 7\n"
    "     FastestTime: 70.2500\n"
    "     LastTime: 71.0000\n"
    "     Incidents: 0\n"
    " - SessionNum: 1\n"
    "   SessionLaps: 20\n"
    "   ResultsPositions:\n"
    "   - Position: 1\n"
    "     CarIdx: 12\n"
    "     FastestTime: 80.1250\n"
    "     LastTime: 80.5000\n"
    "     Incidents: 0\n"
    "   - Position: 2\n"
    "     CarIdx: 17\n"
    "     FastestTime: 80.7500\n"
    "     LastTime: 81.0000\n"
    "     Incidents: 0\n"
    "   - Position: 3\n"
    "     CarIdx: 7\n"
    "     FastestTime: 81.5000\n"
    "     LastTime: 82.1250\n"
    "     Incidents: 2\n"
    "   - Position: 4\n"
    "     CarIdx: 70\n"
    "     FastestTime: 83.0000\n"
    "     LastTime: 84.0000\n"
    "     Incidents: 0\n"
    "   - Position: 5\n"
    "     CarIdx: 3\n"
    "     FastestTime: 85.0000\n"
    "     LastTime: 86.0000\n"
    "     Incidents: 4\n"
    "\n"
    "CarSetup:\n"
    " UpdateCount: 1\n";

// The second stand-in: three sessions, the last unlimited, the player in
// none of its places, no car identifier.
const char* const kSession2 =
    "DriverInfo:\n"
    " DriverCarIdx: 3\n"
    "SessionInfo:\n"
    " Sessions:\n"
    " - SessionNum: 0\n"
    "   SessionLaps: 5\n"
    "   ResultsPositions:\n"
    "   - Position: 1\n"
    "     CarIdx: 3\n"
    "     FastestTime: 60.0000\n"
    "     LastTime: 61.0000\n"
    " - SessionNum: 1\n"
    "   SessionLaps: 10\n"
    " - SessionNum: 2\n"
    "   SessionLaps: unlimited\n"
    "   ResultsPositions:\n"
    "   - Position: 1\n"
    "     CarIdx: 30\n"
    "     FastestTime: 90.0000\n"
    "     LastTime: 91.0000\n"
    "   - Position: 2\n"
    "     CarIdx: 31\n"
    "     FastestTime: 90.5000\n"
    "     LastTime: 91.5000\n"
    "   - Position: 3\n"
    "     CarIdx: 32\n"
    "     FastestTime: 92.0000\n"
    "     LastTime: 93.0000\n"
    "   - Position: 4\n"
    "     CarIdx: 33\n"
    "     FastestTime: 94.0000\n"
    "     LastTime: 95.0000\n"
    "     Incidents: 0\n"
    "\n";

std::string SessionCommands(const char* text) {
    return std::string("session begin\n") + text + "session end\n";
}

}  // namespace

// One server, one dashboard, two stand-ins in turn: the server starts with no
// simulator, takes up the first stand-in's values, goes to "no data" when the
// car leaves the track and to Not Active when the status bit clears, and
// takes up a second stand-in started after the first one stopped.
TEST_P(LiveTelemetry, DashboardShowsTheSimulatorsValuesAcrossARestart) {
    // The fuel estimator on the script's lap completions: the first frame
    // (lap 1, 50.0) only records its level, lap 2 sets the use per lap (3.0),
    // lap 3 smooths it to 3.0 again and lap 4 to 2.96.
    const float used2 = 50.0f - 47.0f;
    const float used3 = 47.0f - 44.0f;
    const float per_lap3 = 0.8f * used2 + 0.2f * used3;
    const float used4 = 44.0f - 41.2f;
    const float per_lap4 = 0.8f * per_lap3 + 0.2f * used4;
    const float fuel_laps4 = 41.2f / per_lap4;
    ASSERT_FALSE(used4 > 1.1 * per_lap3 || used4 < 0.9 * per_lap3);  // not an outlier

    const Fields basic1 = {{"engine_warnings", 0x34}, {"session_flags", 4}, {"gear", 3},
                           {"speed", 61.7f},          {"shift_indicator_pct", 0.42f},
                           {"rpm", 6543},             {"throttle", 0.875f},
                           {"brake", 0.0625f}};
    // The player's own car (index 7), not the first car listed.
    const Fields session1 = {{"car_id", 99},        {"fastest_time", 81.5f},
                             {"last_time", 82.125f}, {"session_laps", 20},
                             {"lap", 4},             {"water_temp", 91.5f},
                             {"oil_temp", 104.3f},   {"fuel_level", 41.2f},
                             {"position", 3},        {"num_positions", 5},
                             {"fuel_laps", fuel_laps4}};
    const Fields basic2 = {{"engine_warnings", 1}, {"session_flags", 8}, {"gear", -1},
                           {"speed", 0.1f},        {"shift_indicator_pct", 1.0f},
                           {"rpm", -4464},         {"throttle", 1.0f},
                           {"brake", 0.3f}};
    // After the car was off track the estimator starts again and keeps its
    // last figure meanwhile.
    const Fields session2 = {{"car_id", -1},         {"fastest_time", 0.0f},
                             {"last_time", 0.0f},    {"session_laps", -1},
                             {"lap", 7},             {"water_temp", 77.7f},
                             {"oil_temp", 88.8f},    {"fuel_level", 20.5f},
                             {"position", 0},        {"num_positions", 4},
                             {"fuel_laps", fuel_laps4}};

    // Timetable of the first script at 100 frames a second, in ms from READY.
    const double kLap4At = 1000, kOffTrackAt = 4000, kStatusOffAt = 5000;
    const std::string script1 =
        "fps 100\n"
        "set IsOnTrack 1\n"
        "set Gear 65539\n"
        "set RPM 6543.9\n"
        "set Speed 61.7\n"
        "set ShiftIndicatorPct 0.42\n"
        "set Throttle 0.875\n"
        "set Brake 0.0625\n"
        "set EngineWarnings 0x134\n"
        "set SessionFlags 0x10004\n"
        "set WaterTemp 91.5\n"
        "set OilTemp 104.3\n" +
        SessionCommands(kSession1) +
        "set Lap 1\nset FuelLevel 50\nframes 40\n"
        "set Lap 2\nset FuelLevel 47\nframes 30\n"
        "set Lap 3\nset FuelLevel 44\nframes 30\n"
        "set Lap 4\nset FuelLevel 41.2\nframes 300\n"
        "set IsOnTrack 0\nset RPM 1234\nset Gear 5\nframes 100\n"
        "status 0\n"
        "stop\n";
    const std::string script2 =
        "fps 100\n"
        "set IsOnTrack 1\n"
        "set Gear -1\n"
        "set RPM -70000.7\n"
        "set Speed 0.1\n"
        "set ShiftIndicatorPct 1\n"
        "set Throttle 1\n"
        "set Brake 0.3\n"
        "set EngineWarnings 0x7FFFFF01\n"
        "set SessionFlags 8\n"
        "set WaterTemp 77.7\n"
        "set OilTemp 88.8\n"
        "set Lap 7\n"
        "set FuelLevel 20.5\n" +
        SessionCommands(kSession2) + "frames 300\nstop\n";

    Timeline tl;
    // Natively the machine's mapping is shared: keep other stand-ins out
    // until ours starts, so that the server sees no simulator before it.
    NativeSlot slot;
    if (!wine()) {
        ASSERT_TRUE(slot.Take(180000)) << "another stand-in kept running";
    }

    Proc server;
    const std::string port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-p", port}, wine()));
    Watch& srv = tl.Add(server);
    ASSERT_GE(tl.WaitFor(srv, 0, "Clients connected = ", wait_ms()), 0) << server.out;

    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", port, "--json"}, wine()));
    Watch& dsh = tl.Add(dash);
    ASSERT_GE(tl.WaitFor(dsh, 0, "\"seq\"", wait_ms()), 0) << dash.out;
    const double dash_connected = dsh.lines.back().at;
    tl.Pump(300);

    slot.Release();
    Proc* sim1 = nullptr;
    const double ready1 = StartSim(sim1, tl, "sim1", script1);
    ASSERT_GT(ready1, 0);
    const size_t dash_before_sim = Updates(dsh).size();
    // Not Active shows within 2000 ms plus a pass of the status bit clearing.
    tl.Pump(kStatusOffAt - (Harness_NowMs() - ready1));
    long off_line = -1;
    {
        const double end = ready1 + kStatusOffAt + 2000 + slack() + kInterval;
        size_t from = srv.lines.size();
        while (off_line < 0 && Harness_NowMs() < end) {
            off_line = tl.WaitFor(srv, from, "iRacing Status = Not Active", 50);
        }
    }
    ASSERT_GE(off_line, 0) << "no Not Active after the status bit cleared:\n" << server.out;
    Harness_Interrupt(*sim1);
    ASSERT_TRUE(tl.WaitExit(*sim1, wait_ms()));
    EXPECT_EQ(sim1->exit_code, 0) << Harness_ReadFile(dir_ + "/sim1/stderr.txt");

    Proc* sim2 = nullptr;
    const double ready2 = StartSim(sim2, tl, "sim2", script2);
    ASSERT_GT(ready2, 0);
    // Long enough for a redraw after the server took the stand-in up.
    tl.Pump(ready2 + attach() + 2000 + slack() - Harness_NowMs());
    const double sim2_stop = Harness_NowMs();

    Harness_Interrupt(dash);
    ASSERT_TRUE(tl.WaitExit(dash, wait_ms()));
    tl.Pump(50);
    const double dash_left = Harness_NowMs();
    EXPECT_EQ(dash.exit_code, 0) << Harness_ReadFile(dash.dir + "/stderr.txt");
    {
        const double end = dash_left + 2000 + 2 * slack();
        size_t from = srv.lines.size();
        long zero = -1;
        while (zero < 0 && Harness_NowMs() < end)
            zero = tl.WaitFor(srv, from, "Clients connected = 0", 50);
        EXPECT_GE(zero, 0) << "the dashboard's leaving was not counted:\n" << server.out;
    }
    Harness_Interrupt(*sim2);
    EXPECT_TRUE(tl.WaitExit(*sim2, wait_ms()));
    tl.Pump(10);
    EXPECT_FALSE(server.exited) << "server ended with " << server.exit_code;

    // ---- the dashboard's updates against the timetable ----
    const std::vector<Update> ups = Updates(dsh);
    ASSERT_GT(ups.size(), dash_before_sim);
    // The server kept sending while the stand-ins came and went.
    for (size_t i = 1; i < ups.size() && ups[i].at < sim2_stop; i++)
        EXPECT_LT(ups[i].at - ups[i - 1].at, wine() ? 2000 : 1000)
            << "updates stalled " << ups[i].at - ready1 << " ms after the first READY";
    for (size_t i = 0; i < dash_before_sim; i++)
        EXPECT_TRUE(ups[i].fields.count("no_data")) << "values before any simulator ran";

    // Lap 4 values: shown within an interval of their first frame, and
    // then in every update until the car leaves the track.
    const double lap4_due = ready1 + kLap4At + kInterval + kTelemetryWait + slack();
    double first_lap4 = -1;
    int lap4_updates = 0, lap4_sessions = 0;
    for (const Update& u : ups) {
        if (u.at < ready1 + kLap4At - slack() || u.at > ready1 + kOffTrackAt) continue;
        std::string d = Differences(u.fields, basic1, session1);
        if (first_lap4 < 0 && d.empty()) first_lap4 = u.at;
        if (first_lap4 < 0) {
            if (u.at < lap4_due) continue;
            ADD_FAILURE() << "lap 4 values not shown " << u.at - ready1 << " ms after READY:" << d;
            break;
        }
        if (u.at < ready1 + kOffTrackAt - slack()) {
            EXPECT_EQ(d, "") << "at " << u.at - ready1 << " ms";
            lap4_updates++;
            if (u.fields.count("end_session")) lap4_sessions++;
        }
    }
    EXPECT_GE(first_lap4, 0) << "the lap 4 values never arrived";
    EXPECT_GE(lap4_updates, 30);
    EXPECT_GT(lap4_sessions, lap4_updates * 3 / 4) << "session block rarely sent";

    // Off track, then the status bit cleared, until the second stand-in:
    // nothing but the one-byte body.
    for (const Update& u : ups) {
        if (u.at < ready1 + kOffTrackAt + kInterval + kTelemetryWait + slack() ||
            u.at > ready2)
            continue;
        EXPECT_TRUE(u.fields.count("no_data") && !u.fields.count("gear") &&
                    !u.fields.count("end_basic"))
            << "at " << u.at - ready1 << " ms, expected no data";
    }

    // The second stand-in's values from shortly after its start on.
    double first2 = -1;
    int updates2 = 0;
    for (const Update& u : ups) {
        if (u.at < ready2 || u.at > sim2_stop) continue;
        std::string d = Differences(u.fields, basic2, session2);
        if (first2 < 0 && d.empty()) first2 = u.at;
        if (first2 < 0 && u.at > ready2 + attach() + kInterval + slack()) {
            ADD_FAILURE() << "second stand-in's values not shown " << u.at - ready2
                          << " ms after READY:" << d;
            break;
        }
        if (first2 >= 0) {
            EXPECT_EQ(d, "") << "at " << u.at - ready2 << " ms after the restart";
            updates2++;
        }
    }
    EXPECT_GE(first2, 0) << "the second stand-in's values never arrived";
    EXPECT_GE(updates2, 20);

    // ---- the status lines: appended to the pipe, every two seconds ----
    std::string problem;
    const std::vector<Status> st = StatusLines(srv, problem);
    EXPECT_EQ(problem, "");
    ASSERT_GE(st.size(), 5u);
    EXPECT_FALSE(st[0].active);
    EXPECT_EQ(st[0].clients, 0);
    int active1 = 0, inactive_between = 0, active2 = 0;
    for (size_t i = 0; i < st.size(); i++) {
        const Status& s = st[i];
        if (i > 0) {
            const double gap = s.at - st[i - 1].at;
            EXPECT_GT(gap, 2000 - slack()) << "redraws too close";
            EXPECT_LT(gap, 2000 + 4 * slack()) << "redraws too far apart";
        }
        if (s.at < ready1) {
            EXPECT_FALSE(s.active) << "Active before any simulator";
        }
        if (s.at > ready1 + attach() && s.at < ready1 + kStatusOffAt - slack()) {
            EXPECT_TRUE(s.active) << "at " << s.at - ready1;
            active1++;
        }
        if (s.at > ready1 + kStatusOffAt + slack() && s.at < ready2) {
            EXPECT_FALSE(s.active) << "at " << s.at - ready1;
        }
        if (s.at > ready1 + kStatusOffAt && s.at < ready2 && !s.active) inactive_between++;
        if (s.at > ready2 + attach() && s.at < sim2_stop) {
            EXPECT_TRUE(s.active) << "at " << s.at - ready2 << " after the restart";
            active2++;
        }
        if (s.at > dash_connected + slack() && s.at < dash_left - slack()) {
            EXPECT_EQ(s.clients, 1) << "at " << s.at - ready1;
        }
        if (s.at > dash_left + slack()) {
            EXPECT_EQ(s.clients, 0);
        }
    }
    EXPECT_GE(active1, 1);
    EXPECT_GE(inactive_between, 1);
    EXPECT_GE(active2, 1) << "the restarted stand-in was not shown as Active";

    StopServer(server, tl);
}

// A stand-in that publishes garbage: variable offsets outside the frame,
// frames of one byte and of the largest length, one and four buffers, a
// hidden "IsOnTrack", values that are not numbers, session texts that end
// at a key or overflow the tables. The server keeps serving the dashboard
// all along and shows what the readable part of each frame says.
TEST_P(LiveTelemetry, GarbageFromTheSimulatorNeverStopsTheServer) {
    const float nan = std::nanf("");
    struct Phase {
        std::string commands;  // before the phase's 100 frames
        bool no_data;
        Fields basic;
        Fields session;
    };
    const Fields sane = {{"engine_warnings", 3}, {"session_flags", 2}, {"gear", 2},
                         {"speed", 33.5f},       {"shift_indicator_pct", 0.5f},
                         {"rpm", 4464},          {"throttle", 0.5f},
                         {"brake", 0.25f}};
    // Offsets outside the frame read as 0; the others stay right.
    const Fields placed = {{"engine_warnings", 3}, {"session_flags", 2}, {"gear", 0},
                           {"shift_indicator_pct", 0.5f}, {"rpm", 0}, {"throttle", 0},
                           {"brake", 0.25f}};
    // Status bit off for 20 frames: the server sets up anew afterwards.
    const std::string cycle = "status 0\nframes 20\nstatus 1\n";

    std::string many_places = "DriverCarIdx: 155\nSessionInfo:\n - SessionNum: 0\n"
                              "   SessionLaps: 1234567890123\n   ResultsPositions:\n";
    for (int k = 0; k < 60; k++)
        many_places += "   - Position: " + std::to_string(k + 1) + "\n     CarIdx: " +
                       std::to_string(100 + k) + "\n     FastestTime: 1.0\n     LastTime: 2.0\n"
                       "     Incidents: 0\n";
    many_places += "\n";
    std::string many_sessions = "DriverCarIdx: 1\n";
    for (int k = 0; k < 12; k++)
        many_sessions += " - SessionNum: " + std::to_string(k) + "\n   SessionLaps: " +
                         std::to_string(k + 1) + "\n   - Position: 1\n     CarIdx: 1\n"
                         "     FastestTime: 9.0\n     LastTime: 9.5\n     Incidents: 0\n";
    many_sessions += "\n - SessionNum:";
    WriteFile(dir_ + "/ends_at_key.txt", "CarID: 77\nDriverCarIdx:");
    WriteFile(dir_ + "/many_places.txt", many_places);
    WriteFile(dir_ + "/many_sessions.txt", many_sessions);

    const std::vector<Phase> phases = {
        {"session file ../ends_at_key.txt\n", false, sane,
         {{"car_id", 77}, {"session_laps", 0}, {"position", 0}, {"num_positions", 0},
          {"fastest_time", 0}, {"last_time", 0}, {"lap", 3}, {"fuel_level", 12},
          {"water_temp", 50}, {"oil_temp", 60}, {"fuel_laps", 0}}},
        {"set RPM -70000.7\nset Throttle nan\nset Brake -inf\nsession file ../many_places.txt\n",
         false,
         {{"gear", 2}, {"rpm", -4464}, {"throttle", nan}, {"brake", nan}, {"speed", 33.5f}},
         {{"car_id", -1}, {"session_laps", 0}, {"position", 0}, {"num_positions", 50}}},
        {"set RPM 70000.7\nset Throttle 0.5\nset Brake 0.25\n"
         "session file ../many_sessions.txt\n"
         "place RPM 2147483647\nplace Gear -2147483648\nplace Speed 8046\n"
         "place Throttle 258047\n" + cycle,
         false, placed, {{"car_id", -1}}},
        {"framelen 1\n", true, {}, {}},
        {"framelen 258048\n", false, placed, {}},
        {"buffers 1\n", false, placed, {}},
        {"buffers 4\n", false, placed, {}},
        {"hide IsOnTrack\nset IsOnTrack 0\n" + cycle, false, placed, {}},
    };

    std::string script =
        "fps 100\nset IsOnTrack 1\nset Gear 2\nset RPM 70000.7\nset Speed 33.5\n"
        "set Throttle 0.5\nset Brake 0.25\nset ShiftIndicatorPct 0.5\nset EngineWarnings 3\n"
        "set SessionFlags 2\nset Lap 3\nset FuelLevel 12\nset WaterTemp 50\nset OilTemp 60\n";
    std::vector<double> starts;   // ms from READY at which each phase's frames begin
    double at = 0;
    for (const Phase& ph : phases) {
        script += ph.commands + "frames 100\n";
        if (ph.commands.find("frames 20") != std::string::npos) at += 200;
        starts.push_back(at);
        at += 1000;
    }
    script += "stop\n";

    Timeline tl;
    Proc server;
    const std::string port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-p", port}, wine()));
    Watch& srv = tl.Add(server);
    ASSERT_GE(tl.WaitFor(srv, 0, "Clients connected = ", wait_ms()), 0) << server.out;
    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", port, "--json"}, wine()));
    Watch& dsh = tl.Add(dash);
    ASSERT_GE(tl.WaitFor(dsh, 0, "\"seq\"", wait_ms()), 0) << dash.out;

    Proc* sim = nullptr;
    const double ready = StartSim(sim, tl, "sim", script);
    ASSERT_GT(ready, 0);
    tl.Pump(ready + at - Harness_NowMs());
    EXPECT_FALSE(sim->exited) << Harness_ReadFile(dir_ + "/sim/stderr.txt");
    Harness_Interrupt(*sim);
    EXPECT_TRUE(tl.WaitExit(*sim, wait_ms()));
    tl.Pump(300);
    ASSERT_FALSE(server.exited) << "server ended with " << server.exit_code << "\n"
                                << Harness_ReadFile(server.dir + "/stderr.txt");

    const std::vector<Update> ups = Updates(dsh);
    // Updates never paused, not even while the stand-in ended.
    for (size_t i = 1; i < ups.size(); i++)
        EXPECT_LT(ups[i].at - ups[i - 1].at, wine() ? 2000 : 1000)
            << "updates stalled at " << ups[i].at - ups[0].at;
    EXPECT_GT(ups.back().at, ready + at) << "updates stopped";

    // Within each phase, after the server had time to set up and scan the
    // text: every update as expected.
    const double settle = wine() ? 450 : 300;
    const double tail = wine() ? 250 : 150;   // before the next phase's commands
    for (size_t p = 0; p < phases.size(); p++) {
        int seen = 0;
        for (const Update& u : ups) {
            if (u.at < ready + starts[p] + settle || u.at > ready + starts[p] + 1000 - tail)
                continue;
            seen++;
            if (phases[p].no_data) {
                EXPECT_TRUE(u.fields.count("no_data") && !u.fields.count("gear"))
                    << "phase " << p << ": expected no data";
            } else {
                EXPECT_EQ(Differences(u.fields, phases[p].basic, phases[p].session), "")
                    << "phase " << p << " at " << u.at - ready - starts[p] << " ms";
            }
        }
        EXPECT_GE(seen, 1) << "phase " << p;
    }

    Harness_Interrupt(dash);
    EXPECT_TRUE(tl.WaitExit(dash, wait_ms()));
    StopServer(server, tl);
}

// A mapping of the test's own making (natively only), with header fields
// that no stand-in writes: variable tables and session texts outside the
// mapping, absurd buffer counts, frame offsets and lengths, tick counts at
// the ends of their range. The server must stay up, keep serving the
// dashboard and read a sound frame again once the header is sound.
class HostileMapping {
public:
    static constexpr size_t kSize = 1228800;
    static constexpr int32_t kVars = 1024, kText = 16384;
    static constexpr int32_t kBuffers[3] = {4096, 8192, 12288};

    bool Open() {
        fd_ = shm_open("/IRSDKMemMapFileName", O_RDWR, 0);
        if (fd_ < 0) {
            fd_ = shm_open("/IRSDKMemMapFileName", O_RDWR | O_CREAT | O_EXCL, 0644);
            if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(kSize)) != 0) return false;
            created_map_ = true;
        }
        struct stat st {};
        if (fstat(fd_, &st) != 0 || st.st_size < 65536) return false;
        size_ = static_cast<size_t>(st.st_size);
        void* v = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (v == MAP_FAILED) return false;
        view_ = static_cast<uint8_t*>(v);
        saved_.assign(view_, view_ + size_);
        event_ = sem_open("/IRSDKDataValidEvent", 0);
        if (event_ == SEM_FAILED) {
            event_ = sem_open("/IRSDKDataValidEvent", O_CREAT, 0644, 0);
            created_event_ = true;
        }
        return event_ != SEM_FAILED;
    }
    // Puts back what was there (a stand-in started later rewrites it anyway)
    // with the status bit clear; names made here are removed again.
    ~HostileMapping() {
        if (fd_ >= 0) Truncate(size_);   // a test that ended while it was cut
        if (view_ != nullptr) {
            std::memcpy(view_, saved_.data(), size_);
            Put(4, Get(4) & ~1);
            munmap(view_, size_);
        }
        if (fd_ >= 0) close(fd_);
        if (created_map_) shm_unlink("/IRSDKMemMapFileName");
        if (event_ != SEM_FAILED) sem_close(event_);
        if (created_event_) sem_unlink("/IRSDKDataValidEvent");
    }

    // Cuts the object to `bytes` (0: nothing of the view may be read) or
    // gives it its full size back (zero-filled, as after a new start).
    bool Truncate(size_t bytes) { return ftruncate(fd_, static_cast<off_t>(bytes)) == 0; }

    // Removes both names and creates them anew, as a simulator that ends and
    // starts again does; the old objects live on only in who still maps them.
    bool Recreate() {
        munmap(view_, size_);
        view_ = nullptr;
        close(fd_);
        shm_unlink("/IRSDKMemMapFileName");
        sem_close(event_);
        sem_unlink("/IRSDKDataValidEvent");
        created_map_ = created_event_ = true;   // removed again at the end
        fd_ = shm_open("/IRSDKMemMapFileName", O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd_ < 0 || ftruncate(fd_, static_cast<off_t>(size_)) != 0) return false;
        void* v = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (v == MAP_FAILED) return false;
        view_ = static_cast<uint8_t*>(v);
        event_ = sem_open("/IRSDKDataValidEvent", O_CREAT | O_EXCL, 0644, 0);
        return event_ != SEM_FAILED;
    }

    void Put(int64_t at, int32_t v) { std::memcpy(view_ + at, &v, 4); }
    int32_t Get(int64_t at) const {
        int32_t v;
        std::memcpy(&v, view_ + at, 4);
        return v;
    }
    size_t size() const { return size_; }
    uint8_t* view() { return view_; }

    // A sound layout: four variables, three buffers of `frame_len` bytes,
    // a short session text.
    void Sound(int32_t frame_len) {
        std::memset(view_, 0, 20000);
        Put(4, 1);
        Put(20, kText);
        Put(24, 4);
        Put(28, kVars);
        Put(32, 3);
        Put(36, frame_len);
        for (int b = 0; b < 3; b++) Put(48 + b * 16 + 4, kBuffers[b]);
        const char* names[4] = {"IsOnTrack", "RPM", "Gear", "Speed"};
        for (int i = 0; i < 4; i++) {
            Put(kVars + i * 144 + 4, i * 4);
            std::memcpy(view_ + kVars + i * 144 + 16, names[i], std::strlen(names[i]));
        }
        const char text[] = "DriverCarIdx: 1\nCarID: 321\n";
        std::memcpy(view_ + kText, text, sizeof text);
    }
    // Publishes the next frame in every buffer slot's own place, whatever the
    // header says, and signals it.
    void Frame(int32_t tick, float rpm, int32_t gear) {
        const int b = static_cast<int>(static_cast<uint32_t>(tick) % 3);
        uint8_t* f = view_ + kBuffers[b];
        Put(48 + b * 16, -1);
        f[0] = 1;
        std::memcpy(f + 4, &rpm, 4);
        std::memcpy(f + 8, &gear, 4);
        Put(48 + b * 16, tick);
        sem_post(event_);
    }

private:
    int fd_ = -1;
    uint8_t* view_ = nullptr;
    size_t size_ = 0;
    std::vector<uint8_t> saved_;
    sem_t* event_ = SEM_FAILED;
    bool created_map_ = false, created_event_ = false;
};

TEST(LiveTelemetryNative, HostileMappingNeverStopsTheServer) {
    for (const char* tool : {"tarmis_dash", "tarmis_server"})
        if (!std::filesystem::exists(Harness_NativeProgram(tool))) GTEST_SKIP() << tool;
    // No stand-in may run meanwhile: this test writes the machine's mapping.
    NativeSlot slot;
    ASSERT_TRUE(slot.Take(180000)) << "another stand-in kept running";
    HostileMapping m;
    ASSERT_TRUE(m.Open());
    const int32_t size = static_cast<int32_t>(m.size());
    m.Sound(64);

    Timeline tl;
    Proc server;
    const std::string port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-p", port}, false));
    Watch& srv = tl.Add(server);
    ASSERT_GE(tl.WaitFor(srv, 0, "Clients connected = ", 10000), 0) << server.out;
    Proc dash;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", port, "--json"}, false));
    Watch& dsh = tl.Add(dash);
    ASSERT_GE(tl.WaitFor(dsh, 0, "\"seq\"", 10000), 0) << dash.out;

    int32_t tick = 100;
    // Frames every 5 ms for `ms`, the header changed by `hostile` first.
    auto run = [&](double ms, float rpm, const std::function<void()>& hostile) {
        const double end = Harness_NowMs() + ms;
        while (Harness_NowMs() < end) {
            hostile();
            m.Frame(tick, rpm, 2);
            // Ticks wrap past the top of their range in one of the cases.
            tick = static_cast<int32_t>(static_cast<uint32_t>(tick) + 1u);
            tl.Pump(5);
        }
    };
    auto shown = [&](float rpm, double after) {
        for (const Update& u : Updates(dsh))
            if (u.at > after && Differences(u.fields, {{"rpm", rpm}, {"gear", 2}},
                                            {{"car_id", 321}}) == "")
                return true;
        return false;
    };

    run(600, 4321, [] {});
    ASSERT_TRUE(shown(4321, 0)) << "the server does not read the test's mapping";

    // Each case changes the frame length as well, so the server sets up anew
    // and looks the variables up in the garbage.
    int32_t len = 64;
    const std::vector<std::function<void()>> cases = {
        [&] { m.Put(24, 0x7FFFFFFF); m.Put(28, size - 200); },
        [&] { m.Put(24, 4); m.Put(28, -144); },
        [&] { m.Put(28, 0x7FFFFFFF); },
        [&] { m.Put(28, size - 144); m.Put(24, 2); },
        [&] {
            m.Put(HostileMapping::kVars + 4, len - 1);           // IsOnTrack: last byte
            m.Put(HostileMapping::kVars + 144 + 4, len - 2);     // RPM: across the end
            m.Put(HostileMapping::kVars + 288 + 4, -7);
            m.Put(HostileMapping::kVars + 432 + 4, 0x7FFFFFFF);
        },
        [&] { m.Put(20, size); },
        [&] { m.Put(20, -1); },
        [&] { m.Put(20, 0x7FFFFFFF); },
        [&] {   // a text that runs to the end of the mapping unterminated
            m.Put(20, size - 24);
            std::memcpy(m.view() + size - 24, "DriverCarIdx: 1\nSession", 24);
            m.view()[size - 1] = 'X';
        },
        [&] { m.Put(32, 0x7FFFFFFF); },
        [&] { m.Put(32, -1); },
        [&] { m.Put(32, 0); },
        [&] { for (int b = 0; b < 3; b++) m.Put(48 + b * 16 + 4, -8); },
        [&] { for (int b = 0; b < 3; b++) m.Put(48 + b * 16 + 4, size - 10); },
        [&] { for (int b = 0; b < 3; b++) m.Put(48 + b * 16 + 4, 0x7FFFFFFF); },
        [&] { m.Put(36, 0x7FFFFFFF); },
        [&] { m.Put(36, -5); },
        [&] { m.Put(36, 0); },
        [&] { m.Put(36, size); for (int b = 0; b < 3; b++) m.Put(48 + b * 16 + 4, 0); },
        [&] { tick = 0x7FFFFFF0; },
        [&] { tick = -0x7FFFFFFF - 1 + 5; },
    };
    for (size_t c = 0; c < cases.size(); c++) {
        m.Sound(++len);
        bool once = true;
        run(120, 1000 + static_cast<float>(c), [&] {
            if (once) cases[c]();
            once = false;
            m.Put(36, m.Get(36));   // the case's own frame length stays
        });
        ASSERT_FALSE(server.exited) << "case " << c << ": server ended with " << server.exit_code
                                    << "\n" << Harness_ReadFile(server.dir + "/stderr.txt");
    }

    // Sound again: the telemetry thread still follows the frames.
    tick = 1000;
    m.Sound(64);
    const double sound_at = Harness_NowMs();
    run(800, 5555, [] {});
    EXPECT_TRUE(shown(5555, sound_at)) << "no values after the garbage";
    EXPECT_FALSE(server.exited);

    const std::vector<Update> ups = Updates(dsh);
    for (size_t i = 1; i < ups.size(); i++)
        EXPECT_LT(ups[i].at - ups[i - 1].at, 1000) << "updates stalled";

    Harness_Interrupt(dash);
    EXPECT_TRUE(tl.WaitExit(dash, 10000));
    Harness_Interrupt(server);
    EXPECT_TRUE(tl.WaitExit(server, 10000));
}

// The server and a dashboard over a mapping of the test's own making
// (natively: it is the Linux platform layer that these tests are about).
class OwnMapping : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"tarmis_dash", "tarmis_server"})
            if (!std::filesystem::exists(Harness_NativeProgram(tool))) GTEST_SKIP() << tool;
        StartAll();
    }
    // The server sees `server_env_` in its environment (and only it).
    void StartAll() {
        // No stand-in may run meanwhile: this test writes the machine's mapping.
        ASSERT_TRUE(slot_.Take(180000)) << "another stand-in kept running";
        ASSERT_TRUE(m_.Open());
        m_.Sound(64);
        const std::string port = std::to_string(Harness_FreeUdpPort());
        for (const auto& [name, value] : server_env_) setenv(name.c_str(), value.c_str(), 1);
        const bool started = Harness_StartProgram(server_, "tarmis_server", {"-p", port}, false);
        for (const auto& [name, value] : server_env_) unsetenv(name.c_str());
        ASSERT_TRUE(started);
        srv_ = &tl_.Add(server_);
        ASSERT_GE(tl_.WaitFor(*srv_, 0, "Clients connected = ", 10000), 0) << server_.out;
        ASSERT_TRUE(Harness_StartProgram(dash_, "tarmis_dash", {"--port", port, "--json"}, false));
        dsh_ = &tl_.Add(dash_);
        ASSERT_GE(tl_.WaitFor(*dsh_, 0, "\"seq\"", 10000), 0) << dash_.out;
    }
    void TearDown() override {
        if (dash_.pid > 0 && !dash_.exited) {
            Harness_Interrupt(dash_);
            EXPECT_TRUE(tl_.WaitExit(dash_, 10000));
        }
        if (server_.pid > 0 && !server_.exited) {
            Harness_Interrupt(server_);
            EXPECT_TRUE(tl_.WaitExit(server_, 10000));
        }
    }
    // Frames every 5 ms for `ms` with this engine speed.
    void Run(double ms, float rpm) {
        const double end = Harness_NowMs() + ms;
        while (Harness_NowMs() < end) {
            m_.Frame(tick_++, rpm, 2);
            tl_.Pump(5);
        }
    }
    // Whether an update after `after` shows `rpm`, or one shows no data.
    bool Shown(float rpm, double after) {
        for (const Update& u : Updates(*dsh_))
            if (u.at > after && Differences(u.fields, {{"rpm", rpm}, {"gear", 2}}, {}) == "")
                return true;
        return false;
    }
    bool NoData(double after) {
        for (const Update& u : Updates(*dsh_))
            if (u.at > after && u.fields.count("no_data")) return true;
        return false;
    }
    std::string ServerEnd() {
        return "server ended with " + std::to_string(server_.exit_code) + "\n" +
               Harness_ReadFile(server_.dir + "/stderr.txt");
    }

    std::vector<std::pair<std::string, std::string>> server_env_;
    NativeSlot slot_;
    HostileMapping m_;
    Timeline tl_;
    Proc server_, dash_;
    Watch* srv_ = nullptr;
    Watch* dsh_ = nullptr;
    int32_t tick_ = 100;
};

// The object cut to nothing under the running server: reading the view
// would raise SIGBUS. The server stays up, sends no data while it is short,
// and reads frames again once it has its size back.
TEST_F(OwnMapping, TruncatedMappingMeansNoDataNotACrash) {
    Run(600, 4321);
    ASSERT_TRUE(Shown(4321, 0)) << "the server does not read the test's mapping";
    for (int round = 0; round < 2; round++) {
        const double cut_at = Harness_NowMs();
        ASSERT_TRUE(m_.Truncate(0));
        tl_.Pump(600);   // nothing of the view may be touched now, by the test either
        ASSERT_FALSE(server_.exited) << ServerEnd();
        EXPECT_TRUE(NoData(cut_at + 200)) << "round " << round << ": still data while short";

        ASSERT_TRUE(m_.Truncate(m_.size()));
        m_.Sound(64);
        const double back_at = Harness_NowMs();
        Run(800, 5000.0f + static_cast<float>(round));
        EXPECT_TRUE(Shown(5000.0f + static_cast<float>(round), back_at)) << "round " << round;
    }
    ASSERT_FALSE(server_.exited) << ServerEnd();
}

// The simulator ends, removes its names and starts again under the same
// names: the server follows it to the new objects (event included) at once,
// without waiting for the old one to go stale.
TEST_F(OwnMapping, SimulatorWithRecreatedNamesIsSeenAgain) {
    Run(600, 4321);
    ASSERT_TRUE(Shown(4321, 0)) << "the server does not read the test's mapping";
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(m_.Recreate());
        m_.Sound(64);
        tick_ = 1;   // a new simulator counts from the start again
        const double new_at = Harness_NowMs();
        Run(1500, 7000.0f + static_cast<float>(round));
        EXPECT_TRUE(Shown(7000.0f + static_cast<float>(round), new_at)) << "round " << round;
        ASSERT_FALSE(server_.exited) << ServerEnd();
    }
}

// The server's wall clock under the test's hand (libfaketime, the monotonic
// clock left alone): the simulator freezes and at that moment the wall clock
// steps an hour back, as a time sync or a hand may do. "No data" must still
// come 30 s after the last frame, not an hour and 30 s.
class OwnMappingSteppedClock : public OwnMapping {
protected:
    void SetUp() override {
        for (const char* tool : {"tarmis_dash", "tarmis_server"})
            if (!std::filesystem::exists(Harness_NativeProgram(tool))) GTEST_SKIP() << tool;
        if (!std::filesystem::exists(kFakeTime))
            GTEST_SKIP() << kFakeTime << " is absent (Debian package libfaketime)";
        dir_ = MakeDir();
        ASSERT_FALSE(dir_.empty());
        clock_file_ = dir_ + "/clock";
        WriteFile(clock_file_, "+0\n");
        const char* asan = std::getenv("ASAN_OPTIONS");
        server_env_ = {{"LD_PRELOAD", kFakeTime},
                       {"FAKETIME_TIMESTAMP_FILE", clock_file_},
                       {"FAKETIME_NO_CACHE", "1"},
                       {"DONT_FAKE_MONOTONIC", "1"},
                       // The sanitizer runtime comes second behind the preload.
                       {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                            ":verify_asan_link_order=0"}};
        StartAll();
    }
    void TearDown() override {
        OwnMapping::TearDown();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    static constexpr const char* kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    std::string dir_, clock_file_;
};

TEST_F(OwnMappingSteppedClock, WallClockStepBackDoesNotDelayNoData) {
    Run(800, 4321);
    ASSERT_TRUE(Shown(4321, 0)) << "the server does not read the test's mapping";
    const double frozen_at = Harness_NowMs();   // no frame from here on
    WriteFile(clock_file_, "-3600\n");
    tl_.Pump(27000);
    EXPECT_FALSE(NoData(frozen_at)) << "lost before 30 s without a frame";
    tl_.Pump(6000);
    EXPECT_TRUE(NoData(frozen_at + 29000)) << "still data 33 s after the last frame";
    ASSERT_FALSE(server_.exited) << ServerEnd();
}

INSTANTIATE_TEST_SUITE_P(Builds, LiveTelemetry, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Wine" : "Native";
                         });
