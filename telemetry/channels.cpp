// telemetry/channels.cpp: variable lookup, per-frame reduction, lap
// completion and the fuel-laps estimator.
#include "telemetry/channels.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "shell/log.h"
#include "telemetry/session_info.h"
#include "telemetry/sim_layout.h"
#include "telemetry/sim_view.h"

const std::array<const char*, TEL_VAR_COUNT> tel_var_names = {
    "Gear", "RPM", "Throttle", "Brake", "ShiftIndicatorPct", "Speed", "EngineWarnings",
    "Lap", "WaterTemp", "OilTemp", "FuelLevel", "IsOnTrack", "SessionFlags",
};
std::array<int32_t, TEL_VAR_COUNT> tel_var_offsets = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};

uint8_t* tel_frame = nullptr;
int32_t tel_frame_len = 0;

int32_t session_countdown = 0;
uint8_t was_on_track = 0;
float fuel_at_lap_start = -1.0f;
float fuel_per_lap = -1.0f;
uint8_t fuel_rose_this_lap = 0;

// Reserved once at the size of the view (only the pages written become
// resident), so a longer text never moves it to a new block.
static std::vector<char> tel_session_copy;

int32_t Sim_VarOffset(const char* name) {
    if (name == nullptr || sim_initialized != 1) return -1;
    int32_t count = 0;
    if (!Sim_ReadInt(SIM_HDR_VAR_COUNT, &count) || count <= 0) return -1;
    for (int32_t i = 0;; i++) {
        if (!Sim_ReadInt(SIM_HDR_VAR_COUNT, &count) || i >= count) break;
        int32_t table = 0;
        if (!Sim_ReadInt(SIM_HDR_VAR_HEADER_OFFSET, &table) || table < 0) break;
        int64_t entry = static_cast<int64_t>(table) + static_cast<int64_t>(i) * SIM_VAR_HEADER_SIZE;
        char entry_name[SIM_VAR_NAME_SIZE + 1];
        int32_t value_offset = -1;
        // A whole entry must lie inside the view; the first one that does
        // not ends the search.
        if (entry + SIM_VAR_HEADER_SIZE > static_cast<int64_t>(sim_view_size)) break;
        if (!Sim_CopyFromView(entry_name, entry + SIM_VAR_NAME, SIM_VAR_NAME_SIZE)) break;
        entry_name[SIM_VAR_NAME_SIZE] = 0;
        if (std::strncmp(name, entry_name, SIM_VAR_NAME_SIZE) == 0) {
            if (!Sim_ReadInt(entry + SIM_VAR_VALUE_OFFSET, &value_offset)) break;
            return value_offset;
        }
    }
    return -1;
}

void Tel_FreeFrame() {
    delete[] tel_frame;
    tel_frame = nullptr;
    tel_frame_len = 0;
}

bool Tel_SetupVars() {
    Tel_FreeFrame();
    int32_t len = Sim_UsableFrameLength();
    if (len <= 0 || !Sim_VarTableInView()) return false;
    tel_frame = new (std::nothrow) uint8_t[static_cast<size_t>(len)];
    if (tel_frame == nullptr) Sys_Error("Out of memory for a telemetry frame of %i bytes", len);
    std::memset(tel_frame, 0, static_cast<size_t>(len));
    tel_frame_len = len;
    for (int v = 0; v < TEL_VAR_COUNT; v++) {
        tel_var_offsets[v] = Sim_VarOffset(tel_var_names[v]);
    }
    return true;
}

// Copies `size` bytes of variable `var` out of the frame copy; false (and
// nothing copied) when it is absent or does not lie wholly inside the frame.
static bool Tel_ReadVar(int var, void* out, int32_t size) {
    int32_t offset = tel_var_offsets[var];
    if (tel_frame == nullptr || offset < 0 || offset > tel_frame_len - size) return false;
    std::memcpy(out, tel_frame + offset, static_cast<size_t>(size));
    return true;
}

static float Tel_Float(int var) {
    float v = 0.0f;
    return Tel_ReadVar(var, &v, sizeof v) ? v : 0.0f;
}

static int32_t Tel_Int(int var) {
    int32_t v = 0;
    return Tel_ReadVar(var, &v, sizeof v) ? v : 0;
}

int16_t Tel_RpmToInt16(float rpm) {
    // Beyond 2^40 every float is a multiple of 65536, so its low 16 bits are
    // 0; the range test keeps the conversion defined.
    if (!std::isfinite(rpm) || std::fabs(rpm) >= 1099511627776.0f) return 0;
    int64_t whole = static_cast<int64_t>(rpm);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(whole)));
}

const char* Tel_SessionInfoText() {
    int64_t offset = 0;
    int64_t span = 0;
    if (!Sim_SessionInfoSpan(&offset, &span)) return "";
    size_t len = static_cast<size_t>(span);
    if (tel_session_copy.capacity() < sim_view_size + 1) tel_session_copy.reserve(sim_view_size + 1);
    if (tel_session_copy.size() < len + 1) tel_session_copy.resize(len + 1);
    // The simulator may rewrite the text meanwhile; the copy is bounded by
    // the length found and terminated here, so the scan stays inside it.
    Sim_CopyFromView(tel_session_copy.data(), offset, static_cast<int64_t>(len));
    tel_session_copy[len] = 0;
    return tel_session_copy.data();
}

