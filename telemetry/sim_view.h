// telemetry/sim_view.h: the simulator's mapping as the telemetry thread sees
// it, and bounded reads of it.
//
// The mapping belongs to another program: every offset and length read from
// it is checked against the view size before anything is read through it,
// and reads go through sim_platform.read_view so that the compiler neither
// merges nor moves them. The frame taking and the live loop
// (sim_connection) and the channel reduction (channels) both build on this
// file; it calls neither.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/shm.h"

// The operating-system operations the connection uses; tests replace them
// to run the connection over a mapping built in memory.
struct SimPlatform {
    ShmHandle (*open_mapping)(const char* name);
    const uint8_t* (*map_view)(ShmHandle mapping, size_t* size);
    ShmHandle (*open_event)(const char* name);
    void (*wait_event)(ShmHandle event, int ms);
    uint32_t (*timer_ms)();   // a millisecond clock that never jumps; wraps
    void (*sleep_ms)(int ms);
    // Copies bytes out of the view (the simulator may be writing them).
    void (*read_view)(void* dst, const uint8_t* src, size_t len);
    // Whether the object behind the view still covers all of it.
    bool (*view_intact)(ShmHandle mapping, size_t view_size);
    // Maps the object the names now name in place of the old one, if another.
    bool (*follow_name)(const char* mapping_name, const char* event_name, ShmHandle* mapping,
                        const uint8_t** view, size_t* size, ShmHandle* event);
};
extern SimPlatform sim_platform;

extern ShmHandle sim_mapping;
extern const uint8_t* sim_view;
extern size_t sim_view_size;
extern ShmHandle sim_data_event;
extern uint8_t sim_initialized;
extern uint8_t sim_view_intact;   // 0: the view holds no usable data now

// Checks, just before the view is read, that the object behind it still
// covers the whole view (a truncated one would fault on read); while it
// does not, every read of the view fails as if it pointed outside, so the
// simulator counts as lost. Returns sim_view_intact.
bool Sim_CheckViewIntact();

// When the simulator's names now name other objects (removed and created
// again), maps them in place of the old ones; true when it did. The
// telemetry code stays attached throughout.
bool Sim_FollowNames();

// Copies `len` bytes at `offset` of the view into `dst`; false (nothing
// copied) when the range does not lie wholly inside the view or the view is
// not intact.
bool Sim_CopyFromView(void* dst, int64_t offset, int64_t len);

// Reads the little-endian 32-bit integer at `offset` of the view; false
// when it does not lie inside the view.
bool Sim_ReadInt(int64_t offset, int32_t* out);

// True when the header's status bit is set.
bool Sim_StatusSet();

// The buffer count when it is 1 to 4 and the whole buffer table lies
// inside the view, else 0.
int32_t Sim_BufferCount();

// Where the buffer table entry `index` begins in the view.
int64_t Sim_BufferEntry(int32_t index);

// The header's frame length when the header is usable: status bit set, a
// buffer count of 1 to 4, a frame length of at least 1, every buffer's
// frame (its offset plus the frame length) inside the view, and the
// session-info text starting inside the view and terminated inside it.
// -1 otherwise: the view holds no usable data.
int32_t Sim_UsableFrameLength();

// True when the variable table (count entries of 144 bytes at its offset)
// lies wholly inside the view; a negative count or offset does not.
bool Sim_VarTableInView();

// The session-info text's offset and length (without its terminator) when
// it starts inside the view and is terminated inside it; false otherwise.
bool Sim_SessionInfoSpan(int64_t* offset, int64_t* len);

// Forgets the mapping, the view and the event and restores the platform
// operations (tests; the real thread never detaches).
void Sim_ResetView();
