// fuzz/make_ibt_seeds.cpp: writes the seed recordings of fuzz_ibt with the
// stand-in's own recording writer: small recordings with the variables a
// dashboard reads at unaligned offsets, frame lengths that are not
// multiples of 4, a session text with and without a terminator, a
// recording the simulator did not close (record count 0), and a multi-car
// driver list.
//   make_ibt_seeds DIR
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/simulator/ibt.h"

namespace {

struct Var {
    const char* name;
    int type;
    int offset;
};

void PutHeader(std::vector<uint8_t>& table, const Var& v) {
    uint8_t e[LAYOUT_VAR_HEADER_SIZE] = {};
    const int32_t count = 1;
    std::memcpy(e + 0, &v.type, 4);
    std::memcpy(e + 4, &v.offset, 4);
    std::memcpy(e + 8, &count, 4);
    std::snprintf(reinterpret_cast<char*>(e + 16), 32, "%s", v.name);
    table.insert(table.end(), e, e + sizeof e);
}

bool WriteSeed(const std::string& path, int frame_len, int frames, const std::string& session,
               bool close) {
    static const Var vars[] = {
        {"SessionTime", 5, 0},   {"IsOnTrack", 1, 8},       {"Gear", 2, 9},
        {"RPM", 4, 13},          {"Throttle", 4, 17},       {"Brake", 4, 21},
        {"Speed", 4, 25},        {"ShiftIndicatorPct", 4, 29}, {"EngineWarnings", 3, 33},
        {"Lap", 2, 37},          {"FuelLevel", 4, 41},      {"WaterTemp", 4, 45},
        {"OilTemp", 4, 49},      {"SessionFlags", 3, 53},
    };
    std::vector<uint8_t> table;
    for (const Var& v : vars) PutHeader(table, v);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = Ibt_WriteBegin(f, 60, table.data(), static_cast<int32_t>(table.size() / LAYOUT_VAR_HEADER_SIZE),
                             session.data(), static_cast<int32_t>(session.size()), frame_len,
                             1719258336);
    std::vector<uint8_t> frame(static_cast<size_t>(frame_len));
    for (int i = 0; i < frames; i++) {
        for (int b = 0; b < frame_len; b++) frame[static_cast<size_t>(b)] = static_cast<uint8_t>(i * 7 + b);
        if (frame_len > 8) frame[8] = 1;
        ok = Ibt_WriteFrame(frame.data()) && ok;
    }
    if (close) ok = Ibt_WriteEnd(frames, 100.0, 100.0 + frames / 60.0, 1) && ok;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_ibt_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string one =
        "WeekendInfo:\n TrackName: seed ring\n TrackDisplayName: Seed Ring\n"
        "DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   CarID: 161\n"
        "   CarScreenName: Seed Car\n\nSessionInfo:\n Sessions:\n - SessionNum: 0\n"
        "   SessionLaps: unlimited\n   ResultsPositions:\n\n...\n";
    const std::string field =
        "WeekendInfo:\n TrackDisplayName: Seed Park\nDriverInfo:\n DriverCarIdx: 2\n Drivers:\n"
        " - CarIdx: 0\n   CarID: 11\n   CarScreenName: Pace Car\n"
        " - CarIdx: 1\n   CarID: 12\n   CarScreenName: Car One\n"
        " - CarIdx: 2\n   CarID: 13\n   CarScreenName: Car Two\n\n"
        "SessionInfo:\n Sessions:\n - SessionNum: 0\n   SessionLaps: 20\n   ResultsPositions:\n"
        "   - Position: 1\n     CarIdx: 2\n     FastestTime: 81.5\n     LastTime: 82.0\n\n";
    bool ok = WriteSeed(dir + "/one-driver", 57, 6, one, true);
    ok = WriteSeed(dir + "/field", 61, 3, field, true) && ok;
    ok = WriteSeed(dir + "/not-closed", 58, 4, one, false) && ok;
    ok = WriteSeed(dir + "/terminated-text", 64, 2, one + std::string(1, '\0'), true) && ok;
    return ok ? 0 : 1;
}
