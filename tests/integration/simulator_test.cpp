// The stand-in simulator as the server meets it, in both builds: its window
// reports posted keys, its mapping holds a race a reader can follow, scripts
// reach the mapping, and it stops cleanly. Only one stand-in runs at a time
// on a machine, so each run waits its turn while another one is busy.
#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <filesystem>
#include <memory>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

constexpr int kMappingSize = 1228800;
constexpr int kBusyExit = 3;

std::string Unix(const std::string& s) {
    std::string r;
    for (char c : s)
        if (c != '\r') r += c;
    return r;
}

struct Dump {
    std::string bytes;
    int32_t I32(size_t at) const {
        int32_t v = 0;
        if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
        return v;
    }
    // Offset of `name` in the variable table, -1 when it is not there.
    int Offset(const std::string& name) const {
        for (int i = 0; i < I32(24); i++) {
            size_t e = static_cast<size_t>(I32(28) + i * 144);
            if (e + 144 > bytes.size()) return -1;
            if (std::string(bytes.c_str() + e + 16, strnlen(bytes.c_str() + e + 16, 32)) == name)
                return I32(e + 4);
        }
        return -1;
    }
    int Newest() const {
        int best = 0;
        for (int b = 1; b < I32(32); b++)
            if (I32(48 + b * 16) > I32(48 + best * 16)) best = b;
        return best;
    }
    int32_t Tick() const { return I32(48 + Newest() * 16); }
    size_t Frame() const { return static_cast<size_t>(I32(48 + Newest() * 16 + 4)); }
    int32_t Int(const std::string& name) const { return I32(Frame() + Offset(name)); }
    float Float(const std::string& name) const {
        float f = 0;
        std::memcpy(&f, bytes.data() + Frame() + Offset(name), 4);
        return f;
    }
    uint8_t Byte(const std::string& name) const {
        return static_cast<uint8_t>(bytes[Frame() + Offset(name)]);
    }
    std::string Text() const { return std::string(bytes.c_str() + I32(20)); }
};

// Tests of one build take turns on the machine: a test that looks at the
// named objects after its stand-in stopped must not find another test's
// stand-in there. The lock is a directory (made atomically); one left by a
// test that died goes stale after five minutes.
class TurnLock {
public:
    explicit TurnLock(bool wine)
        : path_(std::filesystem::temp_directory_path() /
                (wine ? "tarmis_simulator_turn_wine" : "tarmis_simulator_turn_native")) {}
    bool Take(int timeout_ms) {
        double give_up = Harness_NowMs() + timeout_ms;
        while (Harness_NowMs() < give_up) {
            std::error_code ec;
            if (std::filesystem::create_directory(path_, ec)) return held_ = true;
            auto age = std::filesystem::file_time_type::clock::now() -
                       std::filesystem::last_write_time(path_, ec);
            if (!ec && age > std::chrono::minutes(5)) std::filesystem::remove(path_, ec);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    ~TurnLock() {
        std::error_code ec;
        if (held_) std::filesystem::remove(path_, ec);
    }

private:
    std::filesystem::path path_;
    bool held_ = false;
};

class SimRun : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) TARMIS_SKIP_WITHOUT_WINE();
        turn_ = std::make_unique<TurnLock>(GetParam());
        ASSERT_TRUE(turn_->Take(240000)) << "another simulator test kept its turn";
    }
    void TearDown() override { turn_.reset(); }
    std::unique_ptr<TurnLock> turn_;
    bool wine() const { return GetParam(); }
    int wait_ms() const { return wine() ? 60000 : 10000; }

    // Starts a stand-in and waits for READY, taking turns with any other
    // stand-in that a test running alongside has started.
    void Start(Proc& p, const std::vector<std::string>& args, const std::string& dir = "") {
        double give_up = Harness_NowMs() + 180000;
        for (;;) {
            ASSERT_TRUE(Harness_StartProgram(p, "tarmis_simulator", args, wine(), dir));
            if (Harness_WaitOutput(p, "READY", wait_ms())) return;
            ASSERT_TRUE(p.exited) << "no READY: " << p.out;
            ASSERT_EQ(p.exit_code, kBusyExit) << p.out << Harness_ReadFile(p.dir + "/stderr.txt");
            ASSERT_LT(Harness_NowMs(), give_up) << "another stand-in stayed busy";
            Harness_Poll(p, 300);
        }
    }

    // Runs a helper invocation of the stand-in to its end.
    std::string Run(const std::vector<std::string>& args, int& code, const std::string& dir = "") {
        Proc p;
        EXPECT_TRUE(Harness_StartProgram(p, "tarmis_simulator", args, wine(), dir));
        EXPECT_TRUE(Harness_WaitExit(p, wait_ms()));
        code = p.exit_code;
        return Unix(p.out);
    }

    // What a reader finds now: the probe's lines and the whole view.
    Dump Probe(const std::string& dir, std::string* lines = nullptr, int wait = 200) {
        int code = -1;
        std::string out = Run({"--probe", "--dump", "dump.bin", "--wait", std::to_string(wait)},
                              code, dir);
        EXPECT_EQ(code, 0) << out;
        if (lines != nullptr) *lines = out;
        return Dump{Harness_ReadFile(dir + "/dump.bin")};
    }

    void Stop(Proc& p) {
        Harness_Interrupt(p);
        ASSERT_TRUE(Harness_WaitExit(p, wait_ms())) << "no exit after Ctrl-C";
        EXPECT_EQ(p.exit_code, 0);
    }
};

