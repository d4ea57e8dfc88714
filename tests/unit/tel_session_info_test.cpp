// Scanning the session-info text for the player's car, the session's laps
// and the player's entry in the positions list.
#include <gtest/gtest.h>

#include <string>

#include "telemetry/session_info.h"

namespace {

std::string Entry(int place, int car, const char* fastest, const char* last) {
    return " - Position: " + std::to_string(place) + "\n   CarIdx: " + std::to_string(car) +
           "\n   FastestTime: " + fastest + "\n   LastTime: " + last + "\n";
}
std::string Session(const char* laps, const std::string& entries) {
    return " - SessionNum: 0\n   SessionLaps: " + std::string(laps) + "\n   ResultsPositions:\n" + entries +
           "   ResultsLapsComplete: 1\n";
}
// A race as the simulator describes it: the positions lists come first and
// name the player's car index too, the pace car is driver 0, and
// "DriverCarIdx:" and "PaceCarIdx:" both end in "CarIdx:".
std::string Race(int player, const std::string& sessions) {
    return "SessionInfo:\n Sessions:\n" + sessions + "\nDriverInfo:\n DriverCarIdx: " +
           std::to_string(player) + "\n PaceCarIdx: 0\n Drivers:\n - CarIdx: 0\n   CarID: 11\n"
           " - CarIdx: 1\n   CarID: 67\n - CarIdx: 2\n   CarID: 99\n\nSplitTimeInfo:\n\n";
}

}  // namespace

TEST(TelSessionInfo, ThePlayersCarLapsPlaceAndTimesComeFromTheirOwnEntries) {
    const std::string places = Entry(1, 1, "80.1", "81.0") + Entry(2, 2, "80.5", "81.2");
    const std::string race = Session("20", places);
    const struct { std::string text; int car, laps, place, places; float fastest, last; } cases[] = {
        {Race(2, race), 99, 20, 2, 2, 80.5f, 81.2f},
        {Race(1, race), 67, 20, 1, 2, 80.1f, 81.0f},
        {Race(0, race), 11, 20, 0, 2, 0.0f, 0.0f},            // no place: no times either
        {Race(30, race), 11, 20, 0, 2, 0.0f, 0.0f},           // no driver entry: the text's first car
        {Race(2, Session("5", Entry(1, 2, "1", "2")) + Session("unlimited", places + Entry(3, 0, "9", "9"))),
         99, -1, 2, 3, 80.5f, 81.2f},                          // the last session block
    };
    for (const auto& c : cases) {
        Tel_ResetSessionInfo();
        Tel_ParseSessionInfo(c.text.c_str());
        TelemetrySnapshot s{};
        Tel_StoreSessionInfo(s);
        EXPECT_EQ((std::vector<int>{s.car_id, s.session_laps, s.position, s.num_positions}),
                  (std::vector<int>{c.car, c.laps, c.place, c.places})) << c.text;
        EXPECT_EQ(std::make_pair(s.fastest_time, s.last_time), std::make_pair(c.fastest, c.last)) << c.text;
    }
}
