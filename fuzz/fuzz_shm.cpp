// fuzz/fuzz_shm.cpp: the shared-memory reader over arbitrary mapping bytes
// and sizes.
//
// The input is the whole mapping: its bytes and its size, held in a buffer
// of exactly that size, so any read outside the view is caught. The
// connection's platform operations (SimPlatform) are pointed at it; nothing
// is opened, nothing sleeps. Twenty passes of the live loop run over it;
// whenever the loop waits for the data-valid event the stand-in simulator
// publishes a new frame by raising the tick of one of the first four
// buffers (those whose entry lies inside the view) above all others, so the
// passes attach, set up, reduce frames and scan the session text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "telemetry/channels.h"
#include "telemetry/session_info.h"
#include "telemetry/sim_connection.h"
#include "telemetry/sim_layout.h"
#include "telemetry/snapshot.h"

namespace {

constexpr int PASSES = 20;
constexpr int TICKED_BUFFERS = 4;

std::vector<uint8_t> view;
int waits;
uint32_t now_ms;

bool EntryInside(int buffer) {
    return SIM_HDR_BUFFER_TABLE + static_cast<size_t>(buffer + 1) * SIM_BUFFER_ENTRY_SIZE <=
           view.size();
}

int32_t GetInt(size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(view[at + i]) << (8 * i);
    return static_cast<int32_t>(v);
}

void PutInt(size_t at, int32_t value) {
    for (int i = 0; i < 4; i++)
        view[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
}

ShmHandle OpenMapping(const char*) { return 11; }
const uint8_t* MapView(ShmHandle, size_t* size) {
    *size = view.size();
    return view.data();
}
ShmHandle OpenEvent(const char*) { return 12; }

void WaitEvent(ShmHandle, int) {
    waits++;
    now_ms += 1000;
    int32_t newest = INT32_MIN;
    for (int b = 0; b < TICKED_BUFFERS && EntryInside(b); b++) {
        int32_t tick = GetInt(SIM_HDR_BUFFER_TABLE + static_cast<size_t>(b) * SIM_BUFFER_ENTRY_SIZE);
        if (tick > newest) newest = tick;
    }
    const int buffer = waits % TICKED_BUFFERS;
    if (newest == INT32_MIN || newest == INT32_MAX || !EntryInside(buffer)) return;
    PutInt(SIM_HDR_BUFFER_TABLE + static_cast<size_t>(buffer) * SIM_BUFFER_ENTRY_SIZE, newest + 1);
}

uint32_t TimerMs() { return now_ms; }
void SleepMs(int) {}
void ReadView(void* dst, const uint8_t* src, size_t len) { std::memcpy(dst, src, len); }
bool ViewIntact(ShmHandle, size_t) { return true; }
bool FollowName(const char*, const char*, ShmHandle*, const uint8_t**, size_t*, ShmHandle*) {
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    view.assign(data, data + size);
    view.shrink_to_fit();
    waits = 0;
    now_ms = 0xFFFF0000u;   // wraps during the passes

    Sim_Reset();
    Tel_ResetChannels();
    Tel_ResetSessionInfo();
    Snap_Reset();
    sim_platform = SimPlatform{OpenMapping, MapView, OpenEvent, WaitEvent, TimerMs, SleepMs,
                               ReadView, ViewIntact, FollowName};

    for (int pass = 0; pass < PASSES; pass++) {
        Tel_LivePass();
        if (tel_frame != nullptr && (tel_frame_len <= 0 ||
                                     static_cast<size_t>(tel_frame_len) > view.size()))
            __builtin_trap();
    }
    // The text the scanner was given is terminated inside its own copy.
    const char* text = Tel_SessionInfoText();
    if (text == nullptr) __builtin_trap();

    // The frame copy and the header reads on their own, with a destination
    // of the header's length and without one.
    int32_t len = Sim_UsableFrameLength();
    if (len > 0) {
        std::vector<uint8_t> dest(static_cast<size_t>(len));
        Sim_GetNewData(dest.data(), len);
        WaitEvent(sim_data_event, 0);
        Sim_GetNewData(nullptr, 0);
    }

    Sim_Reset();
    view.clear();
    return 0;
}
