// Live telemetry through the real programs: the simulator stand-in plays a
// script (or the test writes the simulator's mapping itself), the server
// reads it, and tarmis_dash shows what a dashboard receives. Covers the
// server taking up a simulator, losing it (car off track, status bit
// cleared), taking up a restarted one, and a mapping cut short under it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int kBusyExit = 3;   // the stand-in's "another simulator is running"
constexpr size_t kNone = std::string::npos;

using Json = std::map<std::string, std::string>;

// Waits until a complete line of `p`'s output from byte `from` on satisfies
// `ok`, reading every program of `all` meanwhile (so that no pipe fills).
// Returns the byte after that line, or kNone after `ms`.
size_t WaitLine(const std::vector<Proc*>& all, Proc& p, size_t from,
                const std::function<bool(const std::string&)>& ok, double ms) {
    const double end = Harness_NowMs() + ms;
    for (;;) {
        size_t nl;
        while (from != kNone && (nl = p.out.find('\n', from)) != kNone) {
            if (ok(p.out.substr(from, nl - from))) return nl + 1;
            from = nl + 1;
        }
        if (from == kNone || Harness_NowMs() > end) return kNone;
        for (Proc* q : all) Harness_Poll(*q, 0);
        usleep(5000);
    }
}

// Reads every program of `all` for `ms`.
void Pump(const std::vector<Proc*>& all, double ms) {
    const double end = Harness_NowMs() + ms;
    do {
        for (Proc* q : all) Harness_Poll(*q, 0);
        usleep(2000);
    } while (Harness_NowMs() < end);
}

std::function<bool(const std::string&)> Has(const std::string& needle) {
    return [needle](const std::string& line) { return line.find(needle) != kNone; };
}

// A dashboard update (a line of tarmis_dash --json) for which `ok` holds.
std::function<bool(const std::string&)> Update(const std::function<bool(const Json&)>& ok) {
    return [ok](const std::string& line) {
        return line.rfind("{\"seq\"", 0) == 0 && ok(Harness_JsonFields(line));
    };
}

bool NoData(const Json& u) { return u.count("no_data") && !u.count("gear"); }

struct Field {
    const char* name;
    float value;
};
using Fields = std::vector<Field>;

// "" when the update shows every basic field as expected and, when it
// carries the session block, every session field too; else what differs.
std::string Differences(const Json& got, const Fields& basic, const Fields& session) {
    std::string diff;
    auto check = [&](const Fields& fields) {
        for (const Field& e : fields) {
            auto it = got.find(e.name);
            if (it == got.end()) diff += std::string(" ") + e.name + " missing;";
            else if (it->second == "null" || std::strtof(it->second.c_str(), nullptr) != e.value)
                diff += std::string(" ") + e.name + " " + it->second + ";";
        }
    };
    if (got.count("no_data")) return " no data;";
    check(basic);
    if (got.count("end_session")) check(session);
    return diff;
}

std::function<bool(const Json&)> Shows(const Fields& basic, const Fields& session) {
    return [basic, session](const Json& u) {
        return u.count("end_session") && Differences(u, basic, session).empty();
    };
}

// The longest time between two updates of `dash_out`, by the dashboard's
// own receive times.
double LongestGap(const std::string& dash_out) {
    double longest = 0, last = -1;
    for (const std::string& line : Harness_Lines(dash_out)) {
        if (line.rfind("{\"seq\"", 0) != 0) continue;
        const double t = std::atof(Harness_JsonFields(line)["t_ms"].c_str());
        if (last >= 0) longest = std::max(longest, t - last);
        last = t;
    }
    return longest;
}

// Natively the stand-in holds an abstract socket as its window, which also
// keeps a second stand-in from starting. A test that writes the machine's
// mapping itself holds the same address to keep stand-ins out meanwhile.
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
            usleep(50000);
        }
        return false;
    }
    ~NativeSlot() {
        if (fd_ >= 0) close(fd_);
    }

private:
    int fd_ = -1;
};

class LiveTelemetry : public BuildRun {
protected:
    void SetUp() override {
        BuildRun::SetUp();
        if (!IsSkipped()) RequireTools({"tarmis_simulator", "tarmis_dash"});
    }

