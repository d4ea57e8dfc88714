// platform/net.h: the UDP socket and the host's addresses.
//
// Windows: Winsock 1.1. Linux: BSD sockets. Error numbers are reported in
// the Windows numbering where the program tests them (would-block 10035,
// connection refused 10061); any other error keeps the system's own number,
// and Sys_NetErrorText gives the system's text for it.
#pragma once

#include <array>
#include <cstdint>

// A socket handle wide enough for both systems.
using NetSocket = intptr_t;
constexpr NetSocket NET_INVALID_SOCKET = -1;

constexpr int NET_ERR_WOULDBLOCK = 10035;
constexpr int NET_ERR_CONNREFUSED = 10061;

// Starts the socket library (Windows Sockets version 1.1). Returns false
// when it cannot be started; always true on Linux.
bool Sys_NetStartup();

// Creates an IPv4 UDP socket; NET_INVALID_SOCKET on failure.
NetSocket Sys_UdpSocket();

// Switches the socket to non-blocking mode; false on failure.
bool Sys_SetNonBlocking(NetSocket sock);

// Binds the socket to 0.0.0.0 and `port` (network order); false on failure.
bool Sys_BindAny(NetSocket sock, uint16_t port);

// Closes a socket (tests; the server never closes its own).
void Sys_CloseSocket(NetSocket sock);

// Receives one datagram into `buf` (`size` bytes) without waiting; its
// sender's address and port (network order) go to `ip` and `port`. Returns
// the datagram's length, or -1 on failure (Sys_NetLastError tells why). A
// datagram longer than `size` is a failure on both systems (the system's
// "message too long" error) and is consumed.
int Sys_RecvFrom(NetSocket sock, uint8_t* buf, int size,
                 std::array<uint8_t, 4>& ip, uint16_t& port);

// Sends `length` bytes to `ip` and `port` (network order) without waiting.
// Returns the bytes sent, or -1 on failure.
int Sys_SendTo(NetSocket sock, const void* data, int length,
               const std::array<uint8_t, 4>& ip, uint16_t port);

// The error of the last failed socket call of this thread, in the numbering
// described above.
int Sys_NetLastError();

// The system's text for an error number of Sys_NetLastError. The text stays
// valid until the next call.
const char* Sys_NetErrorText(int code);

// Waits until `sock` has a datagram to read or `microseconds` have passed.
// Returns < 0 on error, 0 on time-out, > 0 when it is readable.
int Sys_WaitForSocket(NetSocket sock, int microseconds);

// Port numbers between host and network order.
uint16_t Sys_HostToNetShort(uint16_t value);
uint16_t Sys_NetToHostShort(uint16_t value);

// Reads the host's IPv4 addresses into `out` (at most `max`), in the order
// the system gives them. Returns how many, or -1 when they cannot be read.
// Windows: the addresses of the host name; Linux: the interfaces that are
// up, loopback left out.
int Sys_LocalAddresses(std::array<uint8_t, 4>* out, int max);

// Reads this PC's host name into `buf` ("\0"-ended, `size` bytes at most);
// false when it cannot be read or does not fit.
bool Sys_HostName(char* buf, int size);

// Reads the address and port (network order) that `sock` is bound to;
// false on failure (tests bind port 0 and read the port back).
bool Sys_SocketName(NetSocket sock, std::array<uint8_t, 4>& ip, uint16_t& port);
