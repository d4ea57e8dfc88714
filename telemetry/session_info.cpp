// telemetry/session_info.cpp: key search in the session-info text.
#include "telemetry/session_info.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

char session_laps_text[SESSION_LAPS_TEXT_SIZE];
char session_fastest_text[SESSION_TIME_TEXT_SIZE];
char session_last_text[SESSION_TIME_TEXT_SIZE];
char session_position_text[SESSION_NUMBER_TEXT_SIZE];
char session_count_text[SESSION_NUMBER_TEXT_SIZE];
int16_t session_car_id = 0;
std::array<PositionEntry, SESSION_MAX_POSITIONS> session_positions;
std::array<SessionBlock, SESSION_MAX_BLOCKS> session_blocks;

void Tel_ClearSessionInfo() {
    session_laps_text[0] = 0;
    session_fastest_text[0] = 0;
    session_last_text[0] = 0;
    session_position_text[0] = 0;
    session_count_text[0] = 0;
    for (PositionEntry& entry : session_positions) {
        entry.car_idx = -1;
        entry.fastest_time[0] = 0;
        entry.last_time[0] = 0;
    }
}

void Tel_ResetSessionInfo() {
    Tel_ClearSessionInfo();
    session_car_id = 0;
    session_blocks.fill(SessionBlock{nullptr, nullptr});
}

// Moves up to `n` characters on, never past the terminator, so that a key
// at the very end of the text does not lead the scan outside it.
static const char* Skip(const char* p, int n) {
    while (n > 0 && *p != 0) {
        p++;
        n--;
    }
    return p;
}

// Leading blanks, an optional sign and digits; 0 when nothing is read. The
// low 32 bits of the value are kept, so long digit runs stay defined.
static int32_t ReadInt(const char* p) {
    long long v = std::strtoll(p, nullptr, 10);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(v)));
}

// A decimal number as a 32-bit float; 0.0 when nothing is read, infinity
// for values beyond the float range.
static float ReadFloat(const char* p) {
    double v = std::strtod(p, nullptr);
    if (v > FLT_MAX) return HUGE_VALF;
    if (v < -FLT_MAX) return -HUGE_VALF;
    return static_cast<float>(v);
}

// Copies the value from `value` to the next "\n" into `out` when there is
// such a newline and the value is shorter than `size`; otherwise `out`
// stays as it is.
static void CopyValue(char* out, int size, const char* value) {
    const char* newline = std::strstr(value, "\n");
    if (newline == nullptr) return;
    size_t len = static_cast<size_t>(newline - value);
    if (len >= static_cast<size_t>(size)) return;
    std::memcpy(out, value, len);
    out[len] = 0;
}

// Finds "SessionNum:" blocks: each runs to the next "SessionNum:", the last
// to the first "\n\n" after it. Returns how many were found (at most ten)
// and whether the last one has an end.
static int FindSessionBlocks(const char* text, bool* last_closed) {
    *last_closed = true;
    const char* cursor = text;
    int found = 0;
    while (found < SESSION_MAX_BLOCKS) {
        const char* start = std::strstr(cursor, "SessionNum:");
        if (start == nullptr) break;
        session_blocks[found].start = start;
        const char* next = std::strstr(Skip(start, 12), "SessionNum:");
        if (next != nullptr) {
            session_blocks[found].end = next;
            found++;
            cursor = next;
            continue;
        }
        const char* end = std::strstr(Skip(start, 12), "\n\n");
        session_blocks[found].end = end;
        found++;
        if (end == nullptr) *last_closed = false;
        break;
    }
    return found;
}

// True when the key found at `at` starts a key of its own: not the tail of
// a longer one such as "DriverCarIdx:" or "PaceCarIdx:".
static bool StartsKey(const char* text, const char* at) {
    if (at == text) return true;
    unsigned char before = static_cast<unsigned char>(at[-1]);
    return !(std::isalnum(before) || before == '_');
}

// The first occurrence at or after `from` of `key` standing as a key of its
// own, or nullptr.
static const char* FindKey(const char* text, const char* from, const char* key) {
    for (const char* at = std::strstr(from, key); at != nullptr; at = std::strstr(at + 1, key)) {
        if (StartsKey(text, at)) return at;
    }
    return nullptr;
}

// Where the list entry holding the line at `at` ends: at the next line that
// opens another list entry ("- " after the indent) or at the first blank
// line, whichever comes first; else at the end of the text.
static const char* EntryEnd(const char* at) {
    for (const char* nl = std::strchr(at, '\n'); nl != nullptr; nl = std::strchr(nl + 1, '\n')) {
        const char* line = nl + 1;
        if (*line == '\n') return nl;
        while (*line == ' ') line++;
        if (*line == '-') return nl;
    }
    return at + std::strlen(at);
}

