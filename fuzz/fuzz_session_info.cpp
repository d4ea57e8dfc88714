// fuzz/fuzz_session_info.cpp: the session-info scanner over arbitrary text.
//
// The input, with a terminator added, is the text the simulator publishes.
// It sits in a buffer of exactly that size, so any read past the terminator
// is caught. After the scan every result text must be terminated inside its
// own storage and the stored numbers must lie in their ranges.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "telemetry/session_info.h"
#include "telemetry/snapshot.h"

namespace {

void CheckTerminated(const char* text, size_t size) {
    if (std::memchr(text, 0, size) == nullptr) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back(0);

    Tel_ResetSessionInfo();
    Tel_ParseSessionInfo(text.data());
    // A second scan over the same text starts from the first one's car
    // identifier, as the telemetry thread's scans do.
    Tel_ClearSessionInfo();
    Tel_ParseSessionInfo(text.data());

    CheckTerminated(session_laps_text, sizeof session_laps_text);
    CheckTerminated(session_fastest_text, sizeof session_fastest_text);
    CheckTerminated(session_last_text, sizeof session_last_text);
    CheckTerminated(session_position_text, sizeof session_position_text);
    CheckTerminated(session_count_text, sizeof session_count_text);
    for (const PositionEntry& entry : session_positions) {
        CheckTerminated(entry.fastest_time, sizeof entry.fastest_time);
        CheckTerminated(entry.last_time, sizeof entry.last_time);
    }

    TelemetrySnapshot working{};
    Tel_StoreSessionInfo(working);
    return 0;
}
