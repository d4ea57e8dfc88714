// telemetry/sim_connection.cpp: the simulator's mapping, frame taking and
// the telemetry thread's loops.
#include "telemetry/sim_connection.h"

#include <atomic>

#include "shell/sys.h"
#include "platform/sys.h"
#include "telemetry/channels.h"
#include "telemetry/sim_layout.h"
#include "telemetry/snapshot.h"
#include "telemetry/test_pattern.h"

int32_t sim_last_tick = SIM_NO_TICK;
uint32_t sim_last_valid_time = 0;
uint8_t sim_have_valid_time = 0;
std::atomic<uint8_t> sim_connected{0};

bool Sim_Startup() {
    if (sim_mapping == SHM_NONE) {
        sim_mapping = sim_platform.open_mapping(SIM_MAPPING_NAME);
        sim_last_tick = SIM_NO_TICK;
        if (sim_mapping == SHM_NONE) {
            sim_initialized = 0;
            return false;
        }
    }
    if (sim_view == nullptr) {
        size_t size = 0;
        sim_view = sim_platform.map_view(sim_mapping, &size);
        sim_view_size = sim_view != nullptr ? size : 0;
        sim_last_tick = SIM_NO_TICK;
        if (sim_view == nullptr) {
            sim_initialized = 0;
            return false;
        }
    }
    if (sim_data_event == SHM_NONE) {
        sim_data_event = sim_platform.open_event(SIM_EVENT_NAME);
        sim_last_tick = SIM_NO_TICK;
        if (sim_data_event == SHM_NONE) {
            sim_initialized = 0;
            return false;
        }
    }
    sim_initialized = 1;
    return true;
}

// Copies the frame of buffer `index` into `dest` when its offset and the
// frame length (both read afresh) put it inside the view and the length is
// `dest_len`; with no destination only checks that.
static bool Sim_CopyFrame(int32_t index, uint8_t* dest, int32_t dest_len) {
    int32_t len = 0;
    int32_t offset = 0;
    if (!Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) || len <= 0) return false;
    if (!Sim_ReadInt(Sim_BufferEntry(index) + SIM_BUFFER_FRAME_OFFSET, &offset)) return false;
    if (dest == nullptr) {
        int64_t size = static_cast<int64_t>(sim_view_size);
        return offset >= 0 && offset <= size && len <= size - offset;
    }
    if (len != dest_len) return false;
    return Sim_CopyFromView(dest, offset, len);
}

bool Sim_GetNewData(uint8_t* dest, int32_t dest_len) {
    if (sim_initialized == 0 && !Sim_Startup()) return false;
    Sim_CheckViewIntact();
    // Status bit clear, or a header that points outside the view: no usable
    // data; the tick resynchronises once it is sound again.
    if (Sim_UsableFrameLength() < 0) {
        sim_last_tick = SIM_NO_TICK;
        return false;
    }
    int32_t count = Sim_BufferCount();

    int32_t chosen = 0;
    int32_t newest = 0;
    Sim_ReadInt(Sim_BufferEntry(0) + SIM_BUFFER_TICK, &newest);
    for (int32_t i = 1; i < count; i++) {
        int32_t tick = 0;
        Sim_ReadInt(Sim_BufferEntry(i) + SIM_BUFFER_TICK, &tick);
        if (tick > newest) {
            chosen = i;
            newest = tick;
        }
    }

    if (sim_last_tick < newest) {
        int64_t tick_at = Sim_BufferEntry(chosen) + SIM_BUFFER_TICK;
        if (dest != nullptr) {
            bool taken = false;
            for (int attempt = 0; attempt < SIM_COPY_TRIES && !taken; attempt++) {
                int32_t before = 0;
                int32_t after = 0;
                Sim_ReadInt(tick_at, &before);
                if (!Sim_CopyFrame(chosen, dest, dest_len)) return false;
                Sim_ReadInt(tick_at, &after);
                // A tick that held still but is not newer than the last frame
                // taken marks a buffer that is being rewritten (the simulator
                // lowers the tick first): that copy is torn as well.
                if (before == after && after > sim_last_tick) {
                    sim_last_tick = after;
                    taken = true;
                }
            }
            if (!taken) return false;
        } else {
            if (!Sim_CopyFrame(chosen, nullptr, 0)) return false;
            sim_last_tick = newest;
        }
        sim_last_valid_time = sim_platform.timer_ms();
        sim_have_valid_time = 1;
        return true;
    }
    if (sim_last_tick > newest) {
        // The tick count went back (simulator restarted) or nothing was taken
        // since the last (re)start: resynchronise, take from the next tick.
        sim_last_tick = newest;
    }
    return false;
}

// The frame buffer to copy into, or nullptr when it is missing or no longer
// matches the header's frame length (the frame is then only noted and the
// pass sets up anew).
static uint8_t* Tel_FrameDestination() {
    if (!Sim_CheckViewIntact() || tel_frame == nullptr) return nullptr;
    int32_t len = 0;
    if (!Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) || len != tel_frame_len) return nullptr;
    return tel_frame;
}

// The simulator counts as lost: no data on the wire and no frame buffer (the
// next frame taken sets up anew).
static void Tel_MarkLost() {
    sim_connected.store(0, std::memory_order_relaxed);
    sim_have_valid_time = 0;
    Snap_MarkOffTrack();
    Tel_FreeFrame();
}

void Tel_LivePass() {
    bool taken = false;
    if (sim_initialized == 0 && !Sim_Startup()) {
        sim_platform.sleep_ms(SIM_WAIT_MS);
    } else {
        if (Sim_FollowNames()) {
            // A new simulator behind the same names: set up afresh, from its
            // second frame on.
            sim_last_tick = SIM_NO_TICK;
            Tel_FreeFrame();
        }
        taken = Sim_GetNewData(Tel_FrameDestination(), tel_frame_len);
        if (!taken) {
            sim_platform.wait_event(sim_data_event, SIM_WAIT_MS);
            taken = Sim_GetNewData(Tel_FrameDestination(), tel_frame_len);
        }
    }

    if (!taken) {
        // Measured on the platform timer, which a change of the wall clock
        // does not move; through a signed difference, as it wraps. A header
        // that points outside the view makes the simulator lost at once.
        bool fresh = sim_initialized == 1 && Sim_CheckViewIntact() && Sim_UsableFrameLength() > 0 &&
                     sim_have_valid_time != 0 &&
                     Sys_Elapsed(sim_platform.timer_ms(), sim_last_valid_time) < SIM_STALE_MS;
        if (!fresh) Tel_MarkLost();
        return;
    }

    int32_t len = 0;
    if (tel_frame != nullptr && Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) && len == tel_frame_len) {
        sim_connected.store(1, std::memory_order_relaxed);
        Tel_Update();
    } else if (Tel_SetupVars()) {
        sim_connected.store(1, std::memory_order_relaxed);
    } else {
        Tel_MarkLost();
        sim_last_tick = SIM_NO_TICK;
    }
}

void Tel_Thread() {
    if (test_mode) {
        for (;;) {
            Sys_SleepMilliseconds(1);
            Tel_TestPattern();
        }
    }
    for (;;) {
        Tel_LivePass();
    }
}

void Sim_Reset() {
    Tel_FreeFrame();
    Sim_ResetView();
    sim_last_tick = SIM_NO_TICK;
    sim_last_valid_time = 0;
    sim_have_valid_time = 0;
    sim_connected.store(0);
}
