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

void DashView_Reset(DashView& view) { view = DashView{}; }

void DashView_Apply(DashView& view, uint32_t sequence, const DashUpdate& update) {
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
    if (update.status != DASH_DECODE_OK) {
        view.decode_errors++;
        Dash_FormatProblem(view.problem, sizeof view.problem, update);
    }
}

static bool Dash_Has(const DashView& v, DashField f) { return (v.present & (1u << f)) != 0; }

static void Dash_AppendInt(DashText& t, const DashView& v, DashField f, const char* fmt) {
    if (Dash_Has(v, f)) Dash_Append(t, fmt, v.ivalue[f]);
    else Dash_Append(t, "-");
}

static void Dash_AppendFixed(DashText& t, const DashView& v, DashField f, int decimals) {
    if (Dash_Has(v, f)) Dash_Append(t, "%.*f", decimals, static_cast<double>(v.fvalue[f]));
    else Dash_Append(t, "-");
}

static void Dash_EndLine(DashText& t, bool ansi) { Dash_Append(t, ansi ? "\x1b[K\n" : "\n"); }

int Dash_FormatBlock(char* buf, int size, const DashView& v, const char* server_text, bool ansi) {
    DashText t = Dash_Begin(buf, size);

    Dash_Append(t, "tarmis_dash  %s  update %u  seq %u", server_text, v.updates, v.sequence);
    if (v.no_data) Dash_Append(t, "  (no data: car not on track)");
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Gear      ");
    if (!Dash_Has(v, DF_GEAR)) Dash_Append(t, "-");
    else if (v.ivalue[DF_GEAR] < 0) Dash_Append(t, "R");
    else if (v.ivalue[DF_GEAR] == 0) Dash_Append(t, "N");
    else Dash_Append(t, "%d", v.ivalue[DF_GEAR]);
    Dash_Append(t, "    RPM ");
    Dash_AppendInt(t, v, DF_RPM, "%d");
    Dash_Append(t, "    Speed ");
    Dash_AppendFixed(t, v, DF_SPEED, 1);
    Dash_Append(t, "    Shift light ");
    Dash_AppendFixed(t, v, DF_SHIFT_INDICATOR, 2);
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Pedals    throttle ");
    Dash_AppendFixed(t, v, DF_THROTTLE, 2);
    Dash_Append(t, "    brake ");
    Dash_AppendFixed(t, v, DF_BRAKE, 2);
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Flags     engine warnings ");
    Dash_AppendInt(t, v, DF_ENGINE_WARNINGS, "0x%02X");
    Dash_Append(t, "    session ");
    Dash_AppendInt(t, v, DF_SESSION_FLAGS, "0x%02X");
    Dash_EndLine(t, ansi);

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
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Times     fastest ");
    Dash_AppendFixed(t, v, DF_FASTEST_TIME, 3);
    Dash_Append(t, "    last ");
    Dash_AppendFixed(t, v, DF_LAST_TIME, 3);
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Fuel      level ");
    Dash_AppendFixed(t, v, DF_FUEL_LEVEL, 2);
    Dash_Append(t, "    laps left ");
    Dash_AppendFixed(t, v, DF_FUEL_LAPS, 1);
    Dash_EndLine(t, ansi);

    Dash_Append(t, "Temps     water ");
    Dash_AppendFixed(t, v, DF_WATER_TEMP, 1);
    Dash_Append(t, "    oil ");
    Dash_AppendFixed(t, v, DF_OIL_TEMP, 1);
    if (v.decode_errors > 0) Dash_Append(t, "    decode errors %u: %s", v.decode_errors, v.problem);
    Dash_EndLine(t, ansi);
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

void DashStats_Reset() {
    stats_updates = 0;
    stats_interval_count = 0;
    stats_first_ms = stats_last_ms = stats_min_ms = stats_max_ms = 0.0;
}

void DashStats_Add(double t_ms) {
    if (stats_updates == 0) {
        stats_first_ms = t_ms;
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

// Nearest rank: the smallest value with at least `pct` per cent at or below it.
static double Dash_Rank(int n, double pct) {
    int rank = static_cast<int>(std::ceil(pct / 100.0 * n));
    rank = std::clamp(rank, 1, n);
    return stats_scratch[rank - 1];
}

void DashStats_Summarize(DashSummary& out) {
    out = DashSummary{};
    out.updates = stats_updates;
    if (stats_interval_count == 0) return;
    double span = stats_last_ms - stats_first_ms;
    out.rate_hz = span > 0.0 ? (stats_updates - 1) * 1000.0 / span : 0.0;
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
    Dash_Append(t, "}}\n");
    return t.len;
}

int Dash_FormatStatsText(char* buf, int size, const DashSummary& s) {
    DashText t = Dash_Begin(buf, size);
    Dash_Append(t, "Received %u update%s", s.updates, s.updates == 1 ? "" : "s");
    if (s.intervals > 0)
        Dash_Append(t, " at %.1f per second; interval in ms: min %.1f, median %.1f, 99th percentile %.1f, max %.1f",
                    s.rate_hz, s.min_ms, s.median_ms, s.p99_ms, s.max_ms);
    Dash_Append(t, ".\n");
    return t.len;
}
