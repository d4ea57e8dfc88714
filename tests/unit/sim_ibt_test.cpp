// The stand-in's reader of telemetry recordings (.ibt), over the simulator's
// own recording: it reads as the recordings' README describes it, and the
// same file cut short or corrupted is refused in plain words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "recordings.h"
#include "tools/simulator/ibt.h"

namespace {

bool ReadMemory(void* ctx, uint64_t offset, void* dst, uint32_t len) {
    const auto& bytes = *static_cast<const std::vector<uint8_t>*>(ctx);
    if (offset > bytes.size() || len > bytes.size() - offset) return false;
    std::memcpy(dst, bytes.data() + offset, len);
    return true;
}
IbtSource Source(std::vector<uint8_t>& bytes) { return IbtSource{ReadMemory, &bytes, bytes.size()}; }
// "" when `bytes` open as a recording, else the reason they are refused.
std::string Open(std::vector<uint8_t> bytes, IbtRecording& rec) {
    char error[IBT_ERROR_SIZE] = "";
    return Ibt_Open(Source(bytes), rec, error, sizeof error) ? "" : error;
}
void Put(std::vector<uint8_t>& bytes, size_t at, int32_t value) { std::memcpy(&bytes.at(at), &value, 4); }
constexpr int RECORD_COUNT = IBT_HEADER_SIZE + 28;

}  // namespace

TEST(SimIbt, TheSimulatorsOwnRecordingReadsAsDescribed) {
    std::vector<uint8_t> bytes = recordings::Read(recordings::DISK);
    if (bytes.empty()) GTEST_SKIP() << recordings::MISSING;
    IbtRecording rec;
    ASSERT_EQ(Open(bytes, rec), "");
    EXPECT_EQ(rec.frame_count, 390);
    char car[96];
    Ibt_PlayerCar(rec, car, sizeof car);
    EXPECT_STREQ(car, "Mercedes-AMG W13 E Performance");
    const int lap_at = Ibt_VarOffset(rec, "Lap", 4);
    std::vector<uint8_t> frame(static_cast<size_t>(rec.frame_len));
    ASSERT_TRUE(Ibt_ReadFrame(Source(bytes), rec, 389, frame.data()));
    EXPECT_EQ(frame.at(static_cast<size_t>(lap_at)), 9);
    EXPECT_EQ(Ibt_VarOffset(rec, "Lap", rec.frame_len - lap_at), lap_at);
    EXPECT_EQ(Ibt_VarOffset(rec, "Lap", rec.frame_len - lap_at + 1), -1);   // a value past the frame's end

    Put(bytes, RECORD_COUNT, 0);   // not closed, its last frame cut: it plays the whole ones
    bytes.pop_back();
    ASSERT_EQ(Open(bytes, rec), "");
    EXPECT_EQ(rec.frame_count, 389);
}

TEST(SimIbt, TheSimulatorsRecordingCutShortOrCorruptedIsRefusedWithItsReason) {
    const std::vector<uint8_t> good = recordings::Read(recordings::DISK);
    if (good.empty()) GTEST_SKIP() << recordings::MISSING;
    const std::string no = "is not a telemetry recording written by the simulator";
    const std::string is = "is a telemetry recording ", early = is + "cut short before its first frame";
    const std::string holds = is + "cut short: it holds ";
    IbtRecording rec;
    ASSERT_EQ(Open(good, rec), "");
    const size_t frames_at = static_cast<size_t>(rec.frames_offset), frame_len = rec.frame_len;
    const long text_at = rec.frames_offset - rec.session_len;   // the frames follow the text at once
    // Cut at every byte of the headers, then at every 997th, and before its last byte.
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut < good.size(); cut += cut < 500 ? 1 : 997) cuts.push_back(cut);
    cuts.push_back(good.size() - 1);
    for (size_t cut : cuts) {
        const std::string want = cut < IBT_VAR_TABLE ? no : cut < frames_at ? early
            : holds + std::to_string((cut - frames_at) / frame_len) + " of its 390 frames";
        EXPECT_EQ(Open({good.begin(), good.begin() + static_cast<long>(cut)}, rec), want) << "cut at " << cut;
    }
    // A header field changed; the record count made 0 (not closed) when `open`; the session text
    // made that long, without a zero byte, when `text`.
    const struct {
        const char* what; size_t at; int32_t value; std::string reason; bool open = false, text = false;
    } fields[] = {
        {"version 3", LAYOUT_VER, 3, no},
        {"more frames than the file holds", RECORD_COUNT, 391, holds + "390 of its 391 frames"},
        {"no variables", LAYOUT_NUM_VARS, 0, is + "without a single variable"},
        {"more variables than the mapping holds", LAYOUT_NUM_VARS, LAYOUT_MAX_VARS + 1,
         is + "of 455 variables, more than the 454 the stand-in can publish"},
        {"frames longer than a buffer slot", LAYOUT_FRAME_LEN, LAYOUT_SLOT_SIZE + 1,
         is + "of frames of 258049 bytes, longer than the 258048 the stand-in can publish", true},
        {"session text longer than the session area", LAYOUT_SESSION_LEN, LAYOUT_SESSION_MAX,
         is + "with a session text of 131072 bytes, more than the 131071 the stand-in can publish",
         false, true},
    };
    for (const auto& f : fields) {
        std::vector<uint8_t> bytes = good;
        if (f.open) Put(bytes, RECORD_COUNT, 0);
        Put(bytes, f.at, f.value);
        if (f.text) std::fill(bytes.begin() + text_at, bytes.begin() + text_at + f.value, 'x');
        EXPECT_EQ(Open(bytes, rec), f.reason) << f.what;
    }
}