    // Starts a stand-in on `script` in a directory of its own and waits for
    // READY, waiting its turn while a stand-in of another test run holds
    // the machine's simulator objects.
    bool StartSim(Proc& sim, const std::string& script) {
        const double give_up = Harness_NowMs() + 180000;
        for (;;) {
            if (!Harness_StartProgram(sim, "tarmis_simulator", {"--quiet", "--script", "script.txt"},
                                      wine(), Script(script)))
                return false;
            if (WaitLine(all_, sim, 0, Has("READY"), wait_ms()) != kNone) return true;
            Harness_WaitExit(sim, 5000);
            if (!sim.exited || sim.exit_code != kBusyExit || Harness_NowMs() > give_up) {
                ADD_FAILURE() << "no READY: " << sim.out << Harness_ReadFile(sim.dir + "/stderr.txt");
                return false;
            }
            usleep(200000);
        }
    }
    // A new directory holding `script` as script.txt.
    std::string Script(const std::string& script) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tarmis_live_XXXXXX").string();
        const char* d = mkdtemp(tmpl.data());
        if (d == nullptr) return "";
        dirs_.push_back(d);
        std::ofstream(dirs_.back() + "/script.txt", std::ios::binary) << script;
        return dirs_.back();
    }
    void TearDown() override {
        std::error_code ec;
        for (const std::string& d : dirs_) std::filesystem::remove_all(d, ec);
    }

    std::vector<Proc*> all_;
    std::vector<std::string> dirs_;
};

// The first stand-in's session text: the player (car index 7) is not the
// first driver listed, and is second of three in the session.
const char* const kSession1 =
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
    "   SessionLaps: 20\n"
    "   ResultsPositions:\n"
    "   - Position: 1\n"
    "     CarIdx: 0\n"
    "     FastestTime: 80.1250\n"
    "     LastTime: 80.5000\n"
    "   - Position: 2\n"
    "     CarIdx: 7\n"
    "     FastestTime: 81.5000\n"
    "     LastTime: 82.1250\n"
    "   - Position: 3\n"
    "     CarIdx: 12\n"
    "     FastestTime: 83.0000\n"
    "     LastTime: 84.0000\n"
    "\n";

