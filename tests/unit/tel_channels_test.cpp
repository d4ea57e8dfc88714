// Reducing simulator frames to the live snapshot: conversions, off-track
// frames, session scans, lap completion and the fuel-laps estimate.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tel_fake_sim.h"

namespace {

int32_t feed_tick = 0;

// A simulator with the given variables, set up with its frame buffer.
void Attach(const std::vector<fake::Var>& vars = fake::StandardVars()) {
    fake::Install(1);
    fake::SetVars(vars);
    fake::WriteFrame(0, feed_tick = 1, fake::Frame{});
    Sim_GetNewData(nullptr, 0);
    Tel_SetupVars();
    ASSERT_NE(tel_frame, nullptr);
}

// One new frame through the copy path, then the reduction.
void Feed(const fake::Frame& f) {
    fake::WriteFrame(0, ++feed_tick, f);
    ASSERT_TRUE(Sim_GetNewData(tel_frame, tel_frame_len));
    Tel_Update();
}

fake::Frame Lap(int32_t lap, float fuel, int32_t flags = 0) {
    fake::Frame f;
    f.lap = lap;
    f.fuel = fuel;
    f.flags = flags;
    return f;
}

}  // namespace

TEST(TelChannels, VariablesAreConvertedToSnapshotTypes) {
    Attach();
    fake::Frame f;
    f.throttle = 0.75f, f.brake = 0.25f, f.shift = 0.5f, f.speed = 61.5f, f.fuel = 33.5f;
    f.warnings = 0x134, f.flags = 0x10208, f.rpm = 654.9f, f.gear = -1, f.lap = 0x10005;
    f.water = 90.0f, f.oil = 101.0f;
    Feed(f);
    const TelemetrySnapshot& s = live_snapshot;
    EXPECT_EQ(s.on_track + s.session_refreshed, 2);
    EXPECT_EQ(s.engine_warnings, 0x34);
    EXPECT_EQ(s.session_flags, 0x08);
    EXPECT_EQ(s.rpm, 654);
    EXPECT_EQ(s.gear, -1);
    EXPECT_EQ(s.lap, 5);
    const float got[] = {s.throttle, s.brake, s.shift_indicator_pct, s.speed, s.fuel_level,
                         s.water_temp, s.oil_temp};
    const float want[] = {0.75f, 0.25f, 0.5f, 61.5f, 33.5f, 90.0f, 101.0f};
    for (int i = 0; i < 7; i++) EXPECT_EQ(got[i], want[i]) << i;

    EXPECT_EQ(Tel_RpmToInt16(-0.5f), 0);
    EXPECT_EQ(Tel_RpmToInt16(-654.9f), -654);
    EXPECT_EQ(Tel_RpmToInt16(70000.0f), 70000 - 65536);
    EXPECT_EQ(Tel_RpmToInt16(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(Tel_RpmToInt16(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(Tel_RpmToInt16(1e30f), 0);
}

TEST(TelChannels, MissingOrOutOfFrameVariablesReadZero) {
    std::vector<fake::Var> vars;
    for (fake::Var v : fake::StandardVars()) {
        std::string name = v.name;
        if (name == "IsOnTrack") continue;                    // absent: on_track never set
        if (name == "Gear") v.name = "GearX";                 // absent
        if (name == "RPM") v.offset = fake::FRAME_LEN - 2;    // runs off the frame
        if (name == "Speed") v.offset = INT32_MAX;
        if (name == "Brake") v.offset = fake::FRAME_LEN - 4;  // the frame's last 4 bytes
        vars.push_back(v);
    }
    Attach(vars);
    fake::Frame f;
    f.gear = 4, f.rpm = 5000.0f, f.speed = 20.0f, f.throttle = 1.0f;
    fake::PutFloat(fake::FrameAt(0) + fake::FRAME_LEN - 4, 0.5f);
    Feed(f);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(live_snapshot.gear + live_snapshot.rpm, 0);
    EXPECT_EQ(live_snapshot.speed, 0.0f);
    EXPECT_EQ(live_snapshot.brake, 0.5f);
    EXPECT_EQ(live_snapshot.throttle, 1.0f);
}

TEST(TelChannels, SessionScanEveryFifteenthFrameAndAfterOffTrack) {
    Attach();
    fake::SetSessionText("DriverCarIdx: 1\nCarID: 5\n");
    fake::Frame f;
    f.water = 70.0f;
    Feed(f);   // frame 1 scans
    EXPECT_EQ(live_snapshot.car_id, 5);
    fake::SetSessionText("DriverCarIdx: 1\nCarID: 6\n");
    for (int frame = 2; frame <= 15; frame++) {
        f.water = static_cast<float>(frame);
        Feed(f);
        EXPECT_EQ(live_snapshot.car_id, 5) << frame;
        EXPECT_EQ(live_snapshot.water_temp, 70.0f) << frame;
    }
    Feed(f);   // frame 16 scans
    EXPECT_EQ(live_snapshot.car_id, 6);
    EXPECT_EQ(live_snapshot.water_temp, 15.0f);

    fake::SetSessionText("DriverCarIdx: 1\nCarID: 7\n");
    fake::Frame off = f;
    off.on_track = 0;
    off.rpm = 9999.0f;
    Feed(off);   // publishes nothing but on_track 0
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(live_snapshot.rpm, 0);
    EXPECT_EQ(live_snapshot.car_id, 6);
    Feed(f);     // back on track: scans at once
    EXPECT_EQ(live_snapshot.on_track, 1);
    EXPECT_EQ(live_snapshot.car_id, 7);
}

TEST(TelChannels, LapCompletesOnlyWhenCounterRisesByOne) {
    Attach();
    Feed(Lap(4, 50.0f));   // 0 -> 4
    Feed(Lap(6, 50.0f));   // 4 -> 6
    Feed(Lap(6, 50.0f));   // 6 -> 6
    EXPECT_EQ(fuel_at_lap_start, -1.0f);
    Feed(Lap(7, 48.0f));   // completion: records 48
    EXPECT_EQ(fuel_at_lap_start, 48.0f);
    Feed(Lap(8, 46.0f));
    EXPECT_EQ(live_snapshot.fuel_laps, 46.0f / 2.0f);

    Attach();              // lap 0 published: a first frame with lap 1 completes one
    live_snapshot.fuel_level = 60.0f;
    was_on_track = 1;
    Feed(Lap(1, 60.0f));
    EXPECT_EQ(fuel_at_lap_start, 60.0f);
}

TEST(TelChannels, FuelEstimateFollowsSmoothedConsumption) {
    Attach();
    Feed(Lap(1, 50.0f));   // the start completes lap 1 (0 published): records 50.0 at once
    EXPECT_EQ(fuel_at_lap_start, 50.0f);
    EXPECT_EQ(fuel_per_lap, -1.0f);
    Feed(Lap(1, 48.5f));
    Feed(Lap(2, 47.0f));   // used 3.0, an outlier against -1: A = 3.0
    EXPECT_EQ(fuel_per_lap, 3.0f);
    EXPECT_EQ(live_snapshot.fuel_laps, 47.0f / 3.0f);
    Feed(Lap(3, 44.2f));   // used 2.8, within 10 %: A = 0.8 A + 0.2 used
    float a = 0.8f * 3.0f + 0.2f * (47.0f - 44.2f);
    EXPECT_FLOAT_EQ(a, 2.96f);
    EXPECT_EQ(fuel_per_lap, a);
    EXPECT_EQ(live_snapshot.fuel_laps, 44.2f / a);
    Feed(Lap(4, 40.0f, 0x08));   // flag 0x08: A kept, r = F / A
    EXPECT_EQ(fuel_per_lap, a);
    EXPECT_EQ(live_snapshot.fuel_laps, 40.0f / a);
    Feed(Lap(5, 30.0f));   // outlier (used 10): r = F / used, A still smoothed
    EXPECT_EQ(live_snapshot.fuel_laps, 3.0f);
    EXPECT_EQ(fuel_per_lap, 0.8f * a + 0.2f * 10.0f);

    Attach();              // joined mid-session: the first completion records
    Feed(Lap(6, 30.0f));
    Feed(Lap(7, 28.0f));
    EXPECT_EQ(fuel_at_lap_start, 28.0f);
    Feed(Lap(8, 26.0f));
    EXPECT_EQ(live_snapshot.fuel_laps, 13.0f);
}

TEST(TelChannels, BackOnTrackAtTheSameLevelForgetsTheConsumption) {
    Attach();
    Feed(Lap(1, 20.0f));
    Feed(Lap(2, 18.0f));
    Feed(Lap(3, 16.0f));
    ASSERT_EQ(fuel_per_lap, 2.0f);
    fake::Frame off = Lap(3, 16.0f);
    off.on_track = 0;
    Feed(off);
    Feed(Lap(3, 16.0f));
    EXPECT_EQ(live_snapshot.fuel_laps, 8.0f);   // the last estimate stays shown
    Feed(Lap(4, 14.0f));   // records
    Feed(Lap(5, 12.5f));   // used 1.5: the average starts again from it
    EXPECT_EQ(fuel_per_lap, 1.5f);
    EXPECT_EQ(live_snapshot.fuel_laps, 12.5f / 1.5f);
}
