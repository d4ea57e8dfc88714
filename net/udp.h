// net/udp.h: the server's UDP socket, peer addresses and the start-up line
// that tells the user which addresses to enter in the dashboard app.
//
// One non-blocking IPv4 socket bound to one port on all interfaces, opened
// once at start-up and never closed. Neither receive nor send ever waits.
// Main thread only.
#pragma once

#include <array>
#include <cstdint>

#include "platform/net.h"

// An IPv4 endpoint, copied by value. Both fields are in network order, as
// the socket interface holds them: ip[0] is the first number of the dotted
// form.
struct NetAddress {
    std::array<uint8_t, 4> ip;
    uint16_t port;
};

constexpr int NET_ADDRESS_TEXT_SIZE = 64;
constexpr int NET_MAX_LOCAL_ADDRESSES = 32;   // addresses listed at start-up

extern NetSocket net_udp_socket;   // set once at start-up
extern NetAddress net_sender;      // sender of the datagram in net_received
// NET_AddressToString's result; the server formats addresses here too.
extern char net_address_text[NET_ADDRESS_TEXT_SIZE];

// Opens the non-blocking UDP socket bound to 0.0.0.0:`port` (host order).
// Failures are fatal: "UDP_OpenSocket: socket:", "UDP_OpenSocket: ioctl
// FIONBIO:" or "UDP_OpenSocket: bind: %s" with the system's error text.
NetSocket UDP_OpenSocket(uint16_t port);

// Prints "IP address (use in app settings) = " and the host's addresses
// separated by " or ", or "... = Unknown", on standard output.
void NET_PrintLocalAddresses();
// The printing half of it: `count` < 0 means the look-up failed.
void NET_PrintAddressList(const std::array<uint8_t, 4>* ips, int count);

// Receives one waiting datagram into net_received (cursize = its length)
// and its sender into net_sender, and returns its length. Returns 0 when
// nothing is waiting, on an empty datagram and on any error; an error other
// than would-block or connection-refused, including a datagram longer than
// 8192 bytes, is logged as "NET_GetPacket: %s\n". On failure net_sender and
// net_received keep their previous values.
int NET_GetPacket();

// Where NET_GetPacket takes its datagrams from. Null (the default and the
// server's only setting) reads net_udp_socket. Tests and fuzzers point it at
// a function that fills `buf` (room for `size` bytes), `ip` and `port` (both
// network order) with the next datagram and returns its length, or returns
// -1 when nothing is waiting; NET_GetPacket then handles the result exactly
// as it handles a datagram read from the socket.
using NetPacketSource = int (*)(uint8_t* buf, int size, std::array<uint8_t, 4>& ip,
                                uint16_t& port);
extern NetPacketSource net_packet_source;

// Sends `length` bytes to `to`. Never waits; a failed send is lost, logged
// as "NET_SendPacket ERROR: %i\n" unless the socket would have blocked.
void NET_SendPacket(int length, const void* data, NetAddress to);

// True when the four address bytes are equal (ports ignored).
bool NET_SameHost(NetAddress a, NetAddress b);
// True when the address bytes and the ports are equal.
bool NET_SameAddress(NetAddress a, NetAddress b);

// Formats "%i.%i.%i.%i:%i" (port in host order) into net_address_text and
// returns it; the next call overwrites it.
const char* NET_AddressToString(NetAddress a);

// Builds an address from four numbers and a port in host order.
NetAddress NET_MakeAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t host_port);

// Forgets the socket, the sender, the address text and the packet source
// (tests). The socket itself is not closed.
void NET_Reset();
