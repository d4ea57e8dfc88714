// tools/simulator/ibt.cpp: reads and writes telemetry recordings (.ibt).
#include "tools/simulator/ibt.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

// Copies of the variable table and the session text of the open recording.
static uint8_t ibt_var_headers[LAYOUT_MAX_VARS * LAYOUT_VAR_HEADER_SIZE];
static char ibt_session[LAYOUT_SESSION_MAX];

// The reader is also built by clang for fuzzing, which knows no gnu_printf.
#if defined(__clang__)
#define IBT_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define IBT_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

IBT_PRINTF_LIKE(3, 4) static bool Ibt_Fail(char* error, int size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(error, static_cast<size_t>(size), fmt, ap);
    va_end(ap);
    return false;
}

static int32_t Ibt_I32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// True when [offset, offset + len) lies inside the source.
static bool Ibt_Inside(const IbtSource& src, int64_t offset, int64_t len) {
    return offset >= 0 && len >= 0 && static_cast<uint64_t>(offset) <= src.size &&
           static_cast<uint64_t>(len) <= src.size - static_cast<uint64_t>(offset);
}

// What a racer is told about a file that is not a disk recording at all (a
// dump of the live memory, a text file, anything else).
static const char* const IBT_NOT_RECORDING = "is not a telemetry recording written by the simulator";

bool Ibt_Open(const IbtSource& src, IbtRecording& rec, char* error, int error_size) {
    rec = IbtRecording{};
    uint8_t head[IBT_VAR_TABLE];
    if (src.size < IBT_VAR_TABLE || !src.read(src.ctx, 0, head, IBT_VAR_TABLE))
        return Ibt_Fail(error, error_size, "%s", IBT_NOT_RECORDING);
    rec.version = Ibt_I32(head + LAYOUT_VER);
    rec.tick_rate = Ibt_I32(head + LAYOUT_TICK_RATE);
    const int32_t session_len = Ibt_I32(head + LAYOUT_SESSION_LEN);
    const int32_t session_ofs = Ibt_I32(head + LAYOUT_SESSION_OFS);
    rec.num_vars = Ibt_I32(head + LAYOUT_NUM_VARS);
    const int32_t var_ofs = Ibt_I32(head + LAYOUT_VAR_HEADERS);
    const int32_t buffers = Ibt_I32(head + LAYOUT_NUM_BUFFERS);
    rec.frame_len = Ibt_I32(head + LAYOUT_FRAME_LEN);
    rec.frames_offset = Ibt_I32(head + LAYOUT_BUFFER_TABLE + 4);
    std::memcpy(&rec.start_date, head + IBT_HEADER_SIZE, 8);
    std::memcpy(&rec.start_time, head + IBT_HEADER_SIZE + 8, 8);
    std::memcpy(&rec.end_time, head + IBT_HEADER_SIZE + 16, 8);
    rec.lap_count = Ibt_I32(head + IBT_HEADER_SIZE + 24);
    rec.record_count = Ibt_I32(head + IBT_HEADER_SIZE + 28);

    // A disk recording has one buffer entry (where its frames begin) and a
    // sub-header after the header that nothing else overlaps; the live
    // memory has several buffers and its session text right after the
    // header. Counts and lengths are never negative.
    if (rec.version < 1 || rec.version > LAYOUT_VERSION || rec.tick_rate < 1 ||
        rec.tick_rate > IBT_MAX_TICK_RATE || buffers != 1 || rec.num_vars < 0 ||
        rec.frame_len < 1 || session_len < 0 || var_ofs < IBT_VAR_TABLE ||
        session_ofs < IBT_VAR_TABLE || rec.frames_offset < IBT_VAR_TABLE || rec.lap_count < 0 ||
        rec.record_count < 0)
        return Ibt_Fail(error, error_size, "%s", IBT_NOT_RECORDING);

    // A recording's header, but its parts run past the end of the file: a
    // copy or a write that stopped early.
    const int64_t var_bytes = static_cast<int64_t>(rec.num_vars) * LAYOUT_VAR_HEADER_SIZE;
    if (!Ibt_Inside(src, var_ofs, var_bytes) || !Ibt_Inside(src, session_ofs, session_len) ||
        static_cast<uint64_t>(rec.frames_offset) > src.size)
        return Ibt_Fail(error, error_size,
                        "is a telemetry recording cut short before its first frame");
    const int64_t whole = static_cast<int64_t>(src.size - static_cast<uint64_t>(rec.frames_offset)) /
                          rec.frame_len;
    if (rec.record_count > whole)
        return Ibt_Fail(error, error_size,
                        "is a telemetry recording cut short: it holds %lld of its %d frames",
                        static_cast<long long>(whole), rec.record_count);

    if (rec.num_vars > LAYOUT_MAX_VARS)
        return Ibt_Fail(error, error_size,
                        "is a telemetry recording of %d variables, more than the %d the stand-in "
                        "can publish",
                        rec.num_vars, LAYOUT_MAX_VARS);
    if (rec.frame_len > LAYOUT_SLOT_SIZE)
        return Ibt_Fail(error, error_size,
                        "is a telemetry recording of frames of %d bytes, longer than the %d the "
                        "stand-in can publish",
                        rec.frame_len, LAYOUT_SLOT_SIZE);
    // A count of 0 is a recording the simulator did not close: play what is
    // there.
    rec.frame_count = rec.record_count > 0 ? rec.record_count
                                           : static_cast<int32_t>(whole > INT32_MAX ? INT32_MAX : whole);
    if (rec.frame_count == 0)
        return Ibt_Fail(error, error_size, "is a telemetry recording without a single frame");
    if (rec.num_vars == 0)
        return Ibt_Fail(error, error_size, "is a telemetry recording without a single variable");

    if (!src.read(src.ctx, static_cast<uint64_t>(var_ofs), ibt_var_headers,
                  static_cast<uint32_t>(var_bytes)))
        return Ibt_Fail(error, error_size, "cannot be read to its end");
    // The text ends at its length or at the first zero byte; the mapping
    // carries it with a terminator, inside its session area.
    int32_t take = session_len < LAYOUT_SESSION_MAX ? session_len : LAYOUT_SESSION_MAX;
    if (take > 0 && !src.read(src.ctx, static_cast<uint64_t>(session_ofs), ibt_session,
                              static_cast<uint32_t>(take)))
        return Ibt_Fail(error, error_size, "cannot be read to its end");
    const void* zero = std::memchr(ibt_session, 0, static_cast<size_t>(take));
    int32_t text_len =
        zero != nullptr ? static_cast<int32_t>(static_cast<const char*>(zero) - ibt_session) : take;
    if (text_len >= LAYOUT_SESSION_MAX)
        return Ibt_Fail(error, error_size,
                        "is a telemetry recording with a session text of %d bytes, more than the "
                        "%d the stand-in can publish",
                        session_len, LAYOUT_SESSION_MAX - 1);
    ibt_session[text_len] = 0;
    rec.var_headers = ibt_var_headers;
    rec.session = ibt_session;
    rec.session_len = text_len;
    return true;
}

