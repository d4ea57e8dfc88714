// tools/dash/dash_show.cpp: the live block, the JSON lines and the
// reception statistics of the dashboard client.
#include "tools/dash/dash_show.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// An appender over a caller's buffer: output past the end is cut, and the
// text stays terminated.
struct DashText {
    char* buf;
    int size;
    int len;
};

__attribute__((format(printf, 2, 3))) static void Dash_Append(DashText& t, const char* fmt, ...) {
    if (t.size <= 0 || t.len >= t.size - 1) return;
    va_list args;
    va_start(args, fmt);
    int room = t.size - t.len;
    int n = std::vsnprintf(t.buf + t.len, static_cast<size_t>(room), fmt, args);
    va_end(args);
    if (n < 0) return;
    t.len += std::min(n, room - 1);
}

static DashText Dash_Begin(char* buf, int size) {
    if (size > 0) buf[0] = 0;
    return DashText{buf, size, 0};
}

// The fewest significant digits that read back as the same float.
static void Dash_AppendFloat(DashText& t, float value) {
    if (!std::isfinite(value)) {
        Dash_Append(t, "null");
        return;
    }
    char digits[32];
    for (int precision = 6; precision <= 9; precision++) {
        std::snprintf(digits, sizeof digits, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(digits, nullptr) == value) break;
    }
    Dash_Append(t, "%s", digits);
}

// ---- the view --------------------------------------------------------------

// What the block shows for a value that never came (an en dash, UTF-8).
static const char dash_none[] = "\xE2\x80\x93";

const std::array<const char*, 8> dash_engine_warning_names = {
    "water temperature", "fuel pressure", "oil pressure",    "engine stalled",
    "pit speed limiter", "rev limiter",   "oil temperature", "repairs needed"};
const std::array<const char*, 8> dash_session_flag_names = {
    "checkered", "white", "green", "yellow", "red", "blue", "debris", "crossed"};

void DashView_Reset(DashView& view) {
    view = DashView{};
    view.session_ms = -1.0;
}

void DashView_Apply(DashView& view, uint32_t sequence, double t_ms, const DashUpdate& update) {
    for (int i = 0; i < DF_COUNT; i++) {
        if (!(update.present & (1u << i))) continue;
        view.ivalue[i] = update.ivalue[i];
        view.fvalue[i] = update.fvalue[i];
        view.present |= 1u << i;
    }
    // A body that stopped early says nothing about the car being on track.
    if (update.no_data || update.present != 0) view.no_data = update.no_data;
    view.sequence = sequence;
    view.updates++;
    view.update_ms = t_ms;
    if (update.end_session) {
        view.session_blocks++;
        view.session_ms = t_ms;
    }
    if (update.status != DASH_DECODE_OK) {
        view.decode_errors++;
        Dash_FormatProblem(view.problem, sizeof view.problem, update);
    }
}

static bool Dash_Has(const DashView& v, DashField f) { return (v.present & (1u << f)) != 0; }

static void Dash_AppendInt(DashText& t, const DashView& v, DashField f, const char* fmt) {
    if (Dash_Has(v, f)) Dash_Append(t, fmt, v.ivalue[f]);
    else Dash_Append(t, "%s", dash_none);
}

// The value times `scale` with `decimals` and a unit after a blank.
static void Dash_AppendUnit(DashText& t, const DashView& v, DashField f, double scale, int decimals,
                            const char* unit) {
    if (Dash_Has(v, f))
        Dash_Append(t, "%.*f %s", decimals, static_cast<double>(v.fvalue[f]) * scale, unit);
    else Dash_Append(t, "%s", dash_none);
}

int Dash_FormatLapTime(char* buf, int size, float seconds) {
    DashText t = Dash_Begin(buf, size);
    double s = static_cast<double>(seconds);
    // Beyond a day it is no lap time either.
    if (!std::isfinite(s) || s <= 0.0 || s >= 86400.0) {
        Dash_Append(t, "%s", dash_none);
        return t.len;
    }
    long ms = std::lround(s * 1000.0);
    Dash_Append(t, "%ld:%02ld.%03ld", ms / 60000, ms / 1000 % 60, ms % 1000);
    return t.len;
}

