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
    const uint32_t serial = published.session_serial;
    published = working;
    published.session_serial = working.session_refreshed != 0 ? serial + 1u : serial;
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
}

void Snap_Reset() {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    live_working = TelemetrySnapshot{};
    live_snapshot = TelemetrySnapshot{};
    test_working = TelemetrySnapshot{};
    test_snapshot = TelemetrySnapshot{};
}
