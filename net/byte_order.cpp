// net/byte_order.cpp: the host's byte order and conversions to either order.
#include "net/byte_order.h"

#include <bit>
#include <cstring>

int16_t ShortSwap(int16_t value) {
    auto v = static_cast<uint16_t>(value);
    return static_cast<int16_t>(static_cast<uint16_t>((v >> 8) | (v << 8)));
}

int32_t LongSwap(int32_t value) {
    auto v = static_cast<uint32_t>(value);
    v = (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
    return static_cast<int32_t>(v);
}

float FloatSwap(float value) {
    return std::bit_cast<float>(LongSwap(std::bit_cast<int32_t>(value)));
}

int16_t ShortNoSwap(int16_t value) { return value; }
int32_t LongNoSwap(int32_t value) { return value; }
float FloatNoSwap(float value) { return value; }

// Until ByteOrder_Init runs, the pointers hold the routines for the order
// the compiler builds for, so an early conversion is still right.
constexpr bool BUILT_BIG_ENDIAN = std::endian::native == std::endian::big;

uint8_t host_big_endian = BUILT_BIG_ENDIAN ? 1 : 0;
int16_t (*BigShort)(int16_t) = BUILT_BIG_ENDIAN ? ShortNoSwap : ShortSwap;
int16_t (*LittleShort)(int16_t) = BUILT_BIG_ENDIAN ? ShortSwap : ShortNoSwap;
int32_t (*BigLong)(int32_t) = BUILT_BIG_ENDIAN ? LongNoSwap : LongSwap;
int32_t (*LittleLong)(int32_t) = BUILT_BIG_ENDIAN ? LongSwap : LongNoSwap;
float (*BigFloat)(float) = BUILT_BIG_ENDIAN ? FloatNoSwap : FloatSwap;
float (*LittleFloat)(float) = BUILT_BIG_ENDIAN ? FloatSwap : FloatNoSwap;

void ByteOrder_Set(bool big_endian) {
    host_big_endian = big_endian ? 1 : 0;
    BigShort = big_endian ? ShortNoSwap : ShortSwap;
    LittleShort = big_endian ? ShortSwap : ShortNoSwap;
    BigLong = big_endian ? LongNoSwap : LongSwap;
    LittleLong = big_endian ? LongSwap : LongNoSwap;
    BigFloat = big_endian ? FloatNoSwap : FloatSwap;
    LittleFloat = big_endian ? FloatSwap : FloatNoSwap;
}

void ByteOrder_Init() {
    const uint8_t bytes[2] = {0x01, 0x00};
    int16_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    ByteOrder_Set(value != 1);
}
