// The two console status lines and their pacing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/console.h"
#include "shell/sys.h"
#include "telemetry/sim_connection.h"

namespace {

std::string printed;
std::vector<int> anchor_moves;
bool is_console = false;

void Capture(const char* text) { printed += text; }
bool ToAnchor(int lines) {
    anchor_moves.push_back(lines);
    if (is_console) printed += "<anchor>";
    return is_console;
}

void Start(bool console) {
    Con_Reset();
    con_output = ConOutput{Capture, ToAnchor};
    printed.clear();
    anchor_moves.clear();
    is_console = console;
    sim_connected.store(0);
    curtime = 0;
}

const std::string kBlank = "                           \n                       \n";

}  // namespace

TEST(ConStatus, RedrawsEveryTwoSecondsAndAppendsWhenNotAConsole) {
    Start(false);
    curtime = 12345;
    Con_ShowStatus();
    EXPECT_EQ(printed, kBlank + "iRacing Status = Not Active\nClients connected = 0\n");
    EXPECT_EQ(status_lasttime, 12345.0);

    printed.clear();
    curtime = 12345 + 1999;
    Con_ShowStatus();
    EXPECT_EQ(printed, "");

    sim_connected.store(1);
    curtime = 12345 + 2000;
    Con_ShowStatus();
    EXPECT_EQ(printed, kBlank + "iRacing Status = Active\nClients connected = 0\n");

    printed.clear();
    sim_connected.store(0);
    curtime = 12345 + 4003;
    Con_ShowStatus();
    EXPECT_EQ(printed, kBlank + "iRacing Status = Not Active\nClients connected = 0\n");
}

TEST(ConStatus, OnAConsoleBlanksThenRewritesAtTheAnchor) {
    Start(true);
    Con_ShowStatus();   // first pass: status_lasttime starts at -99999.0
    EXPECT_EQ(printed, "<anchor>" + kBlank + "<anchor>iRacing Status = Not Active\nClients connected = 0\n");
    // Where the cursor can only move relative to itself, it goes back over
    // exactly the lines printed since it was last at the anchor.
    EXPECT_EQ(anchor_moves, (std::vector<int>{0, 2}));
    curtime = 2000;
    Con_ShowStatus();
    EXPECT_EQ(anchor_moves, (std::vector<int>{0, 2, 2, 2}));
}

TEST(ConStatus, ClockReadAsSignedPausesRedrawsPastItsHalfRange) {
    Start(false);
    curtime = 2147483000u;
    Con_ShowStatus();
    ASSERT_FALSE(printed.empty());
    printed.clear();
    // Past 2147483647 the clock reads negative: no redraw until it has
    // climbed 2000 ms above the last redraw time again.
    curtime = 2147483648u + 5000u;
    Con_ShowStatus();
    EXPECT_EQ(printed, "");

    // Start-up value: the first pass draws even at curtime 0.
    Start(false);
    Con_Setup();
    con_output = ConOutput{Capture, ToAnchor};
    EXPECT_EQ(status_lasttime, -99999.0);
    Con_ShowStatus();
    EXPECT_FALSE(printed.empty());
}
