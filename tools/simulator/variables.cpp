// tools/simulator/variables.cpp: the variable catalogue and the working frame.
#include "tools/simulator/variables.h"

#include <cmath>
#include <cstdio>
#include <cstring>

Variable var_table[LAYOUT_MAX_VARS];
int var_count;
uint8_t var_frame[LAYOUT_SLOT_SIZE];
int var_frame_len;

struct VarDef {
    const char* name;
    VarType type;
    int count;
    const char* unit;
    const char* desc;
};

// Session and car scalars, in the order they lie in a frame. The per-car
// arrays and the per-corner channels are added between the groups below.
static const VarDef var_session_defs[] = {
    {"SessionClock", VAR_DOUBLE, 1, "s", "Seconds since the session began"},
    {"SessionTick", VAR_INT, 1, "", "Frames since the session began"},
    {"SessionIndex", VAR_INT, 1, "", "Index of the running session"},
    {"SessionPhase", VAR_INT, 1, "", "Grid, formation, racing, checkered, cool-down"},
    {"SessionSerial", VAR_INT, 1, "", "Changes whenever a new session is loaded"},
    {"SessionFlags", VAR_BITFIELD, 1, "", "Flags shown to the driver"},
    {"SessionTimeLeft", VAR_DOUBLE, 1, "s", "Seconds left in the session"},
    {"SessionLapsLeft", VAR_INT, 1, "", "Laps left for the leader"},
    {"SessionLapsTotal", VAR_INT, 1, "", "Laps of the session"},
    {"TimeOfDay", VAR_FLOAT, 1, "s", "Local time of day at the track"},
    {"ReplayActive", VAR_BOOL, 1, "", "A replay is playing"},
    {"ReplayFrame", VAR_INT, 1, "", "Frame of the replay shown"},
    {"CameraCar", VAR_INT, 1, "", "Car the camera follows"},
    {"CameraGroup", VAR_INT, 1, "", "Camera group in use"},
    {"CameraNumber", VAR_INT, 1, "", "Camera of the group in use"},
    {"RadioTalker", VAR_INT, 1, "", "Car whose driver is on the radio, -1 none"},
    {"UnitsMetric", VAR_BOOL, 1, "", "Display in metric units"},
    {"IsOnTrack", VAR_BOOL, 1, "", "The player's car is on track, driven"},
    {"InGarage", VAR_BOOL, 1, "", "The player is in the garage screen"},
    {"PlayerCar", VAR_INT, 1, "", "Car index of the player"},
    {"PlayerPlace", VAR_INT, 1, "", "Player's place in the race"},
    {"PlayerClassPlace", VAR_INT, 1, "", "Player's place in the class"},
    {"PlayerSurface", VAR_INT, 1, "", "Surface under the player's car"},
    {"PlayerIncidents", VAR_INT, 1, "x", "Incident points of the player"},
    {"BallastKg", VAR_FLOAT, 1, "kg", "Ballast carried"},
    {"PowerTrim", VAR_FLOAT, 1, "%", "Engine power trim"},
    {"InPitBox", VAR_BOOL, 1, "", "Car stands in its pit box"},
    {"OnPitLane", VAR_BOOL, 1, "", "Car is on the pit lane"},
    {"PitLaneLimiter", VAR_BOOL, 1, "", "Pit lane speed limiter on"},
};

