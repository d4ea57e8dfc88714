// shell/console.cpp: the status lines, redrawn in place.
#include "shell/console.h"

#include <cstdint>
#include <cstdio>

#include "platform/sys.h"
#include "shell/sys.h"

double status_lasttime = -99999.0;

static void Con_PrintStdout(const char* text) {
    std::fputs(text, stdout);
}

static constexpr ConOutput CON_OUTPUT_DEFAULT = {Con_PrintStdout, Sys_ConsoleToAnchor};
ConOutput con_output = CON_OUTPUT_DEFAULT;

// Lines printed since the cursor was last at the anchor: where the cursor
// can only move relative to its place, this is how far back the anchor is.
static int con_lines_since_anchor = 0;

void Con_Setup() {
    status_lasttime = -99999.0;
    con_lines_since_anchor = 0;
    Sys_ConsoleSetup();
}

static void Con_ToAnchor() {
    if (con_output.to_anchor(con_lines_since_anchor)) con_lines_since_anchor = 0;
}

void Con_ShowStatus(bool sim_active, int clients_connected) {
    // Compared through the unsigned clock's difference, so the display keeps
    // its pace when curtime passes 2^31 and when it wraps; a negative
    // status_lasttime (the start-up value) means "never drawn".
    if (status_lasttime >= 0.0) {
        uint32_t last = static_cast<uint32_t>(status_lasttime);
        if (Sys_Elapsed(curtime, last) < static_cast<int32_t>(CON_STATUS_INTERVAL)) return;
    }
    status_lasttime = static_cast<double>(curtime);

    Con_ToAnchor();
    con_output.print("                           \n");
    con_output.print("                       \n");
    con_lines_since_anchor += 2;
    Con_ToAnchor();
    if (sim_active) {
        con_output.print("iRacing Status = Active\n");
    } else {
        con_output.print("iRacing Status = Not Active\n");
    }
    char line[64];
    std::snprintf(line, sizeof line, "Clients connected = %i\n", clients_connected);
    con_output.print(line);
    con_lines_since_anchor += 2;
    std::fflush(stdout);
}

void Con_Reset() {
    con_output = CON_OUTPUT_DEFAULT;
    status_lasttime = -99999.0;
    con_lines_since_anchor = 0;
}
