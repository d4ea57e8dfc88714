// tools/dash/dash_web.h: the dashboard client's web page. With --web the
// client serves a page that shows its stream live in any browser (a phone
// held sideways beside the wheel), pushed as Server-Sent Events.
//
//   UDP session ---DashWeb_Publish---> latest values ---> HTTP threads
//   (never waits on a browser)         (one lock, a copy)  (write, time out)
//
// The session only stores the latest values and wakes the HTTP threads;
// every byte to a browser is written by a thread of a bounded pool with read
// and write time-outs, so a stalled, closed or flooding browser never holds
// up reception. What one request may cost is bounded too: its line, its
// headers (size and number) and the time to send them; no body, no ranges;
// connections and event streams per device; and it must name this PC.
//
// GET /        the page (compiled in; needs nothing from the internet)
// GET /events  text/event-stream: one "data: {json}" event per update taken
//              (at most DASHWEB_MAX_EVENT_HZ a second to one browser), and
//              one every DASHWEB_HEARTBEAT_MS while nothing arrives, so the
//              page can tell "no update for N s" and "server lost" apart.
// GET /state   the same JSON once (scripts and tests).
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/dash/dash_wire.h"

constexpr int DASHWEB_THREADS = 48;          // ten browsers, and the spare to work off idle connections
constexpr int DASHWEB_MAX_STREAMS = 16;      // event streams open at once; more get 503
constexpr int DASHWEB_MAX_QUEUED = 64;       // connections waiting for a thread (see DashWebPool)
constexpr int DASHWEB_PEERS = 64;            // devices connected at once; more are refused
constexpr int DASHWEB_PEER_CONNECTIONS = 8;  // connections from one device at once
constexpr int DASHWEB_PEER_STREAMS = 4;      // event streams to one device at once
constexpr int DASHWEB_HEAD_MS = 2000;        // a request's line and headers must arrive within this
constexpr int DASHWEB_IDLE_S = 2;            // a kept-alive connection may wait this long for its next request
constexpr int DASHWEB_WRITE_TIMEOUT_S = 3;   // a browser that takes nothing for this long is dropped
constexpr int DASHWEB_SEND_BUFFER = 8192;    // bytes the system queues to one browser (a stalled one is found soon)
constexpr int DASHWEB_HEARTBEAT_MS = 500;    // event while the stream is silent
constexpr int DASHWEB_MAX_EVENT_HZ = 25;     // events a second to one browser, at most
constexpr int DASHWEB_JSON_MAX = 1024;

// What the session is doing, as the page shows it.
enum DashWebLink {
    DASHWEB_CONNECTING,   // handshake with the server under way (or again)
    DASHWEB_LIVE,         // connected, updates flowing
    DASHWEB_LOST          // the server fell silent, refused or dropped us
};

// Reads "[ADDRESS:]PORT" (ADDRESS a dotted IPv4 address; all interfaces when
// left out). Returns false for anything else.
bool DashWeb_ParseAddress(const char* text, char* host, int host_size, int& port);

// Whether a request's Host header (`host`, its ":port" included or not;
// nullptr when the request had none) names this PC: an IPv4 or bracketed
// IPv6 address, "localhost", or `pc_name` (this PC's host name, also with
// ".local"), letters in any case. Any other name is refused, so that a web
// page elsewhere cannot point its own name at this PC (DNS rebinding) and
// read the values. A request without Host comes from no browser: allowed.
bool DashWeb_HostAllowed(const char* host, const char* pc_name);

struct DashWebOption {
    bool on;
    char host[16];
    int port;
};

// Takes "--web [ADDRESS:]PORT" out of argv (argc shrinks), so that the
// session's own parser sees the rest. Returns false, with the reason on
// `err`, for a missing or bad value.
bool DashWeb_TakeOption(int& argc, char** argv, DashWebOption& web, FILE* err);

struct DashOptions;

// Runs the session with the page fed from it. When the server does not
// answer or refuses, the page says so and the session starts again after a
// second (unless --once), until it ends by itself (--count, --duration) or
// is stopped. Returns the session's exit code.
int DashWeb_RunSession(const DashOptions& opt, FILE* out, FILE* err);

// Starts serving on host:port from threads of its own and prints where to
// open the page to `out` (every local address when bound to all of them).
// Returns false, with the reason on `err`, when the port cannot be had.
bool DashWeb_Start(const char* host, int port, FILE* out, FILE* err);

// Stops serving and joins the threads (tests; the program just exits).
void DashWeb_Stop();

// Clears the latest values (tests run in turn).
void DashWeb_Reset();

// Takes one decoded update: its fields replace the old values and every
// waiting browser is woken. Holds one lock for a record copy; never waits
// on the network.
void DashWeb_Publish(uint32_t sequence, const DashUpdate& update);

// Records what the session is doing (DashWebLink).
void DashWeb_SetLink(int link);

// The latest values as the JSON object the page reads, "\n"-free, into
// `buf`; returns its length. `now_ms` is the client's monotonic clock.
int DashWeb_FormatState(char* buf, int size, uint32_t now_ms);

// The client's monotonic clock in milliseconds (wraps; compare by difference).
uint32_t DashWeb_NowMs();
