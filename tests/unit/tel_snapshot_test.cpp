// Snapshot hand-over between the telemetry thread and the server.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "shell/sys.h"
#include "telemetry/snapshot.h"

namespace {

bool SameBytes(const TelemetrySnapshot& a, const TelemetrySnapshot& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TelemetrySnapshot Sample() {
    TelemetrySnapshot s{};
    s.on_track = 1;
    s.session_refreshed = 1;
    s.gear = 3;
    s.rpm = 5432;
    s.speed = 55.5f;
    s.fuel_level = 12.25f;
    s.car_id = 77;
    s.fuel_laps = 4.5f;
    return s;
}

}  // namespace

TEST(TelSnapshot, TakeBeforeAnyPublishIsAllZero) {
    Snap_Reset();
    test_mode = 0;
    TelemetrySnapshot out;
    std::memset(&out, 0xAB, sizeof out);
    Snap_Take(out);
    EXPECT_TRUE(SameBytes(out, TelemetrySnapshot{}));
}

TEST(TelSnapshot, TakeCopiesPublishedAndClearsRefreshOnlyThere) {
    Snap_Reset();
    test_mode = 0;
    live_working = Sample();
    Snap_Publish(live_working, live_snapshot);

    TelemetrySnapshot first{}, second{};
    Snap_Take(first);
    Snap_Take(second);
    EXPECT_TRUE(SameBytes(first, Sample()));
    EXPECT_EQ(second.session_refreshed, 0);
    second.session_refreshed = 1;
    EXPECT_TRUE(SameBytes(second, first));
    // The working record keeps the flag, so the next publish carries it again.
    EXPECT_EQ(live_working.session_refreshed, 1);
    Snap_Publish(live_working, live_snapshot);
    Snap_Take(first);
    EXPECT_EQ(first.session_refreshed, 1);
}

TEST(TelSnapshot, MarkOffTrackChangesOnlyThatField) {
    Snap_Reset();
    test_mode = 0;
    live_working = Sample();
    Snap_Publish(live_working, live_snapshot);
    Snap_MarkOffTrack();

    TelemetrySnapshot out{};
    Snap_Take(out);
    TelemetrySnapshot expected = Sample();
    expected.on_track = 0;
    EXPECT_TRUE(SameBytes(out, expected));
    EXPECT_EQ(live_working.on_track, 1);

    live_working.on_track = 0;
    Snap_MarkOnTrack();
    EXPECT_EQ(live_working.on_track, 1);
}

TEST(TelSnapshot, TestModeSelectsTestPair) {
    Snap_Reset();
    test_working = Sample();
    Snap_Publish(test_working, test_snapshot);
    TelemetrySnapshot out{};
    test_mode = 1;
    Snap_Take(out);
    test_mode = 0;
    EXPECT_TRUE(SameBytes(out, Sample()));
    EXPECT_TRUE(SameBytes(live_snapshot, TelemetrySnapshot{}));
    Snap_Take(out);
    EXPECT_TRUE(SameBytes(out, TelemetrySnapshot{}));
}

TEST(TelSnapshot, ConcurrentTakesNeverSeeHalfAPublish) {
    Snap_Reset();
    test_mode = 0;
    // Every published record has all its integer fields equal; a torn copy
    // would mix two of them.
    std::thread producer([] {
        for (int i = 0; i < 20000; i++) {
            TelemetrySnapshot w{};
            w.gear = w.rpm = w.lap = w.car_id = w.session_laps = static_cast<int16_t>(i);
            Snap_Publish(w, live_snapshot);
        }
    });
    bool torn = false;
    for (int i = 0; i < 20000 && !torn; i++) {
        TelemetrySnapshot out{};
        Snap_Take(out);
        torn = out.gear != out.rpm || out.rpm != out.lap || out.lap != out.car_id ||
               out.car_id != out.session_laps;
    }
    producer.join();
    EXPECT_FALSE(torn);
}
