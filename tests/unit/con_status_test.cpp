// The two console status lines and their pacing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/console.h"
#include "shell/sys.h"

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
    curtime = 0;
}

const std::string kBlank = "                           \n                       \n";
const std::string kNotActive = kBlank + "iRacing Status = Not Active\nClients connected = 0\n";

}  // namespace

TEST(ConStatus, RedrawsEveryTwoSecondsAndAppendsWhenNotAConsole) {
    Start(false);
    Con_ShowStatus(false, 0);   // the first pass draws, even at curtime 0
    EXPECT_EQ(printed, kNotActive);
    printed.clear();
    curtime = 1999;
    Con_ShowStatus(true, 3);
    EXPECT_EQ(printed, "");
    curtime = 2000;
    Con_ShowStatus(true, 0);
    EXPECT_EQ(printed, kBlank + "iRacing Status = Active\nClients connected = 0\n");
    EXPECT_EQ(status_lasttime, 2000.0);

    printed.clear();
    curtime = 4000;
    Con_ShowStatus(true, 10);
    EXPECT_EQ(printed, kBlank + "iRacing Status = Active\nClients connected = 10\n");
}

TEST(ConStatus, OnAConsoleBlanksThenRewritesAtTheAnchor) {
    Start(true);
    Con_ShowStatus(false, 0);
    EXPECT_EQ(printed, "<anchor>" + kBlank + "<anchor>iRacing Status = Not Active\nClients connected = 0\n");
    // Where the cursor only moves relative to itself, it goes back over the
    // lines printed since it was last at the anchor.
    curtime = 2000;
    Con_ShowStatus(false, 0);
    EXPECT_EQ(anchor_moves, (std::vector<int>{0, 2, 2, 2}));
}

TEST(ConStatus, KeepsItsPaceWhenTheClockPassesHalfRangeAndWraps) {
    Start(false);
    const uint32_t times[] = {2147483000u, 2147485000u, 4294966000u, 704u};
    for (uint32_t t : times) {
        curtime = t;
        printed.clear();
        Con_ShowStatus(false, 0);
        EXPECT_EQ(printed, kNotActive) << t;
        curtime = t + 1999u;
        printed.clear();
        Con_ShowStatus(false, 0);
        EXPECT_EQ(printed, "") << t;
    }
}
