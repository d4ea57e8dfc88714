// Telemetry recordings (.ibt) as the stand-in writes and reads them: what
// --record writes reads back byte for byte, every file that is no recording,
// is cut short or is too big is refused in plain words (never read past its
// end), and the simulator's own recording (when ../shared/recordings is
// there) reads as its README says.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "recordings.h"
#include "tools/simulator/ibt.h"

namespace {

struct Memory {
    std::vector<uint8_t> bytes;
    int reads_outside = 0;
};

bool ReadMemory(void* ctx, uint64_t offset, void* dst, uint32_t len) {
    Memory& m = *static_cast<Memory*>(ctx);
    if (offset > m.bytes.size() || len > m.bytes.size() - offset) {
        m.reads_outside++;
        return false;
    }
    std::memcpy(dst, m.bytes.data() + offset, len);
    return true;
}

IbtSource Source(Memory& m) { return IbtSource{ReadMemory, &m, m.bytes.size()}; }

int32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    int32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void Put32(std::vector<uint8_t>& b, size_t at, int32_t v) { std::memcpy(b.data() + at, &v, 4); }

// Three variables at unaligned offsets, 1071-byte frames (not a multiple of
// 4): the layout of a real recording in small.
std::vector<uint8_t> VarTable() {
    struct { const char* name; int32_t type, offset; } vars[] = {
        {"SessionTime", 5, 0}, {"Lap", 2, 209}, {"Speed", 4, 302}};
    std::vector<uint8_t> t;
    for (const auto& v : vars) {
        uint8_t e[LAYOUT_VAR_HEADER_SIZE] = {};
        const int32_t one = 1;
        std::memcpy(e, &v.type, 4);
        std::memcpy(e + 4, &v.offset, 4);
        std::memcpy(e + 8, &one, 4);
        std::snprintf(reinterpret_cast<char*>(e + 16), 32, "%s", v.name);
        t.insert(t.end(), e, e + sizeof e);
    }
    return t;
}

constexpr int kFrameLen = 1071;
constexpr int kFrames = 5;
const std::string kSession =
    "WeekendInfo:\n TrackDisplayName: Test Ring\nDriverInfo:\n DriverCarIdx: 1\n"
    "SessionInfo:\n ResultsFastestLap:\n - CarIdx: 1\n   FastestLap: 3\n Drivers:\n"
    " - CarIdx: 0\n   CarScreenName: Pace Car\n - CarIdx: 1\n   CarScreenName: Test Car\n\n";

uint8_t FrameByte(int frame, int at) { return static_cast<uint8_t>(frame * 31 + at); }

// Writes a recording with the writer of --record into a file and returns
// its bytes.
std::vector<uint8_t> Record(const std::string& session, bool close) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("sim_ibt_" + std::to_string(getpid()))).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::vector<uint8_t> table = VarTable();
    EXPECT_TRUE(Ibt_WriteBegin(f, 60, table.data(), 3, session.data(),
                               static_cast<int32_t>(session.size()), kFrameLen, 1719258336));
    std::vector<uint8_t> frame(kFrameLen);
    for (int i = 0; i < kFrames; i++) {
        for (int b = 0; b < kFrameLen; b++) frame[static_cast<size_t>(b)] = FrameByte(i, b);
        EXPECT_TRUE(Ibt_WriteFrame(frame.data()));
    }
    EXPECT_EQ(Ibt_FramesWritten(), kFrames);
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

