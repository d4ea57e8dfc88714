// telemetry/snapshot.cpp: the published records and their lock.
#include "telemetry/snapshot.h"

#include "shell/sys.h"

TelemetrySnapshot live_working{};
TelemetrySnapshot live_snapshot{};
TelemetrySnapshot test_working{};
TelemetrySnapshot test_snapshot{};
std::mutex snapshot_lock;

void Snap_Publish(const TelemetrySnapshot& working, TelemetrySnapshot& published) {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    published = working;
}

void Snap_MarkOffTrack() {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    live_snapshot.on_track = 0;
}

void Snap_MarkOnTrack() {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    live_working.on_track = 1;
}

void Snap_Take(TelemetrySnapshot& out) {
    TelemetrySnapshot& published = test_mode ? test_snapshot : live_snapshot;
    std::lock_guard<std::mutex> hold(snapshot_lock);
    out = published;
    if (published.session_refreshed != 0) {
        published.session_refreshed = 0;
    }
}

void Snap_Reset() {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    live_working = TelemetrySnapshot{};
    live_snapshot = TelemetrySnapshot{};
    test_working = TelemetrySnapshot{};
    test_snapshot = TelemetrySnapshot{};
}
