// net/msg.cpp: bounded message buffers and the field encodings of the wire.
#include "net/msg.h"

#include <bit>
#include <cstring>

#include "net/byte_order.h"
#include "shell/log.h"

std::array<uint8_t, NET_RECEIVED_SIZE> net_received_data;
SizeBuffer net_received = {0, 0, net_received_data.data(), NET_RECEIVED_SIZE, 0};
int32_t msg_readpos;
uint8_t msg_badread;

static std::array<char, MSG_STRING_SIZE> msg_string;
static std::array<char, MSG_STRING_SIZE> msg_string_line;

uint8_t* SZ_GetSpace(SizeBuffer& buf, int length) {
    if (length < 0) length = 0;
    // 64-bit sum: a huge length cannot wrap into a "fit".
    if (static_cast<int64_t>(buf.cursize) + length > buf.maxsize) {
        if (!buf.allowoverflow)
            Sys_Error("SZ_GetSpace: overflow without allowoverflow set (%d)", buf.maxsize);
        if (length > buf.maxsize)
            Sys_Error("SZ_GetSpace: %i is > full buffer size", length);
        Sys_Printf("SZ_GetSpace: overflow\n");
        SZ_Clear(buf);
        buf.overflowed = 1;
    }
    uint8_t* space = buf.data + buf.cursize;
    buf.cursize += length;
    return space;
}

void SZ_Clear(SizeBuffer& buf) {
    buf.cursize = 0;
}

void SZ_Write(SizeBuffer& buf, const void* source, int length) {
    uint8_t* space = SZ_GetSpace(buf, length);
    if (length > 0) std::memcpy(space, source, static_cast<size_t>(length));
}

void MSG_WriteByte(SizeBuffer& buf, int value) {
    uint8_t* p = SZ_GetSpace(buf, 1);
    p[0] = static_cast<uint8_t>(value);
}

void MSG_WriteShort(SizeBuffer& buf, int value) {
    auto v = static_cast<uint32_t>(value);
    uint8_t* p = SZ_GetSpace(buf, 2);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void MSG_WriteLong(SizeBuffer& buf, int value) {
    auto v = static_cast<uint32_t>(value);
    uint8_t* p = SZ_GetSpace(buf, 4);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void MSG_WriteFloat(SizeBuffer& buf, float value) {
    // The bit pattern in little-endian order, stored as a host integer: the
    // bytes in memory are then least significant first on any host.
    int32_t wire = LittleLong(std::bit_cast<int32_t>(value));
    uint8_t* p = SZ_GetSpace(buf, 4);
    std::memcpy(p, &wire, 4);
}

void MSG_BeginReading() {
    msg_readpos = 0;
    msg_badread = 0;
}

// True when `count` more bytes can be read; otherwise flags the bad read.
static bool MSG_Have(int count) {
    if (msg_readpos < 0 || static_cast<int64_t>(msg_readpos) + count > net_received.cursize) {
        msg_badread = 1;
        return false;
    }
    return true;
}

int MSG_ReadChar() {
    if (!MSG_Have(1)) return -1;
    int c = static_cast<int8_t>(net_received.data[msg_readpos]);
    msg_readpos += 1;
    return c;
}

int MSG_ReadShort() {
    if (!MSG_Have(2)) return -1;
    const uint8_t* p = net_received.data + msg_readpos;
    auto v = static_cast<uint16_t>(p[0] | (p[1] << 8));
    msg_readpos += 2;
    return static_cast<int16_t>(v);
}

int MSG_ReadLong() {
    if (!MSG_Have(4)) return -1;
    const uint8_t* p = net_received.data + msg_readpos;
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                 (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    msg_readpos += 4;
    return static_cast<int32_t>(v);
}

// Reads characters into `out` until a terminator (0x00, 0xFF, and a line
// feed when `stop_at_newline`), the end of the datagram or a full area.
static const char* MSG_ReadText(std::array<char, MSG_STRING_SIZE>& out, bool stop_at_newline) {
    int count = 0;
    while (count < MSG_STRING_SIZE - 1) {
        if (!MSG_Have(1)) break;
        int c = static_cast<int8_t>(net_received.data[msg_readpos]);
        msg_readpos += 1;
        if (c == 0 || c == -1 || (stop_at_newline && c == '\n')) break;
        out[count++] = static_cast<char>(c);
    }
    out[count] = 0;
    return out.data();
}

const char* MSG_ReadString() {
    return MSG_ReadText(msg_string, false);
}

const char* MSG_ReadStringLine() {
    return MSG_ReadText(msg_string_line, true);
}

void MSG_Reset() {
    net_received = {0, 0, net_received_data.data(), NET_RECEIVED_SIZE, 0};
    msg_readpos = 0;
    msg_badread = 0;
    msg_string[0] = 0;
    msg_string_line[0] = 0;
}
