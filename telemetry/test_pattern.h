// telemetry/test_pattern.h: a built-in stand-in for the simulator (option t).
//
// Each step moves the gear through a triangle between -1 and 6 (one change
// every 50 steps) and the engine speed through a triangle between 0 and 3000
// (one per step), sets a fixed set of other values, and publishes
// test_working onto test_snapshot. sim_connected is never touched.
#pragma once

#include <cstdint>

constexpr int TEST_GEAR_STEPS = 50;     // steps between gear changes
constexpr int16_t TEST_RPM_TOP = 3000;

// One generator step, then Snap_Publish of test_working onto test_snapshot.
void Tel_TestPattern();

// Puts the generator back to its start state and zeroes test_working (tests).
void Tel_ResetTestPattern();