int Dash_FormatBits(char* buf, int size, int value, const std::array<const char*, 8>& names) {
    DashText t = Dash_Begin(buf, size);
    for (int bit = 0; bit < 8; bit++) {
        if (!(value & (1 << bit))) continue;
        Dash_Append(t, "%s%s", t.len > 0 ? ", " : "", names[static_cast<size_t>(bit)]);
    }
    if (t.len == 0) Dash_Append(t, "none");
    return t.len;
}

static void Dash_AppendBits(DashText& t, const DashView& v, DashField f,
                            const std::array<const char*, 8>& names) {
    if (!Dash_Has(v, f)) {
        Dash_Append(t, "%s", dash_none);
        return;
    }
    char text[160];
    Dash_FormatBits(text, sizeof text, v.ivalue[f], names);
    Dash_Append(t, "%s", text);
}

static void Dash_AppendLapTime(DashText& t, const DashView& v, DashField f) {
    char text[32];
    if (Dash_Has(v, f)) Dash_FormatLapTime(text, sizeof text, v.fvalue[f]);
    else std::snprintf(text, sizeof text, "%s", dash_none);
    Dash_Append(t, "%s", text);
}

int Dash_FormatState(char* buf, int size, const DashView& v, const DashLive& live) {
    DashText t = Dash_Begin(buf, size);
    switch (live.state) {
    case DASH_STREAM_CONNECTING: Dash_Append(t, "connecting"); break;
    case DASH_STREAM_LIVE: Dash_Append(t, "live"); break;
    case DASH_STREAM_STALE:
        Dash_Append(t, "no update for %.1f s", std::max(0.0, live.now_ms - v.update_ms) / 1000.0);
        break;
    case DASH_STREAM_RECONNECTING:
        Dash_Append(t, "server lost %.0f s ago, connecting again",
                    std::max(0.0, live.now_ms - live.lost_ms) / 1000.0);
        break;
    }
    return t.len;
}

// Each value line: dimmed while the stream is not live, so old values do
// not pass for current ones.
static void Dash_BeginLine(DashText& t, bool dim) {
    if (dim) Dash_Append(t, "\x1b[2m");
}

static void Dash_EndLine(DashText& t, bool ansi, bool dim) {
    if (dim) Dash_Append(t, "\x1b[0m");
    Dash_Append(t, ansi ? "\x1b[K\n" : "\n");
}

