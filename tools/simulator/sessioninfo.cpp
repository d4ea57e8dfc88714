// tools/simulator/sessioninfo.cpp: writes the session-info text.
#include "tools/simulator/sessioninfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/simulator/drive.h"
#include "tools/simulator/field.h"

// The text under construction; Info_Add never writes past its end.
static char* info_buf;
static int info_size;
static int info_len;
static bool info_full;

__attribute__((format(gnu_printf, 1, 2))) static void Info_Add(const char* fmt, ...) {
    if (info_full) return;
    va_list ap;
    va_start(ap, fmt);
    int room = info_size - info_len;
    int n = std::vsnprintf(info_buf + info_len, static_cast<size_t>(room), fmt, ap);
    va_end(ap);
    if (n < 0 || n >= room) {
        // Cut back to the last whole line: a reader never sees half a value.
        info_buf[info_len] = 0;
        info_full = true;
        return;
    }
    info_len += n;
}

static void Info_Event() {
    Info_Add("---\n");
    Info_Add("Event:\n");
    Info_Add(" TrackName: lakeside\n");
    Info_Add(" TrackTitle: Lakeside Ring\n");
    Info_Add(" TrackLayout: Grand Prix\n");
    Info_Add(" TrackLength: %.2f km\n", DRIVE_TRACK_LENGTH / 1000.0);
    Info_Add(" TrackTurns: 14\n");
    Info_Add(" TrackCity: Northmere\n");
    Info_Add(" TrackCountry: Nowhere\n");
    Info_Add(" TrackAltitude: 212.40 m\n");
    Info_Add(" TrackLatitude: 47.112903 deg\n");
    Info_Add(" TrackLongitude: 8.517260 deg\n");
    Info_Add(" TrackNorth: 1.2201 rad\n");
    Info_Add(" TrackPitLimit: 60.00 kph\n");
    Info_Add(" TrackSurfaceTemp: 31.20 C\n");
    Info_Add(" TrackAirTemp: 21.50 C\n");
    Info_Add(" TrackAirPressure: 29.61 Hg\n");
    Info_Add(" TrackWind: 2.10 m/s\n");
    Info_Add(" TrackWindDir: 0.84 rad\n");
    Info_Add(" TrackHumidity: 48 %%\n");
    Info_Add(" TrackSkies: Partly Cloudy\n");
    Info_Add(" EventSerial: %d\n", 418800 + field_race_number);
    Info_Add(" EventSeries: Club Endurance Cup\n");
    Info_Add(" EventSeason: 2026 Season 4\n");
    Info_Add(" EventOfficial: 1\n");
    Info_Add(" EventTeamRacing: 0\n");
    Info_Add(" EventMinDrivers: 1\n");
    Info_Add(" EventMaxDrivers: %d\n", FIELD_CARS);
    Info_Add(" EventFuelUse: 100 %%\n");
    Info_Add(" EventTyreSets: unlimited\n");
    Info_Add(" EventStart: Rolling\n");
    Info_Add(" EventQuickRepairs: 1\n");
    Info_Add(" EventDate: 2026-12-07\n");
    Info_Add(" EventTimeOfDay: 2:00 pm\n");
    Info_Add(" EventBuild: 2026.12.01.03\n");
    Info_Add("\n");
}

// Writes "%.4f" of a lap time, -1.0000 for none.
static double Info_Time(float t) { return t > 0 ? t : -1.0; }

static void Info_Result(int place, int car, int lap, double time, int fastest_lap, double fastest,
                        double last, int laps_led, int laps, double driven, bool running) {
    Info_Add(" - Position: %d\n", place);
    Info_Add("   ClassPosition: %d\n", place - 1);
    Info_Add("   CarIdx: %d\n", car);
    Info_Add("   Lap: %d\n", lap);
    Info_Add("   Time: %.4f\n", time);
    Info_Add("   FastestLap: %d\n", fastest_lap);
    Info_Add("   FastestTime: %.4f\n", fastest);
    Info_Add("   LastTime: %.4f\n", last);
    Info_Add("   LapsLed: %d\n", laps_led);
    Info_Add("   LapsComplete: %d\n", laps);
    Info_Add("   LapsDriven: %.3f\n", driven);
    Info_Add("   Incidents: %d\n", (car * 7 + lap) % 5);
    Info_Add("   ReasonOutId: 0\n");
    Info_Add("   ReasonOut: %s\n", running ? "Running" : "Finished");
}

