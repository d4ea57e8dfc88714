// shell/console.h: the two status lines under the start-up text.
//
// Every 2000 ms of curtime the main loop's Con_ShowStatus redraws, at the
// anchor that Con_Setup remembered (the line under "Port = %i"):
//   "iRacing Status = Active" / "iRacing Status = Not Active"
//   "Clients connected = %i"
// after blanking both lines. When standard output is not a console the
// cursor cannot move and every redraw appends its four lines.
#pragma once

constexpr double CON_STATUS_INTERVAL = 2000.0;   // milliseconds between redraws

// Time of the last redraw in milliseconds of curtime (0 .. 2^32-1);
// -99999.0 at start-up so that the first main-loop pass redraws.
extern double status_lasttime;

// Where the status text goes and how the cursor returns to the anchor;
// tests replace them to capture what a user would see.
struct ConOutput {
    void (*print)(const char* text);
    bool (*to_anchor)(int lines_since_anchor);
};
extern ConOutput con_output;

// Start-up: sets status_lasttime to -99999.0, hides the cursor and takes the
// current output position as the anchor of the status lines.
void Con_Setup();

// Redraws the two status lines when 2000 ms have passed since the last
// redraw; returns at once otherwise. The main loop passes what they show:
// whether the simulator delivers telemetry, and the connected clients.
void Con_ShowStatus(bool sim_active, int clients_connected);

// Restores the standard output path and forgets the redraw time (tests).
void Con_Reset();
