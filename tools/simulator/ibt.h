// tools/simulator/ibt.h: telemetry recordings on disk (.ibt files), read
// for --replay and written by --record.
//
// A recording holds, all little-endian:
//        0  header, 112 bytes: the mapping's header (layout.h) with one
//           buffer entry, whose frame offset is where the frames begin
//      112  sub-header, 32 bytes: session start date (i64, seconds since
//           1970), start time and end time (f64, session seconds of the first
//           and last frame), lap count (i32), record count (i32, frames)
//      144  variable headers, 144 bytes each, as in the mapping
//           the session-info text, session-info length bytes, usually with
//           no terminating zero (the frames follow at once)
//           the frames, frame length bytes each, one per tick
// The offsets come from the header; nothing else about the order is
// assumed. Every offset and length is checked against the file before it is
// used, so a short or corrupt file is refused, never read past.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>

#include "tools/simulator/layout.h"

constexpr int IBT_HEADER_SIZE = 112;
constexpr int IBT_SUBHEADER_SIZE = 32;
constexpr int IBT_VAR_TABLE = IBT_HEADER_SIZE + IBT_SUBHEADER_SIZE;
constexpr int IBT_ERROR_SIZE = 256;
constexpr int IBT_MAX_TICK_RATE = 1000;

// Reads `len` bytes at `offset` of the recording into `dst`; false when
// they are not all there.
using IbtRead = bool (*)(void* ctx, uint64_t offset, void* dst, uint32_t len);

struct IbtSource {
    IbtRead read;
    void* ctx;
    uint64_t size;      // bytes in the recording
};

struct IbtRecording {
    int32_t version;
    int32_t tick_rate;
    int32_t num_vars;
    int32_t frame_len;
    int32_t frame_count;        // whole frames to play
    int64_t frames_offset;
    // sub-header
    int64_t start_date;
    double start_time;
    double end_time;
    int32_t lap_count;
    int32_t record_count;       // as the sub-header says (0: not closed)
    // copies, valid until the next Ibt_Open
    const uint8_t* var_headers;     // num_vars entries of LAYOUT_VAR_HEADER_SIZE
    const char* session;            // the text, NUL-terminated
    int32_t session_len;            // its length without the terminator
};

// Reads and checks the header, sub-header, variable table and session text.
// False when the source cannot be played, with `error` holding the rest of
// a plain sentence that begins with the file's name ("is not a telemetry
// recording written by the simulator", "is a telemetry recording cut short:
// ..."): when its header is not that of a disk recording (a live-memory
// dump, a text file), when it is cut short, or when it does not fit the
// stand-in's mapping (too many variables, a frame longer than a buffer slot,
// a session text longer than the session area).
bool Ibt_Open(const IbtSource& src, IbtRecording& rec, char* error, int error_size);

// Copies frame `index` (0-based) into `dst` (frame_len bytes); false when
// the index is out of range or the bytes cannot be read.
bool Ibt_ReadFrame(const IbtSource& src, const IbtRecording& rec, int index, uint8_t* dst);

// Offset of the variable `name` within a frame, provided its `size` bytes
// lie wholly in the frame; -1 otherwise.
int Ibt_VarOffset(const IbtRecording& rec, const char* name, int size);

// The value after "KEY: " on the first line of the session text that holds
// "KEY:" at or after `from`, copied into `out` (at most `size` - 1 bytes);
// where it was found, or -1 ("" in `out`).
int Ibt_SessionValue(const IbtRecording& rec, const char* key, int from, char* out, int size);

// The player's car model as the session text names it ("CarScreenName:" of
// the driver entry whose "CarIdx:" is the "DriverCarIdx:"), or "" in `out`.
void Ibt_PlayerCar(const IbtRecording& rec, char* out, int size);

// A source over a file opened for binary reading (size from its end).
IbtSource Ibt_FileSource(std::ifstream& f);

// --- writing (--record) ---

// Starts a recording into `f`: a header to be completed by Ibt_WriteEnd,
// the sub-header, `num_vars` variable headers as the mapping holds them, and
// the session text (`session_len` bytes, written without a terminator).
// False when the file cannot be written.
bool Ibt_WriteBegin(std::FILE* f, int32_t tick_rate, const uint8_t* var_headers, int32_t num_vars,
                    const char* session, int32_t session_len, int32_t frame_len,
                    int64_t start_date);

// Appends one frame (the frame length given to Ibt_WriteBegin).
bool Ibt_WriteFrame(const uint8_t* frame);

// Frames written since Ibt_WriteBegin.
int32_t Ibt_FramesWritten();

// Completes the header and sub-header (the last tick count, session times,
// laps and the record count) and flushes; the caller closes the file.
bool Ibt_WriteEnd(int32_t last_tick, double start_time, double end_time, int32_t lap_count);