int Dash_FormatBlock(char* buf, int size, const DashView& v, const DashLive& live) {
    DashText t = Dash_Begin(buf, size);
    const bool ansi = live.ansi;
    const bool old = live.state != DASH_STREAM_LIVE && v.updates > 0;
    const bool dim = ansi && old;

    char state[96];
    Dash_FormatState(state, sizeof state, v, live);
    Dash_Append(t, "tarmis_dash  %s  update %u  seq %u  %s", live.server_text, v.updates, v.sequence,
                state);
    if (live.reconnects > 0)
        Dash_Append(t, "  (reconnect%s: %u)", live.reconnects == 1 ? "" : "s", live.reconnects);
    if (old) Dash_Append(t, " (values below are the last received)");
    else if (v.no_data) Dash_Append(t, "  (no data: car not on track)");
    Dash_EndLine(t, ansi, false);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Gear      ");
    if (!Dash_Has(v, DF_GEAR)) Dash_Append(t, "%s", dash_none);
    else if (v.ivalue[DF_GEAR] < 0) Dash_Append(t, "R");
    else if (v.ivalue[DF_GEAR] == 0) Dash_Append(t, "N");
    else Dash_Append(t, "%d", v.ivalue[DF_GEAR]);
    Dash_Append(t, "    RPM ");
    Dash_AppendInt(t, v, DF_RPM, "%d");
    // The simulator gives the speed in metres per second.
    Dash_Append(t, "    Speed ");
    Dash_AppendUnit(t, v, DF_SPEED, 3.6, 0, "km/h");
    Dash_Append(t, "    Shift light ");
    Dash_AppendUnit(t, v, DF_SHIFT_INDICATOR, 100.0, 0, "%");
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Pedals    throttle ");
    Dash_AppendUnit(t, v, DF_THROTTLE, 100.0, 0, "%");
    Dash_Append(t, "    brake ");
    Dash_AppendUnit(t, v, DF_BRAKE, 100.0, 0, "%");
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Warnings  ");
    Dash_AppendBits(t, v, DF_ENGINE_WARNINGS, dash_engine_warning_names);
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Flags     ");
    Dash_AppendBits(t, v, DF_SESSION_FLAGS, dash_session_flag_names);
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Lap       ");
    Dash_AppendInt(t, v, DF_LAP, "%d");
    Dash_Append(t, " of ");
    if (Dash_Has(v, DF_SESSION_LAPS) && v.ivalue[DF_SESSION_LAPS] == -1) Dash_Append(t, "unlimited");
    else Dash_AppendInt(t, v, DF_SESSION_LAPS, "%d");
    Dash_Append(t, "    Position ");
    Dash_AppendInt(t, v, DF_POSITION, "%d");
    Dash_Append(t, " of ");
    Dash_AppendInt(t, v, DF_NUM_POSITIONS, "%d");
    Dash_Append(t, "    Car ");
    Dash_AppendInt(t, v, DF_CAR_ID, "%d");
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Times     fastest ");
    Dash_AppendLapTime(t, v, DF_FASTEST_TIME);
    Dash_Append(t, "    last ");
    Dash_AppendLapTime(t, v, DF_LAST_TIME);
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Fuel      ");
    Dash_AppendUnit(t, v, DF_FUEL_LEVEL, 1.0, 1, "l");
    // The server's estimate is 0 until two laps were completed.
    Dash_Append(t, "    laps of fuel: ");
    if (!Dash_Has(v, DF_FUEL_LAPS)) Dash_Append(t, "%s", dash_none);
    else if (!std::isfinite(v.fvalue[DF_FUEL_LAPS]) || v.fvalue[DF_FUEL_LAPS] <= 0.0f)
        Dash_Append(t, "estimating");
    else Dash_Append(t, "%.1f", static_cast<double>(v.fvalue[DF_FUEL_LAPS]));
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Temps     water ");
    Dash_AppendUnit(t, v, DF_WATER_TEMP, 1.0, 1, "\xC2\xB0" "C");
    Dash_Append(t, "    oil ");
    Dash_AppendUnit(t, v, DF_OIL_TEMP, 1.0, 1, "\xC2\xB0" "C");
    Dash_EndLine(t, ansi, dim);

    Dash_BeginLine(t, dim);
    Dash_Append(t, "Session   ");
    if (v.session_blocks == 0) Dash_Append(t, "no block yet");
    else
        Dash_Append(t, "block %.1f s ago, %u received",
                    std::max(0.0, live.now_ms - v.session_ms) / 1000.0, v.session_blocks);
    if (v.decode_errors > 0) Dash_Append(t, "    decode errors %u: %s", v.decode_errors, v.problem);
    Dash_EndLine(t, ansi, dim);
    return t.len;
}

int Dash_FormatProblem(char* buf, int size, const DashUpdate& u) {
    DashText t = Dash_Begin(buf, size);
    if (u.status == DASH_DECODE_UNKNOWN_TAG)
        Dash_Append(t, "unknown tag 0x%02X at offset %d", u.bad_tag, u.bad_offset);
    else if (u.status == DASH_DECODE_TRUNCATED)
        Dash_Append(t, "value of tag 0x%02X cut at offset %d", u.bad_tag, u.bad_offset);
    return t.len;
}

