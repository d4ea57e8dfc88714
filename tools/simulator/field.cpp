// tools/simulator/field.cpp: the race and the field of cars.
#include "tools/simulator/field.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/simulator/drive.h"
#include "tools/simulator/variables.h"

FieldCar field_cars[FIELD_CARS];
double field_clock;
int field_race_number;
bool field_on_track;

static uint32_t field_seed;
static bool field_news;
static double field_finish_clock;    // when the player finished; < 0 not yet
static double field_garage_left;     // seconds off track left between races
static bool field_leader_finished;

constexpr double FIELD_NOMINAL_LAP = 87.0;   // the player's car's usual lap
constexpr double FIELD_GRID_GAP = 12.0;      // metres between grid slots

// Repeatable pseudo-random numbers in [0, 1) (xorshift32).
static double Field_Random() {
    field_seed ^= field_seed << 13;
    field_seed ^= field_seed >> 17;
    field_seed ^= field_seed << 5;
    return (field_seed >> 8) / 16777216.0;
}

// Roughly normal scatter with the given spread (sum of three uniforms).
static double Field_Scatter(double spread) {
    return (Field_Random() + Field_Random() + Field_Random() - 1.5) * spread;
}

static const char* const field_first_names[] = {
    "Alex", "Sam", "Jordan", "Robin", "Kim", "Toni", "Chris", "Dana", "Lee", "Morgan",
    "Jamie", "Casey", "Nico", "Max", "Sacha", "Luca", "Eli", "Noa", "Ira", "Rene",
};
static const char* const field_last_names[] = {
    "Ambrose", "Becker", "Castell", "Dufour", "Eriksen", "Falk", "Garnier", "Holm", "Iversen",
    "Jansen", "Kovac", "Lindqvist", "Marchetti", "Novak", "Okafor", "Petit", "Quist", "Rossi",
    "Sandor", "Tanaka", "Ulrich", "Vidal", "Weiss", "Yilmaz", "Zeller", "Brandt", "Costa",
    "Duval", "Engel", "Ferrand",
};

static void Field_Grid() {
    // Qualifying sets the grid: each car's best lap there, fastest first.
    int order[FIELD_CARS];
    for (int i = 0; i < FIELD_CARS; i++) {
        FieldCar& c = field_cars[i];
        c.qualify_time = static_cast<float>(c.base_lap * (0.994 + Field_Scatter(0.006)));
        c.practice_laps = 8 + static_cast<int>(Field_Random() * 18);
        c.practice_best = static_cast<float>(c.base_lap * (1.002 + Field_Scatter(0.006)));
        c.practice_last = static_cast<float>(c.practice_best * (1.004 + Field_Random() * 0.01));
        order[i] = i;
    }
    std::sort(order, order + FIELD_CARS, [](int a, int b) {
        return field_cars[a].qualify_time < field_cars[b].qualify_time;
    });
    for (int p = 0; p < FIELD_CARS; p++) field_cars[order[p]].grid = p + 1;
}

void Field_NewRace() {
    field_race_number++;
    field_clock = 0;
    field_finish_clock = -1;
    field_garage_left = 0;
    field_leader_finished = false;
    field_on_track = true;
    for (int i = 0; i < FIELD_CARS; i++) {
        FieldCar& c = field_cars[i];
        // The player sits mid-field: the others spread both ways of its pace.
        c.base_lap = FIELD_NOMINAL_LAP * (0.975 + Field_Random() * 0.05);
        if (i == FIELD_PLAYER) c.base_lap = FIELD_NOMINAL_LAP;
    }
    Field_Grid();
    for (int i = 0; i < FIELD_CARS; i++) {
        FieldCar& c = field_cars[i];
        c.distance = -FIELD_GRID_GAP * c.grid;
        c.lap_time = c.base_lap + 2.0;
        c.lap_start = 0;
        c.cross_time = 0;
        c.laps_done = 0;
        c.best_lap = 0;
        c.last_time = -1.0f;
        c.best_time = -1.0f;
        c.finished = false;
        c.place = c.grid;
    }
    Drive_Reset(field_cars[FIELD_PLAYER].distance);
    field_news = true;
}