TEST(SimIbt, RecordingReadsBackAsWritten) {
    Memory m{Record(kSession, true)};
    // The text is written without a terminator: the frames follow at once.
    const size_t session_at = static_cast<size_t>(Get32(m.bytes, LAYOUT_SESSION_OFS));
    EXPECT_EQ(Get32(m.bytes, LAYOUT_BUFFER_TABLE + 4), static_cast<int32_t>(session_at + kSession.size()));
    EXPECT_EQ(m.bytes.size(), session_at + kSession.size() + kFrames * kFrameLen);

    IbtRecording rec;
    char error[IBT_ERROR_SIZE] = "";
    ASSERT_TRUE(Ibt_Open(Source(m), rec, error, sizeof error)) << error;
    EXPECT_EQ(rec.frame_count, kFrames);
    EXPECT_EQ(rec.record_count, kFrames);
    EXPECT_EQ(std::string(rec.session), kSession);

    EXPECT_EQ(Ibt_VarOffset(rec, "Speed", 4), 302);
    EXPECT_EQ(Ibt_VarOffset(rec, "Gear", 4), -1);
    EXPECT_EQ(Ibt_VarOffset(rec, "Speed", kFrameLen - 301), -1) << "a value past the frame's end";
    char text[64];
    // The player's entry of the driver list, not an earlier list's entry
    // with the same car index, nor the first driver.
    Ibt_PlayerCar(rec, text, sizeof text);
    EXPECT_STREQ(text, "Test Car");

    std::vector<uint8_t> frame(kFrameLen);
    for (int i = 0; i < kFrames; i++) {
        ASSERT_TRUE(Ibt_ReadFrame(Source(m), rec, i, frame.data()));
        EXPECT_EQ(frame[0], FrameByte(i, 0));
        EXPECT_EQ(frame[kFrameLen - 1], FrameByte(i, kFrameLen - 1));
    }
    EXPECT_FALSE(Ibt_ReadFrame(Source(m), rec, kFrames, frame.data()));
    EXPECT_FALSE(Ibt_ReadFrame(Source(m), rec, -1, frame.data()));
    EXPECT_EQ(m.reads_outside, 0);

    // A recording the simulator did not close (record count 0) plays the
    // whole frames it holds; a cut last frame is left out.
    Memory open{Record(kSession, false)};
    open.bytes.resize(open.bytes.size() - 10);
    ASSERT_TRUE(Ibt_Open(Source(open), rec, error, sizeof error)) << error;
    EXPECT_EQ(rec.frame_count, kFrames - 1);
}

TEST(SimIbt, ShortOrCorruptFilesAreRefusedWithAReason) {
    const std::vector<uint8_t> good = Record(kSession, true);
    IbtRecording rec;
    char error[IBT_ERROR_SIZE];
    const std::string not_recording = "is not a telemetry recording written by the simulator";
    const std::string cut_early = "is a telemetry recording cut short before its first frame";

    // Every cut of the file: refused, as no recording while its header is
    // not all there, as one cut short after (none of its frames is spare).
    const size_t frames_at = static_cast<size_t>(Get32(good, LAYOUT_BUFFER_TABLE + 4));
    for (size_t cut = 0; cut < good.size(); cut++) {
        Memory m{std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut))};
        error[0] = 0;
        EXPECT_FALSE(Ibt_Open(Source(m), rec, error, sizeof error)) << "cut at " << cut;
        const std::string want = cut < IBT_VAR_TABLE ? not_recording
                                 : cut < frames_at
                                     ? cut_early
                                     : "is a telemetry recording cut short: it holds " +
                                           std::to_string((cut - frames_at) / kFrameLen) +
                                           " of its 5 frames";
        EXPECT_EQ(error, want) << "cut at " << cut;
        EXPECT_EQ(m.reads_outside, 0) << "cut at " << cut;
    }

    struct Case {
        const char* what;
        int offset;
        int32_t value;
        const char* reason;   // what follows the file's name
        size_t pad = 0;       // zero bytes added at the end of the file
    } cases[] = {
        {"version 0", LAYOUT_VER, 0, not_recording.c_str()},
        {"version 3", LAYOUT_VER, 3, not_recording.c_str()},
        {"tick rate 0", LAYOUT_TICK_RATE, 0, not_recording.c_str()},
        {"tick rate 1001", LAYOUT_TICK_RATE, 1001, not_recording.c_str()},
        {"no buffers", LAYOUT_NUM_BUFFERS, 0, not_recording.c_str()},
        {"three buffers, as the live memory has", LAYOUT_NUM_BUFFERS, 3, not_recording.c_str()},
        {"negative variables", LAYOUT_NUM_VARS, -3, not_recording.c_str()},
        {"frame length 0", LAYOUT_FRAME_LEN, 0, not_recording.c_str()},
        {"session text of negative length", LAYOUT_SESSION_LEN, -1, not_recording.c_str()},
        {"session text over the sub-header, as in the live memory", LAYOUT_SESSION_OFS,
         IBT_HEADER_SIZE, not_recording.c_str()},
        {"variable table over the sub-header", LAYOUT_VAR_HEADERS, IBT_VAR_TABLE - 1,
         not_recording.c_str()},
        {"frames over the sub-header", LAYOUT_BUFFER_TABLE + 4, 0, not_recording.c_str()},
        {"negative lap count", IBT_HEADER_SIZE + 24, -1, not_recording.c_str()},
        {"negative record count", IBT_HEADER_SIZE + 28, -1, not_recording.c_str()},
        {"variables past the end", LAYOUT_NUM_VARS, 4000, cut_early.c_str()},
        {"variable table past the end", LAYOUT_VAR_HEADERS, 0x7fffff00, cut_early.c_str()},
        {"session text past the end", LAYOUT_SESSION_OFS, static_cast<int32_t>(good.size()) - 10,
         cut_early.c_str()},
        {"session text longer than the file", LAYOUT_SESSION_LEN, 0x7fffffff, cut_early.c_str()},
        {"frames past the end", LAYOUT_BUFFER_TABLE + 4, 0x7fffffff, cut_early.c_str()},
        {"more frames than the file holds", IBT_HEADER_SIZE + 28, kFrames + 1,
         "is a telemetry recording cut short: it holds 5 of its 6 frames"},
        {"no variables", LAYOUT_NUM_VARS, 0, "is a telemetry recording without a single variable"},
        {"more variables than the mapping holds", LAYOUT_NUM_VARS, LAYOUT_MAX_VARS + 1,
         "is a telemetry recording of 455 variables, more than the 454 the stand-in can publish",
         LAYOUT_MAX_VARS * LAYOUT_VAR_HEADER_SIZE},
        {"frame longer than a buffer slot", LAYOUT_FRAME_LEN, LAYOUT_SLOT_SIZE + 1,
         "is a telemetry recording of frames of 258049 bytes, longer than the 258048 the stand-in "
         "can publish",
         kFrames * (LAYOUT_SLOT_SIZE + 1)},
    };
    for (const Case& c : cases) {
        Memory m{good};
        m.bytes.resize(m.bytes.size() + c.pad);
        Put32(m.bytes, static_cast<size_t>(c.offset), c.value);
        error[0] = 0;
        EXPECT_FALSE(Ibt_Open(Source(m), rec, error, sizeof error)) << c.what;
        EXPECT_STREQ(error, c.reason) << c.what;
        EXPECT_EQ(m.reads_outside, 0) << c.what;
    }

    // A session text longer than the mapping's session area is refused.
    Memory huge{Record(std::string(LAYOUT_SESSION_MAX, 'x'), true)};
    EXPECT_FALSE(Ibt_Open(Source(huge), rec, error, sizeof error));
    EXPECT_STREQ(error, "is a telemetry recording with a session text of 131072 bytes, more than "
                        "the 131071 the stand-in can publish");
}

