// telemetry/sim_view.cpp: the mapping's globals and bounded reads.
#include "telemetry/sim_view.h"

#include <atomic>
#include <cstring>

#include "platform/sys.h"
#include "telemetry/sim_layout.h"

static void Sim_PlatformSleep(int ms) { Sys_SleepMilliseconds(ms); }

static void Sim_PlatformRead(void* dst, const uint8_t* src, size_t len) {
    // The simulator writes this memory while we read it: keep the compiler
    // from merging or moving reads of it across the copy.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::memcpy(dst, src, len);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

static constexpr SimPlatform SIM_PLATFORM_DEFAULT = {
    Shm_OpenMapping, Shm_MapView, Shm_OpenEvent, Shm_WaitEvent, Sys_PlatformTimer,
    Sim_PlatformSleep, Sim_PlatformRead, Shm_ViewIntact, Shm_FollowName,
};
SimPlatform sim_platform = SIM_PLATFORM_DEFAULT;

ShmHandle sim_mapping = SHM_NONE;
const uint8_t* sim_view = nullptr;
size_t sim_view_size = 0;
ShmHandle sim_data_event = SHM_NONE;
uint8_t sim_initialized = 0;
uint8_t sim_view_intact = 1;

bool Sim_CheckViewIntact() {
    sim_view_intact = sim_view != nullptr && sim_platform.view_intact(sim_mapping, sim_view_size);
    return sim_view_intact != 0;
}

bool Sim_FollowNames() {
    if (sim_view == nullptr) return false;
    return sim_platform.follow_name(SIM_MAPPING_NAME, SIM_EVENT_NAME, &sim_mapping, &sim_view,
                                    &sim_view_size, &sim_data_event);
}

bool Sim_CopyFromView(void* dst, int64_t offset, int64_t len) {
    if (sim_view == nullptr || sim_view_intact == 0 || offset < 0 || len < 0) return false;
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

bool Sim_StatusSet() {
    int32_t status = 0;
    return Sim_ReadInt(SIM_HDR_STATUS, &status) && (status & SIM_STATUS_CONNECTED) != 0;
}

int32_t Sim_BufferCount() {
    int32_t count = 0;
    if (!Sim_ReadInt(SIM_HDR_BUFFER_COUNT, &count) || count <= 0 || count > SIM_MAX_BUFFERS) {
        return 0;
    }
    int64_t table_end = SIM_HDR_BUFFER_TABLE + static_cast<int64_t>(count) * SIM_BUFFER_ENTRY_SIZE;
    if (table_end > static_cast<int64_t>(sim_view_size)) return 0;
    return count;
}

int64_t Sim_BufferEntry(int32_t index) {
    return SIM_HDR_BUFFER_TABLE + static_cast<int64_t>(index) * SIM_BUFFER_ENTRY_SIZE;
}

bool Sim_SessionInfoSpan(int64_t* offset, int64_t* len) {
    int32_t at = 0;
    if (sim_view == nullptr || sim_view_intact == 0 ||
        !Sim_ReadInt(SIM_HDR_SESSION_INFO_OFFSET, &at) || at < 0 ||
        static_cast<size_t>(at) >= sim_view_size) {
        return false;
    }
    const void* end = std::memchr(sim_view + at, 0, sim_view_size - static_cast<size_t>(at));
    if (end == nullptr) return false;
    *offset = at;
    *len = static_cast<const uint8_t*>(end) - (sim_view + at);
    return true;
}

int32_t Sim_UsableFrameLength() {
    int32_t count = Sim_BufferCount();
    if (!Sim_StatusSet() || count == 0) return -1;
    int32_t len = 0;
    if (!Sim_ReadInt(SIM_HDR_FRAME_LENGTH, &len) || len <= 0) return -1;
    const int64_t size = static_cast<int64_t>(sim_view_size);
    for (int32_t i = 0; i < count; i++) {
        int32_t offset = 0;
        if (!Sim_ReadInt(Sim_BufferEntry(i) + SIM_BUFFER_FRAME_OFFSET, &offset) || offset < 0 ||
            static_cast<int64_t>(offset) + len > size) {
            return -1;
        }
    }
    int64_t text_at = 0;
    int64_t text_len = 0;
    if (!Sim_SessionInfoSpan(&text_at, &text_len)) return -1;
    return len;
}

bool Sim_VarTableInView() {
    int32_t count = 0;
    int32_t table = 0;
    if (!Sim_ReadInt(SIM_HDR_VAR_COUNT, &count) || !Sim_ReadInt(SIM_HDR_VAR_HEADER_OFFSET, &table)) {
        return false;
    }
    if (count < 0 || table < 0) return false;
    int64_t end = static_cast<int64_t>(table) + static_cast<int64_t>(count) * SIM_VAR_HEADER_SIZE;
    return end <= static_cast<int64_t>(sim_view_size);
}

void Sim_ResetView() {
    sim_platform = SIM_PLATFORM_DEFAULT;
    sim_mapping = SHM_NONE;
    sim_view = nullptr;
    sim_view_size = 0;
    sim_data_event = SHM_NONE;
    sim_initialized = 0;
    sim_view_intact = 1;
}
