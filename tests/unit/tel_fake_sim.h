// tests/unit/tel_fake_sim.h: a simulator mapping built in memory.
//
// Lays out a byte buffer as the simulator does (header, buffer table,
// variable headers, session-info text, frame buffers) with its own offsets,
// written independently of the server's reading code, and routes the
// connection's platform operations to it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telemetry/channels.h"
#include "telemetry/session_info.h"
#include "telemetry/sim_connection.h"
#include "telemetry/snapshot.h"

namespace fake {

// Where the fake puts things.
constexpr int VAR_TABLE = 512;
constexpr int SESSION_TEXT = 4096;
constexpr int FRAMES = 16384;
constexpr int FRAME_LEN = 64;
constexpr int VIEW_SIZE = 32768;

// Frame layout of the thirteen variables.
constexpr int OFF_IS_ON_TRACK = 0;  // one byte
constexpr int OFF_THROTTLE = 4;
constexpr int OFF_BRAKE = 8;
constexpr int OFF_ENGINE_WARNINGS = 12;
constexpr int OFF_SESSION_FLAGS = 16;
constexpr int OFF_RPM = 20;
constexpr int OFF_SHIFT = 24;
constexpr int OFF_GEAR = 28;
constexpr int OFF_SPEED = 32;
constexpr int OFF_LAP = 36;
constexpr int OFF_FUEL = 40;
constexpr int OFF_WATER = 44;
constexpr int OFF_OIL = 48;

struct Var {
    const char* name;
    int offset;
};

inline const std::vector<Var>& StandardVars() {
    static const std::vector<Var> vars = {
        {"Speed", OFF_SPEED},         {"IsOnTrack", OFF_IS_ON_TRACK},
        {"Throttle", OFF_THROTTLE},   {"Brake", OFF_BRAKE},
        {"EngineWarnings", OFF_ENGINE_WARNINGS}, {"SessionFlags", OFF_SESSION_FLAGS},
        {"RPM", OFF_RPM},             {"ShiftIndicatorPct", OFF_SHIFT},
        {"Gear", OFF_GEAR},           {"Lap", OFF_LAP},
        {"FuelLevel", OFF_FUEL},      {"WaterTemp", OFF_WATER},
        {"OilTemp", OFF_OIL},
    };
    return vars;
}

inline std::vector<uint8_t> mem;
inline int64_t now_seconds = 1000;
inline int waits = 0;
inline int sleeps = 0;
inline bool mapping_exists = true;
inline bool event_exists = true;
// Called from the event wait: the "simulator" may write a frame then.
inline void (*on_wait)() = nullptr;
// Called on each read of the view, before the bytes are copied.
inline void (*on_read)(const uint8_t* src, size_t len) = nullptr;

inline void PutInt(size_t at, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; i++) mem.at(at + i) = static_cast<uint8_t>(u >> (8 * i));
}
inline void PutFloat(size_t at, float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    PutInt(at, static_cast<int32_t>(u));
}

inline void SetStatus(int32_t v) { PutInt(4, v); }
inline void SetBufferCount(int32_t v) { PutInt(32, v); }
inline void SetFrameLength(int32_t v) { PutInt(36, v); }
inline void SetTick(int buf, int32_t tick) { PutInt(48 + 16 * buf, tick); }
inline void SetFrameOffset(int buf, int32_t off) { PutInt(48 + 16 * buf + 4, off); }
inline size_t FrameAt(int buf) { return FRAMES + static_cast<size_t>(buf) * 1024; }

inline void SetSessionText(const std::string& text) {
    PutInt(20, SESSION_TEXT);
    std::memcpy(&mem.at(SESSION_TEXT), text.c_str(), text.size() + 1);
}

inline void SetVars(const std::vector<Var>& vars) {
    PutInt(24, static_cast<int32_t>(vars.size()));
    PutInt(28, VAR_TABLE);
    for (size_t i = 0; i < vars.size(); i++) {
        size_t entry = VAR_TABLE + i * 144;
        PutInt(entry + 4, vars[i].offset);
        std::memset(&mem.at(entry + 16), 0, 32);
        std::strncpy(reinterpret_cast<char*>(&mem.at(entry + 16)), vars[i].name, 32);
    }
}

// Values of one frame; written into buffer `buf` with its tick count.
struct Frame {
    uint8_t on_track = 1;
    float throttle = 0.0f, brake = 0.0f, rpm = 0.0f, shift = 0.0f, speed = 0.0f;
    int32_t warnings = 0, flags = 0, gear = 0, lap = 0;
    float fuel = 0.0f, water = 0.0f, oil = 0.0f;
};

inline void WriteFrame(int buf, int32_t tick, const Frame& f) {
    size_t at = FrameAt(buf);
    mem.at(at + OFF_IS_ON_TRACK) = f.on_track;
    PutFloat(at + OFF_THROTTLE, f.throttle);
    PutFloat(at + OFF_BRAKE, f.brake);
    PutInt(at + OFF_ENGINE_WARNINGS, f.warnings);
    PutInt(at + OFF_SESSION_FLAGS, f.flags);
    PutFloat(at + OFF_RPM, f.rpm);
    PutFloat(at + OFF_SHIFT, f.shift);
    PutInt(at + OFF_GEAR, f.gear);
    PutFloat(at + OFF_SPEED, f.speed);
    PutInt(at + OFF_LAP, f.lap);
    PutFloat(at + OFF_FUEL, f.fuel);
    PutFloat(at + OFF_WATER, f.water);
    PutFloat(at + OFF_OIL, f.oil);
    SetTick(buf, tick);
}

inline ShmHandle OpenMapping(const char*) { return mapping_exists ? 11 : SHM_NONE; }
inline const uint8_t* MapView(ShmHandle, size_t* size) {
    *size = mem.size();
    return mem.data();
}
inline ShmHandle OpenEvent(const char*) { return event_exists ? 12 : SHM_NONE; }
inline void WaitEvent(ShmHandle, int) {
    waits++;
    if (on_wait != nullptr) on_wait();
}
inline int64_t WallSeconds() { return now_seconds; }
inline void Sleep(int) { sleeps++; }
inline void Read(void* dst, const uint8_t* src, size_t len) {
    if (on_read != nullptr) on_read(src, len);
    std::memcpy(dst, src, len);
}

// A connected simulator with `buffers` frame buffers (all tick 0), the
// thirteen variables and an empty session text; everything else reset.
inline void Install(int buffers = 3, size_t view_size = VIEW_SIZE) {
    Sim_Reset();
    Tel_ResetChannels();
    Tel_ResetSessionInfo();
    Snap_Reset();
    mem.assign(view_size, 0);
    now_seconds = 1000;
    waits = 0;
    sleeps = 0;
    mapping_exists = true;
    event_exists = true;
    on_wait = nullptr;
    on_read = nullptr;
    sim_platform = SimPlatform{OpenMapping, MapView, OpenEvent, WaitEvent, WallSeconds, Sleep, Read};
    if (view_size < static_cast<size_t>(FRAMES + 4 * 1024)) return;
    SetStatus(1);
    SetBufferCount(buffers);
    SetFrameLength(FRAME_LEN);
    for (int b = 0; b < buffers; b++) SetFrameOffset(b, static_cast<int32_t>(FrameAt(b)));
    SetVars(StandardVars());
    SetSessionText("");
}

}  // namespace fake
