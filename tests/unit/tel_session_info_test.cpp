// Scanning the session-info text for the player's car, the session's laps
// and the player's entry in the positions list.
#include <gtest/gtest.h>

#include <string>

#include "telemetry/session_info.h"

namespace {

std::string Entry(int place, int car, const std::string& fastest, const std::string& last) {
    return " - Position: " + std::to_string(place) + "\n   CarIdx: " + std::to_string(car) +
           "\n   FastestTime: " + fastest + "\n   LastTime: " + last + "\n";
}
std::string Session(int num, const std::string& laps, const std::string& entries) {
    return " - SessionNum: " + std::to_string(num) + "\n   SessionLaps: " + laps + "\n   ResultsPositions:\n" +
           entries + "   ResultsLapsComplete: 1\n";
}
std::string Driver(int idx, int car_id) {
    return " - CarIdx: " + std::to_string(idx) + "\n   UserName: X\n   CarID: " + std::to_string(car_id) + "\n";
}
// A race as the simulator describes it: the positions lists come first and
// name the player's car index too, the pace car is driver 0, and
// "DriverCarIdx:" and "PaceCarIdx:" both end in "CarIdx:".
std::string Race(int player, const std::string& sessions, const std::string& drivers) {
    return "SessionInfo:\n Sessions:\n" + sessions + "\nDriverInfo:\n DriverCarIdx: " + std::to_string(player) +
           "\n PaceCarIdx: 0\n Drivers:\n" + drivers + "\nSplitTimeInfo:\n\n";
}

}  // namespace

TEST(TelSessionInfo, ThePlayersCarLapsPlaceAndTimesComeFromTheirOwnEntries) {
    const std::string field = Driver(0, 11) + Driver(1, 67) + Driver(2, 99) + Driver(12, 5);
    const std::string no_id = Driver(0, 11) + " - CarIdx: 2\n   UserName: Player\n" + Driver(3, 44);
    const std::string two = Entry(1, 12, "80.1", "81.0") + Entry(2, 2, "80.5", "81.2");
    const std::string race = Session(0, "20", two);
    const std::string three = Session(0, "5", Entry(1, 2, "1", "2")) + Session(1, "unlimited", Entry(1, 2, "3", "4")) +
                              Session(2, "30", Entry(1, 3, "9", "9") + two);
    const struct { std::string text; int car, laps, place, places; float fastest, last; } cases[] = {
        {Race(2, race, field), 99, 20, 2, 2, 80.5f, 81.2f},
        {Race(12, race, field), 5, 20, 1, 2, 80.1f, 81.0f},
        {Race(0, race, field), 11, 20, 0, 2, 0.0f, 0.0f},
        {Race(1, race, field), 67, 20, 0, 2, 0.0f, 0.0f},     // no place: no times either
        {Race(30, race, field), 11, 20, 0, 2, 0.0f, 0.0f},    // no driver entry: the text's first car
        {Race(2, race, no_id), 11, 20, 2, 2, 80.5f, 81.2f},   // an entry without a car: likewise
        {Race(-1, race, field), 11, 20, 0, 2, 0.0f, 0.0f},    // a spectator
        {Race(2, three, field), 99, 30, 3, 3, 80.5f, 81.2f},  // the last session block
        {Race(2, Session(0, "unlimited", two), field), 99, -1, 2, 2, 80.5f, 81.2f},
        {"DriverCarIdx: 3\nPaceCarID: 8\n - CarIdx: 3\n   MyCarID: 9\n   CarID: 21\n", 21, 0, 0, 0, 0.0f, 0.0f},
    };
    for (const auto& c : cases) {
        Tel_ResetSessionInfo();
        Tel_ClearSessionInfo();
        Tel_ParseSessionInfo(c.text.c_str());
        TelemetrySnapshot s{};
        Tel_StoreSessionInfo(s);
        EXPECT_EQ((std::vector<int>{s.car_id, s.session_laps, s.position, s.num_positions}),
                  (std::vector<int>{c.car, c.laps, c.place, c.places})) << c.text;
        EXPECT_EQ(std::make_pair(s.fastest_time, s.last_time), std::make_pair(c.fastest, c.last)) << c.text;
    }
}
