// tools/simulator/drive.cpp: the player's car on the track.
#include "tools/simulator/drive.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/simulator/variables.h"

DriveCar drive_car;

struct Corner {
    double entry;    // metres from the line where the corner begins
    double length;   // metres
    double speed;    // m/s through it at pace 1.0
};

static const Corner drive_corners[] = {
    {380, 90, 21},   {880, 120, 44},  {1330, 90, 33},  {1760, 160, 57},  {2300, 70, 25},
    {2660, 110, 39}, {3100, 190, 61}, {3640, 100, 29}, {4000, 80, 47},
};
constexpr int DRIVE_CORNERS = sizeof drive_corners / sizeof drive_corners[0];

constexpr double DRIVE_TOP_SPEED = 83.0;     // m/s, where drag meets power
constexpr double DRIVE_ACCEL = 10.0;         // m/s^2 at low speed, full throttle
constexpr double DRIVE_BRAKING = 13.0;       // m/s^2 at full brake
constexpr double DRIVE_LAT_GRIP = 2.2 * 9.81;
constexpr double DRIVE_SHIFT_UP = 7300.0;
constexpr double DRIVE_SHIFT_DOWN = 4300.0;
constexpr double DRIVE_REV_LIMIT = 7500.0;
constexpr double DRIVE_LIGHT_ON = 5800.0;
// Engine revolutions per minute per m/s in each gear (index 0 unused).
static const double drive_ratio[DRIVE_GEARS + 1] = {0, 250, 190, 152, 127, 110, 98};

static double Drive_LapPosition(double distance) {
    double x = std::fmod(distance, DRIVE_TRACK_LENGTH);
    return x < 0 ? x + DRIVE_TRACK_LENGTH : x;
}

// The highest speed at `x` from which the car can still make every corner
// ahead; inside a corner, the corner's speed. Sets `radius` to the corner's
// radius when inside one (0 on a straight).
static double Drive_SpeedLimit(double x, double pace, double& radius) {
    double limit = DRIVE_TOP_SPEED;
    radius = 0;
    for (const Corner& c : drive_corners) {
        double v = c.speed * pace;
        if (x >= c.entry && x < c.entry + c.length) {
            limit = std::min(limit, v);
            radius = v * v / DRIVE_LAT_GRIP;
            continue;
        }
        double ahead = c.entry - x;
        if (ahead < 0) ahead += DRIVE_TRACK_LENGTH;
        limit = std::min(limit, std::sqrt(v * v + 2.0 * DRIVE_BRAKING * 0.92 * ahead));
    }
    return limit;
}

void Drive_Reset(double start_distance) {
    drive_car = DriveCar{};
    drive_car.distance = start_distance;
    drive_car.speed = 28.0;
    drive_car.gear = 3;
    drive_car.clutch = 1.0;
    drive_car.rpm = drive_car.speed * drive_ratio[3];
    drive_car.fuel = DRIVE_TANK * 0.95;
    drive_car.water_temp = 62.0;
    drive_car.oil_temp = 58.0;
    drive_car.pace = 1.0;
}

void Drive_SetPace(double pace) { drive_car.pace = pace; }

static double Drive_Approach(double value, double target, double rate, double dt) {
    if (value < target) return std::min(target, value + rate * dt);
    return std::max(target, value - rate * dt);
}