void Field_Init(uint32_t seed) {
    field_seed = seed != 0 ? seed : 0x9e3779b9u;
    field_race_number = 0;
    for (int i = 0; i < FIELD_CARS; i++) {
        FieldCar& c = field_cars[i];
        const int nf = sizeof field_first_names / sizeof field_first_names[0];
        const int nl = sizeof field_last_names / sizeof field_last_names[0];
        std::snprintf(c.name, sizeof c.name, "%s %s", field_first_names[(i * 7) % nf],
                      field_last_names[(i * 11 + 3) % nl]);
        c.number = i == FIELD_PLAYER ? 42 : 2 + (i * 37) % 97;
    }
    Field_NewRace();
}

static void Field_Place() {
    int order[FIELD_CARS];
    Field_Order(order);
    for (int p = 0; p < FIELD_CARS; p++) field_cars[order[p]].place = p + 1;
}

void Field_Order(int order[FIELD_CARS]) {
    for (int i = 0; i < FIELD_CARS; i++) order[i] = i;
    std::stable_sort(order, order + FIELD_CARS, [](int a, int b) {
        const FieldCar& x = field_cars[a];
        const FieldCar& y = field_cars[b];
        if (x.laps_done != y.laps_done) return x.laps_done > y.laps_done;
        if (x.laps_done == 0) return x.grid < y.grid;
        return x.cross_time < y.cross_time;
    });
}

// A car reached the line: a completed lap from the second crossing on (the
// first is the start of lap 1 at the rolling start).
static void Field_Crossing(int i) {
    FieldCar& c = field_cars[i];
    if (c.finished) return;
    double lap = field_clock - c.lap_start;
    c.laps_done++;
    c.last_time = static_cast<float>(lap);
    if (c.best_time < 0 || c.last_time < c.best_time) {
        c.best_time = c.last_time;
        c.best_lap = c.laps_done;
    }
    c.lap_start = field_clock;
    c.cross_time = field_clock;
    c.lap_time = c.base_lap * (1.0 + Field_Scatter(0.008));
    if (c.laps_done >= FIELD_RACE_LAPS || field_leader_finished) {
        c.finished = true;
        field_leader_finished = true;
    }
    if (i == FIELD_PLAYER) {
        Drive_SetPace(1.0 + Field_Scatter(0.03));
        if (c.finished) field_finish_clock = field_clock;
    }
    field_news = true;
    Field_Place();
}

void Field_Step(double dt) {
    if (!field_on_track) {
        field_garage_left -= dt;
        if (field_garage_left <= 0) Field_NewRace();
        return;
    }
    field_clock += dt;
    for (int i = 0; i < FIELD_CARS; i++) {
        FieldCar& c = field_cars[i];
        double before = c.distance;
        if (i == FIELD_PLAYER) {
            Drive_Step(dt);
            c.distance = drive_car.distance;
        } else {
            c.distance += DRIVE_TRACK_LENGTH / c.lap_time * dt;
        }
        // The line lies at every whole lap; crossing distance 0 at the
        // rolling start begins lap 1.
        double lap_before = std::floor(before / DRIVE_TRACK_LENGTH);
        double lap_after = std::floor(c.distance / DRIVE_TRACK_LENGTH);
        if (lap_after > lap_before) {
            if (lap_after <= 0.0) {
                c.lap_start = field_clock;
            } else {
                Field_Crossing(i);
            }
        }
    }
    if (field_finish_clock >= 0 && field_clock - field_finish_clock > FIELD_COOL_DOWN) {
        field_on_track = false;
        field_garage_left = FIELD_GARAGE;
        // Back in the garage: the engine is off until the next race.
        drive_car.speed = drive_car.throttle = drive_car.brake = drive_car.rpm = 0;
        drive_car.shift_pct = 0;
        drive_car.gear = 0;
    }
}

