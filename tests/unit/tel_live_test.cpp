// The telemetry thread's live loop over a simulator mapping built in memory:
// taking frames, losing the simulator and finding it again, and reducing its
// frames to the live snapshot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "telemetry/channels.h"
#include "telemetry/sim_connection.h"

namespace {

// The mapping: header, buffer table (at 48), variable headers, session text, frames.
constexpr int VAR_TABLE = 512, SESSION_TEXT = 4096, FRAMES = 16384, FRAME_LEN = 64, VIEW_SIZE = 32768;
enum { STATUS = 4, SESSION_AT = 20, VAR_COUNT = 24, VAR_TABLE_AT = 28, BUFFERS = 32, LENGTH = 36 };
// The thirteen variables; each lies at four times its number in the frame.
enum { ON, THROTTLE, BRAKE, WARN, FLAGS, RPM, SHIFT, GEAR, SPEED, LAP, FUEL, WATER, OIL, VARS };
const char* const var_names[VARS] = {"IsOnTrack", "Throttle", "Brake", "EngineWarnings", "SessionFlags",
    "RPM", "ShiftIndicatorPct", "Gear", "Speed", "Lap", "FuelLevel", "WaterTemp", "OilTemp"};

std::vector<uint8_t> mem;
size_t buffers;
int32_t run_tick;   // the newest frame's
uint32_t now_ms;
void (*on_read)(size_t at, size_t len);   // the simulator acts while the view is read

template <class T> void Put(size_t at, T v) { std::memcpy(&mem.at(at + 3) - 3, &v, 4); }   // int32_t or float
size_t FrameAt(size_t buf) { return FRAMES + buf * 1024; }
void SetTick(size_t buf, int32_t tick) { Put(48 + 16 * buf, tick); }
// Variable `var` in every buffer.
template <class T> void Set(int var, T value) {
    for (size_t b = 0; b < buffers; b++) Put(FrameAt(b) + 4 * static_cast<size_t>(var), value);
}

// One pass of the live loop with a new frame in the next buffer.
void Pass() {
    run_tick++;
    SetTick(static_cast<size_t>(run_tick) % buffers, run_tick);
    Tel_LivePass();
}

// A simulator with `count` frame buffers and the thirteen variables, on
// track at 1111 rpm, with an empty session text, attached, set up and
// reduced (all telemetry state reset first).
void Running(size_t count = 3) {
    Sim_Reset();
    Tel_ResetChannels();
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
            if (on_read != nullptr) on_read(static_cast<size_t>(src - mem.data()), len);
            std::memcpy(dst, src, len);
        },
        [](ShmHandle, size_t) { return true; },
        [](const char*, const char*, ShmHandle*, const uint8_t**, size_t*, ShmHandle*) { return false; }};
    const int32_t header[][2] = {{STATUS, 1}, {SESSION_AT, SESSION_TEXT}, {VAR_COUNT, VARS},
        {VAR_TABLE_AT, VAR_TABLE}, {BUFFERS, static_cast<int32_t>(count)}, {LENGTH, FRAME_LEN}};
    for (auto [at, value] : header) Put(static_cast<size_t>(at), value);
    for (size_t b = 0; b < count; b++) Put(48 + 16 * b + 4, static_cast<int32_t>(FrameAt(b)));
    for (size_t v = 0; v < VARS; v++) {
        Put(VAR_TABLE + 144 * v + 4, static_cast<int32_t>(4 * v));
        std::strcpy(reinterpret_cast<char*>(&mem[VAR_TABLE + 144 * v + 16]), var_names[v]);
    }
    Set(ON, 1);
    Set(RPM, 1111.0f);
    for (int i = 0; i < 3; i++) Pass();
    ASSERT_EQ(sim_connected.load() + live_snapshot.on_track, 2);
}

}  // namespace

TEST(TelLive, AFrameTheSimulatorRewroteWhileItWasCopiedIsCopiedOnceMoreOrSkipped) {
    Running();
    // The simulator finishes a new frame during each of `tears` copies. A
    // pass copies the newest frame twice at most, waits for the event and
    // copies the newest twice more at most.
    static int tears;
    on_read = [](size_t at, size_t len) {
        if (len != FRAME_LEN || at < FRAMES || tears == 0) return;
        tears--;
        SetTick((at - FRAMES) / 1024, ++run_tick);
    };
    const struct { int tears, rpm; } copies[] = {{2, 2001}, {4, 2001}, {0, 2003}};
    for (int i = 0; i < 3; i++) {
        tears = copies[i].tears;
        Set(RPM, 2001.0f + static_cast<float>(i));
        Pass();
        EXPECT_EQ(live_snapshot.rpm, copies[i].rpm) << copies[i].tears << " torn copies";
    }
}