void Drive_Step(double dt) {
    DriveCar& c = drive_car;
    double radius = 0;
    double x = Drive_LapPosition(c.distance);
    double limit = Drive_SpeedLimit(x, c.pace, radius);
    double throttle_target = 0, brake_target = 0, accel = 0;
    if (c.speed < limit - 0.5) {
        throttle_target = 1.0;
        double v = c.speed / DRIVE_TOP_SPEED;
        accel = DRIVE_ACCEL * (1.0 - v * v) * c.throttle;
    } else if (c.speed > limit + 0.3) {
        brake_target = std::clamp((c.speed - limit) / 3.0 + 0.55, 0.0, 1.0);
        accel = -DRIVE_BRAKING * c.brake;
    } else {
        // Holding the corner speed: part throttle against drag.
        double v = c.speed / DRIVE_TOP_SPEED;
        throttle_target = 0.3 + 0.45 * v * v;
        accel = (limit - c.speed) * 2.0;
    }
    // Off the throttle before the brake goes on, as a driver does.
    bool braking = brake_target > 0;
    if (braking && c.throttle > 0.2) brake_target = 0;
    c.throttle = Drive_Approach(c.throttle, throttle_target, braking ? 12.0 : 6.0, dt);
    c.brake = Drive_Approach(c.brake, brake_target, 10.0, dt);
    c.speed = std::max(0.0, c.speed + accel * dt);
    c.long_accel = accel;
    c.distance += c.speed * dt;
    c.lat_accel = radius > 0 ? c.speed * c.speed / radius : 0.0;
    c.steer = radius > 0 ? std::min(1.2, 22.0 / radius) : 0.0;

    c.rpm = c.speed * drive_ratio[c.gear];
    if (c.rpm > DRIVE_SHIFT_UP && c.gear < DRIVE_GEARS) {
        c.gear++;
    } else if (c.rpm < DRIVE_SHIFT_DOWN && c.gear > 1) {
        c.gear--;
    }
    c.rpm = std::clamp(c.speed * drive_ratio[c.gear], 2200.0, DRIVE_REV_LIMIT);
    c.clutch = c.gear == 1 && c.speed < 8.0 ? c.speed / 8.0 : 1.0;
    c.shift_pct = std::clamp((c.rpm - DRIVE_LIGHT_ON) / (DRIVE_SHIFT_UP - DRIVE_LIGHT_ON), 0.0, 1.0);

    double load = c.throttle * c.rpm / DRIVE_SHIFT_UP;
    c.fuel = std::max(0.0, c.fuel - dt * (0.003 + 0.058 * load));
    // Temperatures follow the load with the lag of the coolant and oil.
    c.water_temp += (82.0 + 10.0 * load - c.water_temp) * dt / 60.0;
    c.oil_temp += (92.0 + 14.0 * load - c.oil_temp) * dt / 120.0;
}

// Indices of the variables the car writes.
static int v_throttle, v_throttle_in, v_brake, v_brake_in, v_clutch, v_gear, v_gear_count, v_rpm,
    v_rev_limit, v_shift, v_speed, v_vel_forward, v_lap_distance, v_lap_fraction, v_fuel,
    v_fuel_pct, v_fuel_capacity, v_fuel_flow, v_water, v_oil, v_oil_press, v_fuel_press,
    v_water_press, v_lat, v_long, v_vert, v_steer, v_warnings, v_ignition, v_volts,
    v_boost, v_tyre_temp[4], v_disc_temp[4], v_wheel_speed[4], v_line_press[4];

void Drive_Init() {
    v_throttle = Var_Find("Throttle");
    v_throttle_in = Var_Find("ThrottleInput");
    v_brake = Var_Find("Brake");
    v_brake_in = Var_Find("BrakeInput");
    v_clutch = Var_Find("Clutch");
    v_gear = Var_Find("Gear");
    v_gear_count = Var_Find("GearCount");
    v_rpm = Var_Find("RPM");
    v_rev_limit = Var_Find("RevLimit");
    v_shift = Var_Find("ShiftIndicatorPct");
    v_speed = Var_Find("Speed");
    v_vel_forward = Var_Find("VelForward");
    v_lap_distance = Var_Find("LapDistance");
    v_lap_fraction = Var_Find("LapFraction");
    v_fuel = Var_Find("FuelLevel");
    v_fuel_pct = Var_Find("FuelLevelPct");
    v_fuel_capacity = Var_Find("FuelCapacity");
    v_fuel_flow = Var_Find("FuelFlow");
    v_water = Var_Find("WaterTemp");
    v_oil = Var_Find("OilTemp");
    v_oil_press = Var_Find("OilPressure");
    v_fuel_press = Var_Find("FuelPressure");
    v_water_press = Var_Find("WaterPressure");
    v_lat = Var_Find("AccelLat");
    v_long = Var_Find("AccelLong");
    v_vert = Var_Find("AccelVert");
    v_steer = Var_Find("SteerAngle");
    v_warnings = Var_Find("EngineWarnings");
    v_ignition = Var_Find("Ignition");
    v_volts = Var_Find("BatteryVolts");
    v_boost = Var_Find("BoostPressure");
    static const char* const corner[4] = {"FL", "FR", "RL", "RR"};
    char name[VAR_MAX_NAME];
    for (int i = 0; i < 4; i++) {
        std::snprintf(name, sizeof name, "TyreTempMid%s", corner[i]);
        v_tyre_temp[i] = Var_Find(name);
        std::snprintf(name, sizeof name, "BrakeDiscTemp%s", corner[i]);
        v_disc_temp[i] = Var_Find(name);
        std::snprintf(name, sizeof name, "WheelSpeed%s", corner[i]);
        v_wheel_speed[i] = Var_Find(name);
        std::snprintf(name, sizeof name, "BrakeLinePress%s", corner[i]);
        v_line_press[i] = Var_Find(name);
    }
}

