// telemetry/channels.h: reducing each simulator frame to live_working.
//
// Once per setup the thirteen variables are looked up by name in the
// simulator's variable headers; per frame their values are read from the
// private frame copy (a value that does not lie wholly inside the frame
// reads as 0), converted to the snapshot's types and published. Every 15th
// frame, and on the first frame back on track, the session-info text is
// scanned. Lap completions drive the fuel-laps estimate.
#pragma once

#include <array>
#include <cstdint>

#include "telemetry/snapshot.h"

enum TelVar {
    TEL_VAR_GEAR,
    TEL_VAR_RPM,
    TEL_VAR_THROTTLE,
    TEL_VAR_BRAKE,
    TEL_VAR_SHIFT_INDICATOR_PCT,
    TEL_VAR_SPEED,
    TEL_VAR_ENGINE_WARNINGS,
    TEL_VAR_LAP,
    TEL_VAR_WATER_TEMP,
    TEL_VAR_OIL_TEMP,
    TEL_VAR_FUEL_LEVEL,
    TEL_VAR_IS_ON_TRACK,
    TEL_VAR_SESSION_FLAGS,
    TEL_VAR_COUNT
};

// The simulator's names, in lookup order (indexed by TelVar).
extern const std::array<const char*, TEL_VAR_COUNT> tel_var_names;
// Offset of each variable's value within a frame; -1 when not present.
extern std::array<int32_t, TEL_VAR_COUNT> tel_var_offsets;

constexpr int TEL_SESSION_INTERVAL = 15;   // frames between session scans
constexpr uint8_t TEL_FLAG_FUEL_HOLD = 0x08;  // session flag: keep fuel_per_lap

extern uint8_t* tel_frame;       // private copy of the newest frame
extern int32_t tel_frame_len;    // the length tel_frame was made for

extern int32_t session_countdown;
extern uint8_t was_on_track;
extern float fuel_at_lap_start;   // <= 0: none
extern float fuel_per_lap;        // <= 0: none
extern uint8_t fuel_rose_this_lap;   // the level rose since the last lap completion

// Value offset of the first variable header whose name matches (over at
// most 32 characters), or -1. A variable table that does not lie wholly
// inside the view finds nothing.
int32_t Sim_VarOffset(const char* name);

// Makes tel_frame for the header's frame length and looks the variables
// up. False, with no frame buffer, when the header is unusable or the
// variable table does not lie inside the view (the simulator then counts
// as lost); an allocation failure is fatal.
bool Tel_SetupVars();

// Processes the frame in tel_frame into live_working and publishes it; an
// off-track frame only marks live_snapshot off track.
void Tel_Update();

// The fuel-laps estimator, once per processed on-track frame. `published_fuel`
// is the fuel level last published; `lap_completed` whether this frame
// completes a lap. Writes fuel_laps of `working` on lap completions. The
// first on-track frame (since the start or an off-track frame) whose level
// did not rise forgets the lap start and the consumption per lap. A lap
// completed after the level rose at any time during it (refuelling, or the
// first frame after the start) only records the level as the next lap's
// start; the consumption per lap and fuel_laps stay.
void Tel_UpdateFuel(TelemetrySnapshot& working, float published_fuel, bool lap_completed);

// A private, NUL-terminated copy of the session-info text; "" when its
// offset lies outside the view or it has no terminator inside the view.
const char* Tel_SessionInfoText();

// "RPM" as the snapshot keeps it: truncated toward zero, low 16 bits; 0 for
// values that are not finite.
int16_t Tel_RpmToInt16(float rpm);

// Frees tel_frame and forgets its length.
void Tel_FreeFrame();

// Puts the offsets, the countdown and the fuel state back to their start
// values (tests).
void Tel_ResetChannels();
