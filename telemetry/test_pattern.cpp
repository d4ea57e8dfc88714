// telemetry/test_pattern.cpp: moving gear and engine speed for trying a
// dashboard without the simulator.
#include "telemetry/test_pattern.h"

#include "telemetry/snapshot.h"

constexpr int32_t TEST_COUNT_WRAP = 2147483600;   // a multiple of TEST_GEAR_STEPS

static int32_t test_frame_count = 0;
static int32_t test_gear = 0;
static bool test_gear_rising = true;
static int16_t test_rpm = TEST_RPM_TOP;
static bool test_rpm_rising = true;

void Tel_ResetTestPattern() {
    test_frame_count = 0;
    test_gear = 0;
    test_gear_rising = true;
    test_rpm = TEST_RPM_TOP;
    test_rpm_rising = true;
    test_working = TelemetrySnapshot{};
}

void Tel_TestPattern() {
    if (test_frame_count % TEST_GEAR_STEPS == 0) {
        if (test_gear_rising) {
            if (test_gear >= 6) {
                test_gear--;
                test_gear_rising = false;
            } else {
                test_gear++;
            }
        } else {
            if (test_gear < 0) {
                test_gear_rising = true;
                test_gear++;
            } else {
                test_gear--;
            }
        }
        test_working.gear = static_cast<int16_t>(test_gear);
        test_working.session_refreshed = 1;
    }
    // After about 24 days of steps the count starts again at a multiple of
    // 50, so it never overflows and the gear keeps its rhythm.
    test_frame_count++;
    if (test_frame_count >= TEST_COUNT_WRAP) test_frame_count = 0;

    test_working.session_flags = 8;

    if (test_rpm_rising) {
        if (test_rpm >= TEST_RPM_TOP) {
            test_rpm--;
            test_rpm_rising = false;
        } else {
            test_rpm++;
        }
    } else {
        if (test_rpm <= 0) {
            test_rpm_rising = true;
            test_rpm++;
        } else {
            test_rpm--;
        }
    }
    test_working.rpm = test_rpm;
    test_working.on_track = 1;

    test_working.shift_indicator_pct = static_cast<float>(test_rpm / 3000.0);

    test_working.num_positions = 48;
    test_working.position = 14;
    test_working.lap = 156;
    test_working.session_laps = 554;
    test_working.speed = 208.0f;
    test_working.fastest_time = 93.543f;
    test_working.last_time = 692.102f;
    test_working.water_temp = 163.7f;
    test_working.oil_temp = 78.0f;
    test_working.fuel_level = 531.0f;
    test_working.fuel_laps = 223.1f;

    Snap_Publish(test_working, test_snapshot);
}
