// telemetry/sim_connection.cpp: the simulator's mapping, frame taking and
// the telemetry thread's loops.
#include "telemetry/sim_connection.h"

#include <atomic>
#include <cstring>

#include "shell/sys.h"
#include "platform/sys.h"
#include "telemetry/channels.h"
#include "telemetry/sim_layout.h"
#include "telemetry/snapshot.h"
#include "telemetry/test_pattern.h"

static void Sim_PlatformSleep(int ms) { Sys_SleepMilliseconds(ms); }

static void Sim_PlatformRead(void* dst, const uint8_t* src, size_t len) {
    // The simulator writes this memory while we read it: keep the compiler
    // from merging or moving reads of it across the copy.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memcpy(dst, src, len);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

static constexpr SimPlatform SIM_PLATFORM_DEFAULT = {
    Shm_OpenMapping, Shm_MapView, Shm_OpenEvent, Shm_WaitEvent, Shm_WallSeconds,
    Sim_PlatformSleep, Sim_PlatformRead,
};
SimPlatform sim_platform = SIM_PLATFORM_DEFAULT;

ShmHandle sim_mapping = SHM_NONE;
const uint8_t* sim_view = nullptr;
size_t sim_view_size = 0;
ShmHandle sim_data_event = SHM_NONE;
uint8_t sim_initialized = 0;
int32_t sim_last_tick = SIM_NO_TICK;
int64_t sim_last_valid_time = 0;
std::atomic<uint8_t> sim_connected{0};
uint8_t* tel_frame = nullptr;
int32_t tel_frame_len = 0;

bool Sim_CopyFromView(void* dst, int64_t offset, int64_t len) {
    if (sim_view == nullptr || offset < 0 || len < 0) return false;
    int64_t size = static_cast<int64_t>(sim_view_size);
    if (offset > size || len > size - offset) return false;
    sim_platform.read_view(dst, sim_view + offset, static_cast<size_t>(len));
    return true;
}

bool Sim_ReadInt(int64_t offset, int32_t* out) {
    uint8_t b[4];
    if (!Sim_CopyFromView(b, offset, 4)) return false;
    uint32_t v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                 static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    *out = static_cast<int32_t>(v);
    return true;
}

static bool Sim_StatusSet() {
    int32_t status = 0;
    return Sim_ReadInt(SIM_HDR_STATUS, &status) && (status & SIM_STATUS_CONNECTED) != 0;
}

// The buffer count when the whole buffer table lies inside the view, else 0.
static int32_t Sim_BufferCount() {
    int32_t count = 0;
    if (!Sim_ReadInt(SIM_HDR_BUFFER_COUNT, &count) || count <= 0) return 0;
    int64_t table_end = SIM_HDR_BUFFER_TABLE + static_cast<int64_t>(count) * SIM_BUFFER_ENTRY_SIZE;
    if (table_end > static_cast<int64_t>(sim_view_size)) return 0;
    return count;
}

static int64_t Sim_BufferEntry(int32_t index) {
    return SIM_HDR_BUFFER_TABLE + static_cast<int64_t>(index) * SIM_BUFFER_ENTRY_SIZE;
}

int32_t Sim_UsableFrameLength() {
    if (!Sim_StatusSet() || Sim_BufferCount() == 0) return -1;
    int32_t len = 0;
    if (!Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) || len <= 0 ||
        static_cast<int64_t>(len) > static_cast<int64_t>(sim_view_size)) {
        return -1;
    }
    return len;
}

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
    int32_t count = Sim_BufferCount();
    if (!Sim_StatusSet() || count == 0) {
        sim_last_tick = SIM_NO_TICK;
        return false;
    }

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
        sim_last_valid_time = sim_platform.wall_seconds();
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
    if (tel_frame == nullptr) return nullptr;
    int32_t len = 0;
    if (!Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) || len != tel_frame_len) return nullptr;
    return tel_frame;
}

void Tel_LivePass() {
    bool taken = false;
    if (sim_initialized == 0 && !Sim_Startup()) {
        sim_platform.sleep_ms(SIM_WAIT_MS);
    } else {
        taken = Sim_GetNewData(Tel_FrameDestination(), tel_frame_len);
        if (!taken) {
            sim_platform.wait_event(sim_data_event, SIM_WAIT_MS);
            taken = Sim_GetNewData(Tel_FrameDestination(), tel_frame_len);
        }
    }

    if (!taken) {
        bool fresh = sim_initialized == 1 && Sim_UsableFrameLength() > 0 &&
                     sim_platform.wall_seconds() - sim_last_valid_time < SIM_STALE_SECONDS;
        if (fresh) return;
        sim_connected.store(0, std::memory_order_relaxed);
        Snap_MarkOffTrack();
        Tel_FreeFrame();
        return;
    }

    sim_connected.store(1, std::memory_order_relaxed);
    int32_t len = 0;
    if (tel_frame != nullptr && Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) && len == tel_frame_len) {
        Tel_Update();
    } else {
        Tel_SetupVars();
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
    sim_platform = SIM_PLATFORM_DEFAULT;
    sim_mapping = SHM_NONE;
    sim_view = nullptr;
    sim_view_size = 0;
    sim_data_event = SHM_NONE;
    sim_initialized = 0;
    sim_last_tick = SIM_NO_TICK;
    sim_last_valid_time = 0;
    sim_connected.store(0);
    tel_frame_len = 0;
}
