// tests/unit/tel_fake_sim.h: a simulator mapping built in memory, laid out
// with its own offsets (header, buffer table, variable headers, session
// text, frames), and the connection's platform operations routed to it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "telemetry/channels.h"
#include "telemetry/session_info.h"
#include "telemetry/sim_connection.h"

namespace fake {

constexpr int VAR_TABLE = 512, SESSION_TEXT = 4096, FRAMES = 16384, FRAME_LEN = 64;
constexpr int VIEW_SIZE = 32768;
// Frame layout: IsOnTrack is one byte at 0, the others four bytes each.
enum { ON = 0, THROTTLE = 4, BRAKE = 8, WARN = 12, FLAGS = 16, RPM = 20, SHIFT = 24,
       GEAR = 28, SPEED = 32, LAP = 36, FUEL = 40, WATER = 44, OIL = 48 };

struct Var { const char* name; int offset; };
inline std::vector<Var> StandardVars() {
    return {{"Speed", SPEED}, {"IsOnTrack", ON}, {"Throttle", THROTTLE}, {"Brake", BRAKE},
            {"EngineWarnings", WARN}, {"SessionFlags", FLAGS}, {"RPM", RPM},
            {"ShiftIndicatorPct", SHIFT}, {"Gear", GEAR}, {"Lap", LAP}, {"FuelLevel", FUEL},
            {"WaterTemp", WATER}, {"OilTemp", OIL}};
}

inline std::vector<uint8_t> mem;
inline uint32_t now_ms = 1000000;
inline int waits = 0, sleeps = 0;
inline bool mapping_exists = true, event_exists = true;
inline size_t object_size = 0;             // the object behind the view (truncation)
inline std::vector<uint8_t> renamed;       // a new object behind the names, when not empty
inline int follows = 0;
inline void (*on_wait)() = nullptr;                              // simulator acts during the wait
inline void (*on_read)(const uint8_t* src, size_t len) = nullptr; // ... or during a read

inline void PutInt(size_t at, int32_t v) {
    for (int i = 0; i < 4; i++) mem.at(at + i) = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}
inline void PutFloat(size_t at, float v) {
    int32_t i;
    std::memcpy(&i, &v, 4);
    PutInt(at, i);
}
inline size_t FrameAt(int buf) { return FRAMES + static_cast<size_t>(buf) * 1024; }
inline void SetStatus(int32_t v) { PutInt(4, v); }
inline void SetBufferCount(int32_t v) { PutInt(32, v); }
inline void SetFrameLength(int32_t v) { PutInt(36, v); }
inline void SetTick(int buf, int32_t tick) { PutInt(48 + 16 * buf, tick); }
inline void SetFrameOffset(int buf, int32_t off) { PutInt(48 + 16 * buf + 4, off); }
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

struct Frame {
    uint8_t on_track = 1;
    float throttle = 0, brake = 0, rpm = 0, shift = 0, speed = 0, fuel = 0, water = 0, oil = 0;
    int32_t warnings = 0, flags = 0, gear = 0, lap = 0;
};
inline void WriteFrame(int buf, int32_t tick, const Frame& f) {
    size_t at = FrameAt(buf);
    mem.at(at + ON) = f.on_track;
    const std::pair<int, float> floats[] = {{THROTTLE, f.throttle}, {BRAKE, f.brake}, {RPM, f.rpm},
        {SHIFT, f.shift}, {SPEED, f.speed}, {FUEL, f.fuel}, {WATER, f.water}, {OIL, f.oil}};
    for (auto [off, v] : floats) PutFloat(at + off, v);
    const std::pair<int, int32_t> ints[] = {{WARN, f.warnings}, {FLAGS, f.flags}, {GEAR, f.gear},
                                            {LAP, f.lap}};
    for (auto [off, v] : ints) PutInt(at + off, v);
    SetTick(buf, tick);
}
inline Frame WithRpm(float rpm) {
    Frame f;
    f.rpm = rpm;
    return f;
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
inline uint32_t TimerMs() { return now_ms; }
inline void Sleep(int) { sleeps++; }
inline bool Intact(ShmHandle, size_t view_size) { return object_size >= view_size; }
// The simulator removed its names and created them anew: the new object's
// bytes take the place of the old ones (a view at another address).
inline bool FollowName(const char*, const char*, ShmHandle* mapping, const uint8_t** view,
                       size_t* size, ShmHandle* event) {
    if (renamed.empty()) return false;
    follows++;
    mem.swap(renamed);
    renamed.clear();
    object_size = mem.size();
    *mapping = 21;
    *event = 22;
    *view = mem.data();
    *size = mem.size();
    return true;
}
inline void Read(void* dst, const uint8_t* src, size_t len) {
    if (on_read != nullptr) on_read(src, len);
    std::memcpy(dst, src, len);
}

// A running simulator with `buffers` frame buffers (tick 0), the thirteen
// variables and an empty session text; all telemetry state reset. A view too
// small for that stays all zero.
inline void Install(int buffers = 3, size_t view_size = VIEW_SIZE) {
    Sim_Reset();
    Tel_ResetChannels();
    Tel_ResetSessionInfo();
    Snap_Reset();
    mem.assign(view_size, 0);
    object_size = view_size;
    renamed.clear();
    follows = 0;
    now_ms = 1000000;
    waits = sleeps = 0;
    mapping_exists = event_exists = true;
    on_wait = nullptr;
    on_read = nullptr;
    sim_platform = SimPlatform{OpenMapping, MapView, OpenEvent, WaitEvent, TimerMs, Sleep, Read,
                              Intact, FollowName};
    if (view_size < static_cast<size_t>(VIEW_SIZE)) return;
    SetStatus(1);
    SetBufferCount(buffers);
    SetFrameLength(FRAME_LEN);
    for (int b = 0; b < buffers; b++) SetFrameOffset(b, static_cast<int32_t>(FrameAt(b)));
    SetVars(StandardVars());
    SetSessionText("");
}

}  // namespace fake