TEST(SimIbt, SimulatorsOwnRecordingReadsAsDescribed) {
    const std::string path = recordings::Path(recordings::DISK);
    const std::string dump_path = recordings::Path(recordings::LIVE_DUMP);
    if (path.empty() || dump_path.empty())
        GTEST_SKIP() << "../shared/recordings is absent or incomplete: no real recording to read";
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file.good());
    IbtSource src = Ibt_FileSource(file);
    IbtRecording rec;
    char error[IBT_ERROR_SIZE] = "";
    ASSERT_TRUE(Ibt_Open(src, rec, error, sizeof error)) << error;
    EXPECT_EQ(rec.frame_count, 390);
    char text[96];
    Ibt_PlayerCar(rec, text, sizeof text);
    EXPECT_STREQ(text, "Mercedes-AMG W13 E Performance");
    std::vector<uint8_t> frame(static_cast<size_t>(rec.frame_len));
    ASSERT_TRUE(Ibt_ReadFrame(src, rec, 389, frame.data()));
    int32_t lap;
    std::memcpy(&lap, frame.data() + Ibt_VarOffset(rec, "Lap", 4), 4);
    EXPECT_EQ(lap, 9);

    // The live mapping's dump is no recording: what would be its sub-header
    // is session text.
    std::ifstream dump(dump_path, std::ios::binary);
    ASSERT_TRUE(dump.good());
    EXPECT_FALSE(Ibt_Open(Ibt_FileSource(dump), rec, error, sizeof error));
    EXPECT_STREQ(error, "is not a telemetry recording written by the simulator");
    // Cut within the last frame: refused.
    std::vector<uint8_t> bytes(static_cast<size_t>(src.size));
    ASSERT_TRUE(src.read(src.ctx, 0, bytes.data(), static_cast<uint32_t>(bytes.size())));
    Memory cut{std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)};
    EXPECT_FALSE(Ibt_Open(Source(cut), rec, error, sizeof error));
    EXPECT_STREQ(error, "is a telemetry recording cut short: it holds 389 of its 390 frames");
}
