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
// against the view size before it is used (telemetry/sim_view.h), the frame
// is copied before it is read, and a copy that the simulator overwrote
// meanwhile (tick count changed) is tried once more and otherwise skipped.
// This file sits on top of the telemetry layer: it calls the reduction
// (channels) and the view reads (sim_view); neither calls back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "telemetry/channels.h"
#include "telemetry/sim_view.h"

constexpr int32_t SIM_NO_TICK = 2147483647;   // no frame since the last (re)start
constexpr int SIM_WAIT_MS = 16;               // event wait and attach retry
constexpr int32_t SIM_STALE_MS = 30000;       // no frame this long: simulator lost
constexpr int SIM_COPY_TRIES = 2;

extern int32_t sim_last_tick;
// The platform timer when the last frame was taken, and whether one was
// taken since the simulator was last lost (without one every pass that
// takes no frame finds the simulator lost).
extern uint32_t sim_last_valid_time;
extern uint8_t sim_have_valid_time;
extern std::atomic<uint8_t> sim_connected;   // read by the status display

// Opens whatever of mapping, view and event is still missing; true when all
// three are open. Each step that opens something resets sim_last_tick.
bool Sim_Startup();

// True when a frame newer than the last one taken was taken: copied into
// `dest` (exactly `dest_len` bytes, which must equal the frame length), or
// only noted when `dest` is nullptr. Never reads outside the view.
bool Sim_GetNewData(uint8_t* dest, int32_t dest_len);

// One pass of the live loop: attach (following names that now name new
// objects), take a frame (waiting up to 16 ms on the event), run Tel_Update
// or Tel_SetupVars, or decide the simulator is lost. It is lost at once, and
// the tick resynchronises, while the status bit is clear, the object behind
// the view is shorter than the view, or the header points outside the view
// (read every pass; the variable table at set-up); and after 30 s of the
// platform timer without a frame.
void Tel_LivePass();

// The telemetry thread: in test mode a test-pattern step every 1 ms,
// otherwise Tel_LivePass for ever. Never returns.
[[noreturn]] void Tel_Thread();

// Forgets the attachment and the frame buffer and restores the platform
// operations (tests; the real thread never detaches).
void Sim_Reset();