void Tel_UpdateFuel(TelemetrySnapshot& working, float published_fuel, bool lap_completed) {
    float fuel = working.fuel_level;
    bool rose = fuel > published_fuel;
    if (!rose && was_on_track == 0) {
        // First on-track frame since the start or an off-track frame.
        fuel_at_lap_start = -1.0f;
        fuel_per_lap = -1.0f;
        fuel_rose_this_lap = 0;
        return;
    }
    if (rose) fuel_rose_this_lap = 1;
    if (!lap_completed) return;
    if (fuel_rose_this_lap != 0) {
        // Refuelled during this lap (fully or partly): what it used cannot be
        // told, so the new level only starts the next lap; the consumption
        // per lap and the estimate stay.
        fuel_rose_this_lap = 0;
        fuel_at_lap_start = fuel;
        return;
    }
    if (fuel_at_lap_start <= 0.0f) {
        fuel_at_lap_start = fuel;
        return;
    }
    float used = fuel_at_lap_start - fuel;
    float laps;
    if ((working.session_flags & TEL_FLAG_FUEL_HOLD) != 0) {
        laps = fuel / fuel_per_lap;
    } else {
        bool outlier = used > 1.1 * fuel_per_lap || used < 0.9 * fuel_per_lap;
        if (fuel_per_lap <= 0.0f) {
            fuel_per_lap = used;
        } else {
            fuel_per_lap = 0.8f * fuel_per_lap + 0.2f * used;
        }
        laps = outlier ? fuel / used : fuel / fuel_per_lap;
    }
    working.fuel_laps = (1.0f < laps && laps < 2.0f) ? 1.0f : laps;
    fuel_at_lap_start = fuel;
}

void Tel_Update() {
    Tel_ClearSessionInfo();
    if (sim_view == nullptr || tel_frame == nullptr) return;

    if (tel_var_offsets[TEL_VAR_IS_ON_TRACK] >= 0) {
        uint8_t on_track = 0;
        Tel_ReadVar(TEL_VAR_IS_ON_TRACK, &on_track, 1);
        if (on_track == 0) {
            was_on_track = 0;
            Snap_MarkOffTrack();
            session_countdown = 0;
            return;
        }
        Snap_MarkOnTrack();
    }

    int32_t gear = Tel_Int(TEL_VAR_GEAR);
    float rpm = Tel_Float(TEL_VAR_RPM);
    float throttle = Tel_Float(TEL_VAR_THROTTLE);
    float brake = Tel_Float(TEL_VAR_BRAKE);
    float shift = Tel_Float(TEL_VAR_SHIFT_INDICATOR_PCT);
    float speed = Tel_Float(TEL_VAR_SPEED);
    int32_t warnings = Tel_Int(TEL_VAR_ENGINE_WARNINGS);
    int32_t lap = Tel_Int(TEL_VAR_LAP);
    float water = Tel_Float(TEL_VAR_WATER_TEMP);
    float oil = Tel_Float(TEL_VAR_OIL_TEMP);
    float fuel = Tel_Float(TEL_VAR_FUEL_LEVEL);
    int32_t flags = Tel_Int(TEL_VAR_SESSION_FLAGS);

    live_working.fuel_level = fuel;
    live_working.lap = static_cast<int16_t>(lap);

    session_countdown--;
    if (session_countdown <= 0) {
        Tel_ParseSessionInfo(Tel_SessionInfoText());
        session_countdown = TEL_SESSION_INTERVAL;
        Tel_StoreSessionInfo(live_working);
        live_working.water_temp = water;
        live_working.oil_temp = oil;
        live_working.session_refreshed = 1;
    }

    live_working.gear = static_cast<int16_t>(gear);
    live_working.speed = speed;
    live_working.shift_indicator_pct = shift;
    live_working.rpm = Tel_RpmToInt16(rpm);
    live_working.throttle = throttle;
    live_working.engine_warnings = static_cast<uint8_t>(warnings);
    live_working.brake = brake;
    live_working.session_flags = static_cast<uint8_t>(flags);

    // Only this thread writes lap and fuel_level of live_snapshot, so they
    // are read here without the lock.
    bool lap_completed = static_cast<int32_t>(live_working.lap) ==
                         static_cast<int32_t>(live_snapshot.lap) + 1;
    Tel_UpdateFuel(live_working, live_snapshot.fuel_level, lap_completed);

    was_on_track = 1;
    Snap_Publish(live_working, live_snapshot);
}

void Tel_ResetChannels() {
    tel_var_offsets.fill(-1);
    session_countdown = 0;
    was_on_track = 0;
    fuel_at_lap_start = -1.0f;
    fuel_per_lap = -1.0f;
    fuel_rose_this_lap = 0;
    tel_session_copy.clear();
}
