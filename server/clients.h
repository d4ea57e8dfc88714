// server/clients.h: the dashboard server's state: ten client slots, the
// table of issued challenges, the server clock and the pass counter.
//
// A slot's life:
//   FREE --connect--> CONNECTED --disconnect, bad read, reliable overflow-->
//   REMOVED --last_message more than 3000 ms old--> FREE
//   CONNECTED --nothing accepted for more than 15000 ms--> FREE
//   REMOVED --connect from the same host and qport (or port)--> CONNECTED
//
// Every time stamp here is a millisecond count of server_time kept as an
// unsigned 32-bit number that wraps; times are compared only through
// Sys_Elapsed (a signed difference), so the time-outs keep working when the
// clock wraps. Main thread only: nothing here is locked.
#pragma once

#include <array>
#include <cstdint>

#include "net/msg.h"
#include "net/netchan.h"
#include "net/udp.h"

constexpr int MAX_CLIENTS = 10;
constexpr int CLIENT_NAME_SIZE = 80;          // at most 79 characters
constexpr int CLIENT_RATE_FRAMES = 10;        // frame_bytes entries
constexpr int CLIENT_RATE_LIMIT = 5000;       // bytes over those frames
constexpr int CLIENT_DATAGRAM_SIZE = 1450;
constexpr int CLIENT_TIMEOUT_MS = 15000;      // connected, silent: freed
constexpr int CLIENT_ZOMBIE_MS = 3000;        // removed: slot held this long
constexpr int MAX_CHALLENGES = 1024;

// The one reliable message the server sends: "you are disconnected".
constexpr int SRV_DISCONNECT = 2;

enum ClientState : int32_t {
    CLIENT_FREE = 0,        // empty, may be given to a new client
    CLIENT_REMOVED = 1,     // removed; held until last_message is 3000 ms old
    CLIENT_CONNECTED = 2,   // connected and sent updates
};

struct ClientSlot {
    // Update bytes handed to the channel in the pass whose frame_count
    // modulo 10 is the index; 0 for a pass in which the budget held it back.
    std::array<int32_t, CLIENT_RATE_FRAMES> frame_bytes;
    int32_t rate_limit;                 // budget for the sum of frame_bytes
    ClientState state;
    std::array<char, CLIENT_NAME_SIZE> name;   // NUL-terminated
    int32_t device_type;                // 0 selects the fuller update
    SizeBuffer datagram;                // unreliable bytes after the next body
    std::array<uint8_t, CLIENT_DATAGRAM_SIZE> datagram_buf;
    uint32_t last_message;              // server_time of the last accepted packet
    // session_serial of the snapshot whose session block this client was
    // last sent; 0 (none yet) after a connect.
    uint32_t session_serial;
    NetChannel netchan;
};

struct ChallengeEntry {
    NetAddress address;     // only the four address bytes are compared
    int32_t challenge;
    uint32_t issued;        // server_time when made; 0: never used
};

extern std::array<ClientSlot, MAX_CLIENTS> sv_clients;
extern std::array<ChallengeEntry, MAX_CHALLENGES> sv_challenges;
// The server clock: 0 when the main loop starts, advanced by the steps of
// curtime.
extern uint32_t server_time;
// Main-loop pass counter; wraps as an unsigned number.
extern uint32_t frame_count;

// Queues the disconnect byte in the client's reliable message, logs
// "Client %s removed\n", marks the slot CLIENT_REMOVED and empties its
// name. The channel, address and time stamps stay: the slot is held until
// SV_CheckClientTimeouts frees it.
void SV_RemoveClient(ClientSlot& client);

// Once per main-loop pass, before the packets are read: frees removed slots
// whose last_message is more than 3000 ms old, and times out connected
// clients silent for more than 15000 ms ("%s timed out\n", then removal,
// then the slot is free at once). A last_message ahead of server_time is
// pulled back to server_time first.
void SV_CheckClientTimeouts();

// Slots in CLIENT_CONNECTED (the console status shows it).
int SV_CountConnected();

// Puts all server state back to its start: every slot and challenge zero,
// server_time and frame_count 0 (tests).
void SV_ResetClients();
