// shell/console.h: the two status lines under the start-up text.
//
// A thread of their own redraws them every 2000 ms at the anchor that
// Con_Setup remembered (the line under "Port = %i"):
//   "iRacing Status = Active" / "iRacing Status = Not Active"
//   "Clients connected = %i"
// after blanking both lines. When standard output is not a console the
// cursor cannot move and every redraw appends its four lines. The main loop
// only publishes the count of connected clients and never writes to the
// console, so a console write that blocks (output suspended, a pipe nobody
// reads) holds up the status thread alone.
#pragma once

#include <cstdint>

constexpr int32_t CON_STATUS_INTERVAL = 2000;   // milliseconds between redraws

// Time of the last redraw in milliseconds of the clock (0 .. 2^32-1);
// -99999.0 at start-up so that the first call redraws.
extern double status_lasttime;

// Where the status text goes and how the cursor returns to the anchor;
// tests replace them to capture what a user would see.
struct ConOutput {
    void (*print)(const char* text);
    bool (*to_anchor)(int lines_since_anchor);
};
extern ConOutput con_output;

// Sets status_lasttime to -99999.0, hides the cursor and takes the current
// output position as the anchor of the status lines.
void Con_Setup();

// Redraws the two status lines with the values given when 2000 ms of `now`
// (Sys_GetMilliseconds) have passed since the last redraw. Returns the
// milliseconds until the next redraw is due (1 .. 2000).
int32_t Con_ShowStatus(uint32_t now, bool sim_active, int clients_connected);

// The main loop's count of connected clients, for the next redraw. Never
// blocks.
void Con_PublishClients(int clients_connected);

// Starts the status thread, which runs for the life of the process: it
// takes the anchor (Con_Setup), draws at once and then every 2000 ms, each
// time from the values of that moment (sim_connected, the published count).
// Call once, after the last start-up line is printed and flushed.
void Con_StartStatusThread();

// Restores the standard output path and forgets the redraw time (tests).
void Con_Reset();
