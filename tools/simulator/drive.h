// tools/simulator/drive.h: the player's car driven round the track.
//
// A point-mass car on a lap of straights and corners: it accelerates until
// the speed it can still brake down from meets the next corner, brakes, and
// holds the corner speed through the corner. Gears, engine speed, shift
// light, pedals, fuel burn and the engine's warm-up come from that motion.
// A lap takes about 87 s and burns about 2.8 l.
#pragma once

#include <cstdint>

constexpr double DRIVE_TRACK_LENGTH = 4180.0;   // metres
constexpr double DRIVE_TANK = 90.0;             // litres
constexpr int DRIVE_GEARS = 6;

struct DriveCar {
    double distance;      // metres driven from the start line; negative behind it
    double speed;         // m/s
    double throttle;      // 0 .. 1
    double brake;         // 0 .. 1
    double clutch;        // 0 .. 1 (1 engaged)
    int gear;
    double rpm;
    double shift_pct;
    double lat_accel;     // m/s^2
    double long_accel;    // m/s^2
    double steer;         // rad
    double fuel;          // litres
    double water_temp;    // C
    double oil_temp;      // C
    double pace;          // corner-speed factor of the lap in progress
};

extern DriveCar drive_car;

// Puts the car `start_distance` metres from the line (negative: behind it)
// at rolling speed, with a full tank and a cold engine.
void Drive_Reset(double start_distance);

// Looks up the variables the car writes (after Var_Init).
void Drive_Init();

// Advances the car by `dt` seconds.
void Drive_Step(double dt);

// Sets the corner-speed factor for the lap that just began (about 1.0).
void Drive_SetPace(double pace);

// Writes the car's channels into the working frame.
void Drive_WriteVars();
