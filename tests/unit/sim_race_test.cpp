// The stand-in's race: what a dashboard would show over laps, and the
// session-info text scanned the way the server scans it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/simulator/drive.h"
#include "tools/simulator/field.h"
#include "tools/simulator/sessioninfo.h"
#include "tools/simulator/variables.h"

namespace {

constexpr double kDt = 1.0 / 60.0;

void StartRace(uint32_t seed) {
    Var_Init();
    Drive_Init();
    Field_InitVars();
    Field_Init(seed);
}

void Frame() {
    Field_Step(kDt);
    Drive_WriteVars();
    Field_WriteVars(0);
}

double Get(const char* name) { return Var_GetNumber(Var_Find(name), 0); }

std::string Info() {
    static char buf[INFO_TEXT_SIZE];
    int n = Info_Build(buf, sizeof buf);
    return std::string(buf, static_cast<size_t>(n));
}

// The player's result of the last session block, found with the same
// plain substring searches the server uses.
struct Scan {
    int driver = -1, blocks = 0, entries = 0, place = 0;
    std::string laps, fastest, last;
};

std::string ValueAfter(const std::string& t, size_t key, size_t skip) {
    size_t nl = t.find('\n', key + skip);
    return nl == std::string::npos ? "" : t.substr(key + skip, nl - key - skip);
}

Scan ScanInfo(const std::string& t) {
    Scan s;
    size_t k = t.find("DriverCarIdx:");
    if (k == std::string::npos) return s;
    s.driver = std::stoi(t.substr(k + 14));
    size_t start = std::string::npos, at = 0;
    while ((at = t.find("SessionNum:", at)) != std::string::npos) {
        start = at;
        s.blocks++;
        at += 12;
    }
    if (start == std::string::npos) return s;
    size_t end = t.find("\n\n", start + 12);
    if (end == std::string::npos) return s;
    std::string b = t.substr(start, end - start);
    size_t laps = b.find("SessionLaps:");
    if (laps != std::string::npos) s.laps = ValueAfter(b, laps, 13);
    size_t cur = 0;
    while (s.entries < 50 && (cur = b.find("- Position:", cur)) != std::string::npos) {
        cur += 12;
        s.entries++;
        size_t ci = b.find("CarIdx:", cur), ft = b.find("FastestTime:", cur),
               lt = b.find("LastTime:", cur);
        if (ci != std::string::npos && std::stoi(b.substr(ci + 8)) == s.driver && s.place == 0) {
            s.place = s.entries;
            s.fastest = ValueAfter(b, ft, 13);
            s.last = ValueAfter(b, lt, 10);
        }
    }
    return s;
}

}  // namespace

TEST(SimRace, ThePlayersCarLapsLikeARaceCar) {
    StartRace(1);
    Frame();
    int lap = static_cast<int>(Get("Lap"));
    EXPECT_EQ(lap, 1);
    EXPECT_EQ(Get("IsOnTrack"), 1.0);
    double fuel_at_line = -1, last_cross = -1;
    std::vector<double> lap_seconds, fuel_per_lap;
    bool gear_seen[DRIVE_GEARS + 1] = {};
    double min_rpm = 1e9, max_rpm = 0, max_brake = 0, max_shift = 0;
    double t = 0;
    for (int f = 0; f < 60 * 60 * 8; f++) {   // eight minutes
        Frame();
        t += kDt;
        double rpm = Get("RPM"), thr = Get("Throttle"), brk = Get("Brake");
        int gear = static_cast<int>(Get("Gear"));
        ASSERT_GE(gear, 1);
        ASSERT_LE(gear, DRIVE_GEARS);
        gear_seen[gear] = true;
        ASSERT_GE(thr, 0.0);
        ASSERT_LE(thr, 1.0);
        ASSERT_GE(brk, 0.0);
        ASSERT_LE(brk, 1.0);
        ASSERT_FALSE(thr > 0.5 && brk > 0.5) << "both pedals at " << t;
        min_rpm = std::min(min_rpm, rpm);
        max_rpm = std::max(max_rpm, rpm);
        max_brake = std::max(max_brake, brk);
        double shift = Get("ShiftIndicatorPct");
        max_shift = std::max(max_shift, shift);
        if (rpm < 5700) { ASSERT_EQ(shift, 0.0) << "shift light at " << rpm; }
        int now = static_cast<int>(Get("Lap"));
        if (now != lap) {
            ASSERT_EQ(now, lap + 1) << "laps count one at a time";
            lap = now;
            double fuel = Get("FuelLevel");
            if (last_cross >= 0) {
                lap_seconds.push_back(t - last_cross);
                fuel_per_lap.push_back(fuel_at_line - fuel);
                EXPECT_NEAR(Get("LapPrevTime"), t - last_cross, 0.05);
            }
            last_cross = t;
            fuel_at_line = fuel;
        }
    }
    ASSERT_GE(lap_seconds.size(), 3u);
    for (double s : lap_seconds) {
        EXPECT_GT(s, 60.0);
        EXPECT_LT(s, 90.0);
    }
    for (double l : fuel_per_lap) {
        EXPECT_GT(l, 2.0);
        EXPECT_LT(l, 4.0);
    }
    for (int g = 1; g <= DRIVE_GEARS; g++) EXPECT_TRUE(gear_seen[g]) << "gear " << g;
    EXPECT_GT(min_rpm, 1500.0);
    EXPECT_LT(max_rpm, 7600.0);
    EXPECT_GT(max_rpm, 7000.0);
    EXPECT_GT(max_brake, 0.8);
    EXPECT_GT(max_shift, 0.95);
    // The engine has warmed up from cold.
    EXPECT_GT(Get("WaterTemp"), 80.0);
    EXPECT_GT(Get("OilTemp"), 90.0);
    EXPECT_LT(Get("WaterTemp"), 105.0);
    EXPECT_EQ(static_cast<int>(Get("SessionFlags")) & FIELD_FLAG_GREEN, FIELD_FLAG_GREEN);
}

