// net/byte_order.h: the host's byte order and conversions to either order.
//
// Each pointer converts between host order and the order it names; the
// same routine serves both directions. MSG_WriteFloat goes through
// LittleLong, so floats are little-endian on the wire on any host.
#pragma once

#include <cstdint>

// 1 on a big-endian host, 0 on a little-endian one.
extern uint8_t host_big_endian;

extern int16_t (*BigShort)(int16_t value);
extern int16_t (*LittleShort)(int16_t value);
extern int32_t (*BigLong)(int32_t value);
extern int32_t (*LittleLong)(int32_t value);
extern float (*BigFloat)(float value);
extern float (*LittleFloat)(float value);

// Exchange the two bytes / reverse the four bytes of the value.
int16_t ShortSwap(int16_t value);
int32_t LongSwap(int32_t value);
float FloatSwap(float value);
// Return the value unchanged.
int16_t ShortNoSwap(int16_t value);
int32_t LongNoSwap(int32_t value);
float FloatNoSwap(float value);

// Detects the host's order from the two bytes 01 00 read as one 16-bit
// integer and sets host_big_endian and the six pointers accordingly. The
// pointers already hold the compile-time host's routines before it runs.
void ByteOrder_Init();

// Sets host_big_endian and the six pointers as for a host of the given
// order (ByteOrder_Init's second half; tests use it to run the other order).
void ByteOrder_Set(bool big_endian);
