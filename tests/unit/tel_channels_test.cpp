// Reducing simulator frames to the live snapshot: conversions, off-track
// frames, session scans, lap completion and the fuel-laps estimate.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tel_fake_sim.h"

namespace {

int32_t feed_tick = 0;

// A connected simulator with its variables set up and frame buffer made.
void Attach(const std::vector<fake::Var>& vars = fake::StandardVars()) {
    fake::Install(1);
    fake::SetVars(vars);
    feed_tick = 1;
    fake::WriteFrame(0, feed_tick, fake::Frame{});
    ASSERT_FALSE(Sim_GetNewData(nullptr, 0));
    Tel_SetupVars();
    ASSERT_NE(tel_frame, nullptr);
}

// One new frame through the real copy path, then the reduction.
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
    f.throttle = 0.75f;
    f.brake = 0.25f;
    f.warnings = 0x134;
    f.flags = 0x10208;
    f.rpm = 654.9f;
    f.shift = 0.5f;
    f.gear = -1;
    f.speed = 61.5f;
    f.lap = 0x10005;
    f.fuel = 33.5f;
    f.water = 90.0f;
    f.oil = 101.0f;
    Feed(f);
    const TelemetrySnapshot& s = live_snapshot;
    EXPECT_EQ(s.on_track, 1);
    EXPECT_EQ(s.throttle, 0.75f);
    EXPECT_EQ(s.brake, 0.25f);
    EXPECT_EQ(s.engine_warnings, 0x34);
    EXPECT_EQ(s.session_flags, 0x08);
    EXPECT_EQ(s.rpm, 654);
    EXPECT_EQ(s.shift_indicator_pct, 0.5f);
    EXPECT_EQ(s.gear, -1);
    EXPECT_EQ(s.speed, 61.5f);
    EXPECT_EQ(s.lap, 5);
    EXPECT_EQ(s.fuel_level, 33.5f);
    EXPECT_EQ(s.water_temp, 90.0f);
    EXPECT_EQ(s.oil_temp, 101.0f);
    EXPECT_EQ(s.session_refreshed, 1);

