// The built-in test pattern that stands in for the simulator.
#include <gtest/gtest.h>

#include "telemetry/sim_connection.h"
#include "telemetry/snapshot.h"
#include "telemetry/test_pattern.h"

TEST(TelTestPattern, FirstStepPublishesFixedValues) {
    Sim_Reset();
    Snap_Reset();
    Tel_ResetTestPattern();
    Tel_TestPattern();
    const TelemetrySnapshot& s = test_snapshot;
    EXPECT_EQ(s.gear, 1);
    EXPECT_EQ(s.rpm, 2999);
    EXPECT_EQ(s.on_track, 1);
    EXPECT_EQ(s.session_refreshed, 1);
    EXPECT_EQ(s.session_flags, 8);
    EXPECT_EQ(s.num_positions, 48);
    EXPECT_EQ(s.position, 14);
    EXPECT_EQ(s.lap, 156);
    EXPECT_EQ(s.session_laps, 554);
    const float expected[] = {208.0f, 93.543f, 692.102f, 163.7f, 78.0f, 531.0f, 223.1f};
    const float got[] = {s.speed, s.fastest_time, s.last_time, s.water_temp, s.oil_temp,
                         s.fuel_level, s.fuel_laps};
    for (int i = 0; i < 7; i++) EXPECT_EQ(got[i], expected[i]) << i;
    EXPECT_EQ(s.engine_warnings + s.car_id, 0);
    EXPECT_EQ(s.throttle + s.brake, 0.0f);
    EXPECT_EQ(live_snapshot.on_track, 0);
    EXPECT_EQ(sim_connected.load(), 0);
}

TEST(TelTestPattern, GearAndRpmRunTheirTriangles) {
    Snap_Reset();
    Tel_ResetTestPattern();
    struct Point { int steps, gear, rpm; };
    const Point points[] = {{1, 1, 2999},    {50, 1, 2950},   {51, 2, 2949},  {251, 6, 2749},
                            {301, 5, 2699},  {601, -1, 2399}, {651, 0, 2349}, {701, 1, 2299},
                            {3000, 4, 0},    {3001, 5, 1},    {6000, 4, 3000}, {6001, 3, 2999}};
    int done = 0;
    for (const Point& p : points) {
        for (; done < p.steps; done++) Tel_TestPattern();
        EXPECT_EQ(test_snapshot.gear, p.gear) << p.steps;
        EXPECT_EQ(test_snapshot.rpm, p.rpm) << p.steps;
        EXPECT_FLOAT_EQ(test_snapshot.shift_indicator_pct, static_cast<float>(p.rpm / 3000.0));
    }
}
