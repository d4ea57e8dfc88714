// telemetry/sim_layout.h: the simulator's shared-memory layout, as far as
// the server reads it.
//
//   view
//   +--------+--------+-----+----------+--------+---------+--------+-------+---+--------------+
//   | 0      | status | ... | sess.off | vars   | var.off | bufs   | frame | . | buffer table |
//   +--------+--------+-----+----------+--------+---------+--------+-------+---+--------------+
//     0        4              20         24       28        32       36          48: 16 bytes each
//   All header fields are 32-bit signed little-endian integers.
//   Buffer entry: tick count (i32) at 0, frame offset (i32) at 4.
//   Variable header: 144 bytes; value offset within a frame (i32) at 4,
//   name (at most 32 bytes, NUL-padded) at 16.
//   Session-info text: NUL-terminated, at the session-info offset.
// Every offset and length here comes from another program and is checked
// against the size of the view before anything is read through it.
#pragma once

#include <cstdint>

// Names of the objects the simulator creates; the platform layer adds its
// own namespace prefix ("Local\" on Windows, "/" on Linux).
constexpr const char* SIM_MAPPING_NAME = "IRSDKMemMapFileName";
constexpr const char* SIM_EVENT_NAME = "IRSDKDataValidEvent";

constexpr int SIM_HDR_STATUS = 4;
constexpr int SIM_HDR_SESSION_INFO_OFFSET = 20;
constexpr int SIM_HDR_VAR_COUNT = 24;
constexpr int SIM_HDR_VAR_HEADER_OFFSET = 28;
constexpr int SIM_HDR_BUFFER_COUNT = 32;
constexpr int SIM_HDR_FRAME_LENGTH = 36;
constexpr int SIM_HDR_BUFFER_TABLE = 48;

constexpr int SIM_MAX_BUFFERS = 4;   // entries the buffer table has room for
constexpr int SIM_BUFFER_ENTRY_SIZE = 16;
constexpr int SIM_BUFFER_TICK = 0;
constexpr int SIM_BUFFER_FRAME_OFFSET = 4;

constexpr int SIM_VAR_HEADER_SIZE = 144;
constexpr int SIM_VAR_VALUE_OFFSET = 4;
constexpr int SIM_VAR_NAME = 16;
constexpr int SIM_VAR_NAME_SIZE = 32;

constexpr int32_t SIM_STATUS_CONNECTED = 1;   // frames may be taken