TEST(TelLive, LostAfterThirtySecondsWithoutAFrameAcrossTheTimerWrapAndWhenCleared) {
    Running();
    now_ms = 0xFFFFFFFFu - 10000u;
    Pass();   // the last frame before the simulator stalls
    // Only the platform timer counts, through a signed difference: its wrap
    // is no jump, and lost stays lost even half its range later.
    const struct { uint32_t later; int connected; } stale[] = {{29999u, 1}, {1u, 0}, {0x80000000u, 0}};
    for (const auto& s : stale) {
        now_ms += s.later;
        Tel_LivePass();
        EXPECT_EQ(sim_connected.load() + live_snapshot.on_track, 2 * s.connected) << now_ms;
    }
    Put(STATUS, 0);
    Pass();
    EXPECT_EQ(sim_connected.load(), 0);   // status clear: lost even with a new frame
}

TEST(TelLive, AHeaderPointingOutsideTheViewIsLostAtOnceAndNoValueOfItIsTaken) {
    const int32_t end = VIEW_SIZE, resetup = FRAME_LEN + 4;
    // Two header fields, the second by default the status as it is; a change of
    // frame length makes the next frame look the variables up anew. 84 is the
    // frame offset of buffer 2.
    const struct { const char* what; size_t at; int32_t value; size_t at2 = STATUS; int32_t value2 = 1; }
        cases[] = {
        {"buffer count 5", BUFFERS, 5},
        {"frame one byte past the view", 84, end - FRAME_LEN + 1},
        {"frame running one byte off the view", LENGTH, end - static_cast<int32_t>(FrameAt(2)) + 1},
        {"session text at the view's end", SESSION_AT, end},
        {"session text without an end in the view", SESSION_AT, end - 4, end - 4, 0x78787878},
        {"variable table running off the view", VAR_TABLE_AT, end - 144, LENGTH, resetup},
    };
    for (const auto& c : cases) {
        Running();
        const std::vector<uint8_t> good = mem;
        Put(c.at, c.value);
        Put(c.at2, c.value2);
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

TEST(TelLive, RpmIsTruncatedToSixteenBitsAndZeroWhenNotFinite) {
    const std::pair<float, int16_t> rpms[] = {{654.9f, 654}, {-654.9f, -654}, {70000.0f, 70000 - 65536},
        {std::nanf(""), 0}, {std::numeric_limits<float>::infinity(), 0}, {1e30f, 0}};
    for (auto [rpm, want] : rpms) EXPECT_EQ(Tel_RpmToInt16(rpm), want) << rpm;
}

TEST(TelLive, FuelLapsFollowTheSmoothedConsumptionOfCompletedLaps) {
    Running(1);
    const float a1 = 0.8f * 3.0f + 0.2f * 2.8f;
    const struct { int32_t lap; float fuel; int32_t flags, on; float fuel_laps; const char* what; }
        frames[] = {
        {1, 50.0f, 0, 1, 0.0f, "lap 1 completed at the start: its level only starts the next"},
        {2, 47.0f, 0, 1, 47.0f / 3.0f, "the first consumption, 3"},
        {3, 44.2f, 0, 1, 44.2f / a1, "2.8, within a tenth of it: smoothed"},
        {5, 42.0f, 0, 1, 44.2f / a1, "the counter jumped: no lap completed"},
        {6, 40.0f, 0x08, 1, 40.0f / a1, "the session holds the consumption"},
        {7, 30.0f, 0, 1, 3.0f, "10, an outlier: the estimate from that lap alone"},
        {7, 60.0f, 0, 1, 3.0f, "refuelled"},
        {8, 58.0f, 0, 1, 3.0f, "a lap with fuel added only starts the next"},
        {9, 56.0f, 0, 0, 3.0f, "off track"},
        {9, 56.0f, 0, 1, 3.0f, "back on track, the level not risen: consumption forgotten"},
        {10, 54.0f, 0, 1, 3.0f, "the first lap back only starts the next"},
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