static void Info_EarlySession(int num, const char* type, const char* name, bool qualify) {
    int order[FIELD_CARS];
    for (int i = 0; i < FIELD_CARS; i++) order[i] = i;
    std::sort(order, order + FIELD_CARS, [qualify](int a, int b) {
        const FieldCar& x = field_cars[a];
        const FieldCar& y = field_cars[b];
        return qualify ? x.qualify_time < y.qualify_time : x.practice_best < y.practice_best;
    });
    Info_Add(" - SessionNum: %d\n", num);
    Info_Add("   SessionLaps: unlimited\n");
    Info_Add("   SessionTime: %s\n", qualify ? "900.0000 sec" : "3600.0000 sec");
    Info_Add("   SessionType: %s\n", type);
    Info_Add("   SessionName: %s\n", name);
    Info_Add("   SessionTrackState: moderately used\n");
    Info_Add("   SessionOver: 1\n");
    Info_Add("   ResultsPositions:\n");
    for (int p = 0; p < FIELD_CARS; p++) {
        const FieldCar& c = field_cars[order[p]];
        double best = qualify ? c.qualify_time : c.practice_best;
        double last = qualify ? c.qualify_time * 1.006 : c.practice_last;
        int laps = qualify ? 4 : c.practice_laps;
        Info_Result(p + 1, order[p], laps, best, laps - 1, best, last, 0, laps, laps + 0.25, false);
    }
    const FieldCar& fastest = field_cars[order[0]];
    Info_Add("   ResultsFastestLap:\n");
    Info_Add("   - CarIdx: %d\n", order[0]);
    Info_Add("     FastestLap: %d\n", qualify ? 3 : fastest.practice_laps - 1);
    Info_Add("     FastestTime: %.4f\n",
             qualify ? static_cast<double>(fastest.qualify_time) : fastest.practice_best);
    Info_Add("   ResultsOfficial: 1\n");
}

static void Info_Race() {
    int order[FIELD_CARS];
    Field_Order(order);
    int leader_laps = field_cars[order[0]].laps_done;
    Info_Add(" - SessionNum: 2\n");
    Info_Add("   SessionLaps: %d\n", FIELD_RACE_LAPS);
    Info_Add("   SessionTime: unlimited\n");
    Info_Add("   SessionType: Race\n");
    Info_Add("   SessionName: RACE\n");
    Info_Add("   SessionTrackState: moderately used\n");
    Info_Add("   SessionOver: 0\n");
    Info_Add("   ResultsLapsComplete: %d\n", leader_laps);
    Info_Add("   ResultsAverageLapTime: %.4f\n",
             leader_laps > 0 ? field_cars[order[0]].cross_time / leader_laps : -1.0);
    Info_Add("   ResultsCautionLaps: 0\n");
    Info_Add("   ResultsPositions:\n");
    int best_car = -1;
    for (int p = 0; p < FIELD_CARS; p++) {
        int i = order[p];
        const FieldCar& c = field_cars[i];
        if (c.best_time > 0 && (best_car < 0 || c.best_time < field_cars[best_car].best_time))
            best_car = i;
        Info_Result(p + 1, i, c.laps_done, c.cross_time, c.best_lap, Info_Time(c.best_time),
                    Info_Time(c.last_time), p == 0 ? c.laps_done : 0, c.laps_done,
                    std::max(0.0, c.distance / DRIVE_TRACK_LENGTH), !c.finished);
    }
    Info_Add("   ResultsFastestLap:\n");
    if (best_car >= 0) {
        Info_Add("   - CarIdx: %d\n", best_car);
        Info_Add("     FastestLap: %d\n", field_cars[best_car].best_lap);
        Info_Add("     FastestTime: %.4f\n", static_cast<double>(field_cars[best_car].best_time));
    }
    Info_Add("   ResultsOfficial: 0\n");
    // The blank line closes the last session.
    Info_Add("\n");
}

