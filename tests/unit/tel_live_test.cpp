// The telemetry thread's live loop over a simulator mapping built in memory:
// taking frames, losing and finding the simulator again, and reducing its
// frames to the live snapshot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "telemetry/channels.h"
#include "telemetry/session_info.h"
#include "telemetry/sim_connection.h"

namespace {

// The mapping: header, buffer table (at 48), variable headers, session text and frames.
constexpr int VAR_TABLE = 512, SESSION_TEXT = 4096, FRAMES = 16384, FRAME_LEN = 64, VIEW_SIZE = 32768;
enum { STATUS = 4, SESSION_AT = 20, VAR_COUNT = 24, VAR_TABLE_AT = 28, BUFFERS = 32, LENGTH = 36 };
// The thirteen variables; each lies at four times its number in the frame.
enum { ON, THROTTLE, BRAKE, WARN, FLAGS, RPM, SHIFT, GEAR, SPEED, LAP, FUEL, WATER, OIL, VARS };
const char* const var_names[VARS] = {"IsOnTrack", "Throttle", "Brake", "EngineWarnings", "SessionFlags", "RPM",
    "ShiftIndicatorPct", "Gear", "Speed", "Lap", "FuelLevel", "WaterTemp", "OilTemp"};

std::vector<uint8_t> mem;
int buffers;
int32_t run_tick;
uint32_t now_ms;
void (*on_read)(const uint8_t* src, size_t len);   // the simulator acts while a frame is copied

template <class T> void Put(size_t at, T v) {
    static_assert(sizeof v == 4);
    std::memcpy(&mem.at(at + 3) - 3, &v, 4);
}
size_t FrameAt(int buf) { return FRAMES + static_cast<size_t>(buf) * 1024; }
void SetTick(int buf, int32_t tick) { Put(48 + 16 * static_cast<size_t>(buf), tick); }
// Variable `var` in every buffer.
template <class T> void Set(int var, T value) {
    for (int b = 0; b < buffers; b++) Put(FrameAt(b) + 4 * static_cast<size_t>(var), value);
}
// Buffer `buf` gets `tick`, with `rpm`.
void Frame(int buf, int32_t tick, float rpm) {
    Put(FrameAt(buf) + 4 * RPM, rpm);
    SetTick(buf, tick);
}
// Variable header `i`: `name` with its value at `offset`.
void SetVar(int i, const char* name, int32_t offset) {
    const size_t entry = VAR_TABLE + static_cast<size_t>(i) * 144;
    Put(entry + 4, offset);
    std::strncpy(reinterpret_cast<char*>(&mem.at(entry + 16)), name, 32);
}
void SetSessionText(const char* text) { std::strcpy(reinterpret_cast<char*>(&mem.at(SESSION_TEXT)), text); }

// A simulator with `count` frame buffers (tick 0, on track), the thirteen
// variables and an empty session text; all telemetry state reset.
void Install(int count) {
    Sim_Reset();
    Tel_ResetChannels();
    Tel_ResetSessionInfo();
    Snap_Reset();
    mem.assign(VIEW_SIZE, 0);
    buffers = count;
    run_tick = 0;
    now_ms = 1000000;
    on_read = nullptr;
    sim_platform = SimPlatform{
        [](const char*) { return ShmHandle{11}; },
        [](ShmHandle, size_t* size) {
            *size = mem.size();
            return static_cast<const uint8_t*>(mem.data());
        },
        [](const char*) { return ShmHandle{12}; }, [](ShmHandle, int) {}, [] { return now_ms; }, [](int) {},
        [](void* dst, const uint8_t* src, size_t len) {
            if (on_read != nullptr) on_read(src, len);
            std::memcpy(dst, src, len);
        },
        [](ShmHandle, size_t) { return true; },
        [](const char*, const char*, ShmHandle*, const uint8_t**, size_t*, ShmHandle*) { return false; }};
    const int32_t header[][2] = {{STATUS, 1}, {SESSION_AT, SESSION_TEXT}, {VAR_COUNT, VARS},
                                 {VAR_TABLE_AT, VAR_TABLE}, {BUFFERS, count}, {LENGTH, FRAME_LEN}};
    for (auto [at, value] : header) Put(static_cast<size_t>(at), value);
    for (int b = 0; b < count; b++) Put(48 + 16 * static_cast<size_t>(b) + 4, static_cast<int32_t>(FrameAt(b)));
    for (int v = 0; v < VARS; v++) SetVar(v, var_names[v], 4 * v);
    Set(ON, 1);
}

// One pass of the live loop with a new frame in the next buffer.
void Pass() {
    run_tick++;
    SetTick(run_tick % buffers, run_tick);
    Tel_LivePass();
}
// A simulator delivering frames: attached, set up and reduced.
void Running(int count = 3) {
    Install(count);
    Set(RPM, 1111.0f);
    for (int i = 0; i < 3; i++) Pass();
    ASSERT_EQ(sim_connected.load() + live_snapshot.on_track, 2);
    ASSERT_EQ(live_snapshot.rpm, 1111);
}

std::vector<uint8_t> dest(FRAME_LEN);
bool Take() { return Sim_GetNewData(dest.data(), FRAME_LEN); }
float TakenRpm() {
    float v;
    std::memcpy(&v, dest.data() + 4 * RPM, 4);
    return v;
}

// The simulator rewrites buffer 0 while its frame is copied `tears` times:
// it either finished (the next tick) or is still at it (tick -1).
int tears = 0;
bool rewriting = false;
void Tear(const uint8_t* src, size_t len) {
    if (len != FRAME_LEN || src != mem.data() + FrameAt(0) || tears == 0) return;
    tears--;
    int32_t tick;
    std::memcpy(&tick, &mem[48], 4);
    SetTick(0, rewriting ? -1 : tick + 1);
}

}  // namespace

