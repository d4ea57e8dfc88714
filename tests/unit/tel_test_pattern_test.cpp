// The built-in test pattern that stands in for the simulator.
#include <gtest/gtest.h>

#include "telemetry/sim_connection.h"
#include "telemetry/snapshot.h"
#include "telemetry/test_pattern.h"

namespace {

void Steps(int n) {
    for (int i = 0; i < n; i++) Tel_TestPattern();
}

}  // namespace

TEST(TelTestPattern, FirstStepPublishesFixedValuesAndMotionStart) {
    Snap_Reset();
    Tel_ResetTestPattern();
    Steps(1);
    const TelemetrySnapshot& s = test_snapshot;
    EXPECT_EQ(s.gear, 1);
    EXPECT_EQ(s.rpm, 2999);
    EXPECT_EQ(s.on_track, 1);
    EXPECT_EQ(s.session_refreshed, 1);
    EXPECT_EQ(s.session_flags, 8);
    EXPECT_FLOAT_EQ(s.shift_indicator_pct, static_cast<float>(2999 / 3000.0));
    EXPECT_EQ(s.num_positions, 48);
    EXPECT_EQ(s.position, 14);
    EXPECT_EQ(s.lap, 156);
    EXPECT_EQ(s.session_laps, 554);
    EXPECT_EQ(s.speed, 208.0f);
    EXPECT_EQ(s.fastest_time, 93.543f);
    EXPECT_EQ(s.last_time, 692.102f);
    EXPECT_EQ(s.water_temp, 163.7f);
    EXPECT_EQ(s.oil_temp, 78.0f);
    EXPECT_EQ(s.fuel_level, 531.0f);
    EXPECT_EQ(s.fuel_laps, 223.1f);
    EXPECT_EQ(s.engine_warnings, 0);
    EXPECT_EQ(s.car_id, 0);
    EXPECT_EQ(s.throttle, 0.0f);
    EXPECT_EQ(s.brake, 0.0f);
    // The live pair and the connection flag are never touched.
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(sim_connected.load(), 0);
}

TEST(TelTestPattern, GearRunsTriangleBetweenMinusOneAndSix) {
    Snap_Reset();
    Tel_ResetTestPattern();
    struct Point { int steps; int gear; };
    const Point points[] = {{1, 1},   {50, 1},   {51, 2},   {251, 6},  {300, 6}, {301, 5},
                            {551, 0}, {601, -1}, {651, 0},  {701, 1},  {751, 2}, {1401, 1}};
    int done = 0;
    for (const Point& p : points) {
        Steps(p.steps - done);
        done = p.steps;
        EXPECT_EQ(test_snapshot.gear, p.gear) << "after " << p.steps << " steps";
    }
}

TEST(TelTestPattern, RpmRunsTriangleBetweenZeroAndTop) {
    Snap_Reset();
    Tel_ResetTestPattern();
    struct Point { int steps; int rpm; };
    const Point points[] = {{1, 2999}, {2999, 1}, {3000, 0},   {3001, 1},
                            {6000, 3000}, {6001, 2999}, {9000, 0}};
    int done = 0;
    for (const Point& p : points) {
        Steps(p.steps - done);
        done = p.steps;
        EXPECT_EQ(test_snapshot.rpm, p.rpm) << "after " << p.steps << " steps";
        EXPECT_FLOAT_EQ(test_snapshot.shift_indicator_pct, static_cast<float>(p.rpm / 3000.0));
    }
}