TEST(SimRace, SessionInfoCarriesThePlayersPlaceAndTimesAsTheyChange) {
    StartRace(7);
    std::string t = Info();
    EXPECT_GT(t.size(), 80000u);
    EXPECT_LT(t.size(), 100000u);
    Scan s = ScanInfo(t);
    EXPECT_EQ(s.driver, FIELD_PLAYER);
    EXPECT_EQ(s.blocks, 3);
    EXPECT_EQ(s.laps, std::to_string(FIELD_RACE_LAPS));
    EXPECT_EQ(s.entries, 50) << "sixty listed, a reader takes fifty";
    size_t car_id = t.find("CarID:");
    ASSERT_NE(car_id, std::string::npos);
    EXPECT_EQ(std::stoi(t.substr(car_id + 7)), FIELD_CAR_ID);
    EXPECT_EQ(s.fastest, "-1.0000") << "no lap yet";
    EXPECT_EQ(s.last, "-1.0000");
    size_t race = t.rfind("SessionNum:");
    size_t count = 0;
    for (size_t at = race; (at = t.find("- Position:", at)) != std::string::npos; at++) count++;
    EXPECT_EQ(count, static_cast<size_t>(FIELD_CARS));

    // Over three laps the player's entry follows its place and lap times.
    std::vector<std::string> lasts;
    int laps = 0;
    while (laps < 3) {
        Frame();
        if (!Field_TakeNews()) continue;
        const FieldCar& p = field_cars[FIELD_PLAYER];
        if (p.laps_done == laps) continue;
        laps = p.laps_done;
        Scan now = ScanInfo(Info());
        if (p.place <= 50) { EXPECT_EQ(now.place, p.place); }
        char want[32];
        std::snprintf(want, sizeof want, "%.4f", static_cast<double>(p.last_time));
        EXPECT_EQ(now.last, want);
        std::snprintf(want, sizeof want, "%.4f", static_cast<double>(p.best_time));
        EXPECT_EQ(now.fastest, want);
        lasts.push_back(now.last);
    }
    EXPECT_NE(lasts[1], lasts[2]);
    // The order is by laps, then by who crossed first.
    int order[FIELD_CARS];
    Field_Order(order);
    for (int i = 1; i < FIELD_CARS; i++) {
        const FieldCar& a = field_cars[order[i - 1]];
        const FieldCar& b = field_cars[order[i]];
        EXPECT_TRUE(a.laps_done > b.laps_done ||
                    (a.laps_done == b.laps_done && (a.laps_done == 0 || a.cross_time <= b.cross_time)));
    }
}

TEST(SimRace, AFinishedRaceGoesOffTrackThenStartsAgain) {
    StartRace(3);
    bool checkered = false, off_track = false;
    int races = field_race_number;
    for (int f = 0; f < 60 * 60 * 60 && field_race_number == races; f++) {
        Frame();
        int flags = static_cast<int>(Get("SessionFlags"));
        if (flags & FIELD_FLAG_CHECKERED) checkered = true;
        if (Get("IsOnTrack") == 0.0) {
            off_track = true;
            EXPECT_TRUE(checkered);
        }
    }
    EXPECT_TRUE(checkered);
    EXPECT_TRUE(off_track);
    ASSERT_EQ(field_race_number, races + 1);
    Frame();
    EXPECT_EQ(Get("IsOnTrack"), 1.0);
    EXPECT_EQ(Get("Lap"), 1.0);
    EXPECT_GT(Get("FuelLevel"), 80.0);
    EXPECT_EQ(field_cars[FIELD_PLAYER].laps_done, 0);
}