static const VarDef var_driver_defs[] = {
    {"SteerAngle", VAR_FLOAT, 1, "rad", "Steering wheel angle"},
    {"SteerTorque", VAR_FLOAT, 1, "N*m", "Steering wheel torque"},
    {"Throttle", VAR_FLOAT, 1, "%", "Throttle pedal, 0 off to 1 full"},
    {"ThrottleInput", VAR_FLOAT, 1, "%", "Throttle pedal before any aids"},
    {"Brake", VAR_FLOAT, 1, "%", "Brake pedal, 0 off to 1 full"},
    {"BrakeInput", VAR_FLOAT, 1, "%", "Brake pedal before any aids"},
    {"Clutch", VAR_FLOAT, 1, "%", "Clutch, 0 disengaged to 1 engaged"},
    {"Handbrake", VAR_FLOAT, 1, "%", "Handbrake lever"},
    {"AbsActive", VAR_BOOL, 1, "", "Anti-lock braking is working"},
    {"TcActive", VAR_BOOL, 1, "", "Traction control is working"},
    {"Gear", VAR_INT, 1, "", "-1 reverse, 0 neutral, 1 .. n forward"},
    {"GearCount", VAR_INT, 1, "", "Forward gears of the car"},
    {"Lap", VAR_INT, 1, "", "Lap being driven, 1 the first"},
    {"LapsDone", VAR_INT, 1, "", "Laps completed"},
    {"LapDistance", VAR_FLOAT, 1, "m", "Metres from the start line"},
    {"LapFraction", VAR_FLOAT, 1, "%", "Part of the lap driven, 0 to 1"},
    {"LapTimer", VAR_FLOAT, 1, "s", "Time of the lap being driven"},
    {"LapPrevTime", VAR_FLOAT, 1, "s", "Time of the last completed lap"},
    {"LapBestTime", VAR_FLOAT, 1, "s", "Best lap time of the session"},
    {"LapBestNumber", VAR_INT, 1, "", "Lap of the best lap time"},
    {"LapDeltaBest", VAR_FLOAT, 1, "s", "Gain or loss against the best lap"},
    {"LapDeltaValid", VAR_BOOL, 1, "", "The delta can be shown"},
};

static const VarDef var_motion_defs[] = {
    {"AccelLong", VAR_FLOAT, 1, "m/s^2", "Longitudinal acceleration"},
    {"AccelLat", VAR_FLOAT, 1, "m/s^2", "Lateral acceleration"},
    {"AccelVert", VAR_FLOAT, 1, "m/s^2", "Vertical acceleration"},
    {"AccelVertSamples", VAR_FLOAT, 6, "m/s^2", "Vertical acceleration at 360 Hz"},
    {"RateRoll", VAR_FLOAT, 1, "rad/s", "Roll rate"},
    {"RatePitch", VAR_FLOAT, 1, "rad/s", "Pitch rate"},
    {"RateYaw", VAR_FLOAT, 1, "rad/s", "Yaw rate"},
    {"Speed", VAR_FLOAT, 1, "m/s", "Ground speed"},
    {"VelForward", VAR_FLOAT, 1, "m/s", "Velocity along the car"},
    {"VelSide", VAR_FLOAT, 1, "m/s", "Velocity across the car"},
    {"VelUp", VAR_FLOAT, 1, "m/s", "Vertical velocity"},
    {"Heading", VAR_FLOAT, 1, "rad", "Heading"},
    {"PitchAngle", VAR_FLOAT, 1, "rad", "Pitch angle"},
    {"RollAngle", VAR_FLOAT, 1, "rad", "Roll angle"},
    {"Altitude", VAR_FLOAT, 1, "m", "Height above sea level"},
    {"Latitude", VAR_DOUBLE, 1, "deg", "Position, latitude"},
    {"Longitude", VAR_DOUBLE, 1, "deg", "Position, longitude"},
    {"TrackTemperature", VAR_FLOAT, 1, "C", "Track surface temperature"},
    {"AirTemperature", VAR_FLOAT, 1, "C", "Air temperature"},
    {"AirDensity", VAR_FLOAT, 1, "kg/m^3", "Air density"},
    {"AirPressure", VAR_FLOAT, 1, "Hg", "Air pressure"},
    {"WindSpeed", VAR_FLOAT, 1, "m/s", "Wind speed"},
    {"WindDirection", VAR_FLOAT, 1, "rad", "Wind direction"},
    {"Humidity", VAR_FLOAT, 1, "%", "Relative humidity"},
    {"Fog", VAR_FLOAT, 1, "%", "Fog density"},
    {"Cloud", VAR_INT, 1, "", "Cloud cover"},
    {"Rain", VAR_FLOAT, 1, "%", "Rain intensity"},
    {"TrackWetness", VAR_INT, 1, "", "How wet the track is"},
};

