// shell/console.cpp: the status lines, redrawn in place by a thread of
// their own.
#include "shell/console.h"

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/sys.h"
#include "shell/sys.h"
#include "telemetry/sim_connection.h"

double status_lasttime = -99999.0;

static void Con_PrintStdout(const char* text) {
    std::fputs(text, stdout);
}

static constexpr ConOutput CON_OUTPUT_DEFAULT = {Con_PrintStdout, Sys_ConsoleToAnchor};
ConOutput con_output = CON_OUTPUT_DEFAULT;

// Lines printed since the cursor was last at the anchor: where the cursor
// can only move relative to its place, this is how far back the anchor is.
static int con_lines_since_anchor = 0;

// Written by the main loop every pass, read by the status thread.
static std::atomic<int> con_clients_connected{0};

void Con_Setup() {
    status_lasttime = -99999.0;
    con_lines_since_anchor = 0;
    Sys_ConsoleSetup();
}

static void Con_ToAnchor() {
    if (con_output.to_anchor(con_lines_since_anchor)) con_lines_since_anchor = 0;
}

int32_t Con_ShowStatus(uint32_t now, bool sim_active, int clients_connected) {
    // Compared through the unsigned clock's difference, so the display keeps
    // its pace when the clock passes 2^31 and when it wraps; a negative
    // status_lasttime (the start-up value) means "never drawn".
    if (status_lasttime >= 0.0) {
        int32_t since = Sys_Elapsed(now, static_cast<uint32_t>(status_lasttime));
        if (since < 0) return CON_STATUS_INTERVAL;   // a reading before the last redraw
        if (since < CON_STATUS_INTERVAL) return CON_STATUS_INTERVAL - since;
    }
    status_lasttime = static_cast<double>(now);

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
    return CON_STATUS_INTERVAL;
}

void Con_PublishClients(int clients_connected) {
    con_clients_connected.store(clients_connected, std::memory_order_relaxed);
}

// Sleeps until the next redraw is due. A redraw whose write was blocked
// for longer than the interval is followed at once by one with the values
// of the moment it returned, never by a backlog.
static void Con_StatusThread() {
    Con_Setup();
    for (;;) {
        int32_t wait = Con_ShowStatus(Sys_GetMilliseconds(), sim_connected.load(std::memory_order_relaxed) != 0,
                                      con_clients_connected.load(std::memory_order_relaxed));
        Sys_SleepMilliseconds(wait);
    }
}

void Con_StartStatusThread() {
    std::thread(Con_StatusThread).detach();
}

void Con_Reset() {
    con_output = CON_OUTPUT_DEFAULT;
    status_lasttime = -99999.0;
    con_lines_since_anchor = 0;
    con_clients_connected.store(0);
}
