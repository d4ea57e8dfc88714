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
    uint32_t session_blocks; // updates that carried the session block
    double update_ms;        // client time of the latest update
    double session_ms;       // client time of the latest session block; < 0: none
    uint32_t decode_errors;  // bodies with an unknown tag or a cut value
    char problem[64];        // the latest decode problem, "" when none
};

void DashView_Reset(DashView& view);

// Takes one decoded update that arrived at `t_ms` (client milliseconds):
// its fields replace the old values.
void DashView_Apply(DashView& view, uint32_t sequence, double t_ms, const DashUpdate& update);

// What the live view says about the stream as a whole.
enum DashStreamState {
    DASH_STREAM_CONNECTING,     // handshake under way, nothing received yet
    DASH_STREAM_LIVE,           // updates arrive at their pace
    DASH_STREAM_STALE,          // no update for three measured intervals
    DASH_STREAM_RECONNECTING    // the server fell silent or dropped us: connecting again
};

// The stream's state as the block's first line shows it.
struct DashLive {
    const char* server_text;
    DashStreamState state;
    double now_ms;           // client time of the drawing
    double lost_ms;          // client time the connection was given up (RECONNECTING)
    uint32_t reconnects;
    bool ansi;
};

constexpr int DASH_BLOCK_LINES = 10;   // lines of Dash_FormatBlock, always

// The labelled block: DASH_BLOCK_LINES lines, each ended by "\n", values
// never received shown as "–", with units (km/h, °C, l, %), lap times as
// m:ss.mmm, flags and warnings by name. The first line tells the stream's
// state; while it is not live the value lines are dimmed (with `ansi`) and
// the first line says that they are the last ones received. With `ansi`
// each line also clears the rest of its terminal row, so that a redraw in
// place leaves no stale characters.
int Dash_FormatBlock(char* buf, int size, const DashView& view, const DashLive& live);

// The stream's state in words, as the block's first line shows it after
// the update counters: "live", "no update for 1.2 s", ...
int Dash_FormatState(char* buf, int size, const DashView& view, const DashLive& live);

// A lap time in seconds as m:ss.mmm ("1:33.543"); "–" for none (0 or less,
// or not a number).
int Dash_FormatLapTime(char* buf, int size, float seconds);

// The names of the bits set in `value`, lowest first, joined by ", ";
// "none" when no bit is set. `names` holds one name per bit, bit 0 first.
int Dash_FormatBits(char* buf, int size, int value, const std::array<const char*, 8>& names);

// Bit names of the engine warnings and the session flags (the low 8 bits
// that travel), as the simulator's telemetry names them.
extern const std::array<const char*, 8> dash_engine_warning_names;
extern const std::array<const char*, 8> dash_session_flag_names;

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
    uint32_t lost;           // packet numbers skipped and never seen later
    uint32_t duplicated;     // packets whose number had been seen already
    uint32_t out_of_order;   // packets that came after a later-numbered one
    uint32_t session_blocks; // updates that carried the session block
    uint32_t reconnects;     // connections made again after a loss
};

// How one received packet number fits the ones before it.
enum DashArrival {
    DASH_ARRIVAL_NEXT,        // newer than every packet so far (gaps counted as lost)
    DASH_ARRIVAL_LATE,        // older, not seen before: out of order
    DASH_ARRIVAL_DUPLICATE    // seen before
};

// Forgets every update taken so far.
void DashStats_Reset();

// Counts one update received at `t_ms` (client monotonic milliseconds).
void DashStats_Add(double t_ms);

// Sorts the packet number of one sequenced packet from the server and
// counts it: the numbers skipped by a jump count as lost until they arrive
// late. Packets more than 64 numbers behind the newest count as out of
// order.
DashArrival DashStats_Sequence(uint32_t sequence);

// Counts an update that carried the session block.
void DashStats_AddSessionBlock();

// A new connection begins: the next update starts a new chain of intervals
// and packet numbers (the server numbers a new connection from 1), and the
// reconnect is counted.
void DashStats_Reconnect();

// The median of the latest 16 receive intervals, 0 before the second update
// (or after a reconnect, before the second update of the new connection).
double DashStats_RecentIntervalMs();

// The figures so far.
void DashStats_Summarize(DashSummary& out);

// {"stats":{"updates":N,"rate_hz":R,"interval_ms":{"min":..,"median":..,
// "p99":..,"max":..},"lost":N,"duplicated":N,"out_of_order":N,
// "session_blocks":N,"reconnects":N}} and "\n"; the interval figures are
// null with fewer than two updates.
int Dash_FormatStatsJson(char* buf, int size, const DashSummary& s);

// The same figures in words, one line and "\n".
int Dash_FormatStatsText(char* buf, int size, const DashSummary& s);
