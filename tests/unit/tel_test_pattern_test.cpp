// The built-in test pattern that stands in for the simulator.
#include <gtest/gtest.h>

#include "telemetry/snapshot.h"
#include "telemetry/test_pattern.h"

TEST(TelTestPattern, GearAndRpmRunTheirTriangles) {
    Tel_ResetTestPattern();
    const struct { int steps, gear, rpm; } points[] = {{1, 1, 2999}, {51, 2, 2949}, {251, 6, 2749},
        {301, 5, 2699}, {601, -1, 2399}, {651, 0, 2349}, {701, 1, 2299}, {3000, 4, 0}, {3001, 5, 1},
        {6000, 4, 3000}, {6001, 3, 2999}};
    int done = 0;
    for (const auto& p : points) {
        for (; done < p.steps; done++) Tel_TestPattern();
        EXPECT_EQ(test_snapshot.gear, p.gear) << p.steps;
        EXPECT_EQ(test_snapshot.rpm, p.rpm) << p.steps;
        EXPECT_FLOAT_EQ(test_snapshot.shift_indicator_pct, static_cast<float>(p.rpm / 3000.0));
    }
}