// The simulator's mapping and event of the test's own making (natively only),
// so that a test can do to them what no stand-in does: cut the object short
// under the running server, recreate its names while the server maps the old
// objects, or freeze it at a chosen moment.
class Mapping {
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
    ~Mapping() {
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

}  // namespace

// One server, one dashboard, two stand-ins in turn: the server starts with no
// simulator, takes up the first stand-in's values and the player's place in
// its session, sends "no data" when the car leaves the track and shows Not
// Active when the status bit clears, and takes up a second stand-in started
// after the first one ended. Updates never pause meanwhile.
TEST_P(LiveTelemetry, DashboardFollowsTheSimulatorAcrossALossAndARestart) {
    const Fields basic1 = {{"engine_warnings", 0x34}, {"session_flags", 4}, {"gear", 3},
                           {"speed", 61.7f},          {"shift_indicator_pct", 0.42f},
                           {"rpm", 6543},             {"throttle", 0.875f},
                           {"brake", 0.0625f}};
    // The player's own car (index 7), not the first car listed.
    const Fields session1 = {{"car_id", 99},        {"fastest_time", 81.5f},
                             {"last_time", 82.125f}, {"session_laps", 20},
                             {"lap", 4},             {"water_temp", 91.5f},
                             {"oil_temp", 104.3f},   {"fuel_level", 41.2f},
                             {"position", 2},        {"num_positions", 3}};
    const Fields basic2 = {{"engine_warnings", 1}, {"session_flags", 8}, {"gear", -1},
                           {"rpm", -4464},         {"throttle", 1.0f}, {"brake", 0.3f}};
    const std::string script1 =
        "fps 100\nset IsOnTrack 1\nset Gear 65539\nset RPM 6543.9\nset Speed 61.7\n"
        "set ShiftIndicatorPct 0.42\nset Throttle 0.875\nset Brake 0.0625\n"
        "set EngineWarnings 0x134\nset SessionFlags 0x10004\nset WaterTemp 91.5\n"
        "set OilTemp 104.3\nset Lap 4\nset FuelLevel 41.2\n"
        "session begin\n" + std::string(kSession1) + "session end\n"
        "frames 300\nset IsOnTrack 0\nframes 100\nstatus 0\nstop\n";
    const std::string script2 =
        "fps 100\nset IsOnTrack 1\nset Gear -1\nset RPM -70000.7\nset Throttle 1\n"
        "set Brake 0.3\nset EngineWarnings 0x7FFFFF01\nset SessionFlags 8\nframes 300\nstop\n";

    Proc server, dash, sim1, sim2;
    all_ = {&server, &dash, &sim1, &sim2};
    const std::string port = std::to_string(Harness_FreeUdpPort());
    ASSERT_TRUE(Harness_StartProgram(server, "tarmis_server", {"-p", port}, wine()));
    ASSERT_NE(WaitLine(all_, server, 0, Has("Clients connected = 0"), wait_ms()), kNone) << server.out;
    ASSERT_TRUE(Harness_StartProgram(dash, "tarmis_dash", {"--port", port, "--json"}, wine()));
    size_t d = WaitLine(all_, dash, 0, Has("{\"seq\""), wait_ms());
    ASSERT_NE(d, kNone) << dash.out;
    EXPECT_NE(dash.out.substr(0, d).find("\"no_data\":true"), kNone) << "values before any simulator ran";

    // The first stand-in: its values, then no data, then Not Active.
    size_t s = server.out.size();
    ASSERT_TRUE(StartSim(sim1, script1));
    d = WaitLine(all_, dash, d, Update(Shows(basic1, session1)), wait_ms());
    ASSERT_NE(d, kNone) << "the stand-in's values never arrived:\n" << dash.out;
    s = WaitLine(all_, server, s, Has("iRacing Status = Active"), wait_ms());
    ASSERT_NE(s, kNone) << server.out;
    ASSERT_NE(WaitLine(all_, server, s, Has("Clients connected = "), wait_ms()), kNone);
    EXPECT_EQ(server.out.compare(s, 22, "Clients connected = 1\n"), 0) << server.out.substr(s);
    d = WaitLine(all_, dash, d, Update(NoData), wait_ms());
    EXPECT_NE(d, kNone) << "no \"no data\" after the car left the track";
    EXPECT_NE(WaitLine(all_, server, s, Has("iRacing Status = Not Active"), wait_ms()), kNone)
        << "no Not Active after the status bit cleared:\n" << server.out;
    Harness_Interrupt(sim1);
    ASSERT_TRUE(Harness_WaitExit(sim1, wait_ms()));
    EXPECT_EQ(sim1.exit_code, 0) << Harness_ReadFile(sim1.dir + "/stderr.txt");

    // A second stand-in under the same names is taken up at once, not when
    // the first one's objects (still mapped by the server) would have gone
    // stale after 30 s.
    s = server.out.size();
    ASSERT_TRUE(StartSim(sim2, script2));
    EXPECT_NE(WaitLine(all_, dash, d, Update(Shows(basic2, {})), wine() ? 10000 : 5000), kNone)
        << "the second stand-in's values did not arrive within seconds";
    EXPECT_NE(WaitLine(all_, server, s, Has("iRacing Status = Active"), wait_ms()), kNone)
        << server.out;

    // The dashboard leaves with its disconnect.
    s = server.out.size();
    Harness_Interrupt(dash);
    ASSERT_TRUE(Harness_WaitExit(dash, wait_ms()));
    EXPECT_EQ(dash.exit_code, 0) << Harness_ReadFile(dash.dir + "/stderr.txt");
    EXPECT_NE(WaitLine(all_, server, s, Has("Clients connected = 0"), wait_ms()), kNone) << server.out;
    EXPECT_LT(LongestGap(dash.out), wine() ? 2000 : 1000) << "updates stalled";
    Harness_Poll(server, 0);
    EXPECT_FALSE(server.exited) << "server ended with " << server.exit_code;
}

TARMIS_BUILD_SUITE(LiveTelemetry);

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
        ASSERT_NE(WaitLine(all_, server_, 0, Has("Clients connected = "), 10000), kNone) << server_.out;
        ASSERT_TRUE(Harness_StartProgram(dash_, "tarmis_dash", {"--port", port, "--json"}, false));
        ASSERT_NE(WaitLine(all_, dash_, 0, Has("{\"seq\""), 10000), kNone) << dash_.out;
    }
    void TearDown() override {
        for (Proc* p : {&dash_, &server_}) {
            if (p->pid <= 0 || p->exited) continue;
            Harness_Interrupt(*p);
            EXPECT_TRUE(Harness_WaitExit(*p, 10000));
        }
    }
    // Frames every 5 ms for `ms` with this engine speed; the dashboard's
    // output from then on, for Shows/NoData.
    size_t Run(double ms, float rpm) {
        const size_t from = dash_.out.size();
        const double end = Harness_NowMs() + ms;
        while (Harness_NowMs() < end) {
            m_.Frame(tick_++, rpm, 2);
            Pump(all_, 5);
        }
        return from;
    }
    // An update from byte `from` on shows `rpm` (within `ms`).
    bool Shown(size_t from, float rpm, double ms = 200) {
        return WaitLine(all_, dash_, from, Update([rpm](const Json& u) {
                            return Differences(u, {{"rpm", rpm}, {"gear", 2}}, {}).empty();
                        }), ms) != kNone;
    }
    bool NoDataAfter(size_t from, double ms) {
        return WaitLine(all_, dash_, from, Update(NoData), ms) != kNone;
    }
    std::string ServerEnd() {
        return "server ended with " + std::to_string(server_.exit_code) + "\n" +
               Harness_ReadFile(server_.dir + "/stderr.txt");
    }

    std::vector<std::pair<std::string, std::string>> server_env_;
    NativeSlot slot_;
    Mapping m_;
    Proc server_, dash_;
    std::vector<Proc*> all_ = {&server_, &dash_};
    int32_t tick_ = 100;
};