// A private directory for a test's script files.
std::string MakeDir() {
    static std::random_device rd;
    std::filesystem::path d = std::filesystem::temp_directory_path() /
                              ("tarmis_sim_it_" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(d);
    return d.string();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST_P(SimRun, ReportsEveryKeyMessageOnALineOfItsOwn) {
    Proc sim;
    Start(sim, {});
    struct Sent {
        std::string message;
        const char* name;
        uint32_t key, flags;
    };
    const Sent sent[] = {{"down", "WM_KEYDOWN", 13, 0x001C0001},
                         {"up", "WM_KEYUP", 13, 0xC01C0001},
                         {"0x0104", "0x0104", 18, 0x20380001},
                         {"256", "WM_KEYDOWN", 4294967295u, 0xFFFFFFFF}};
    for (const Sent& s : sent) {
        int code = -1;
        std::string out =
            Run({"--post", s.message, std::to_string(s.key), std::to_string(s.flags)}, code);
        EXPECT_EQ(code, 0) << out;
        EXPECT_EQ(out, "POSTED\n");
    }
    double deadline = Harness_NowMs() + wait_ms();
    auto keys = [&] {
        std::vector<std::string> r;
        for (const std::string& l : Harness_Lines(Unix(sim.out)))
            if (l.rfind("KEY ", 0) == 0) r.push_back(l);
        return r;
    };
    while (keys().size() < 4 && Harness_NowMs() < deadline) Harness_Poll(sim, 100);
    std::vector<std::string> got = keys();
    ASSERT_EQ(got.size(), 4u) << sim.out;
    const std::regex line("KEY (\\S+) (\\d+) 0x([0-9A-F]{8}) (\\d+)");
    unsigned long long last_stamp = 0;
    for (size_t i = 0; i < 4; i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(got[i], m, line)) << got[i];
        EXPECT_EQ(m[1].str(), sent[i].name);
        EXPECT_EQ(std::stoull(m[2].str()), sent[i].key);
        EXPECT_EQ(std::stoull(m[3].str(), nullptr, 16), sent[i].flags);
        unsigned long long stamp = std::stoull(m[4].str());
        if (i > 0) {
            EXPECT_GE(stamp, last_stamp) << "in the order posted";
        }
        last_stamp = stamp;
    }
    // Nothing else on the way: the start-up lines, READY, the keys.
    for (const std::string& l : Harness_Lines(Unix(sim.out)))
        EXPECT_TRUE(l.rfind("tarmis_simulator: ", 0) == 0 || l == "READY" || l.rfind("KEY ", 0) == 0)
            << l;
    Stop(sim);
    int code = -1;
    EXPECT_EQ(Run({"--post", "down", "13", "0"}, code), "NO WINDOW\n");
    EXPECT_EQ(code, 1);
}

TEST_P(SimRun, PublishesARaceThatAReaderCanFollow) {
    Proc sim;
    Start(sim, {});
    EXPECT_NE(Unix(sim.out).find("tarmis_simulator: mapping Local\\IRSDKMemMapFileName, 1228800 bytes"),
              std::string::npos)
        << sim.out;
    // READY comes with the first frame; the probe copies the mapping at
    // once, and the three buffers are all filled only from the third frame
    // on (about 50 ms at 60 frames a second).
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::string lines;
    Dump a = Probe(sim.dir, &lines, 1000);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines, m, std::regex("EVENTS (\\d+)"))) << lines;
    EXPECT_GE(std::stoi(m[1].str()), 40) << "about 60 signals a second";
    EXPECT_LE(std::stoi(m[1].str()), 75);
    ASSERT_EQ(a.bytes.size(), static_cast<size_t>(kMappingSize));
    EXPECT_NE(lines.find("PROBE size 1228800 version 2 status 1"), std::string::npos) << lines;
    EXPECT_EQ(a.I32(4), 1);
    EXPECT_EQ(a.I32(32), 3);
    EXPECT_GE(a.I32(24), 200);
    EXPECT_GT(a.I32(36), 6000);
    EXPECT_LT(a.I32(36), 10000);
    // Three buffers with the last three ticks, each frame carrying its own.
    int32_t newest = a.Tick();
    std::vector<int32_t> ticks{a.I32(48), a.I32(64), a.I32(80)};
    std::sort(ticks.begin(), ticks.end());
    EXPECT_EQ(ticks, (std::vector<int32_t>{newest - 2, newest - 1, newest}));
    EXPECT_EQ(a.Int("SessionTick"), newest);

    for (const char* v : {"Gear", "RPM", "Throttle", "Brake", "ShiftIndicatorPct", "Speed",
                          "EngineWarnings", "Lap", "WaterTemp", "OilTemp", "FuelLevel",
                          "IsOnTrack", "SessionFlags"}) {
        int off = a.Offset(v);
        EXPECT_GE(off, 0) << v;
        EXPECT_LE(off + 4, a.I32(36)) << v;
    }
    EXPECT_EQ(a.Byte("IsOnTrack"), 1);
    EXPECT_GE(a.Int("Gear"), 1);
    EXPECT_LE(a.Int("Gear"), 6);
    EXPECT_GT(a.Float("RPM"), 2000.0f);
    EXPECT_LT(a.Float("RPM"), 7600.0f);
    EXPECT_GT(a.Float("FuelLevel"), 70.0f);
    EXPECT_LT(a.Float("FuelLevel"), 90.0f);
    EXPECT_EQ(a.Int("SessionFlags") & 0x04, 0x04) << "green";
    EXPECT_GE(a.Int("Lap"), 1);

    std::string text = a.Text();
    EXPECT_EQ(static_cast<int>(text.size()) + 1, a.I32(16));
    EXPECT_GT(text.size(), 80000u);
    EXPECT_NE(text.find("DriverCarIdx: 23\n"), std::string::npos);
    size_t last = text.rfind("SessionNum:");
    ASSERT_NE(last, std::string::npos);
    size_t end = text.find("\n\n", last + 12);
    ASSERT_NE(end, std::string::npos);
    int entries = 0;
    for (size_t at = last; (at = text.find("- Position:", at)) != std::string::npos && at < end; at++)
        entries++;
    EXPECT_EQ(entries, 60);

    // A moment later: newer frames, moving values.
    Harness_Poll(sim, 1000);
    Dump b = Probe(sim.dir);
    EXPECT_GE(b.Tick() - newest, 30);
    EXPECT_NE(b.Float("LapDistance"), a.Float("LapDistance"));
    EXPECT_LT(b.Float("FuelLevel"), a.Float("FuelLevel"));

    Stop(sim);
    if (!wine()) {
        // The objects stay behind with the status bit clear.
        Dump after{Harness_ReadFile("/dev/shm/IRSDKMemMapFileName")};
        ASSERT_EQ(after.bytes.size(), static_cast<size_t>(kMappingSize));
        EXPECT_EQ(after.I32(4), 0);
        EXPECT_FALSE(Harness_ReadFile("/dev/shm/sem.IRSDKDataValidEvent").empty());
    }
}

