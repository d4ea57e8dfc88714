// Handing the snapshot from the telemetry thread to the server.
#include <gtest/gtest.h>

#include <thread>

#include "shell/sys.h"
#include "telemetry/snapshot.h"

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
