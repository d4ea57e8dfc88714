// tools/dash/dash_client.h: the dashboard client's options and its session:
// handshake, acknowledging the server's packets, text commands, display.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/dashnet.h"
#include "tools/dash/dash_wire.h"

constexpr int DASH_DEFAULT_PORT = 2047;
constexpr int DASH_DEFAULT_TIMEOUT_MS = 3000;
constexpr int DASH_MAX_COMMANDS = 64;          // --command options kept
constexpr int DASH_SERVER_COMMAND_MAX = 104;   // longest text the server relays
constexpr int DASH_RESEND_MS = 500;            // handshake request repeated
constexpr int DASH_KEEPALIVE_MS = 1000;        // longest silence towards the server
constexpr int DASH_SILENCE_MS = 15000;         // default of dash_silence_ms
constexpr int DASH_FLUSH_MS = 1000;            // wait for text commands to be taken on leaving
constexpr int DASH_ACK_LATE_MS = 2000;         // a text command not acknowledged by then is reported
constexpr int DASH_DRAW_MS = 100;              // the live view is drawn in place at most this often
constexpr int DASH_PLAIN_DRAW_MS = 1000;       // ... and appended, where escapes do not work
constexpr int DASH_STALE_MIN_MS = 100;         // shortest silence called stale
constexpr int DASH_RETRY_MS = 1000;            // pause between reconnect attempts
constexpr int DASH_HOST_MAX = 255;             // longest --host text

// Exit codes.
constexpr int DASH_EXIT_OK = 0;
constexpr int DASH_EXIT_USAGE = 1;
constexpr int DASH_EXIT_NO_REPLY = 2;      // no answer to the handshake, or no socket
constexpr int DASH_EXIT_REFUSED = 3;       // the server refused the connect
constexpr int DASH_EXIT_LOST = 4;          // the server fell silent or dropped us

struct DashOptions {
    DashAddr server;
    char host[DASH_HOST_MAX + 1];
    char name[DASH_NAME_MAX + 1];
    int device_type;
    uint16_t qport;
    bool json;
    uint32_t count;          // 0: no limit
    double duration_s;       // 0: no limit
    const char* commands[DASH_MAX_COMMANDS];
    int num_commands;
    bool disconnect;
    int disconnects;         // copies of the disconnect sent on leaving
    int timeout_ms;
    bool once;               // a lost connection ends the run instead of connecting again
    bool ansi;               // redraw the block in place
    bool quiet_handshake;    // a failed first handshake prints nothing (an attempt repeated)
};

// Set from another thread (Ctrl-C) to make the session leave cleanly.
extern std::atomic<bool> dash_stop;
// No packet from the server for this long: the connection counts as lost.
// The server sends every 51 ms or so whatever the simulator does, and drops
// a client after 15 s of silence itself (tests shorten it).
extern int dash_silence_ms;

// Observers of the session (the --web page); null when nobody watches.
// dash_update_hook sees every update shown, dash_link_hook each change of
// the link (a DashWebLink value). Both must return at once.
extern void (*dash_update_hook)(uint32_t sequence, const DashUpdate& update);
extern void (*dash_link_hook)(int link);

// Puts the defaults into `opt`: 127.0.0.1:2047, name "tarmis_dash", device
// type 0 (the fuller update), a qport from the clock, one disconnect on
// leaving, a 3000 ms handshake timeout.
void Dash_DefaultOptions(DashOptions& opt);

// Reads the options after the program name. Returns -1 to go on; otherwise
// the exit code: 0 after --help (usage on `out`), 1 after a bad option (the
// reason and the usage on `err`).
int Dash_ParseOptions(int argc, char** argv, DashOptions& opt, FILE* out, FILE* err);

// Prints the usage text.
void Dash_PrintUsage(FILE* to);

// Clears dash_stop and the reception statistics and restores
// dash_silence_ms (tests run sessions in turn).
void Dash_Reset();

// Runs one session against opt.server and returns the exit code. Updates,
// the block and the statistics go to `out`, problems to `err`; notices
// during the run (reconnects, command acknowledgements) go to `out` in the
// live view and to `err` with --json, so that `out` stays one JSON object
// a line. Leaves after `count` updates, after `duration_s` seconds of
// connection, or when dash_stop is set; then waits up to DASH_FLUSH_MS for
// queued text commands to be acknowledged and sends the disconnect command
// unless told not to. A server that falls silent for dash_silence_ms or
// drops the client is connected again (new socket, new qport, new
// challenge) unless `once` is set, which ends the run with
// DASH_EXIT_LOST.
int Dash_Run(const DashOptions& opt, FILE* out, FILE* err);

// Runs sessions until one ends by itself (count, duration), is stopped, or
// `once` is set: a server that does not answer or refuses is tried again
// after DASH_RETRY_MS. The first failure is reported in full (in one line
// with `quiet_handshake`) with a line saying that it tries again; later
// attempts report only a change (no reply after a refusal, or the other way
// round), so that what was printed above (the page's addresses and codes)
// stays in the window. Returns the last session's exit code.
int Dash_RunKeepTrying(const DashOptions& opt, FILE* out, FILE* err);
