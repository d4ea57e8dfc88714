// platform/dashnet.h: what the dashboard stand-in (tools/dash) needs from the
// operating system: one small UDP socket per caller, the console (a terminal
// check, text written whatever the code page, a window of its own) and the
// network adapters behind the web page's addresses.
//
// Kept apart from the server's socket code on purpose: the stand-in checks
// the server from the outside, so the two share no code on the wire path.
// Addresses are four address bytes and a port in host byte order.
#pragma once

#include <cstdint>
#include <cstdio>

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

// Writes `length` bytes of UTF-8 text to `to`. On a Windows console it is
// written as UTF-16 (WriteConsoleW), so that the half blocks of a QR code
// and the degree sign draw whatever the console's code page; to a pipe or
// a file, and on Linux, the bytes go out as they are.
void DashNet_WriteText(FILE* to, const char* text, int length);

// True when this process is the only one on its console: on Windows, a
// console window opened for a double-clicked program, which closes with it.
// Always false on Linux, where a terminal outlives the programs it runs.
bool DashNet_OwnConsole();

// Waits until a key is pressed on the console (Windows, own console only),
// so that the window does not close before its text was read.
void DashNet_WaitForKey();

// One IPv4 address of a network adapter, and what the system says about the
// adapter (read by DashNet_Adapters; judged by tools/dash/dash_where.h).
enum DashLink {
    DASHNET_LINK_ETHERNET,
    DASHNET_LINK_WIRELESS,
    DASHNET_LINK_LOOPBACK,
    DASHNET_LINK_TUNNEL,     // point-to-point, PPP, IP tunnels: VPNs
    DASHNET_LINK_OTHER
};

struct DashAdapter {
    uint8_t ip[4];
    char name[64];            // Linux: the interface; Windows: the connection's name
    char description[128];    // Windows: the adapter's description; Linux: ""
    int link;                 // DashLink
    bool has_device;          // Linux: a device (PCI, USB, ...) behind it; Windows: true
    bool is_virtual;          // set by DashWhere_Order
};

constexpr int DASHNET_MAX_ADAPTERS = 16;

// Reads the IPv4 addresses of the adapters that are up, loopback included,
// in the order the system gives them (at most `max`). Returns how many, or
// -1 when they cannot be read.
int DashNet_Adapters(DashAdapter* out, int max);
