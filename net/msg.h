// net/msg.h: bounded message buffers and the field encodings of the wire.
//
// Every datagram the server builds or parses goes through a SizeBuffer.
// Writers append fixed-width fields; readers consume the one datagram just
// received (net_received) through the global cursor msg_readpos and return
// -1 instead of failing when the datagram is shorter than the field.
//
//   byte    1 byte, the low 8 bits; read back signed (-128..127)
//   short   2 bytes, two's complement, least significant byte first
//   long    4 bytes, two's complement, least significant byte first
//   float   4 bytes, the IEEE 754 bit pattern, least significant byte first
//   string  the characters, then 0x00 (readers also stop at 0xFF)
//
// Main thread only; nothing here allocates.
#pragma once

#include <array>
#include <cstdint>

// A bounded byte buffer over storage that its owner provides. Set it up by
// filling the five fields; it never allocates or frees.
struct SizeBuffer {
    uint8_t allowoverflow;  // set: a write that does not fit empties the buffer
    uint8_t overflowed;     // set by a write that emptied the buffer; owner clears
    uint8_t* data;
    int32_t maxsize;        // capacity of data in bytes
    int32_t cursize;        // bytes written; for a received datagram its length
};

constexpr int NET_RECEIVED_SIZE = 8192;   // the largest datagram received
constexpr int MSG_STRING_SIZE = 2048;     // a string reader's result, terminator included

// The datagram just received (filled by NET_GetPacket) and its storage.
extern std::array<uint8_t, NET_RECEIVED_SIZE> net_received_data;
extern SizeBuffer net_received;
// Index in net_received of the next unread byte.
extern int32_t msg_readpos;
// Set when a read found fewer bytes left than it needed; cleared only by
// MSG_BeginReading.
extern uint8_t msg_badread;

// Reserves `length` bytes at the end of `buf` and returns them; cursize grows
// by `length`. A write that does not fit is fatal ("SZ_GetSpace: overflow
// without allowoverflow set (%d)") when allowoverflow is clear, fatal
// ("SZ_GetSpace: %i is > full buffer size") when it exceeds the whole
// buffer, and otherwise empties the buffer, sets overflowed and goes on, so
// the buffer then holds only the new field. A negative length reserves
// nothing.
uint8_t* SZ_GetSpace(SizeBuffer& buf, int length);

// Empties the buffer; overflowed is left as it is.
void SZ_Clear(SizeBuffer& buf);

// Appends `length` bytes of `source` as they stand, under SZ_GetSpace's rules.
void SZ_Write(SizeBuffer& buf, const void* source, int length);

// Append one field each, least significant byte first.
void MSG_WriteByte(SizeBuffer& buf, int value);
void MSG_WriteShort(SizeBuffer& buf, int value);
void MSG_WriteLong(SizeBuffer& buf, int value);
void MSG_WriteFloat(SizeBuffer& buf, float value);

// Starts reading net_received from its first byte and clears msg_badread.
void MSG_BeginReading();

// Read the next field of net_received. Past the end they return -1, set
// msg_badread and leave the cursor where it was.
int MSG_ReadChar();    // signed: a byte 0xFF also reads as -1
int MSG_ReadShort();   // sign-extended
int MSG_ReadLong();

// Reads the next string: up to a byte 0x00 or 0xFF (consumed, not stored),
// the end of the datagram (sets msg_badread) or 2047 characters (the rest
// stays for the next read). The text stays valid until the next call.
const char* MSG_ReadString();

// As MSG_ReadString, but a line feed also ends the text; its own text area.
const char* MSG_ReadStringLine();

// Puts the read state back to start: net_received over its storage with
// maxsize 8192 and empty, cursor 0, msg_badread clear, both texts empty.
void MSG_Reset();
