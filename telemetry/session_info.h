// telemetry/session_info.h: scanning the simulator's session-info text.
//
// The text is searched for fixed keys with plain substring search:
//   "DriverCarIdx:" the player's car index     "CarID:"       car identifier,
//   taken from the driver entry ("CarIdx:" at the start of a key, not
//   "DriverCarIdx:") of the player's car index; when there is none, the
//   first "CarID:" of the text
//   "SessionNum:"   opens a session block; the last block is scanned for
//   "SessionLaps:"  laps ("unlimited" -> -1)    "- Position:"  one entry each,
//   with "CarIdx:", "FastestTime:" and "LastTime:" after it.
// Results go into fixed-size scratch texts; a value too long for its text,
// or without a newline after it, is not copied. Every search and skip stays
// inside the NUL-terminated text it is given.
#pragma once

#include <array>
#include <cstdint>

#include "telemetry/snapshot.h"

constexpr int SESSION_LAPS_TEXT_SIZE = 10;
constexpr int SESSION_TIME_TEXT_SIZE = 20;
constexpr int SESSION_NUMBER_TEXT_SIZE = 12;
constexpr int SESSION_MAX_POSITIONS = 50;
constexpr int SESSION_MAX_BLOCKS = 10;

struct PositionEntry {
    int32_t car_idx;                              // -1 when cleared
    char fastest_time[SESSION_TIME_TEXT_SIZE];
    char last_time[SESSION_TIME_TEXT_SIZE];
};

struct SessionBlock {
    const char* start;
    const char* end;
};

extern char session_laps_text[SESSION_LAPS_TEXT_SIZE];
extern char session_fastest_text[SESSION_TIME_TEXT_SIZE];
extern char session_last_text[SESSION_TIME_TEXT_SIZE];
extern char session_position_text[SESSION_NUMBER_TEXT_SIZE];
extern char session_count_text[SESSION_NUMBER_TEXT_SIZE];
extern int16_t session_car_id;   // kept from scan to scan; -1 when none
extern std::array<PositionEntry, SESSION_MAX_POSITIONS> session_positions;
extern std::array<SessionBlock, SESSION_MAX_BLOCKS> session_blocks;

// Empties the five texts and every position entry (car index -1); the car
// identifier is kept.
void Tel_ClearSessionInfo();

// Scans `text` (NUL-terminated) into the scratch above. Of more than ten
// session blocks the tenth is scanned.
void Tel_ParseSessionInfo(const char* text);

// Stores the scan's results into `working`: car_id, fastest_time,
// last_time, session_laps, position and num_positions.
void Tel_StoreSessionInfo(TelemetrySnapshot& working);

// Clears the scratch and the car identifier (tests).
void Tel_ResetSessionInfo();