TEST_P(SimRun, ASecondStandInRefusesWhileTheFirstRuns) {
    Proc first;
    Start(first, {});
    Proc second;
    ASSERT_TRUE(Harness_StartProgram(second, "tarmis_simulator", {}, wine()));
    ASSERT_TRUE(Harness_WaitExit(second, wait_ms()));
    EXPECT_EQ(second.exit_code, kBusyExit);
    EXPECT_EQ(Unix(Harness_ReadFile(second.dir + "/stderr.txt")),
              "tarmis_simulator: another simulator is running\n");
    EXPECT_EQ(Unix(second.out).find("READY"), std::string::npos);
    // The first one is untouched: still delivering, still its window.
    int code = -1;
    EXPECT_EQ(Run({"--post", "down", "65", "0"}, code), "POSTED\n");
    EXPECT_TRUE(Harness_WaitOutput(first, "KEY WM_KEYDOWN 65 0x00000000 ", wait_ms()));
    Dump d = Probe(first.dir);
    EXPECT_EQ(d.I32(4), 1);
    Stop(first);
}

TEST_P(SimRun, ARestartedStandInReopensTheObjectsAReaderHolds) {
    // A reader keeps the mapping and the event open across the restart, as
    // a running server does (under Windows that is what keeps them alive).
    Proc sim;
    Start(sim, {});
    Dump before = Probe(sim.dir);
    Proc reader;
    ASSERT_TRUE(Harness_StartProgram(reader, "tarmis_simulator", {"--probe", "--wait", "60000"},
                                     wine()));
    ASSERT_TRUE(Harness_WaitOutput(reader, "PROBE ticks", wait_ms())) << reader.out;
    Stop(sim);
    Dump between = Probe(sim.dir);
    EXPECT_EQ(between.I32(4), 0) << "stopped: status bit clear, objects still there";
    EXPECT_EQ(between.I32(12), before.I32(12));
    Proc again;
    Start(again, {"--quiet"});
    EXPECT_EQ(Unix(again.out), "READY\n");
    Dump now = Probe(again.dir);
    EXPECT_GT(now.I32(12), before.I32(12)) << "the same text area: its count goes on";
    EXPECT_EQ(now.I32(4), 1);
    EXPECT_GT(now.Tick(), 0);
    Stop(again);
    Harness_Kill(reader);
}