int Field_Flags() {
    const FieldCar& p = field_cars[FIELD_PLAYER];
    if (p.finished) return FIELD_FLAG_CHECKERED;
    if (field_leader_finished) return FIELD_FLAG_CHECKERED | FIELD_FLAG_WHITE;
    int flags = FIELD_FLAG_GREEN;
    int leader_laps = 0;
    for (const FieldCar& c : field_cars) leader_laps = std::max(leader_laps, c.laps_done);
    if (leader_laps == FIELD_RACE_LAPS - 1) flags |= FIELD_FLAG_WHITE;
    // A local yellow halfway round every fifth lap: a car off at the hairpin.
    double x = std::fmod(std::max(0.0, drive_car.distance), DRIVE_TRACK_LENGTH);
    if (p.laps_done % 5 == 3 && x > 2200.0 && x < 2500.0) flags |= FIELD_FLAG_YELLOW;
    return flags;
}

bool Field_TakeNews() {
    bool news = field_news;
    field_news = false;
    return news;
}

static int v_clock, v_tick, v_session_index, v_phase, v_serial, v_flags, v_time_left,
    v_laps_left, v_laps_total, v_time_of_day, v_player_car, v_place, v_class_place,
    v_on_track, v_in_garage, v_lap, v_laps_done, v_lap_timer, v_lap_prev, v_lap_best,
    v_lap_best_num, v_camera_car, v_air, v_track_temp, v_f_lap, v_f_laps_done, v_f_fraction,
    v_f_place, v_f_class_place, v_f_last, v_f_best, v_f_best_num, v_f_est, v_f_gap,
    v_f_speed, v_f_dist, v_f_surface, v_radio;

void Field_InitVars() {
    v_clock = Var_Find("SessionClock");
    v_tick = Var_Find("SessionTick");
    v_session_index = Var_Find("SessionIndex");
    v_phase = Var_Find("SessionPhase");
    v_serial = Var_Find("SessionSerial");
    v_flags = Var_Find("SessionFlags");
    v_time_left = Var_Find("SessionTimeLeft");
    v_laps_left = Var_Find("SessionLapsLeft");
    v_laps_total = Var_Find("SessionLapsTotal");
    v_time_of_day = Var_Find("TimeOfDay");
    v_player_car = Var_Find("PlayerCar");
    v_place = Var_Find("PlayerPlace");
    v_class_place = Var_Find("PlayerClassPlace");
    v_on_track = Var_Find("IsOnTrack");
    v_in_garage = Var_Find("InGarage");
    v_lap = Var_Find("Lap");
    v_laps_done = Var_Find("LapsDone");
    v_lap_timer = Var_Find("LapTimer");
    v_lap_prev = Var_Find("LapPrevTime");
    v_lap_best = Var_Find("LapBestTime");
    v_lap_best_num = Var_Find("LapBestNumber");
    v_camera_car = Var_Find("CameraCar");
    v_radio = Var_Find("RadioTalker");
    v_air = Var_Find("AirTemperature");
    v_track_temp = Var_Find("TrackTemperature");
    v_f_lap = Var_Find("FieldLap");
    v_f_laps_done = Var_Find("FieldLapsDone");
    v_f_fraction = Var_Find("FieldLapFraction");
    v_f_place = Var_Find("FieldPlace");
    v_f_class_place = Var_Find("FieldClassPlace");
    v_f_last = Var_Find("FieldLastLapTime");
    v_f_best = Var_Find("FieldBestLapTime");
    v_f_best_num = Var_Find("FieldBestLapNum");
    v_f_est = Var_Find("FieldEstLapTime");
    v_f_gap = Var_Find("FieldGapLeader");
    v_f_speed = Var_Find("FieldSpeed");
    v_f_dist = Var_Find("FieldTrackDist");
    v_f_surface = Var_Find("FieldSurface");
}