// The object cut to nothing under the running server: reading the view
// would raise SIGBUS. The server stays up, sends no data while it is short,
// and reads frames again once it has its size back.
TEST_F(OwnMapping, TruncatedMappingMeansNoDataNotACrash) {
    ASSERT_TRUE(Shown(Run(600, 4321), 4321)) << "the server does not read the test's mapping";
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(m_.Truncate(0));
        // Nothing of the view may be touched now, by the test either.
        EXPECT_TRUE(NoDataAfter(dash_.out.size(), 600)) << "round " << round << ": still data while short";
        ASSERT_FALSE(server_.exited) << ServerEnd();

        ASSERT_TRUE(m_.Truncate(m_.size()));
        m_.Sound(64);
        const float rpm = 5000.0f + static_cast<float>(round);
        EXPECT_TRUE(Shown(Run(800, rpm), rpm)) << "round " << round;
    }
    ASSERT_FALSE(server_.exited) << ServerEnd();
}

// The simulator ends, removes its names and starts again under the same
// names while the server still maps the old objects: the server follows it
// to the new objects (event included) at once, without waiting for the old
// one to go stale.
TEST_F(OwnMapping, SimulatorWithRecreatedNamesIsSeenAgain) {
    ASSERT_TRUE(Shown(Run(600, 4321), 4321)) << "the server does not read the test's mapping";
    for (int round = 0; round < 2; round++) {
        ASSERT_TRUE(m_.Recreate());
        m_.Sound(64);
        tick_ = 1;   // a new simulator counts from the start again
        const float rpm = 7000.0f + static_cast<float>(round);
        EXPECT_TRUE(Shown(Run(1500, rpm), rpm)) << "round " << round;
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
        std::string tmpl = (std::filesystem::temp_directory_path() / "tarmis_clock_XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        clock_file_ = dir_ + "/clock";
        std::ofstream(clock_file_) << "+0\n";
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
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    static constexpr const char* kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    std::string dir_, clock_file_;
};

TEST_F(OwnMappingSteppedClock, WallClockStepBackDoesNotDelayNoData) {
    ASSERT_TRUE(Shown(Run(800, 4321), 4321)) << "the server does not read the test's mapping";
    const size_t frozen = dash_.out.size();   // no frame from here on
    std::ofstream(clock_file_) << "-3600\n";
    EXPECT_FALSE(NoDataAfter(frozen, 27000)) << "lost before 30 s without a frame";
    EXPECT_TRUE(NoDataAfter(frozen, 6000)) << "still data 33 s after the last frame";
    ASSERT_FALSE(server_.exited) << ServerEnd();
}
