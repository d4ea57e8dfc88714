// The two console status lines and their pacing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/console.h"

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
    Con_Setup();
    con_output = ConOutput{Capture, ToAnchor};
    printed.clear();
    anchor_moves.clear();
    is_console = console;
}

const std::string kBlank = "                           \n                       \n";
const std::string kNotActive = kBlank + "iRacing Status = Not Active\nClients connected = 0\n";

}  // namespace

TEST(ConStatus, RedrawsEveryTwoSecondsAndAppendsWhenNotAConsole) {
    // Each call says how long the status thread sleeps until the next one.
    Start(false);
    EXPECT_EQ(Con_ShowStatus(0, false, 0), 2000);   // the first call draws, even at time 0
    EXPECT_EQ(printed, kNotActive);
    printed.clear();
    EXPECT_EQ(Con_ShowStatus(1999, true, 3), 1);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(Con_ShowStatus(2000, true, 0), 2000);
    EXPECT_EQ(printed, kBlank + "iRacing Status = Active\nClients connected = 0\n");
    EXPECT_EQ(status_lasttime, 2000.0);

    printed.clear();
    Con_ShowStatus(4000, true, 10);
    EXPECT_EQ(printed, kBlank + "iRacing Status = Active\nClients connected = 10\n");
}

TEST(ConStatus, OnAConsoleBlanksThenRewritesAtTheAnchor) {
    Start(true);
    Con_ShowStatus(0, false, 0);
    EXPECT_EQ(printed, "<anchor>" + kBlank + "<anchor>iRacing Status = Not Active\nClients connected = 0\n");
    // Where the cursor only moves relative to itself, it goes back over the
    // lines printed since it was last at the anchor.
    Con_ShowStatus(2000, false, 0);
    EXPECT_EQ(anchor_moves, (std::vector<int>{0, 2, 2, 2}));
}

TEST(ConStatus, KeepsItsPaceWhenTheClockPassesHalfRangeAndWraps) {
    Start(false);
    const uint32_t times[] = {2147483000u, 2147485000u, 4294966000u, 704u};
    for (uint32_t t : times) {
        printed.clear();
        Con_ShowStatus(t, false, 0);
        EXPECT_EQ(printed, kNotActive) << t;
        printed.clear();
        EXPECT_EQ(Con_ShowStatus(t + 1999u, false, 0), 1) << t;
        EXPECT_EQ(Con_ShowStatus(t - 1u, false, 0), 2000) << t;   // a reading from before
        EXPECT_EQ(printed, "") << t;
    }
}