static void Info_Sessions() {
    Info_Add("Sessions:\n");
    Info_Add(" ActiveSession: 2\n");
    Info_Add(" List:\n");
    Info_EarlySession(0, "Practice", "PRACTICE", false);
    Info_EarlySession(1, "Qualify", "QUALIFY", true);
    Info_Race();
}

static void Info_Cameras() {
    static const char* const groups[] = {"Nose", "Gearbox", "Roll Bar", "Cockpit", "Chase",
                                         "Far Chase", "Blimp", "Chopper", "Scenic", "Pit Lane",
                                         "TV1", "TV2", "TV3", "Static", "Gyro"};
    Info_Add("Cameras:\n");
    Info_Add(" Groups:\n");
    int n = 0;
    for (const char* g : groups) {
        Info_Add(" - GroupNum: %d\n", ++n);
        Info_Add("   GroupName: %s\n", g);
        Info_Add("   Views:\n");
        for (int v = 1; v <= 3; v++) {
            Info_Add("   - ViewNum: %d\n", v);
            Info_Add("     ViewName: %s %d\n", g, v);
        }
    }
    Info_Add("\n");
    Info_Add("Radio:\n");
    Info_Add(" SelectedRadio: 0\n");
    Info_Add(" Radios:\n");
    Info_Add(" - RadioNum: 0\n");
    Info_Add("   HopCount: 2\n");
    Info_Add("   Frequencies:\n");
    static const char* const freqs[] = {"@ALLTEAMS", "@DRIVERS", "@CLUB", "@RACECONTROL", "@PRIVATE"};
    int f = 0;
    for (const char* name : freqs) {
        Info_Add("   - FrequencyNum: %d\n", f++);
        Info_Add("     FrequencyName: \"%s\"\n", name);
        Info_Add("     Priority: %d\n", 12 + f * 3);
        Info_Add("     Muted: 0\n");
    }
    Info_Add("\n");
}

static void Info_Entries() {
    Info_Add("Entries:\n");
    Info_Add(" DriverCarIdx: %d\n", FIELD_PLAYER);
    Info_Add(" DriverUserID: 300423\n");
    Info_Add(" DriverPitStall: %.2f m\n", 310.25);
    Info_Add(" DriverHeadPos: %.2f m\n", -0.58);
    Info_Add(" DriverRedLine: %.3f\n", 7500.0);
    Info_Add(" DriverGears: %d\n", DRIVE_GEARS);
    Info_Add(" DriverFuelTank: %.3f l\n", DRIVE_TANK);
    Info_Add(" DriverSetupName: race.setup\n");
    Info_Add(" DriverSetupModified: 0\n");
    Info_Add(" Drivers:\n");
    for (int i = 0; i < FIELD_CARS; i++) {
        const FieldCar& c = field_cars[i];
        Info_Add(" - CarIdx: %d\n", i);
        Info_Add("   UserName: %s\n", c.name);
        Info_Add("   AbbrevName: %.1s. %s\n", c.name, std::strchr(c.name, ' ') + 1);
        Info_Add("   Initials: %.1s%.1s\n", c.name, std::strchr(c.name, ' ') + 1);
        Info_Add("   UserID: %d\n", 100000 + i * 4099);
        Info_Add("   TeamID: 0\n");
        Info_Add("   TeamName: %s\n", c.name);
        Info_Add("   CarNumber: \"%d\"\n", c.number);
        Info_Add("   CarNumberRaw: %d\n", c.number);
        Info_Add("   CarPath: gt3club\n");
        Info_Add("   CarClassID: 2\n");
        Info_Add("   CarID: %d\n", FIELD_CAR_ID);
        Info_Add("   CarIsPaceCar: 0\n");
        Info_Add("   CarIsAI: 0\n");
        Info_Add("   CarScreenName: Club GT\n");
        Info_Add("   CarClassShortName: GT\n");
        Info_Add("   CarClassMaxFuelPct: 1.000 %%\n");
        Info_Add("   CarClassWeightPenalty: 0.000 kg\n");
        Info_Add("   CarClassPowerAdjust: 0.000 %%\n");
        Info_Add("   CarClassColor: 0xffda59\n");
        Info_Add("   CarClassEstLapTime: %.4f\n", c.base_lap);
        Info_Add("   Rating: %d\n", 1350 + (i * 211) % 3200);
        Info_Add("   License: %c %d.%02d\n", "RDCBA"[i % 5], 1 + i % 4, (i * 13) % 100);
        Info_Add("   LicenseColor: 0x%06x\n", 0x0153db + i * 0x111);
        Info_Add("   ClubName: Club %d\n", 1 + i % 12);
        Info_Add("   DivisionName: Division %d\n", 1 + i % 9);
        Info_Add("   IsSpectator: 0\n");
        Info_Add("   CurDriverIncidentCount: %d\n", (i * 3) % 7);
        Info_Add("   TeamIncidentCount: %d\n", (i * 3) % 7);
    }
    Info_Add("\n");
}

