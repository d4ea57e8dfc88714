// platform/dashnet.h: what the dashboard stand-in (tools/dash) needs from the
// operating system: one small UDP socket per caller and a terminal check.
//
// Kept apart from the server's socket code on purpose: the stand-in checks
// the server from the outside, so the two share no code on the wire path.
// Addresses are four address bytes and a port in host byte order.
#pragma once

#include <cstdint>

struct DashAddr {
    uint8_t ip[4];
    uint16_t port;
};

constexpr int DASHNET_MAX_SOCKETS = 8;   // sockets open at one time
constexpr int DASHNET_TIMEOUT = -1;      // DashNet_Receive: nothing arrived
constexpr int DASHNET_ERROR = -2;        // DashNet_Receive: the socket failed

// Reads a server address into `out` (the port is left alone): a dotted
// IPv4 address ("A.B.C.D", each part 0..255, nothing else made of digits
// and dots is taken), or a host name, looked up with the system's resolver
// (its first IPv4 address; this may wait for the network's name service).
// Returns false when the text is neither.
bool DashNet_Resolve(const char* host, DashAddr& out);

// Opens a UDP socket bound to `port` on every local address (0: any free
// port). Starts the socket library on first use. Returns a handle 0..7,
// or -1 when no socket can be opened or bound.
int DashNet_Open(uint16_t port);

// The port the socket is bound to (host order), 0 when unknown.
uint16_t DashNet_LocalPort(int sock);

// Sends one datagram of `length` bytes. Returns false when the system
// refused it; a datagram lost on the way is not reported.
bool DashNet_Send(int sock, const DashAddr& to, const uint8_t* data, int length);

// Waits at most `timeout_ms` (0: just polls) for one datagram and copies at
// most `size` bytes of it into `buf`. Returns its length (0 for an empty
// datagram), DASHNET_TIMEOUT when none arrived in time, DASHNET_ERROR when
// the socket failed. A report of an unreachable peer counts as no datagram.
int DashNet_Receive(int sock, uint8_t* buf, int size, DashAddr& from, int timeout_ms);

// Closes the socket; the handle may be given out again.
void DashNet_Close(int sock);

// True when standard output is a terminal that understands ANSI cursor
// movement. On a Windows console it switches the console's escape
// processing on and checks that escapes really are taken (a console that
// accepts the mode but prints escapes as text, as under Wine, gives false,
// and the probe leaves nothing visible behind); it also sets the console's
// output code page to UTF-8 so that the degree sign and the dash show.
bool DashNet_StdoutIsTerminal();
