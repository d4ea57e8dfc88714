// The pacing of the console status lines.
#include <gtest/gtest.h>

#include "shell/console.h"

TEST(ConStatus, RedrawsEveryTwoSecondsAlsoWhenTheClockPassesHalfItsRangeAndWraps) {
    Con_Reset();
    Con_Setup();
    con_output = ConOutput{[](const char*) {}, [](int) { return false; }};
    // Each call says how long the status thread sleeps until the next one;
    // the first draws, even at time 0.
    for (uint32_t t : {0u, 2147483000u, 4294966000u, 704u}) {
        EXPECT_EQ(Con_ShowStatus(t, true, 10), 2000) << t;
        EXPECT_EQ(Con_ShowStatus(t + 1999u, true, 10), 1) << t;
        EXPECT_EQ(Con_ShowStatus(t - 1u, true, 10), 2000) << t;   // a reading from before the last redraw
    }
}