    EXPECT_EQ(Tel_RpmToInt16(-0.5f), 0);
    EXPECT_EQ(Tel_RpmToInt16(-654.9f), -654);
    EXPECT_EQ(Tel_RpmToInt16(70000.0f), 70000 - 65536);
    EXPECT_EQ(Tel_RpmToInt16(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(Tel_RpmToInt16(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(Tel_RpmToInt16(1e30f), 0);
}

TEST(TelChannels, MissingOrOutOfFrameVariablesReadZero) {
    std::vector<fake::Var> vars = fake::StandardVars();
    for (fake::Var& v : vars) {
        if (std::string(v.name) == "Gear") v.name = "GearX";
        if (std::string(v.name) == "RPM") v.offset = fake::FRAME_LEN - 2;       // runs off the frame
        if (std::string(v.name) == "Speed") v.offset = 2147483647;
        if (std::string(v.name) == "Brake") v.offset = fake::FRAME_LEN - 4;     // last 4 bytes: fine
    }
    Attach(vars);
    EXPECT_EQ(tel_var_offsets[TEL_VAR_GEAR], -1);
    fake::Frame f;
    f.gear = 4;
    f.rpm = 5000.0f;
    f.speed = 20.0f;
    f.throttle = 1.0f;
    fake::WriteFrame(0, ++feed_tick, f);
    fake::PutFloat(fake::FrameAt(0) + fake::FRAME_LEN - 4, 0.5f);
    ASSERT_TRUE(Sim_GetNewData(tel_frame, tel_frame_len));
    Tel_Update();
    EXPECT_EQ(live_snapshot.gear, 0);
    EXPECT_EQ(live_snapshot.rpm, 0);
    EXPECT_EQ(live_snapshot.speed, 0.0f);
    EXPECT_EQ(live_snapshot.brake, 0.5f);
    EXPECT_EQ(live_snapshot.throttle, 1.0f);
}

TEST(TelChannels, MissingIsOnTrackNeverMarksOnTrack) {
    std::vector<fake::Var> vars;
    for (const fake::Var& v : fake::StandardVars()) {
        if (std::string(v.name) != "IsOnTrack") vars.push_back(v);
    }
    Attach(vars);
    fake::Frame f;
    f.rpm = 3000.0f;
    Feed(f);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(live_snapshot.rpm, 3000);
}

TEST(TelChannels, OffTrackFramePublishesOnlyOffTrackThenRescans) {
    Attach();
    fake::SetSessionText("DriverCarIdx: 1\nCarID: 11\n");
    fake::Frame f;
    f.rpm = 4000.0f;
    f.water = 80.0f;
    Feed(f);
    ASSERT_EQ(live_snapshot.car_id, 11);

    fake::SetSessionText("DriverCarIdx: 1\nCarID: 22\n");
    f.rpm = 4100.0f;
    Feed(f);                      // no scan on the second frame
    EXPECT_EQ(live_snapshot.car_id, 11);

    fake::Frame off = f;
    off.on_track = 0;
    off.rpm = 9999.0f;
    Feed(off);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(live_snapshot.rpm, 4100);
    EXPECT_EQ(live_working.rpm, 4100);

    f.rpm = 4200.0f;
    f.water = 85.0f;
    Feed(f);                      // first frame back on track scans
    EXPECT_EQ(live_snapshot.on_track, 1);
    EXPECT_EQ(live_snapshot.car_id, 22);
    EXPECT_EQ(live_snapshot.water_temp, 85.0f);
}

TEST(TelChannels, SessionScanAndTemperaturesEveryFifteenthFrame) {
    Attach();
    fake::SetSessionText("DriverCarIdx: 1\nCarID: 5\n");
    fake::Frame f;
    f.water = 70.0f;
    Feed(f);                      // frame 1: scan
    EXPECT_EQ(live_snapshot.car_id, 5);
    fake::SetSessionText("DriverCarIdx: 1\nCarID: 6\n");
    for (int frame = 2; frame <= 15; frame++) {
        f.water = 70.0f + static_cast<float>(frame);
        Feed(f);
        EXPECT_EQ(live_snapshot.car_id, 5) << frame;
        EXPECT_EQ(live_snapshot.water_temp, 70.0f) << frame;
    }
    f.water = 99.0f;
    Feed(f);                      // frame 16: scan
    EXPECT_EQ(live_snapshot.car_id, 6);
    EXPECT_EQ(live_snapshot.water_temp, 99.0f);
}

TEST(TelChannels, LapCompletesOnlyWhenCounterRisesByOne) {
    // Lap completions are seen through the estimator: the first one records
    // the fuel level, the second yields fuel_laps.
    Attach();
    Feed(Lap(4, 50.0f));          // lap 0 -> 4: not a completion
    Feed(Lap(6, 50.0f));          // 4 -> 6: none
    Feed(Lap(6, 50.0f));          // 6 -> 6: none
    EXPECT_EQ(fuel_at_lap_start, -1.0f);
    Feed(Lap(7, 48.0f));          // 6 -> 7: records 48
    EXPECT_EQ(fuel_at_lap_start, 48.0f);
    Feed(Lap(8, 46.0f));          // 7 -> 8: used 2
    EXPECT_EQ(live_snapshot.fuel_laps, 46.0f / 2.0f);

    // With nothing published yet, a first frame with lap 1 completes a lap.
    Attach();
    live_snapshot.fuel_level = 60.0f;   // as if a level had been published
    was_on_track = 1;
    Feed(Lap(1, 60.0f));
    EXPECT_EQ(fuel_at_lap_start, 60.0f);
}

TEST(TelChannels, FuelEstimateFollowsSmoothedConsumption) {
    Attach();
    Feed(Lap(1, 52.0f));   // first on-track frame: estimator reset
    Feed(Lap(1, 50.0f));
    Feed(Lap(2, 50.0f));   // records 50.0
    EXPECT_EQ(fuel_at_lap_start, 50.0f);
    Feed(Lap(2, 47.5f));
    Feed(Lap(3, 47.0f));   // used 3.0: outlier against -1, A = 3.0
    EXPECT_EQ(fuel_per_lap, 3.0f);
    EXPECT_EQ(live_snapshot.fuel_laps, 47.0f / 3.0f);
    Feed(Lap(4, 44.2f));   // used 2.8 within 10 %: A = 0.8 A + 0.2 used
    float used = 47.0f - 44.2f;
    float a = 0.8f * 3.0f + 0.2f * used;
    EXPECT_EQ(fuel_per_lap, a);
    EXPECT_FLOAT_EQ(fuel_per_lap, 2.96f);
    EXPECT_EQ(live_snapshot.fuel_laps, 44.2f / a);
    // Between completions fuel_laps keeps its value.
    Feed(Lap(4, 43.0f));
    EXPECT_EQ(live_snapshot.fuel_laps, 44.2f / a);

    // Flag 0x08: A is not updated, r = F / A.
    Feed(Lap(5, 40.0f, 0x08));
    EXPECT_EQ(fuel_per_lap, a);
    EXPECT_EQ(live_snapshot.fuel_laps, 40.0f / a);

    // An outlier lap (used 10) divides by what it used, A still smoothed.
    Feed(Lap(6, 30.0f));
    EXPECT_EQ(live_snapshot.fuel_laps, 30.0f / 10.0f);
    EXPECT_EQ(fuel_per_lap, 0.8f * a + 0.2f * 10.0f);
}

TEST(TelChannels, FuelLapsBetweenOneAndTwoShowsOne) {
    TelemetrySnapshot w{};
    auto estimate = [&](float a, float fuel) {
        was_on_track = 1;
        fuel_at_lap_start = fuel + a;
        fuel_per_lap = a;
        w.fuel_level = fuel;
        w.session_flags = 0x08;
        Tel_UpdateFuel(w, fuel + 0.1f, true);
        return w.fuel_laps;
    };
    EXPECT_EQ(estimate(2.0f, 3.0f), 1.0f);   // 1.5
    EXPECT_EQ(estimate(2.0f, 2.0f), 1.0f);   // exactly 1.0 stays
    EXPECT_EQ(estimate(2.0f, 4.0f), 2.0f);   // exactly 2.0 stays
    EXPECT_EQ(estimate(2.0f, 1.4f), 0.7f);
    EXPECT_EQ(estimate(2.0f, 3.98f), 1.0f);
}

TEST(TelChannels, FuelEstimatorResetsAndUnguardedDivisions) {
    TelemetrySnapshot w{};
    // First on-track frame (was_on_track 0) without a rise: reset, fuel_laps kept.
    was_on_track = 0;
    fuel_at_lap_start = 10.0f;
    fuel_per_lap = 2.0f;
    w.fuel_laps = 7.0f;
    w.fuel_level = 5.0f;
    Tel_UpdateFuel(w, 5.0f, true);
    EXPECT_EQ(fuel_at_lap_start, -1.0f);
    EXPECT_EQ(fuel_per_lap, -1.0f);
    EXPECT_EQ(w.fuel_laps, 7.0f);

    // Refuelled on track: the next completion only records, A is kept.
    was_on_track = 1;
    fuel_at_lap_start = 10.0f;
    fuel_per_lap = 2.0f;
    w.fuel_level = 30.0f;
    Tel_UpdateFuel(w, 29.5f, false);
    EXPECT_EQ(fuel_at_lap_start, -1.0f);
    EXPECT_EQ(fuel_per_lap, 2.0f);
    w.fuel_level = 29.0f;
    Tel_UpdateFuel(w, 29.0f, true);
    EXPECT_EQ(fuel_at_lap_start, 29.0f);
    EXPECT_EQ(w.fuel_laps, 7.0f);
    w.fuel_level = 27.0f;
    Tel_UpdateFuel(w, 27.1f, true);
    EXPECT_EQ(w.fuel_laps, 27.0f / 2.0f);

    // No fuel used on the first measured lap: F / used is infinite, and
    // published as it is.
    fuel_at_lap_start = 20.0f;
    fuel_per_lap = -1.0f;
    w.fuel_level = 20.0f;
    w.session_flags = 0;
    Tel_UpdateFuel(w, 20.0f, true);
    EXPECT_TRUE(std::isinf(w.fuel_laps));
    // Flag 0x08 with no consumption known: F / -1.
    fuel_at_lap_start = 20.0f;
    fuel_per_lap = -1.0f;
    w.fuel_level = 19.0f;
    w.session_flags = 0x08;
    Tel_UpdateFuel(w, 19.0f, true);
    EXPECT_EQ(w.fuel_laps, -19.0f);
    // Zero fuel and zero consumption: NaN, published as it is.
    fuel_at_lap_start = 20.0f;
    fuel_per_lap = 0.0f;
    w.fuel_level = 0.0f;
    w.session_flags = 0x08;
    Tel_UpdateFuel(w, 0.0f, true);
    EXPECT_TRUE(std::isnan(w.fuel_laps));
}