static void Info_Setup() {
    static const char* const corner[4] = {"LeftFront", "RightFront", "LeftRear", "RightRear"};
    Info_Add("Setup:\n");
    Info_Add(" UpdateCount: %d\n", field_race_number);
    Info_Add(" Tyres:\n");
    for (int i = 0; i < 4; i++) {
        Info_Add("  %s:\n", corner[i]);
        Info_Add("   ColdPressure: %.1f kPa\n", 165.0 + i);
        Info_Add("   LastHotPressure: %.1f kPa\n", 182.0 + i);
        Info_Add("   LastTempsOMI: %dC, %dC, %dC\n", 82 + i, 86 + i, 88 + i);
        Info_Add("   TreadRemaining: %d%%, %d%%, %d%%\n", 98 - i, 97 - i, 98 - i);
    }
    Info_Add(" Chassis:\n");
    for (int i = 0; i < 4; i++) {
        Info_Add("  %s:\n", corner[i]);
        Info_Add("   CornerWeight: %d N\n", 3150 + i * 40);
        Info_Add("   RideHeight: %.1f mm\n", 62.0 + i * 4);
        Info_Add("   SpringPerchOffset: %.1f mm\n", 40.0 + i);
        Info_Add("   SpringRate: %d N/mm\n", 160 + i * 10);
        Info_Add("   BumpStiffness: %d clicks\n", 4 + i % 2);
        Info_Add("   ReboundStiffness: %d clicks\n", 6 + i % 3);
        Info_Add("   Camber: %.1f deg\n", -3.5 + i * 0.4);
        Info_Add("   Toe: %.1f mm\n", i < 2 ? -0.8 : 1.2);
    }
    Info_Add(" Front:\n");
    Info_Add("  ArbBlades: 3\n");
    Info_Add("  BrakeBias: 54.5%%\n");
    Info_Add("  SplitterHeight: 55.0 mm\n");
    Info_Add(" Rear:\n");
    Info_Add("  ArbBlades: 2\n");
    Info_Add("  WingAngle: 7.5 deg\n");
    Info_Add("  FuelLevel: %.1f L\n", DRIVE_TANK * 0.95);
    Info_Add(" InCar:\n");
    Info_Add("  TractionControl: 4 (TC)\n");
    Info_Add("  AbsSetting: 6 (ABS)\n");
    Info_Add("  ThrottleMap: 2\n");
    Info_Add("  DisplayPage: Race 1\n");
    Info_Add("\n");
}

int Info_Build(char* buf, int size) {
    if (buf == nullptr || size <= 0) return 0;
    info_buf = buf;
    info_size = size;
    info_len = 0;
    info_full = false;
    buf[0] = 0;
    Info_Event();
    Info_Sessions();
    Info_Cameras();
    Info_Entries();
    Info_Setup();
    Info_Add("...\n");
    return info_len;
}