bool Ibt_ReadFrame(const IbtSource& src, const IbtRecording& rec, int index, uint8_t* dst) {
    if (index < 0 || index >= rec.frame_count) return false;
    const int64_t at = rec.frames_offset + static_cast<int64_t>(index) * rec.frame_len;
    if (!Ibt_Inside(src, at, rec.frame_len)) return false;
    return src.read(src.ctx, static_cast<uint64_t>(at), dst, static_cast<uint32_t>(rec.frame_len));
}

int Ibt_VarOffset(const IbtRecording& rec, const char* name, int size) {
    if (rec.var_headers == nullptr) return -1;
    for (int i = 0; i < rec.num_vars; i++) {
        const uint8_t* e = rec.var_headers + i * LAYOUT_VAR_HEADER_SIZE;
        if (std::strncmp(reinterpret_cast<const char*>(e + 16), name, 32) != 0) continue;
        int32_t ofs = Ibt_I32(e + 4);
        if (ofs < 0 || size < 0 || static_cast<int64_t>(ofs) + size > rec.frame_len) return -1;
        return ofs;
    }
    return -1;
}

int Ibt_SessionValue(const IbtRecording& rec, const char* key, int from, char* out, int size) {
    if (size > 0) out[0] = 0;
    if (rec.session == nullptr || from < 0 || from > rec.session_len || size <= 0) return -1;
    const char* at = std::strstr(rec.session + from, key);
    if (at == nullptr) return -1;
    const char* v = at + std::strlen(key);
    while (*v == ' ') v++;
    int n = 0;
    while (v[n] != 0 && v[n] != '\n' && v[n] != '\r' && n < size - 1) n++;
    std::memcpy(out, v, static_cast<size_t>(n));
    out[n] = 0;
    return static_cast<int>(at - rec.session);
}

void Ibt_PlayerCar(const IbtRecording& rec, char* out, int size) {
    char value[32];
    if (size > 0) out[0] = 0;
    if (Ibt_SessionValue(rec, "DriverCarIdx:", 0, value, sizeof value) < 0) return;
    const long player = std::strtol(value, nullptr, 10);
    // Driver entries begin with "- CarIdx:"; "DriverCarIdx:" itself does not.
    int at = 0;
    for (;;) {
        at = Ibt_SessionValue(rec, "- CarIdx:", at, value, sizeof value);
        if (at < 0) return;
        at++;
        if (std::strtol(value, nullptr, 10) != player) continue;
        // Lists other than the drivers' have entries of that shape too: the
        // name must lie within this entry.
        const int name_at = Ibt_SessionValue(rec, "CarScreenName:", at, out, size);
        const int next = Ibt_SessionValue(rec, "- CarIdx:", at, value, sizeof value);
        if (name_at < 0) return;
        if (next < 0 || name_at < next) return;
        out[0] = 0;
    }
}