static const VarDef var_engine_defs[] = {
    {"CarBeside", VAR_BITFIELD, 1, "", "Cars alongside, left and right"},
    {"PitOpen", VAR_BOOL, 1, "", "The pit lane is open"},
    {"RepairTimeLeft", VAR_FLOAT, 1, "s", "Time left for mandatory repairs"},
    {"OptRepairTimeLeft", VAR_FLOAT, 1, "s", "Time left for optional repairs"},
    {"PitServiceActive", VAR_BOOL, 1, "", "Pit service under way"},
    {"QuickRepairsUsed", VAR_INT, 1, "", "Quick repairs used"},
    {"TyreCompound", VAR_INT, 1, "", "Compound of the fitted tyres"},
    {"ShiftIndicatorPct", VAR_FLOAT, 1, "%", "Shift light, 0 off to 1 shift now"},
    {"ShiftPowerPct", VAR_FLOAT, 1, "%", "Power at the shift point"},
    {"ShiftGrind", VAR_FLOAT, 1, "revs/min", "Gearbox grind speed"},
    {"RPM", VAR_FLOAT, 1, "revs/min", "Engine speed"},
    {"RevLimit", VAR_FLOAT, 1, "revs/min", "Engine speed of the limiter"},
    {"EngineWarnings", VAR_BITFIELD, 1, "", "Engine warning lights"},
    {"Ignition", VAR_BOOL, 1, "", "Ignition on"},
    {"Starter", VAR_BOOL, 1, "", "Starter turning"},
    {"Stalled", VAR_BOOL, 1, "", "Engine stalled"},
    {"FuelFlow", VAR_FLOAT, 1, "l/h", "Fuel used per hour"},
    {"FuelPressure", VAR_FLOAT, 1, "bar", "Fuel pressure"},
    {"FuelMix", VAR_INT, 1, "", "Fuel mixture setting"},
    {"FuelCapacity", VAR_FLOAT, 1, "l", "Tank capacity"},
    {"BatteryVolts", VAR_FLOAT, 1, "V", "Battery voltage"},
    {"WaterLevel", VAR_FLOAT, 1, "l", "Coolant level"},
    {"WaterTemp", VAR_FLOAT, 1, "C", "Coolant temperature"},
    {"WaterPressure", VAR_FLOAT, 1, "bar", "Coolant pressure"},
    {"OilLevel", VAR_FLOAT, 1, "l", "Oil level"},
    {"OilPressure", VAR_FLOAT, 1, "bar", "Oil pressure"},
    {"BoostPressure", VAR_FLOAT, 1, "bar", "Manifold pressure"},
    {"TurboSpeed", VAR_FLOAT, 1, "revs/min", "Turbocharger speed"},
    {"ExhaustTemp", VAR_FLOAT, 1, "C", "Exhaust gas temperature"},
    {"ErsStore", VAR_FLOAT, 1, "%", "Energy store charge"},
    {"ErsDeploy", VAR_FLOAT, 1, "kW", "Energy deployed"},
    {"ErsHarvest", VAR_FLOAT, 1, "kW", "Energy harvested"},
    {"ErsMode", VAR_INT, 1, "", "Deployment mode"},
    {"DrsAvailable", VAR_BOOL, 1, "", "Drag reduction may be opened"},
    {"DrsOpen", VAR_BOOL, 1, "", "Drag reduction open"},
    {"PushToPass", VAR_BOOL, 1, "", "Overtake boost active"},
    {"PushToPassLeft", VAR_INT, 1, "", "Overtake boosts left"},
    {"OilTemp", VAR_FLOAT, 1, "C", "Oil temperature"},
    {"GearboxTemp", VAR_FLOAT, 1, "C", "Gearbox oil temperature"},
    {"DiffTemp", VAR_FLOAT, 1, "C", "Differential temperature"},
    {"FuelLevel", VAR_FLOAT, 1, "l", "Fuel on board"},
    {"FuelLevelPct", VAR_FLOAT, 1, "%", "Fuel on board, part of capacity"},
    {"FuelPerLapAvg", VAR_FLOAT, 1, "l", "Average fuel used per lap"},
};