TEST(TelLive, TakesTheNewestFrameOnceAndRetriesACopyTheSimulatorOverwrote) {
    Install(3);
    Frame(0, 7, 70.0f);
    Frame(1, 9, 90.0f);
    EXPECT_FALSE(Take());   // the first frame after attaching only sets the tick
    EXPECT_FALSE(Take());
    Frame(0, 12, 120.0f);
    Frame(2, 12, 121.0f);
    EXPECT_TRUE(Take());    // equal ticks: the lower entry
    EXPECT_EQ(TakenRpm(), 120.0f);

    on_read = Tear;
    const struct { int tears; bool rewriting, taken; } copies[] = {
        {1, false, true}, {2, false, false}, {1, true, false}, {0, false, true}};
    int32_t tick = 20;
    for (const auto& c : copies) {
        tears = c.tears;
        rewriting = c.rewriting;
        tick += 10;
        Frame(0, tick, static_cast<float>(tick));
        EXPECT_EQ(Take(), c.taken) << c.tears << " torn copies";
    }
    EXPECT_EQ(TakenRpm(), static_cast<float>(tick));
}

TEST(TelLive, LostWhenClearedAndAfterThirtySecondsWithoutAFrameAcrossTheTimerWrap) {
    Install(3);
    now_ms = 0xFFFFFFFFu - 10000u;
    for (int i = 0; i < 3; i++) Pass();
    ASSERT_EQ(sim_connected.load(), 1);
    // Only the platform timer counts, through a signed difference: its wrap
    // is no jump, and lost stays lost even half its range later.
    const struct { uint32_t later; int connected; } stale[] = {{29999u, 1}, {1u, 0}, {0x80000000u, 0}};
    for (const auto& s : stale) {
        now_ms += s.later;
        Tel_LivePass();
        EXPECT_EQ(sim_connected.load() + live_snapshot.on_track, 2 * s.connected) << now_ms;
    }
    Pass();
    EXPECT_EQ(sim_connected.load(), 1);   // back at the next frame
    Put(STATUS, 0);
    Tel_LivePass();
    EXPECT_EQ(sim_connected.load(), 0);   // status clear: lost in the same pass
}

TEST(TelLive, AHeaderPointingOutsideTheViewIsLostAtOnceAndNoValueOfItIsTaken) {
    const int32_t end = VIEW_SIZE, resetup = FRAME_LEN + 4;
    // One or two header fields; a change of frame length makes the next frame
    // look the variables up anew. 84 is the frame offset of buffer 2.
    const struct { const char* what; int at; int32_t value; int at2 = 0; int32_t value2 = 0; } cases[] = {
        {"buffer count 0", BUFFERS, 0},
        {"buffer count 5", BUFFERS, 5},
        {"frame one byte past the view", 84, end - FRAME_LEN + 1},
        {"frame offset INT32_MAX", 84, INT32_MAX},
        {"frame length 0", LENGTH, 0},
        {"frame running one byte off the view", LENGTH, end - static_cast<int32_t>(FrameAt(2)) + 1},
        {"session text at the view's end", SESSION_AT, end},
        {"session text without an end in the view", SESSION_AT, end - 4, end - 4, 0x78787878},
        {"variable count INT32_MAX", VAR_COUNT, INT32_MAX, LENGTH, resetup},
        {"variable table running off the view", VAR_TABLE_AT, end - 144, LENGTH, resetup},
        {"variable table at INT32_MAX", VAR_TABLE_AT, INT32_MAX, LENGTH, resetup},
    };
    for (const auto& c : cases) {
        Running();
        const std::vector<uint8_t> good = mem;
        Put(static_cast<size_t>(c.at), c.value);
        if (c.at2 != 0) Put(static_cast<size_t>(c.at2), c.value2);
        Set(RPM, 2000.0f);
        for (int pass = 0; pass < 3; pass++) {
            Pass();
            EXPECT_EQ(sim_connected.load() + live_snapshot.on_track, 0) << c.what << ", pass " << pass;
            EXPECT_EQ(live_snapshot.rpm, 1111) << c.what;
        }
        std::copy(good.begin(), good.end(), mem.begin());   // repaired: back within three frames
        Set(RPM, 3333.0f);
        for (int pass = 0; pass < 3; pass++) Pass();
        EXPECT_EQ(sim_connected.load() + live_snapshot.on_track, 2) << c.what << " repaired";
        EXPECT_EQ(live_snapshot.rpm, 3333) << c.what << " repaired";
    }
}