// Engine warning bits the car raises.
constexpr int DRIVE_WARN_WATER_HOT = 0x01;
constexpr int DRIVE_WARN_FUEL_LOW = 0x02;
constexpr int DRIVE_WARN_OIL_PRESSURE = 0x04;

void Drive_WriteVars() {
    const DriveCar& c = drive_car;
    Var_SetNumber(v_throttle, 0, c.throttle);
    Var_SetNumber(v_throttle_in, 0, c.throttle);
    Var_SetNumber(v_brake, 0, c.brake);
    Var_SetNumber(v_brake_in, 0, c.brake);
    Var_SetNumber(v_clutch, 0, c.clutch);
    Var_SetInt(v_gear, 0, c.gear);
    Var_SetInt(v_gear_count, 0, DRIVE_GEARS);
    Var_SetNumber(v_rpm, 0, c.rpm);
    Var_SetNumber(v_rev_limit, 0, DRIVE_REV_LIMIT);
    Var_SetNumber(v_shift, 0, c.shift_pct);
    Var_SetNumber(v_speed, 0, c.speed);
    Var_SetNumber(v_vel_forward, 0, c.speed);
    double x = Drive_LapPosition(c.distance);
    Var_SetNumber(v_lap_distance, 0, x);
    Var_SetNumber(v_lap_fraction, 0, x / DRIVE_TRACK_LENGTH);
    Var_SetNumber(v_fuel, 0, c.fuel);
    Var_SetNumber(v_fuel_pct, 0, c.fuel / DRIVE_TANK);
    Var_SetNumber(v_fuel_capacity, 0, DRIVE_TANK);
    Var_SetNumber(v_fuel_flow, 0, 3600.0 * (0.003 + 0.058 * c.throttle * c.rpm / DRIVE_SHIFT_UP));
    Var_SetNumber(v_water, 0, c.water_temp);
    Var_SetNumber(v_oil, 0, c.oil_temp);
    double oil_press = 1.2 + 4.3 * c.rpm / DRIVE_REV_LIMIT;
    Var_SetNumber(v_oil_press, 0, oil_press);
    Var_SetNumber(v_fuel_press, 0, 4.0 + 0.5 * c.throttle);
    Var_SetNumber(v_water_press, 0, 1.0 + (c.water_temp - 20.0) / 100.0);
    Var_SetNumber(v_lat, 0, c.lat_accel);
    Var_SetNumber(v_long, 0, c.long_accel);
    Var_SetNumber(v_vert, 0, -9.81);
    Var_SetNumber(v_steer, 0, c.steer);
    int warnings = 0;
    if (c.water_temp > 105.0) warnings |= DRIVE_WARN_WATER_HOT;
    if (c.fuel < 5.0) warnings |= DRIVE_WARN_FUEL_LOW;
    if (oil_press < 1.5) warnings |= DRIVE_WARN_OIL_PRESSURE;
    Var_SetInt(v_warnings, 0, warnings);
    Var_SetInt(v_ignition, 0, 1);
    Var_SetNumber(v_volts, 0, 13.6 + 0.2 * c.rpm / DRIVE_REV_LIMIT);
    Var_SetNumber(v_boost, 0, 1.0 + 1.4 * c.throttle);
    for (int i = 0; i < 4; i++) {
        double front = i < 2 ? 1.0 : 0.8;
        Var_SetNumber(v_tyre_temp[i], 0, 40.0 + 0.5 * c.water_temp + 1.2 * c.lat_accel);
        Var_SetNumber(v_disc_temp[i], 0, 250.0 + 450.0 * c.brake * front + c.speed);
        Var_SetNumber(v_wheel_speed[i], 0, c.speed / 0.33);
        Var_SetNumber(v_line_press[i], 0, 95.0 * c.brake * front);
    }
}
