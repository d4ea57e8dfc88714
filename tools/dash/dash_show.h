// tools/dash/dash_show.h: what the dashboard client shows: the live block of
// values, the JSON line per update, and the reception statistics.
//
// Every formatter writes into the caller's buffer, bounded by `size`, always
// terminated, and returns the length written.
#pragma once

#include <cstdint>

#include "tools/dash/dash_wire.h"

// The last known value of every field: the session block arrives less often
// than the basic block, so the display keeps what each field last said.
struct DashView {
    uint32_t present;
    std::array<int32_t, DF_COUNT> ivalue;
    std::array<float, DF_COUNT> fvalue;
    bool no_data;            // the latest update said: not on track
    uint32_t sequence;       // the latest update's packet number
    uint32_t updates;        // updates taken
    uint32_t decode_errors;  // bodies with an unknown tag or a cut value
    char problem[64];        // the latest decode problem, "" when none
};

void DashView_Reset(DashView& view);

// Takes one decoded update: its fields replace the old values.
void DashView_Apply(DashView& view, uint32_t sequence, const DashUpdate& update);

constexpr int DASH_BLOCK_LINES = 8;   // lines of Dash_FormatBlock, always

// The labelled block: DASH_BLOCK_LINES lines, each ended by "\n", values
// never received shown as "-". With `ansi` each line also clears the rest of
// its terminal row, so that a redraw in place leaves no stale characters.
int Dash_FormatBlock(char* buf, int size, const DashView& view, const char* server_text, bool ansi);

// Describes a decode problem ("unknown tag 0x07 at offset 3", "value of tag
// 0x0E cut at offset 12"); "" when the update decoded cleanly.
int Dash_FormatProblem(char* buf, int size, const DashUpdate& update);

// One JSON object and "\n": "seq", "t_ms" (three decimals), then
// "server_disconnect" and "no_data" when set, every decoded field under its
// name in wire order, "end_basic"/"end_session" when those tags came, and
// "error" with the problem text when decoding stopped early. A float that is
// not finite is written as null; others in the fewest digits that read back
// as the same float.
int Dash_FormatJson(char* buf, int size, uint32_t sequence, double t_ms, const DashUpdate& update);

// ---- reception statistics --------------------------------------------------

// Receive intervals kept for the median and the 99th percentile; a longer
// run keeps the latest ones (the count, minimum and maximum stay exact).
constexpr int DASH_STATS_INTERVALS = 1 << 18;

struct DashSummary {
    uint32_t updates;
    double rate_hz;          // (updates - 1) per second between first and last
    int intervals;           // intervals behind the figures below; 0: none
    double min_ms, median_ms, p99_ms, max_ms;   // nearest-rank percentiles
};

// Forgets every update taken so far.
void DashStats_Reset();

// Counts one update received at `t_ms` (client monotonic milliseconds).
void DashStats_Add(double t_ms);

// The figures so far.
void DashStats_Summarize(DashSummary& out);

// {"stats":{"updates":N,"rate_hz":R,"interval_ms":{"min":..,"median":..,
// "p99":..,"max":..}}} and "\n"; the interval figures are null with fewer
// than two updates.
int Dash_FormatStatsJson(char* buf, int size, const DashSummary& s);

// The same figures in words, one line and "\n".
int Dash_FormatStatsText(char* buf, int size, const DashSummary& s);
