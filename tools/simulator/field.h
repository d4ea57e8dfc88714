// tools/simulator/field.h: the race: sixty cars, the player among them,
// their laps, places and times, the flags, and race after race.
//
// Every car but the player's laps at a pace of its own with a little scatter
// from lap to lap; the player's car is the one of drive.h. Places are taken
// at the line: by laps completed, then by who crossed first. A race lasts
// FIELD_RACE_LAPS laps; after the player's finish and a cool-down the car is
// off track for a moment and the next race begins.
#pragma once

#include <cstdint>

constexpr int FIELD_CARS = 60;
constexpr int FIELD_PLAYER = 23;        // car index of the player
constexpr int FIELD_CAR_ID = 67;        // the one car model of the field
constexpr int FIELD_RACE_LAPS = 25;
constexpr double FIELD_COOL_DOWN = 60.0;    // seconds after the player's finish
constexpr double FIELD_GARAGE = 3.0;        // seconds off track between races

// Session flag bits shown to the player.
constexpr int FIELD_FLAG_CHECKERED = 0x01;
constexpr int FIELD_FLAG_WHITE = 0x02;
constexpr int FIELD_FLAG_GREEN = 0x04;
constexpr int FIELD_FLAG_YELLOW = 0x08;

struct FieldCar {
    char name[40];
    int number;
    int grid;              // 1-based start place
    double base_lap;       // typical lap time, s
    double distance;       // metres from the start line
    double lap_time;       // planned time of the lap in progress
    double lap_start;      // session clock when the lap in progress began
    double cross_time;     // session clock of the last line crossing
    int laps_done;
    int best_lap;          // lap of the best time, 0 none
    float last_time;       // -1 before the first lap
    float best_time;       // -1 before the first lap
    bool finished;
    int place;             // 1-based
    float practice_best;   // results of the earlier sessions
    float practice_last;
    int practice_laps;
    float qualify_time;
};

extern FieldCar field_cars[FIELD_CARS];
extern double field_clock;         // seconds since the race began
extern int field_race_number;      // 1 for the first race, raised for each next
extern bool field_on_track;        // false while between races

// Starts the first race; `seed` makes the field and its laps repeatable.
void Field_Init(uint32_t seed);

// Starts the next race with a fresh grid and results.
void Field_NewRace();

// Advances the race by `dt` seconds (the player's car included).
void Field_Step(double dt);

// The flags shown to the player now.
int Field_Flags();

// Car indices in place order (place 1 first).
void Field_Order(int order[FIELD_CARS]);

// True once since the last call when a car crossed the line or a race began,
// i.e. when the session-info text has news.
bool Field_TakeNews();

// Writes the race's channels (laps, times, places, flags, per-car arrays,
// clock and tick) into the working frame; the player's car writes its own.
void Field_WriteVars(int32_t tick);

// Looks up the variables the race writes (after Var_Init).
void Field_InitVars();
