// The two console status lines and their pacing.
#include <gtest/gtest.h>

#include <string>

#include "shell/console.h"

namespace {
std::string printed;
}

TEST(ConStatus, RedrawsEveryTwoSecondsAlsoWhenTheClockPassesHalfItsRangeAndWraps) {
    Con_Reset();
    Con_Setup();
    con_output = ConOutput{[](const char* text) { printed += text; }, [](int) { return false; }};
    const std::string blank = "                           \n                       \n";
    // Each call says how long the status thread sleeps until the next one.
    EXPECT_EQ(Con_ShowStatus(0, false, 0), 2000);   // the first call draws, even at time 0
    EXPECT_EQ(printed, blank + "iRacing Status = Not Active\nClients connected = 0\n");
    for (uint32_t t : {2000u, 2147483000u, 4294966000u, 704u}) {
        printed.clear();
        EXPECT_EQ(Con_ShowStatus(t, true, 10), 2000) << t;
        EXPECT_EQ(printed, blank + "iRacing Status = Active\nClients connected = 10\n") << t;
        printed.clear();
        EXPECT_EQ(Con_ShowStatus(t + 1999u, true, 10), 1) << t;
        EXPECT_EQ(Con_ShowStatus(t - 1u, true, 10), 2000) << t;   // a reading from before the last
        EXPECT_EQ(printed, "") << t;
    }
}
