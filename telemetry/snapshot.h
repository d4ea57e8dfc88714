// telemetry/snapshot.h: the record that carries dashboard values from the
// telemetry thread to the server.
//
// The telemetry thread fills a working record at its own pace and publishes
// it whole under snapshot_lock; the server takes a whole copy under the same
// lock. Two pairs share the layout: the live pair (simulator) and the test
// pair (test pattern); test_mode picks the pair on both sides.
#pragma once

#include <cstdint>
#include <mutex>

struct TelemetrySnapshot {
    uint8_t on_track;             // 1: frames arrive and the car is on track
    uint8_t session_refreshed;    // session-derived fields were recomputed
    uint8_t engine_warnings;      // low 8 bits of "EngineWarnings"
    uint8_t session_flags;        // low 8 bits of "SessionFlags"
    int16_t gear;
    float speed;
    float shift_indicator_pct;
    int16_t rpm;                  // "RPM" truncated toward zero, low 16 bits
    int16_t lap;
    float fastest_time;           // player's fastest lap, 0.0 when unknown
    float last_time;              // player's last lap, 0.0 when unknown
    int16_t session_laps;         // -1 unlimited, 0 unknown
    float water_temp;
    float oil_temp;
    float fuel_level;
    uint8_t position;             // 1-based place, 0 when not listed
    uint8_t num_positions;        // entries in the position list, at most 50
    int16_t car_id;               // -1 when the session text names none
    float throttle;
    float brake;
    float fuel_laps;              // estimated laps the fuel lasts
    // Published records only: how many publishes had session_refreshed set
    // (wraps). A reader that remembers the value it last saw can tell new
    // session values from ones it already has.
    uint32_t session_serial;
};

// Working records belong to the telemetry thread alone; the published ones
// are touched only under snapshot_lock.
extern TelemetrySnapshot live_working;
extern TelemetrySnapshot live_snapshot;
extern TelemetrySnapshot test_working;
extern TelemetrySnapshot test_snapshot;
extern std::mutex snapshot_lock;

// Copies the whole working record onto its published record under the lock,
// keeping the published session_serial and adding 1 to it when the working
// record has session_refreshed set.
void Snap_Publish(const TelemetrySnapshot& working, TelemetrySnapshot& published);

// Sets on_track of live_snapshot to 0 under the lock; nothing else changes.
void Snap_MarkOffTrack();

// Sets on_track of live_working to 1 while holding the lock.
void Snap_MarkOnTrack();

// Copies the published record that test_mode selects into `out` under the
// lock. Each reader decides by session_serial whether the session values
// are new to it; the published record is not changed.
void Snap_Take(TelemetrySnapshot& out);

// Zeroes all four records (tests).
void Snap_Reset();