TEST_P(SimRun, AScriptsValuesTextAndHeaderChangesReachTheMapping) {
    Proc sim;
    std::string dir = MakeDir();
    const std::string info = " DriverCarIdx: 7\n - SessionNum: 0\n   SessionLaps: unlimited\n\n";
    {
        std::string script =
            "# values, a text, then the header changes\n"
            "set IsOnTrack 1\n"
            "set RPM 654.9\n"
            "set Gear -1\n"
            "set EngineWarnings 0x134\n"
            "set FuelLevel 47.5\n"
            "session begin\n" + info +
            "session end\n"
            "frames 5 100\n"
            "buffers 2\n"
            "framelen 4096\n"
            "hide Gear\n"
            "place RPM 9000\n"
            "status 0\n"
            "frames 3 100\n"
            "stop\n";
        WriteFile(dir + "/t.script", script);
    }
    Start(sim, {"--script", "t.script"}, dir);
    double deadline = Harness_NowMs() + wait_ms();
    Dump d;
    std::string lines;
    do {
        d = Probe(dir, &lines);
    } while (d.Tick() < 8 && Harness_NowMs() < deadline);
    // The script has stopped sending: what a reader sees now stays.
    d = Probe(dir, &lines);
    EXPECT_NE(lines.find("PROBE ticks 8 7 3 0\n"), std::string::npos) << lines;
    EXPECT_EQ(d.I32(4), 0);
    EXPECT_EQ(d.I32(32), 2);
    EXPECT_EQ(d.I32(36), 4096);
    EXPECT_EQ(d.Offset("Gear"), -1);
    EXPECT_EQ(d.Offset("RPM"), 9000);
    EXPECT_EQ(d.Text(), info);
    EXPECT_EQ(d.Byte("IsOnTrack"), 1);
    EXPECT_EQ(d.Int("EngineWarnings"), 0x134);
    EXPECT_FLOAT_EQ(d.Float("FuelLevel"), 47.5f);
    EXPECT_EQ(d.Int("SessionTick"), 8);
    Harness_Poll(sim, 300);
    EXPECT_EQ(Probe(dir).Tick(), 8) << "stop sends nothing more";
    Stop(sim);
    std::filesystem::remove_all(dir);
}

TEST_P(SimRun, ABadScriptIsRefusedBeforeAnythingStartsAndExitSetsTheCode) {
    std::string dir = MakeDir();
    WriteFile(dir + "/bad.script", "frames 1\nset RPM 100\nwarp 9\n");
    WriteFile(dir + "/code.script", "frames 2\nexit 7\nframes 5\n");
    Proc bad;
    ASSERT_TRUE(Harness_StartProgram(bad, "tarmis_simulator", {"--script", "bad.script"}, wine(), dir));
    ASSERT_TRUE(Harness_WaitExit(bad, wait_ms()));
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_EQ(Unix(Harness_ReadFile(dir + "/stderr.txt")),
              "script: bad.script:3: unknown command 'warp'\n");
    EXPECT_EQ(Unix(bad.out), "");

    Proc code;
    Start(code, {"--script", "code.script"}, dir);
    ASSERT_TRUE(Harness_WaitExit(code, wait_ms()));
    EXPECT_EQ(code.exit_code, 7);
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Builds, SimRun, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? std::string("Wine") : std::string("Native");
                         });
