// Telemetry recordings (.ibt) as the stand-in writes and reads them: what
// --record writes reads back, and a file that is no recording, is cut
// short or does not fit the stand-in is refused in plain words.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/simulator/ibt.h"

namespace {

bool ReadMemory(void* ctx, uint64_t offset, void* dst, uint32_t len) {
    const auto& bytes = *static_cast<const std::vector<uint8_t>*>(ctx);
    if (offset > bytes.size() || len > bytes.size() - offset) return false;
    std::memcpy(dst, bytes.data() + offset, len);
    return true;
}
IbtSource Source(std::vector<uint8_t>& bytes) { return IbtSource{ReadMemory, &bytes, bytes.size()}; }

constexpr int kFrameLen = 1071, kFrames = 5;   // frames not a multiple of 4 long, as the simulator's are
const std::string kSession = "DriverInfo:\n DriverCarIdx: 1\nSessionInfo:\n ResultsFastestLap:\n - CarIdx: 1\n"
                             "   FastestLap: 3\n Drivers:\n - CarIdx: 0\n   CarScreenName: Pace Car\n"
                             " - CarIdx: 1\n   CarScreenName: Test Car\n\n";

// What --record writes: three variables at unaligned offsets, then five
// frames whose byte b of frame i is i * 31 + b; the recording closed or not.
std::vector<uint8_t> Record(const std::string& session, bool close) {
    const auto path = std::filesystem::temp_directory_path() / ("sim_ibt_" + std::to_string(getpid()));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    uint8_t table[3][LAYOUT_VAR_HEADER_SIZE] = {};
    const struct { const char* name; int32_t type, offset; } vars[] = {{"SessionTime", 5, 0}, {"Lap", 2, 209}, {"Speed", 4, 302}};
    for (int i = 0; i < 3; i++) {
        std::memcpy(table[i], &vars[i].type, 4);
        std::memcpy(table[i] + 4, &vars[i].offset, 4);
        table[i][8] = 1;   // one value
        std::strcpy(reinterpret_cast<char*>(table[i] + 16), vars[i].name);
    }
    EXPECT_TRUE(Ibt_WriteBegin(f, 60, table[0], 3, session.data(), static_cast<int32_t>(session.size()), kFrameLen, 1719258336));
    std::vector<uint8_t> frame(kFrameLen);
    for (int i = 0; i < kFrames; i++) {
        for (int b = 0; b < kFrameLen; b++) frame[static_cast<size_t>(b)] = static_cast<uint8_t>(i * 31 + b);
        EXPECT_TRUE(Ibt_WriteFrame(frame.data()));
    }
    if (close) {
        EXPECT_TRUE(Ibt_WriteEnd(777, 932.0, 938.5, 2));
    }
    std::fclose(f);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    return bytes;
}

}  // namespace

TEST(SimIbt, WhatRecordWritesReadsBackWithItsFramesVariablesAndThePlayersCar) {
    std::vector<uint8_t> bytes = Record(kSession, true);
    IbtRecording rec;
    char error[IBT_ERROR_SIZE] = "";
    ASSERT_TRUE(Ibt_Open(Source(bytes), rec, error, sizeof error)) << error;
    EXPECT_EQ(rec.frame_count, kFrames);
    EXPECT_EQ(std::string(rec.session), kSession);
    EXPECT_EQ(Ibt_VarOffset(rec, "Speed", 4), 302);
    EXPECT_EQ(Ibt_VarOffset(rec, "Gear", 4), -1);
    EXPECT_EQ(Ibt_VarOffset(rec, "Speed", kFrameLen - 301), -1);   // a value past the frame's end
    char car[64];
    Ibt_PlayerCar(rec, car, sizeof car);   // the driver list's entry, not that of an earlier list
    EXPECT_STREQ(car, "Test Car");
    std::vector<uint8_t> frame(kFrameLen);
    for (int i = 0; i < kFrames; i++) {
        ASSERT_TRUE(Ibt_ReadFrame(Source(bytes), rec, i, frame.data()));
        EXPECT_EQ(frame[kFrameLen - 1], static_cast<uint8_t>(i * 31 + kFrameLen - 1)) << i;
    }
    EXPECT_FALSE(Ibt_ReadFrame(Source(bytes), rec, kFrames, frame.data()));

    bytes = Record(kSession, false);   // not closed: it plays the whole frames it holds
    bytes.resize(bytes.size() - 10);
    ASSERT_TRUE(Ibt_Open(Source(bytes), rec, error, sizeof error)) << error;
    EXPECT_EQ(rec.frame_count, kFrames - 1);
}

