// server/update.h: the dashboard update body, built anew for every client
// and every send from a copy of the published telemetry snapshot.
//
// A run of tagged items, each a tag byte and its value (u8; i16 and f32
// little-endian). No length, no count: the reader walks the tags.
//   no data:  05                                         (on_track 0)
//   basic:    0B u8  [12 u8]  0C i16  0E f32  0F f32  0D i16  10 f32  11 f32  0A
//   session:  1E i16  15 f32  16 f32  17 i16  18 i16  19 f32  1A f32  1B f32
//             1C u8  1D u8  [1F f32]  14                 (new session values)
// The bracketed items go only to device type 0. A body is 1, 29, 31, 68 or
// 75 bytes long.
//
// The session block goes to each client once per refresh of the session
// values: every client's first update after a publish with
// session_refreshed set carries it, however many clients are served in the
// same main-loop pass.
#pragma once

#include "net/msg.h"
#include "server/clients.h"

enum UpdateTag : int {
    UPD_NO_DATA = 5,
    UPD_END_BASIC = 10,
    UPD_ENGINE_WARNINGS = 11,
    UPD_GEAR = 12,
    UPD_RPM = 13,
    UPD_SPEED = 14,
    UPD_SHIFT_INDICATOR = 15,
    UPD_THROTTLE = 16,
    UPD_BRAKE = 17,
    UPD_SESSION_FLAGS = 18,
    UPD_END_SESSION = 20,
    UPD_FASTEST_TIME = 21,
    UPD_LAST_TIME = 22,
    UPD_SESSION_LAPS = 23,
    UPD_LAP = 24,
    UPD_WATER_TEMP = 25,
    UPD_OIL_TEMP = 26,
    UPD_FUEL_LEVEL = 27,
    UPD_POSITION = 28,
    UPD_NUM_POSITIONS = 29,
    UPD_CAR_ID = 30,
    UPD_FUEL_LAPS = 31,
};

// Takes a copy of the published snapshot (test_snapshot in test mode,
// live_snapshot otherwise) and appends the body for the client's
// device_type to `msg`. The session block goes along when the copy's
// session_serial differs from the client's, which then takes the copy's:
// a client gets each refresh once. The lock is held only for the copy.
void SV_WriteUpdate(SizeBuffer& msg, ClientSlot& client);
