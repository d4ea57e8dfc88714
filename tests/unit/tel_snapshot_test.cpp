// Handing the snapshot from the telemetry thread to the server.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "shell/sys.h"
#include "telemetry/snapshot.h"

static bool Same(const TelemetrySnapshot& a, const TelemetrySnapshot& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(TelSnapshot, TakeCopiesPublishedRecordAndPublishCountsSessionRefreshes) {
    Snap_Reset();
    test_mode = 0;
    TelemetrySnapshot out;
    std::memset(&out, 0xAB, sizeof out);
    Snap_Take(out);
    EXPECT_TRUE(Same(out, TelemetrySnapshot{}));   // nothing published yet

    TelemetrySnapshot sample{};
    sample.on_track = sample.session_refreshed = 1;
    sample.rpm = 5432;
    sample.fuel_laps = 4.5f;
    live_working = sample;
    Snap_Publish(live_working, live_snapshot);
    // Every reader sees the same record: taking changes nothing.
    TelemetrySnapshot first{}, second{};
    Snap_Take(first);
    Snap_Take(second);
    sample.session_serial = 1;
    EXPECT_TRUE(Same(first, sample));
    EXPECT_TRUE(Same(second, sample));

    // A publish without refreshed session values keeps the serial, one
    // with them adds 1; the working record's own serial is not copied.
    live_working.session_refreshed = 0;
    live_working.session_serial = 77;
    Snap_Publish(live_working, live_snapshot);
    Snap_Take(out);
    EXPECT_EQ(out.session_serial, 1u);
    live_working.session_refreshed = 1;
    Snap_Publish(live_working, live_snapshot);
    Snap_Publish(live_working, live_snapshot);
    Snap_Take(out);
    EXPECT_EQ(out.session_serial, 3u);
    live_working = sample;
    Snap_Publish(live_working, live_snapshot);
    sample.session_serial = 4;

    Snap_MarkOffTrack();   // only on_track of the published record drops
    Snap_Take(out);
    sample.on_track = 0;
    EXPECT_TRUE(Same(out, sample));
    EXPECT_EQ(live_working.on_track, 1);

    test_mode = 1;         // test mode reads the test pair
    Snap_Take(out);
    test_mode = 0;
    EXPECT_TRUE(Same(out, TelemetrySnapshot{}));
}

TEST(TelSnapshot, ConcurrentTakesNeverSeeHalfAPublish) {
    Snap_Reset();
    test_mode = 0;
    std::thread producer([] {
        for (int i = 0; i < 20000; i++) {
            TelemetrySnapshot w{};
            w.gear = w.rpm = w.lap = w.car_id = static_cast<int16_t>(i);
            Snap_Publish(w, live_snapshot);
        }
    });
    bool torn = false;
    for (int i = 0; i < 20000 && !torn; i++) {
        TelemetrySnapshot out{};
        Snap_Take(out);
        torn = out.gear != out.rpm || out.rpm != out.lap || out.lap != out.car_id;
    }
    producer.join();
    EXPECT_FALSE(torn);
}