int Dash_FormatJson(char* buf, int size, uint32_t sequence, double t_ms, const DashUpdate& u) {
    DashText t = Dash_Begin(buf, size);
    Dash_Append(t, "{\"seq\":%u,\"t_ms\":%.3f", sequence, t_ms);
    if (u.server_disconnect) Dash_Append(t, ",\"server_disconnect\":true");
    if (u.no_data) Dash_Append(t, ",\"no_data\":true");
    for (int i = 0; i < DF_COUNT; i++) {
        if (!(u.present & (1u << i))) continue;
        Dash_Append(t, ",\"%s\":", dash_fields[i].name);
        if (dash_fields[i].kind == DASH_F32) Dash_AppendFloat(t, u.fvalue[i]);
        else Dash_Append(t, "%d", u.ivalue[i]);
    }
    if (u.end_basic) Dash_Append(t, ",\"end_basic\":true");
    if (u.end_session) Dash_Append(t, ",\"end_session\":true");
    if (u.status != DASH_DECODE_OK) {
        char problem[64];
        Dash_FormatProblem(problem, sizeof problem, u);
        Dash_Append(t, ",\"error\":\"%s\"", problem);
    }
    Dash_Append(t, "}\n");
    return t.len;
}

// ---- reception statistics --------------------------------------------------

static float stats_intervals[DASH_STATS_INTERVALS];   // ring of the latest intervals
static float stats_scratch[DASH_STATS_INTERVALS];     // sorted copy for the summary
static uint32_t stats_updates;
static uint64_t stats_interval_count;
static double stats_first_ms, stats_last_ms, stats_min_ms, stats_max_ms;
static double stats_span_ms;          // time covered by intervals of earlier connections
static bool stats_chain;              // the next update continues an interval chain
static uint64_t stats_recent_first;   // stats_interval_count when this chain began
// Packet numbers: the newest seen, and a bit per number up to 63 behind it.
static uint32_t stats_newest;
static uint64_t stats_seen;
static uint32_t stats_lost, stats_duplicated, stats_out_of_order;
static uint32_t stats_session_blocks, stats_reconnects;

void DashStats_Reset() {
    stats_updates = 0;
    stats_interval_count = 0;
    stats_first_ms = stats_last_ms = stats_min_ms = stats_max_ms = 0.0;
    stats_span_ms = 0.0;
    stats_chain = false;
    stats_recent_first = 0;
    stats_newest = 0;
    stats_seen = 0;
    stats_lost = stats_duplicated = stats_out_of_order = 0;
    stats_session_blocks = stats_reconnects = 0;
}

void DashStats_Add(double t_ms) {
    if (!stats_chain) {
        // A new connection: its first update opens a new chain of intervals.
        if (stats_updates > 0) stats_span_ms += stats_last_ms - stats_first_ms;
        stats_first_ms = t_ms;
        stats_chain = true;
        stats_recent_first = stats_interval_count;
    } else {
        double gap = t_ms - stats_last_ms;
        if (stats_interval_count == 0 || gap < stats_min_ms) stats_min_ms = gap;
        if (stats_interval_count == 0 || gap > stats_max_ms) stats_max_ms = gap;
        stats_intervals[stats_interval_count % DASH_STATS_INTERVALS] = static_cast<float>(gap);
        stats_interval_count++;
    }
    stats_last_ms = t_ms;
    stats_updates++;
}

DashArrival DashStats_Sequence(uint32_t sequence) {
    if (sequence > stats_newest) {
        uint32_t jump = sequence - stats_newest;
        // Numbers start at 1: a first packet numbered 3 means 1 and 2 were lost.
        stats_lost += jump - 1;
        stats_seen = jump >= 64 ? 0 : stats_seen << jump;
        stats_seen |= 1;
        stats_newest = sequence;
        return DASH_ARRIVAL_NEXT;
    }
    uint32_t behind = stats_newest - sequence;
    if (behind < 64 && (stats_seen & (uint64_t{1} << behind))) {
        stats_duplicated++;
        return DASH_ARRIVAL_DUPLICATE;
    }
    stats_out_of_order++;
    if (behind < 64) {
        stats_seen |= uint64_t{1} << behind;
        if (stats_lost > 0 && sequence > 0) stats_lost--;   // it was counted lost at the jump
    }
    return DASH_ARRIVAL_LATE;
}