TEST(SimIbt, AFileThatIsNoRecordingIsCutShortOrDoesNotFitIsRefusedWithItsReason) {
    const std::vector<uint8_t> good = Record(kSession, true);
    const std::string no = "is not a telemetry recording written by the simulator";
    const std::string early = "is a telemetry recording cut short before its first frame";
    int32_t frames_at;
    std::memcpy(&frames_at, &good[LAYOUT_BUFFER_TABLE + 4], 4);
    struct Case { std::string what; std::vector<uint8_t> bytes; std::string reason; };
    std::vector<Case> cases;
    for (size_t cut = 0; cut < good.size(); cut++) {   // every cut of the file
        const std::string reason = cut < IBT_VAR_TABLE ? no : cut < static_cast<size_t>(frames_at) ? early
            : "is a telemetry recording cut short: it holds " + std::to_string((cut - frames_at) / kFrameLen) + " of its 5 frames";
        cases.push_back({"cut at " + std::to_string(cut), {good.begin(), good.begin() + static_cast<long>(cut)}, reason});
    }
    const struct { const char* what; int at; int32_t value; std::string reason; size_t pad = 0; } fields[] = {
        {"version 3", LAYOUT_VER, 3, no},
        {"tick rate 1001", LAYOUT_TICK_RATE, 1001, no},
        {"three buffers, as the live memory has", LAYOUT_NUM_BUFFERS, 3, no},
        {"session text over the sub-header, as in the live memory", LAYOUT_SESSION_OFS, IBT_HEADER_SIZE, no},
        {"negative record count", IBT_HEADER_SIZE + 28, -1, no},
        {"variable table past the end", LAYOUT_VAR_HEADERS, 0x7fffff00, early},
        {"session text longer than the file", LAYOUT_SESSION_LEN, 0x7fffffff, early},
        {"more frames than the file holds", IBT_HEADER_SIZE + 28, kFrames + 1,
         "is a telemetry recording cut short: it holds 5 of its 6 frames"},
        {"no variables", LAYOUT_NUM_VARS, 0, "is a telemetry recording without a single variable"},
        {"more variables than the mapping holds", LAYOUT_NUM_VARS, LAYOUT_MAX_VARS + 1,
         "is a telemetry recording of 455 variables, more than the 454 the stand-in can publish",
         LAYOUT_MAX_VARS * LAYOUT_VAR_HEADER_SIZE},
        {"frame longer than a buffer slot", LAYOUT_FRAME_LEN, LAYOUT_SLOT_SIZE + 1,
         "is a telemetry recording of frames of 258049 bytes, longer than the 258048 the stand-in can publish",
         kFrames * (LAYOUT_SLOT_SIZE + 1)},
    };
    for (const auto& f : fields) {
        cases.push_back({f.what, good, f.reason});
        cases.back().bytes.resize(good.size() + f.pad);
        std::memcpy(&cases.back().bytes[static_cast<size_t>(f.at)], &f.value, 4);
    }
    cases.push_back({"session text longer than the session area", Record(std::string(LAYOUT_SESSION_MAX, 'x'), true),
                     "is a telemetry recording with a session text of 131072 bytes, more than the 131071 the stand-in can publish"});
    for (Case& c : cases) {
        IbtRecording rec;
        char error[IBT_ERROR_SIZE] = "";
        EXPECT_FALSE(Ibt_Open(Source(c.bytes), rec, error, sizeof error)) << c.what;
        EXPECT_EQ(error, c.reason) << c.what;
    }
}
