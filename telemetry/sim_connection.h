// telemetry/sim_connection.h: attaching to the simulator's shared memory and
// the telemetry thread.
//
// The telemetry thread attaches to the simulator's mapping and data-valid
// event, waits for each new frame (newest buffer by tick count), copies it
// into tel_frame and hands it to Tel_Update. The first frame after an
// attach, a restart of the simulator or a change of frame length only sets
// up. sim_connected tells the status display whether frames arrive.
//
// The mapping belongs to another program: every header field is checked
// against the view size before it is used, the frame is copied before it is
// read, and a copy that the simulator overwrote meanwhile (tick count
// changed) is tried once more and otherwise skipped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/shm.h"

constexpr int32_t SIM_NO_TICK = 2147483647;   // no frame since the last (re)start
constexpr int SIM_WAIT_MS = 16;               // event wait and attach retry
constexpr int64_t SIM_STALE_SECONDS = 30;     // no frame this long: simulator lost
constexpr int SIM_COPY_TRIES = 2;

// The operating-system operations the connection uses; tests replace them
// to run the connection over a mapping built in memory.
struct SimPlatform {
    ShmHandle (*open_mapping)(const char* name);
    const uint8_t* (*map_view)(ShmHandle mapping, size_t* size);
    ShmHandle (*open_event)(const char* name);
    void (*wait_event)(ShmHandle event, int ms);
    int64_t (*wall_seconds)();
    void (*sleep_ms)(int ms);
    // Copies bytes out of the view (the simulator may be writing them).
    void (*read_view)(void* dst, const uint8_t* src, size_t len);
};
extern SimPlatform sim_platform;

extern ShmHandle sim_mapping;
extern const uint8_t* sim_view;
extern size_t sim_view_size;
extern ShmHandle sim_data_event;
extern uint8_t sim_initialized;
extern int32_t sim_last_tick;
extern int64_t sim_last_valid_time;
extern std::atomic<uint8_t> sim_connected;   // read by the status display
extern uint8_t* tel_frame;                   // private copy of the newest frame
extern int32_t tel_frame_len;

// Copies `len` bytes at `offset` of the view into `dst`; false (nothing
// copied) when the range does not lie wholly inside the view.
bool Sim_CopyFromView(void* dst, int64_t offset, int64_t len);

// Reads the little-endian 32-bit integer at `offset` of the view; false
// when it does not lie inside the view.
bool Sim_ReadInt(int64_t offset, int32_t* out);

// The header's frame length when the header is usable: status bit set, a
// buffer count of at least 1 with the whole buffer table inside the view,
// and a frame length between 1 and the view size. -1 otherwise.
int32_t Sim_UsableFrameLength();

// Opens whatever of mapping, view and event is still missing; true when all
// three are open. Each step that opens something resets sim_last_tick.
bool Sim_Startup();

// True when a frame newer than the last one taken was taken: copied into
// `dest` (exactly `dest_len` bytes, which must equal the frame length), or
// only noted when `dest` is nullptr. Never reads outside the view.
bool Sim_GetNewData(uint8_t* dest, int32_t dest_len);

// One pass of the live loop: attach, take a frame (waiting up to 16 ms on
// the event), run Tel_Update or Tel_SetupVars, or decide the simulator is
// lost (status bit clear, unusable header, or no frame for 30 s).
void Tel_LivePass();

// The telemetry thread: in test mode a test-pattern step every 1 ms,
// otherwise Tel_LivePass for ever. Never returns.
[[noreturn]] void Tel_Thread();

// Forgets the attachment and the frame buffer and restores the platform
// operations (tests; the real thread never detaches).
void Sim_Reset();