TEST(TelLive, VariablesAreConvertedToTheSnapshotsTypes) {
    Running(1);
    const std::pair<int, int32_t> ints[] = {{WARN, 0x134}, {FLAGS, 0x10208}, {GEAR, -1}, {LAP, 0x10005}};
    for (auto [var, v] : ints) Set(var, v);
    const std::pair<int, float> floats[] = {{THROTTLE, 0.75f}, {BRAKE, 0.25f}, {SHIFT, 0.5f}, {SPEED, 61.5f},
        {FUEL, 33.5f}, {WATER, 90.0f}, {OIL, 101.0f}, {RPM, 654.9f}};
    for (auto [var, v] : floats) Set(var, v);
    for (int frame = 0; frame < 15; frame++) Pass();   // up to the next session scan
    const TelemetrySnapshot& s = live_snapshot;
    EXPECT_EQ((std::vector<int>{s.engine_warnings, s.session_flags, s.gear, s.lap, s.rpm}),
              (std::vector<int>{0x34, 0x08, -1, 5, 654}));
    EXPECT_EQ((std::vector<float>{s.throttle, s.brake, s.shift_indicator_pct, s.speed, s.fuel_level,
                                  s.water_temp, s.oil_temp}),
              (std::vector<float>{0.75f, 0.25f, 0.5f, 61.5f, 33.5f, 90.0f, 101.0f}));
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<float, int16_t> rpms[] = {{-0.5f, 0}, {-654.9f, -654}, {70000.0f, 70000 - 65536},
                                              {std::nanf(""), 0}, {inf, 0}, {1e30f, 0}};
    for (auto [rpm, want] : rpms) EXPECT_EQ(Tel_RpmToInt16(rpm), want) << rpm;
}

TEST(TelLive, SessionTextIsScannedEveryFifteenthFrameAndOnReturningToTheTrack) {
    Running(1);   // its last frame scanned the empty text
    SetSessionText("DriverCarIdx: 1\nCarID: 6\n");
    Set(WATER, 70.0f);
    for (int frame = 1; frame < 15; frame++) {
        Pass();
        EXPECT_EQ(live_snapshot.car_id + live_snapshot.water_temp, 0.0f) << frame;
    }
    Pass();
    EXPECT_EQ(live_snapshot.car_id + live_snapshot.water_temp, 6 + 70.0f);

    SetSessionText("DriverCarIdx: 1\nCarID: 7\n");
    Set(ON, 0);
    Set(RPM, 9999.0f);
    Pass();   // off track: publishes that alone
    EXPECT_EQ(live_snapshot.on_track + live_snapshot.rpm + live_snapshot.car_id, 1111 + 6);
    Set(ON, 1);
    Pass();
    EXPECT_EQ(live_snapshot.car_id, 7);
}

TEST(TelLive, FuelLapsFollowTheSmoothedConsumptionOfCompletedLaps) {
    Running(1);
    const float a1 = 0.8f * 3.0f + 0.2f * 2.8f;
    const struct { int32_t lap; float fuel; int32_t flags, on; float fuel_laps; const char* what; } frames[] = {
        {1, 50.0f, 0, 1, 0.0f, "lap 1 completed at the start: its level only starts the next"},
        {1, 48.5f, 0, 1, 0.0f, "within the lap"},
        {2, 47.0f, 0, 1, 47.0f / 3.0f, "the first consumption, 3"},
        {3, 44.2f, 0, 1, 44.2f / a1, "2.8, within a tenth of it: smoothed"},
        {5, 42.0f, 0, 1, 44.2f / a1, "the counter jumped: no lap completed"},
        {6, 40.0f, 0x08, 1, 40.0f / a1, "the session holds the consumption"},
        {7, 30.0f, 0, 1, 3.0f, "10, an outlier: the estimate from it alone"},
        {7, 60.0f, 0, 1, 3.0f, "refuelled"},
        {8, 58.0f, 0, 1, 3.0f, "a lap with fuel added only starts the next"},
        {9, 56.0f, 0, 1, 56.0f / 2.0f, "2, an outlier against the average"},
        {9, 56.0f, 0, 0, 56.0f / 2.0f, "off track"},
        {9, 56.0f, 0, 1, 56.0f / 2.0f, "back on track at the same level: consumption forgotten"},
        {10, 54.0f, 0, 1, 56.0f / 2.0f, "the first lap back only starts the next"},
        {11, 52.5f, 0, 1, 52.5f / 1.5f, "the consumption starts again from 1.5"},
    };
    for (const auto& f : frames) {
        Set(LAP, f.lap);
        Set(FUEL, f.fuel);
        Set(FLAGS, f.flags);
        Set(ON, f.on);
        Pass();
        EXPECT_NEAR(live_snapshot.fuel_laps, f.fuel_laps, 1e-4) << f.what;
    }
}
