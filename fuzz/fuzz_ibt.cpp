// fuzz/fuzz_ibt.cpp: the stand-in's reader of telemetry recordings (.ibt)
// over arbitrary file bytes.
//
// The input is the whole file, held in a buffer of exactly its size, so any
// read outside it is caught. When the reader accepts the file, every frame
// it promises is read (the first 64 and the last), the variables a
// dashboard needs are looked up and read as a replay does, and the texts
// shown at start-up are taken; what the reader hands out must stay within
// the stand-in's mapping: a terminated session text that fits the session
// area, a variable table and frame length that fit their places.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/simulator/ibt.h"

namespace {

const uint8_t* input;
size_t input_size;

bool ReadInput(void*, uint64_t offset, void* dst, uint32_t len) {
    if (offset > input_size || len > input_size - offset) return false;
    std::memcpy(dst, input + offset, len);
    return true;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input = data;
    input_size = size;
    const IbtSource src{ReadInput, nullptr, size};
    IbtRecording rec;
    char error[IBT_ERROR_SIZE];
    if (!Ibt_Open(src, rec, error, sizeof error)) {
        Check(std::memchr(error, 0, sizeof error) != nullptr && error[0] != 0);
        return 0;
    }
    Check(rec.num_vars >= 1 && rec.num_vars <= LAYOUT_MAX_VARS);
    Check(rec.frame_len >= 1 && rec.frame_len <= LAYOUT_SLOT_SIZE);
    Check(rec.frame_count >= 1);
    Check(rec.session_len >= 0 && rec.session_len < LAYOUT_SESSION_MAX);
    Check(rec.session[rec.session_len] == 0 &&
          std::strlen(rec.session) == static_cast<size_t>(rec.session_len));
    Check(rec.frames_offset >= 0 &&
          static_cast<uint64_t>(rec.frames_offset) +
                  static_cast<uint64_t>(rec.frame_count) * static_cast<uint64_t>(rec.frame_len) <=
              size);

    static std::vector<uint8_t> frame(LAYOUT_SLOT_SIZE);
    static const char* const names[] = {"Gear", "RPM", "Throttle", "Brake", "ShiftIndicatorPct",
                                        "Speed", "EngineWarnings", "Lap", "WaterTemp", "OilTemp",
                                        "FuelLevel", "IsOnTrack", "SessionFlags"};
    volatile uint32_t sink = 0;
    const int frames = rec.frame_count < 64 ? rec.frame_count : 64;
    for (int i = 0; i <= frames; i++) {
        const int index = i < frames ? i : rec.frame_count - 1;
        Check(Ibt_ReadFrame(src, rec, index, frame.data()));
        for (const char* name : names) {
            int ofs = Ibt_VarOffset(rec, name, 4);
            if (ofs < 0) continue;
            Check(ofs + 4 <= rec.frame_len);
            uint32_t v;
            std::memcpy(&v, frame.data() + ofs, 4);
            sink = sink + v;
        }
    }
    Check(!Ibt_ReadFrame(src, rec, rec.frame_count, frame.data()));
    Check(!Ibt_ReadFrame(src, rec, -1, frame.data()));

    char text[96];
    Ibt_SessionValue(rec, "TrackDisplayName:", 0, text, sizeof text);
    Check(std::strlen(text) < sizeof text);
    Ibt_PlayerCar(rec, text, sizeof text);
    Check(std::strlen(text) < sizeof text);
    return 0;
}