void DashStats_AddSessionBlock() { stats_session_blocks++; }

void DashStats_Reconnect() {
    stats_chain = false;
    stats_recent_first = stats_interval_count;
    stats_newest = 0;
    stats_seen = 0;
    stats_reconnects++;
}

double DashStats_RecentIntervalMs() {
    uint64_t n = stats_interval_count - stats_recent_first;
    if (n == 0) return 0.0;
    n = std::min<uint64_t>(n, 16);
    float recent[16];
    for (uint64_t i = 0; i < n; i++)
        recent[i] = stats_intervals[(stats_interval_count - 1 - i) % DASH_STATS_INTERVALS];
    std::sort(recent, recent + n);
    return recent[(n - 1) / 2];
}

// Nearest rank: the smallest value with at least `pct` per cent at or below it.
static double Dash_Rank(int n, double pct) {
    int rank = static_cast<int>(std::ceil(pct / 100.0 * n));
    rank = std::clamp(rank, 1, n);
    return stats_scratch[rank - 1];
}

void DashStats_Summarize(DashSummary& out) {
    out = DashSummary{};
    out.updates = stats_updates;
    out.lost = stats_lost;
    out.duplicated = stats_duplicated;
    out.out_of_order = stats_out_of_order;
    out.session_blocks = stats_session_blocks;
    out.reconnects = stats_reconnects;
    if (stats_interval_count == 0) return;
    // The time spent reconnecting is no receive interval: the rate covers
    // the connected spans only.
    double span = stats_span_ms + (stats_last_ms - stats_first_ms);
    out.rate_hz = span > 0.0 ? static_cast<double>(stats_interval_count) * 1000.0 / span : 0.0;
    int n = static_cast<int>(std::min<uint64_t>(stats_interval_count, DASH_STATS_INTERVALS));
    std::copy(stats_intervals, stats_intervals + n, stats_scratch);
    std::sort(stats_scratch, stats_scratch + n);
    out.intervals = n;
    out.min_ms = stats_min_ms;
    out.max_ms = stats_max_ms;
    out.median_ms = Dash_Rank(n, 50.0);
    out.p99_ms = Dash_Rank(n, 99.0);
}

int Dash_FormatStatsJson(char* buf, int size, const DashSummary& s) {
    DashText t = Dash_Begin(buf, size);
    Dash_Append(t, "{\"stats\":{\"updates\":%u,\"rate_hz\":%.3f,\"interval_ms\":", s.updates, s.rate_hz);
    if (s.intervals == 0)
        Dash_Append(t, "{\"min\":null,\"median\":null,\"p99\":null,\"max\":null}");
    else
        Dash_Append(t, "{\"min\":%.3f,\"median\":%.3f,\"p99\":%.3f,\"max\":%.3f}", s.min_ms,
                    s.median_ms, s.p99_ms, s.max_ms);
    Dash_Append(t, ",\"lost\":%u,\"duplicated\":%u,\"out_of_order\":%u,\"session_blocks\":%u,"
                   "\"reconnects\":%u}}\n",
                s.lost, s.duplicated, s.out_of_order, s.session_blocks, s.reconnects);
    return t.len;
}

int Dash_FormatStatsText(char* buf, int size, const DashSummary& s) {
    DashText t = Dash_Begin(buf, size);
    Dash_Append(t, "Received %u update%s", s.updates, s.updates == 1 ? "" : "s");
    if (s.intervals > 0)
        Dash_Append(t, " at %.1f per second; interval in ms: min %.1f, median %.1f, 99th percentile %.1f, max %.1f",
                    s.rate_hz, s.min_ms, s.median_ms, s.p99_ms, s.max_ms);
    Dash_Append(t, "; %u lost, %u duplicated, %u out of order; %u session block%s; %u reconnect%s.\n",
                s.lost, s.duplicated, s.out_of_order, s.session_blocks,
                s.session_blocks == 1 ? "" : "s", s.reconnects, s.reconnects == 1 ? "" : "s");
    return t.len;
}
