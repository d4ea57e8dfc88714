// tools/simulator/layout.h: the simulator's shared memory as the stand-in
// writes it. All fields are little-endian; offsets in bytes from the start.
//
//   0x000000  header, 112 bytes (i32 each)
//               0 version            4 status (bit 1: connected)   8 tick rate
//              12 session-info update counter    16 session-info length
//              20 session-info offset            24 variable count
//              28 variable-header offset         32 buffer count
//              36 frame length                   40, 44 spare
//              48 buffer table, LAYOUT_MAX_BUFFERS x 16 bytes:
//                 0 tick count   4 frame offset   8, 12 spare
//   0x000090  variable headers, 144 bytes each:
//                 0 type  4 value offset in a frame  8 element count
//                12 count-as-time (u8)  16 name[32]  48 description[64]  112 unit[32]
//   0x010000  session-info text, NUL-terminated, the rest of its area zero
//   0x030000  frame buffers: LAYOUT_MAX_BUFFERS slots of LAYOUT_SLOT_SIZE bytes
//
// The mapping is always LAYOUT_MAPPING_SIZE bytes, whatever the session, so
// a reader's view never becomes too small for what the header says.
#pragma once

#include <cstdint>

constexpr uint32_t LAYOUT_MAPPING_SIZE = 0x12C000;      // 1,228,800 bytes
constexpr int LAYOUT_VERSION = 2;
constexpr int LAYOUT_HEADER_SIZE = 112;
constexpr int LAYOUT_MAX_BUFFERS = 4;
constexpr int LAYOUT_BUFFER_ENTRY_SIZE = 16;
constexpr int LAYOUT_BUFFER_TABLE = 48;
constexpr int LAYOUT_VAR_HEADER_OFFSET = 0x90;
constexpr int LAYOUT_VAR_HEADER_SIZE = 144;
constexpr int LAYOUT_MAX_VARS = (0x10000 - LAYOUT_VAR_HEADER_OFFSET) / LAYOUT_VAR_HEADER_SIZE;
constexpr int LAYOUT_SESSION_OFFSET = 0x10000;
constexpr int LAYOUT_SESSION_MAX = 0x20000;             // text + terminator
constexpr int LAYOUT_BUFFERS_OFFSET = 0x30000;
constexpr int LAYOUT_SLOT_SIZE =
    (static_cast<int>(LAYOUT_MAPPING_SIZE) - LAYOUT_BUFFERS_OFFSET) / LAYOUT_MAX_BUFFERS;
constexpr int LAYOUT_DEFAULT_BUFFERS = 3;

// Header field offsets.
constexpr int LAYOUT_VER = 0;
constexpr int LAYOUT_STATUS = 4;
constexpr int LAYOUT_TICK_RATE = 8;
constexpr int LAYOUT_SESSION_UPDATE = 12;
constexpr int LAYOUT_SESSION_LEN = 16;
constexpr int LAYOUT_SESSION_OFS = 20;
constexpr int LAYOUT_NUM_VARS = 24;
constexpr int LAYOUT_VAR_HEADERS = 28;
constexpr int LAYOUT_NUM_BUFFERS = 32;
constexpr int LAYOUT_FRAME_LEN = 36;

constexpr int LAYOUT_STATUS_CONNECTED = 1;

// Variable types, as written in a variable header.
enum VarType {
    VAR_CHAR = 0,
    VAR_BOOL = 1,
    VAR_INT = 2,
    VAR_BITFIELD = 3,
    VAR_FLOAT = 4,
    VAR_DOUBLE = 5,
};

// One variable header as it goes into the table.
struct LayoutVarHeader {
    int32_t type;
    int32_t offset;
    int32_t count;
    bool count_as_time;
    const char* name;
    const char* desc;
    const char* unit;
};

// Takes the view (LAYOUT_MAPPING_SIZE bytes) and writes a fresh header:
// status clear first, then version, tick rate, table offsets, the buffer
// table with `buffers` slots, tick counts 0. Resets the tick counter and the
// buffer rotation. Existing session-info text and frames are left alone.
void Layout_Init(uint8_t* view, int tick_rate, int buffers);

// Forgets the view (tests).
void Layout_Reset();

// Writes the variable-header table and its count. Entries beyond
// LAYOUT_MAX_VARS are not written; returns the number written.
int Layout_WriteVarHeaders(const LayoutVarHeader* vars, int count);

// Writes `count` variable headers given as they lie in a table
// (LAYOUT_VAR_HEADER_SIZE bytes each, e.g. from a recording) and the count.
// False, with nothing written, when `count` is below 0 or above
// LAYOUT_MAX_VARS.
bool Layout_WriteRawVarHeaders(const uint8_t* entries, int count);

// The published variable headers (Layout_ReadField(LAYOUT_NUM_VARS) of
// them) and session-info text (NUL-terminated), for recording.
const uint8_t* Layout_VarHeaders();
const char* Layout_SessionText();

// Replaces the session-info text (`len` bytes, no terminator needed): the
// text, its terminator, the rest of the area zeroed, the length field, and
// the update counter raised by one. False, with nothing changed, when the
// text with its terminator does not fit LAYOUT_SESSION_MAX.
bool Layout_SetSessionInfo(const char* text, int len);

// Sets or clears the status bit.
void Layout_SetStatus(bool connected);

// Sets the frame length field (1 .. LAYOUT_SLOT_SIZE; false otherwise).
bool Layout_SetFrameLength(int len);
int Layout_FrameLength();

// Sets the buffer count (1 .. LAYOUT_MAX_BUFFERS; false otherwise). The
// rotation goes on with the new count.
bool Layout_SetBufferCount(int count);

// Publishes one frame: the oldest buffer's tick count is first set to -1
// (a reader copying it sees the change, a reader choosing the newest passes
// it by), then the frame-length bytes of `frame` go in, then its tick count
// becomes one more than any before. Returns the new tick count.
int32_t Layout_PublishFrame(const uint8_t* frame);

// The last tick count published (0 before the first frame).
int32_t Layout_LastTick();

// Reads a 32-bit header field (tests and start-up lines).
int32_t Layout_ReadField(int offset);
