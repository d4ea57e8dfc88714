// net/netchan.h: the sequenced channel between the server and one dashboard,
// and the connectionless packets sent before a connection exists.
//
// Server to client:
//   +-----------+-----------+---------------------+----------------------+
//   | seq | R   | ack | r   | reliable message    | unreliable data      |
//   +-----------+-----------+---------------------+----------------------+
//     4 bytes     4 bytes     present when R is 1   present when it fits
//   R (bit 31 of seq): this packet carries the reliable message.
//   r (bit 31 of ack): our copy of the peer's reliable toggle.
// Client to server: the same two longs, then its 16-bit channel tag (qport),
// then its commands. A packet is at most 128 bytes.
//
// Connectionless: FF FF FF FF, then at most 132 bytes of text, no terminator.
//
// The reliable part carries one message at a time and is sent again until
// the peer flips its toggle to ours; the unreliable data is sent once.
// Main thread only.
#pragma once

#include <array>
#include <cstdint>

#include "net/msg.h"
#include "net/udp.h"

constexpr int NETCHAN_PACKET_SIZE = 128;      // a sequenced packet
constexpr int NETCHAN_HEADER_SIZE = 8;        // its two longs
constexpr int NETCHAN_MESSAGE_SIZE = 128;     // the reliable message buffers
constexpr int NETCHAN_MAX_RELIABLE = NETCHAN_PACKET_SIZE - NETCHAN_HEADER_SIZE;
constexpr int CONNECTIONLESS_PACKET_SIZE = 136;
constexpr int CONNECTIONLESS_MAX_TEXT = CONNECTIONLESS_PACKET_SIZE - 4;
constexpr int CONNECTIONLESS_TEXT_SIZE = 8192;

struct NetChannel {
    uint32_t last_sent;                      // curtime at the last transmit
    NetAddress remote_address;               // packets go to and come only from here
    int32_t qport;                           // the peer's channel tag
    int32_t incoming_sequence;               // last packet accepted from the peer
    int32_t incoming_acknowledged;           // last own packet the peer acknowledged
    int32_t incoming_reliable_acknowledged;  // the peer's toggle, 0 or 1
    int32_t incoming_reliable_sequence;      // flips per reliable message received
    int32_t outgoing_sequence;               // number of the next packet; starts at 1
    int32_t reliable_sequence;               // flips per reliable message started
    int32_t last_reliable_sequence;          // outgoing_sequence after its last send
    SizeBuffer message;                      // the owner queues reliable data here
    std::array<uint8_t, NETCHAN_MESSAGE_SIZE> message_data;
    int32_t reliable_length;                 // the message in flight; 0 when none
    std::array<uint8_t, NETCHAN_MESSAGE_SIZE> reliable_data;
};

// Text of the connectionless packet being sent.
extern char connectionless_text[CONNECTIONLESS_TEXT_SIZE];

// Starts a channel from scratch to `address` for the client whose packets
// carry `qport`: every field zero, outgoing_sequence 1, `message` empty over
// message_data with overflow allowed.
void Netchan_Setup(NetChannel& chan, NetAddress address, int qport);

// Sends one packet: header, the reliable message when it is new or due
// again, then `data` (`length` bytes) when it fits in what is left of 128
// bytes ("Netchan_Transmit: dumped unreliable\n" otherwise; the packet still
// goes). Sends nothing when `message` has overflowed ("%s:Outgoing message
// overflow\n"). A reliable message over 120 bytes is fatal. Sets last_sent
// to curtime. Never blocks.
void Netchan_Transmit(NetChannel& chan, int length, const uint8_t* data);

// Takes the packet in net_received from net_sender when it comes from
// remote_address and is newer than the last accepted one; then the read
// cursor stands at the client's commands (offset 10). Returns false and
// changes nothing otherwise.
bool Netchan_AcceptPacket(NetChannel& chan);

// Formats the text into connectionless_text and sends it to `to` after the
// four 0xFF bytes. A text longer than 132 bytes is cut to 132.
void Netchan_PrintConnectionless(NetAddress to, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Sends FF FF FF FF and the first `length` bytes of connectionless_text
// (at most 132) to `to`.
void Netchan_SendConnectionless(NetAddress to, int length);

// Empties connectionless_text (tests).
void Netchan_Reset();