static const VarDef var_setup_defs[] = {
    {"BrakeBias", VAR_FLOAT, 1, "%", "Front brake bias"},
    {"TractionSetting", VAR_FLOAT, 1, "", "Traction control setting"},
    {"AbsSetting", VAR_FLOAT, 1, "", "Anti-lock setting"},
    {"ThrottleMap", VAR_FLOAT, 1, "", "Throttle map setting"},
    {"EngineBraking", VAR_FLOAT, 1, "", "Engine braking setting"},
    {"FrontWing", VAR_FLOAT, 1, "deg", "Front wing angle"},
    {"RearWing", VAR_FLOAT, 1, "deg", "Rear wing angle"},
    {"FrontArb", VAR_FLOAT, 1, "", "Front anti-roll bar"},
    {"RearArb", VAR_FLOAT, 1, "", "Rear anti-roll bar"},
    {"WeightJacker", VAR_FLOAT, 1, "mm", "Weight jacker"},
    {"DashPage", VAR_INT, 1, "", "Page on the car's dash"},
    {"Headlights", VAR_BOOL, 1, "", "Headlights on"},
    {"Wipers", VAR_INT, 1, "", "Wiper setting"},
    {"DisplayBrightness", VAR_FLOAT, 1, "%", "Dash brightness"},
    {"PitFuelToAdd", VAR_FLOAT, 1, "l", "Fuel to add at the next stop"},
    {"PitChangeTyres", VAR_BITFIELD, 1, "", "Tyres to change at the next stop"},
    {"PitClearScreen", VAR_BOOL, 1, "", "Clear the windscreen at the next stop"},
    {"PitQuickRepair", VAR_BOOL, 1, "", "Quick repair at the next stop"},
    {"FrameRate", VAR_FLOAT, 1, "fps", "Frames drawn per second"},
    {"CpuLoad", VAR_FLOAT, 1, "%", "Processor load of the simulator"},
    {"GpuLoad", VAR_FLOAT, 1, "%", "Graphics load of the simulator"},
    {"NetLatency", VAR_FLOAT, 1, "s", "Round trip to the race server"},
    {"NetLoss", VAR_FLOAT, 1, "%", "Packets lost to the race server"},
    {"MemoryLoad", VAR_FLOAT, 1, "%", "Memory in use by the simulator"},
};