static bool Ibt_StreamRead(void* ctx, uint64_t offset, void* dst, uint32_t len) {
    std::ifstream& f = *static_cast<std::ifstream*>(ctx);
    f.clear();
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(static_cast<char*>(dst), static_cast<std::streamsize>(len));
    return f && f.gcount() == static_cast<std::streamsize>(len);
}

IbtSource Ibt_FileSource(std::ifstream& f) {
    f.seekg(0, std::ios::end);
    std::streamoff end = f.tellg();
    f.seekg(0);
    return IbtSource{Ibt_StreamRead, &f, end > 0 ? static_cast<uint64_t>(end) : 0};
}

// ---- writing ----------------------------------------------------------------

static std::FILE* ibt_out;
static uint8_t ibt_head[IBT_VAR_TABLE];
static int32_t ibt_frame_len;
static int32_t ibt_frames;

static void Ibt_Put32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }

bool Ibt_WriteBegin(std::FILE* f, int32_t tick_rate, const uint8_t* var_headers, int32_t num_vars,
                    const char* session, int32_t session_len, int32_t frame_len,
                    int64_t start_date) {
    ibt_out = f;
    ibt_frame_len = frame_len;
    ibt_frames = 0;
    std::memset(ibt_head, 0, sizeof ibt_head);
    const int32_t session_ofs = IBT_VAR_TABLE + num_vars * LAYOUT_VAR_HEADER_SIZE;
    Ibt_Put32(ibt_head + LAYOUT_VER, LAYOUT_VERSION);
    Ibt_Put32(ibt_head + LAYOUT_STATUS, LAYOUT_STATUS_CONNECTED);
    Ibt_Put32(ibt_head + LAYOUT_TICK_RATE, tick_rate);
    Ibt_Put32(ibt_head + LAYOUT_SESSION_LEN, session_len);
    Ibt_Put32(ibt_head + LAYOUT_SESSION_OFS, session_ofs);
    Ibt_Put32(ibt_head + LAYOUT_NUM_VARS, num_vars);
    Ibt_Put32(ibt_head + LAYOUT_VAR_HEADERS, IBT_VAR_TABLE);
    Ibt_Put32(ibt_head + LAYOUT_NUM_BUFFERS, 1);
    Ibt_Put32(ibt_head + LAYOUT_FRAME_LEN, frame_len);
    Ibt_Put32(ibt_head + LAYOUT_BUFFER_TABLE + 4, session_ofs + session_len);
    std::memcpy(ibt_head + IBT_HEADER_SIZE, &start_date, 8);
    const size_t var_bytes = static_cast<size_t>(num_vars) * LAYOUT_VAR_HEADER_SIZE;
    return std::fwrite(ibt_head, 1, sizeof ibt_head, f) == sizeof ibt_head &&
           std::fwrite(var_headers, 1, var_bytes, f) == var_bytes &&
           std::fwrite(session, 1, static_cast<size_t>(session_len), f) ==
               static_cast<size_t>(session_len);
}

bool Ibt_WriteFrame(const uint8_t* frame) {
    if (ibt_out == nullptr) return false;
    if (std::fwrite(frame, 1, static_cast<size_t>(ibt_frame_len), ibt_out) !=
        static_cast<size_t>(ibt_frame_len))
        return false;
    ibt_frames++;
    return true;
}

int32_t Ibt_FramesWritten() { return ibt_frames; }

bool Ibt_WriteEnd(int32_t last_tick, double start_time, double end_time, int32_t lap_count) {
    if (ibt_out == nullptr) return false;
    Ibt_Put32(ibt_head + LAYOUT_BUFFER_TABLE, last_tick);
    std::memcpy(ibt_head + IBT_HEADER_SIZE + 8, &start_time, 8);
    std::memcpy(ibt_head + IBT_HEADER_SIZE + 16, &end_time, 8);
    Ibt_Put32(ibt_head + IBT_HEADER_SIZE + 24, lap_count);
    Ibt_Put32(ibt_head + IBT_HEADER_SIZE + 28, ibt_frames);
    bool ok = std::fflush(ibt_out) == 0 && std::fseek(ibt_out, 0, SEEK_SET) == 0 &&
              std::fwrite(ibt_head, 1, sizeof ibt_head, ibt_out) == sizeof ibt_head &&
              std::fflush(ibt_out) == 0;
    ibt_out = nullptr;
    return ok;
}
