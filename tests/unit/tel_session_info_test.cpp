// Scanning the session-info text for the player's car, the session's laps
// and the player's entry in the positions list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telemetry/session_info.h"
#include "recordings.h"

namespace {

TelemetrySnapshot Scan(const std::string& text) {
    Tel_ClearSessionInfo();
    Tel_ParseSessionInfo(text.c_str());
    TelemetrySnapshot s{};
    Tel_StoreSessionInfo(s);
    return s;
}

std::string Entry(int place, int car, const std::string& fastest, const std::string& last) {
    return " - Position: " + std::to_string(place) + "\n   CarIdx: " + std::to_string(car) +
           "\n   FastestTime: " + fastest + "\n   LastTime: " + last + "\n";
}

std::string Session(int num, const std::string& laps, const std::string& entries) {
    return " - SessionNum: " + std::to_string(num) + "\n   SessionLaps: " + laps +
           "\n   ResultsPositions:\n" + entries + "   ResultsLapsComplete: 1\n";
}

const std::string kDriver = "DriverInfo:\n DriverCarIdx: 7\nDrivers:\n - CarIdx: 7\n   CarID: 42\n";

}  // namespace

TEST(TelSessionInfo, LastSessionBlockIsScannedForLapsAndPlayer) {
    Tel_ResetSessionInfo();
    std::string entries;
    entries += Entry(1, 3, "90.1", "91.0");
    entries += Entry(2, 4, "90.2", "91.1");
    entries += Entry(3, 7, "92.25", "93.5");
    entries += Entry(4, 8, "90.4", "91.3");
    entries += Entry(5, 9, "90.5", "91.4");
    std::string text = kDriver + "SessionInfo:\n Sessions:\n" + Session(0, "5", Entry(1, 7, "1", "2")) +
                       Session(1, "10", Entry(1, 7, "3", "4")) + Session(2, "20", entries) + "\n\n";
    TelemetrySnapshot s = Scan(text);
    EXPECT_EQ(s.car_id, 42);
    EXPECT_EQ(s.session_laps, 20);
    EXPECT_EQ(s.position, 3);
    EXPECT_EQ(s.num_positions, 5);
    EXPECT_EQ(s.fastest_time, 92.25f);
    EXPECT_EQ(s.last_time, 93.5f);

    s = Scan(kDriver + Session(0, "unlimited", entries) + "\n\n");
    EXPECT_EQ(s.session_laps, -1);
    s = Scan(kDriver + " - SessionNum: 0\n" + entries + "\n\n");
    EXPECT_EQ(s.session_laps, 0);
    EXPECT_EQ(s.position, 3);
}

TEST(TelSessionInfo, APlayerMissingFromThePositionsHasNoPlaceOrTimes) {
    Tel_ResetSessionInfo();
    std::string entries = Entry(1, 3, "90.1", "91.0") + Entry(2, 4, "90.2", "91.1");
    std::string text = "DriverCarIdx: 12\nCarID: 5\n" + Session(0, "3", entries) + "\n\n";
    TelemetrySnapshot s = Scan(text);
    EXPECT_EQ(s.position, 0);
    EXPECT_EQ(s.num_positions, 2);
    EXPECT_EQ(s.fastest_time, 0.0f);
    EXPECT_EQ(s.last_time, 0.0f);

    // A spectator (car index -1) never matches an entry that was not read.
    s = Scan("DriverCarIdx: -1\n" + Session(0, "3", entries) + "\n\n");
    EXPECT_EQ(s.position, 0);
    EXPECT_EQ(s.num_positions, 2);
}

TEST(TelSessionInfo, HostileTextsStayInsideTheText) {
    Tel_ResetSessionInfo();
    // Keys at the very end of the text, where the value would start past it.
    struct Case {
        const char* text;
        int positions;
        float fastest;
    };
    const Case truncated[] = {
        {"DriverCarIdx:", 0, 0.0f},
        {"DriverCarIdx: 1\nCarID:", 0, 0.0f},
        {"DriverCarIdx: 1\nSessionNum:", 0, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\nSessionLaps:", 0, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n\n- Position:", 0, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n- Position:\n\n", 1, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n- Position: 1\nCarIdx:\n\n", 1, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n- Position: 1\nCarIdx: 1\nFastestTime:\n\n", 1, 0.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n- Position: 1\nCarIdx: 1\nFastestTime: 3\nLastTime:\n\n", 1,
         3.0f},
        {"DriverCarIdx: 1\nSessionNum: 0\n- Position: 1\nCarIdx: 1\nLastTime: 5", 0, 0.0f},
        {"", 0, 0.0f},
    };
    for (const Case& c : truncated) {
        TelemetrySnapshot s = Scan(c.text);
        EXPECT_EQ(s.num_positions, c.positions) << c.text;
        EXPECT_EQ(s.fastest_time, c.fastest) << c.text;
        EXPECT_EQ(s.last_time, 0.0f) << c.text;
    }

    Tel_ParseSessionInfo(nullptr);
}

// A race as the simulator describes it: the positions lists come first and
// name the player's car index too, the pace car is driver 0, and
// "DriverCarIdx:" and "PaceCarIdx:" both end in "CarIdx:".
TEST(TelSessionInfo, CarIdIsThatOfThePlayersOwnDriverEntry) {
    auto driver = [](int idx, const std::string& name, int car_id) {
        return " - CarIdx: " + std::to_string(idx) + "\n   UserName: " + name +
               "\n   CarClassID: 0\n   CarID: " + std::to_string(car_id) + "\n   CarIsPaceCar: 0\n";
    };
    auto race = [&](int player, const std::string& drivers) {
        return "WeekendInfo:\n TrackName: ring\n\nSessionInfo:\n Sessions:\n" +
               Session(0, "20", Entry(1, 12, "80.1", "81.0") + Entry(2, 2, "80.5", "81.2")) +
               "\nDriverInfo:\n DriverCarIdx: " + std::to_string(player) +
               "\n DriverUserID: 4711\n PaceCarIdx: 0\n DriverCarIdleRPM: 4000.000\n Drivers:\n" +
               drivers + "\nSplitTimeInfo:\n Sectors:\n - SectorNum: 0\n\n";
    };
    const std::string field = driver(0, "Pace Car", 11) + driver(1, "Ann", 67) +
                              driver(2, "Player", 99) + driver(12, "Bo", 5);
    Tel_ResetSessionInfo();
    EXPECT_EQ(Scan(race(2, field)).car_id, 99);
    EXPECT_EQ(Scan(race(2, field)).position, 2);
    EXPECT_EQ(Scan(race(12, field)).car_id, 5);
    EXPECT_EQ(Scan(race(1, field)).car_id, 67);
    EXPECT_EQ(Scan(race(0, field)).car_id, 11);

    // No entry for the player, or one without "CarID:": the text's first.
    EXPECT_EQ(Scan(race(30, field)).car_id, 11);
    const std::string no_id = driver(0, "Pace Car", 11) + " - CarIdx: 2\n   UserName: Player\n" +
                              driver(3, "Cy", 44);
    EXPECT_EQ(Scan(race(2, no_id)).car_id, 11);
    // Keys of the same ending are not the driver entry's.
    EXPECT_EQ(Scan("DriverCarIdx: 3\nPaceCarID: 8\n - CarIdx: 3\n   MyCarID: 9\n   CarID: 21\n").car_id, 21);
}