// Per-car arrays, indexed by car index.
static const VarDef var_field_defs[] = {
    {"FieldLap", VAR_INT, VAR_CAR_SLOTS, "", "Lap each car is on"},
    {"FieldLapsDone", VAR_INT, VAR_CAR_SLOTS, "", "Laps each car completed"},
    {"FieldLapFraction", VAR_FLOAT, VAR_CAR_SLOTS, "%", "Part of the lap each car drove"},
    {"FieldSurface", VAR_INT, VAR_CAR_SLOTS, "", "Surface under each car"},
    {"FieldOnPitLane", VAR_BOOL, VAR_CAR_SLOTS, "", "Each car is on the pit lane"},
    {"FieldPlace", VAR_INT, VAR_CAR_SLOTS, "", "Place of each car"},
    {"FieldClassPlace", VAR_INT, VAR_CAR_SLOTS, "", "Class place of each car"},
    {"FieldClass", VAR_INT, VAR_CAR_SLOTS, "", "Class of each car"},
    {"FieldGapLeader", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Gap of each car to the leader"},
    {"FieldEstLapTime", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Estimated lap time of each car"},
    {"FieldLastLapTime", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Last lap time of each car"},
    {"FieldBestLapTime", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Best lap time of each car"},
    {"FieldBestLapNum", VAR_INT, VAR_CAR_SLOTS, "", "Lap of each car's best time"},
    {"FieldGear", VAR_INT, VAR_CAR_SLOTS, "", "Gear of each car"},
    {"FieldRPM", VAR_FLOAT, VAR_CAR_SLOTS, "revs/min", "Engine speed of each car"},
    {"FieldSteer", VAR_FLOAT, VAR_CAR_SLOTS, "rad", "Steering angle of each car"},
    {"FieldFlags", VAR_BITFIELD, VAR_CAR_SLOTS, "", "Flags shown to each car"},
    {"FieldTyreCompound", VAR_INT, VAR_CAR_SLOTS, "", "Tyre compound of each car"},
    {"FieldPushToPass", VAR_BOOL, VAR_CAR_SLOTS, "", "Overtake boost of each car"},
    {"FieldFastRepairs", VAR_INT, VAR_CAR_SLOTS, "", "Quick repairs each car used"},
    {"FieldSpeed", VAR_FLOAT, VAR_CAR_SLOTS, "m/s", "Speed of each car"},
    {"FieldIncidents", VAR_INT, VAR_CAR_SLOTS, "x", "Incident points of each car"},
    {"FieldPitStops", VAR_INT, VAR_CAR_SLOTS, "", "Pit stops of each car"},
    {"FieldSector", VAR_INT, VAR_CAR_SLOTS, "", "Sector each car is in"},
    {"FieldSectorTime", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Last sector time of each car"},
    {"FieldGapAhead", VAR_FLOAT, VAR_CAR_SLOTS, "s", "Gap of each car to the car ahead"},
    {"FieldTrackDist", VAR_FLOAT, VAR_CAR_SLOTS, "m", "Distance each car covered"},
    {"FieldDamage", VAR_FLOAT, VAR_CAR_SLOTS, "%", "Damage of each car"},
    {"FieldLapStart", VAR_FLOAT, VAR_CAR_SLOTS, "s", "When each car began its lap"},
};

// Per-corner channels; each name gets the corner's suffix.
static const VarDef var_corner_defs[] = {
    {"TyreTempIn", VAR_FLOAT, 1, "C", "Tyre surface temperature, inner"},
    {"TyreTempMid", VAR_FLOAT, 1, "C", "Tyre surface temperature, middle"},
    {"TyreTempOut", VAR_FLOAT, 1, "C", "Tyre surface temperature, outer"},
    {"TyreCarcass", VAR_FLOAT, 1, "C", "Tyre carcass temperature"},
    {"TyreWearIn", VAR_FLOAT, 1, "%", "Tread left, inner"},
    {"TyreWearMid", VAR_FLOAT, 1, "%", "Tread left, middle"},
    {"TyreWearOut", VAR_FLOAT, 1, "%", "Tread left, outer"},
    {"TyrePress", VAR_FLOAT, 1, "kPa", "Tyre pressure, hot"},
    {"TyrePressCold", VAR_FLOAT, 1, "kPa", "Tyre pressure, cold"},
    {"RideHeight", VAR_FLOAT, 1, "m", "Ride height"},
    {"DamperPos", VAR_FLOAT, 1, "m", "Damper travel"},
    {"DamperVel", VAR_FLOAT, 1, "m/s", "Damper velocity"},
    {"BrakeDiscTemp", VAR_FLOAT, 1, "C", "Brake disc temperature"},
    {"BrakeLinePress", VAR_FLOAT, 1, "bar", "Brake line pressure"},
    {"WheelSpeed", VAR_FLOAT, 1, "rad/s", "Wheel rotation speed"},
    {"SlipRatio", VAR_FLOAT, 1, "", "Longitudinal slip"},
    {"SlipAngle", VAR_FLOAT, 1, "rad", "Slip angle"},
    {"WheelLoad", VAR_FLOAT, 1, "N", "Vertical load"},
    {"Camber", VAR_FLOAT, 1, "rad", "Camber"},
    {"TyreChanged", VAR_BOOL, 1, "", "Tyre changed at the last stop"},
};

static const char* const var_corner_names[4] = {"FL", "FR", "RL", "RR"};

// Long-lived names of the per-corner variables (the table points at them).
static char var_corner_names_store[4 * sizeof var_corner_defs / sizeof var_corner_defs[0]]
                                  [VAR_MAX_NAME];

int Var_TypeSize(VarType type) {
    switch (type) {
    case VAR_CHAR:
    case VAR_BOOL:
        return 1;
    case VAR_DOUBLE:
        return 8;
    default:
        return 4;
    }
}

static int var_layout_end;

static void Var_Add(const char* name, VarType type, int count, const char* unit, const char* desc) {
    if (var_count >= LAYOUT_MAX_VARS) return;
    Variable& v = var_table[var_count++];
    std::snprintf(v.name, sizeof v.name, "%.*s", static_cast<int>(sizeof v.name) - 1, name);
    v.desc = desc;
    v.unit = unit;
    v.type = type;
    v.count = count;
    int size = Var_TypeSize(type);
    int align = size;
    var_layout_end = (var_layout_end + align - 1) / align * align;
    v.offset = var_layout_end;
    v.table_offset = var_layout_end;
    v.hidden = false;
    var_layout_end += size * count;
}

template <int N>
static void Var_AddGroup(const VarDef (&defs)[N]) {
    for (const VarDef& d : defs) Var_Add(d.name, d.type, d.count, d.unit, d.desc);
}

void Var_Init() {
    var_count = 0;
    var_layout_end = 0;
    std::memset(var_frame, 0, sizeof var_frame);
    constexpr int field_split = 10;
    Var_AddGroup(var_session_defs);
    for (int i = 0; i < field_split; i++) {
        const VarDef& d = var_field_defs[i];
        Var_Add(d.name, d.type, d.count, d.unit, d.desc);
    }
    Var_AddGroup(var_driver_defs);
    Var_AddGroup(var_motion_defs);
    int n = 0;
    for (int c = 0; c < 4; c++) {
        for (const VarDef& d : var_corner_defs) {
            char* name = var_corner_names_store[n++];
            std::snprintf(name, VAR_MAX_NAME, "%s%s", d.name, var_corner_names[c]);
            Var_Add(name, d.type, d.count, d.unit, d.desc);
        }
    }
    Var_AddGroup(var_engine_defs);
    for (int i = field_split; i < static_cast<int>(sizeof var_field_defs / sizeof var_field_defs[0]); i++) {
        const VarDef& d = var_field_defs[i];
        Var_Add(d.name, d.type, d.count, d.unit, d.desc);
    }
    Var_AddGroup(var_setup_defs);
    // Split times of the lap's sectors.
    static char sector_names[2 * 12][VAR_MAX_NAME];
    for (int s = 0; s < 12; s++) {
        std::snprintf(sector_names[2 * s], VAR_MAX_NAME, "SectorTime%02d", s + 1);
        std::snprintf(sector_names[2 * s + 1], VAR_MAX_NAME, "SectorDelta%02d", s + 1);
        Var_Add(sector_names[2 * s], VAR_FLOAT, 1, "s", "Time of the sector on the last lap");
        Var_Add(sector_names[2 * s + 1], VAR_FLOAT, 1, "s", "Sector time against the best");
    }
    var_frame_len = (var_layout_end + 15) / 16 * 16;
}

int Var_Find(const char* name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < var_count; i++)
        if (std::strcmp(var_table[i].name, name) == 0) return i;
    return -1;
}

static uint8_t* Var_Slot(int var, int index) {
    if (var < 0 || var >= var_count) return nullptr;
    const Variable& v = var_table[var];
    if (index < 0 || index >= v.count) return nullptr;
    return var_frame + v.offset + index * Var_TypeSize(v.type);
}

void Var_SetNumber(int var, int index, double value) {
    uint8_t* p = Var_Slot(var, index);
    if (p == nullptr) return;
    switch (var_table[var].type) {
    case VAR_FLOAT: {
        float f = static_cast<float>(value);
        std::memcpy(p, &f, 4);
        break;
    }
    case VAR_DOUBLE:
        std::memcpy(p, &value, 8);
        break;
    default:
        // Integers from a number: truncated toward zero, out-of-range and
        // NaN as 0 rather than undefined.
        if (std::isfinite(value) && value > -2147483649.0 && value < 4294967296.0)
            Var_SetInt(var, index, static_cast<int64_t>(value));
        else
            Var_SetInt(var, index, 0);
        break;
    }
}

void Var_SetInt(int var, int index, int64_t value) {
    uint8_t* p = Var_Slot(var, index);
    if (p == nullptr) return;
    switch (var_table[var].type) {
    case VAR_FLOAT:
    case VAR_DOUBLE:
        Var_SetNumber(var, index, static_cast<double>(value));
        break;
    case VAR_CHAR:
    case VAR_BOOL:
        *p = static_cast<uint8_t>(static_cast<uint64_t>(value) & 0xff);
        break;
    default: {
        uint32_t u = static_cast<uint32_t>(static_cast<uint64_t>(value) & 0xffffffffu);
        std::memcpy(p, &u, 4);
        break;
    }
    }
}

double Var_GetNumber(int var, int index) {
    const uint8_t* p = Var_Slot(var, index);
    if (p == nullptr) return 0.0;
    switch (var_table[var].type) {
    case VAR_FLOAT: {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    case VAR_DOUBLE: {
        double d;
        std::memcpy(&d, p, 8);
        return d;
    }
    case VAR_CHAR:
    case VAR_BOOL:
        return *p;
    case VAR_BITFIELD: {
        uint32_t u;
        std::memcpy(&u, p, 4);
        return u;
    }
    default: {
        int32_t i;
        std::memcpy(&i, p, 4);
        return i;
    }
    }
}

int Var_PublishedHeaders(LayoutVarHeader* out, int max) {
    int n = 0;
    for (int i = 0; i < var_count && n < max; i++) {
        const Variable& v = var_table[i];
        if (v.hidden) continue;
        out[n++] = {static_cast<int32_t>(v.type), v.table_offset, v.count, false, v.name, v.desc,
                    v.unit};
    }
    return n;
}