void Field_WriteVars(int32_t tick) {
    const FieldCar& p = field_cars[FIELD_PLAYER];
    Var_SetNumber(v_clock, 0, field_clock);
    Var_SetInt(v_tick, 0, tick);
    Var_SetInt(v_session_index, 0, 2);
    Var_SetInt(v_phase, 0, p.finished ? 5 : 4);
    Var_SetInt(v_serial, 0, field_race_number);
    Var_SetInt(v_flags, 0, field_on_track ? Field_Flags() : 0);
    Var_SetNumber(v_time_left, 0, std::max(0.0, 3600.0 - field_clock));
    int leader_laps = 0;
    for (const FieldCar& c : field_cars) leader_laps = std::max(leader_laps, c.laps_done);
    Var_SetInt(v_laps_left, 0, std::max(0, FIELD_RACE_LAPS - leader_laps));
    Var_SetInt(v_laps_total, 0, FIELD_RACE_LAPS);
    Var_SetNumber(v_time_of_day, 0, 14.0 * 3600.0 + field_clock);
    Var_SetInt(v_player_car, 0, FIELD_PLAYER);
    Var_SetInt(v_place, 0, p.place);
    Var_SetInt(v_class_place, 0, p.place);
    Var_SetInt(v_on_track, 0, field_on_track ? 1 : 0);
    Var_SetInt(v_in_garage, 0, field_on_track ? 0 : 1);
    Var_SetInt(v_lap, 0, p.laps_done + 1);
    Var_SetInt(v_laps_done, 0, p.laps_done);
    Var_SetNumber(v_lap_timer, 0, field_clock - p.lap_start);
    Var_SetNumber(v_lap_prev, 0, p.last_time);
    Var_SetNumber(v_lap_best, 0, p.best_time);
    Var_SetInt(v_lap_best_num, 0, p.best_lap);
    Var_SetInt(v_camera_car, 0, FIELD_PLAYER);
    Var_SetInt(v_radio, 0, -1);
    Var_SetNumber(v_air, 0, 21.5);
    Var_SetNumber(v_track_temp, 0, 31.0 + field_clock / 600.0);
    int order[FIELD_CARS];
    Field_Order(order);
    const FieldCar& leader = field_cars[order[0]];
    for (int i = 0; i < FIELD_CARS; i++) {
        const FieldCar& c = field_cars[i];
        double x = std::fmod(std::max(0.0, c.distance), DRIVE_TRACK_LENGTH);
        Var_SetInt(v_f_lap, i, c.laps_done + 1);
        Var_SetInt(v_f_laps_done, i, c.laps_done);
        Var_SetNumber(v_f_fraction, i, x / DRIVE_TRACK_LENGTH);
        Var_SetInt(v_f_place, i, c.place);
        Var_SetInt(v_f_class_place, i, c.place);
        Var_SetNumber(v_f_last, i, c.last_time);
        Var_SetNumber(v_f_best, i, c.best_time);
        Var_SetInt(v_f_best_num, i, c.best_lap);
        Var_SetNumber(v_f_est, i, c.base_lap);
        double gap = (leader.distance - c.distance) / DRIVE_TRACK_LENGTH * c.base_lap;
        Var_SetNumber(v_f_gap, i, gap);
        Var_SetNumber(v_f_speed, i, i == FIELD_PLAYER ? drive_car.speed
                                                      : DRIVE_TRACK_LENGTH / c.lap_time);
        Var_SetNumber(v_f_dist, i, c.distance);
        Var_SetInt(v_f_surface, i, field_on_track ? 3 : 0);
    }
    for (int i = FIELD_CARS; i < VAR_CAR_SLOTS; i++) {
        Var_SetInt(v_f_place, i, 0);
        Var_SetInt(v_f_surface, i, -1);
    }
}