// The "CarID:" of the driver entry whose "CarIdx:" is the player's car
// index, or nullptr when no entry has both. Entries with the player's index
// but no "CarID:" (the places in the positions lists) are passed over.
static const char* FindPlayerCarId(const char* text, int32_t player) {
    for (const char* idx = FindKey(text, text, "CarIdx:"); idx != nullptr;
         idx = FindKey(text, idx + 1, "CarIdx:")) {
        if (ReadInt(Skip(idx, 8)) != player) continue;
        const char* car = FindKey(text, idx, "CarID:");
        if (car == nullptr) return nullptr;   // none further on: no later entry has one
        if (car < EntryEnd(idx)) return car;
    }
    return nullptr;
}

static void ScanBlock(const char* block) {
    const char* laps = std::strstr(block, "SessionLaps:");
    if (laps != nullptr) CopyValue(session_laps_text, SESSION_LAPS_TEXT_SIZE, Skip(laps, 13));

    const char* cursor = block;
    int count = 0;
    while (count < SESSION_MAX_POSITIONS) {
        const char* entry_at = std::strstr(cursor, "- Position:");
        if (entry_at == nullptr) break;
        cursor = Skip(entry_at, 12);
        PositionEntry& entry = session_positions[count];
        const char* key = std::strstr(cursor, "CarIdx:");
        if (key != nullptr) entry.car_idx = ReadInt(Skip(key, 8));
        key = std::strstr(cursor, "FastestTime:");
        if (key != nullptr) CopyValue(entry.fastest_time, SESSION_TIME_TEXT_SIZE, Skip(key, 13));
        key = std::strstr(cursor, "LastTime:");
        if (key != nullptr) CopyValue(entry.last_time, SESSION_TIME_TEXT_SIZE, Skip(key, 10));
        count++;
    }
    std::snprintf(session_count_text, SESSION_NUMBER_TEXT_SIZE, "%i", count);
}

static void FindPlayer(int32_t player, int count) {
    // Only entries read in this scan take part: a cleared entry's car index
    // -1 must not match a player whose index is -1.
    for (int j = 0; j < count; j++) {
        const PositionEntry& entry = session_positions[j];
        if (entry.car_idx != player) continue;
        std::snprintf(session_position_text, SESSION_NUMBER_TEXT_SIZE, "%i", j + 1);
        std::memcpy(session_fastest_text, entry.fastest_time, SESSION_TIME_TEXT_SIZE);
        std::memcpy(session_last_text, entry.last_time, SESSION_TIME_TEXT_SIZE);
        return;
    }
}

void Tel_ParseSessionInfo(const char* text) {
    if (text == nullptr) return;
    const char* driver = std::strstr(text, "DriverCarIdx:");
    if (driver == nullptr) return;
    int32_t player = ReadInt(Skip(driver, 14));

    session_car_id = -1;
    const char* car = FindPlayerCarId(text, player);
    if (car == nullptr) car = std::strstr(text, "CarID:");
    if (car != nullptr) session_car_id = static_cast<int16_t>(ReadInt(Skip(car, 7)));

    bool last_closed = true;
    int blocks = FindSessionBlocks(text, &last_closed);
    if (!last_closed) return;
    const char* start = text;
    size_t len = 0;
    if (blocks > 0) {
        start = session_blocks[blocks - 1].start;
        len = static_cast<size_t>(session_blocks[blocks - 1].end - start);
    }

    char* block = new (std::nothrow) char[len + 1];
    if (block == nullptr) return;
    std::memcpy(block, start, len);
    block[len] = 0;

    ScanBlock(block);
    FindPlayer(player, ReadInt(session_count_text));
    delete[] block;
}

void Tel_StoreSessionInfo(TelemetrySnapshot& working) {
    working.car_id = session_car_id;
    working.fastest_time = ReadFloat(session_fastest_text);
    working.last_time = ReadFloat(session_last_text);
    if (std::strncmp(session_laps_text, "unlimited", 9) == 0) {
        working.session_laps = -1;
    } else {
        working.session_laps = static_cast<int16_t>(ReadInt(session_laps_text));
    }
    working.position = static_cast<uint8_t>(ReadInt(session_position_text));
    working.num_positions = static_cast<uint8_t>(ReadInt(session_count_text));
}
