// The stand-in's mapping as a reader sees it: header, variable table,
// rotating frame buffers and session-info text, read back by offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/simulator/layout.h"
#include "tools/simulator/variables.h"

namespace {

int32_t I32(const std::vector<uint8_t>& m, size_t at) {
    int32_t v;
    std::memcpy(&v, m.data() + at, 4);
    return v;
}

struct Entry {
    int type, offset, count;
    std::string name;
};

// Walks the variable table the way a reader does: count and offset from
// the header, 144-byte entries, names of at most 32 bytes.
std::vector<Entry> ReadTable(const std::vector<uint8_t>& m) {
    std::vector<Entry> out;
    int n = I32(m, 24), at = I32(m, 28);
    for (int i = 0; i < n; i++) {
        size_t e = static_cast<size_t>(at + i * 144);
        const char* name = reinterpret_cast<const char*>(m.data() + e + 16);
        out.push_back({I32(m, e), I32(m, e + 4), I32(m, e + 8), std::string(name, strnlen(name, 32))});
    }
    return out;
}

const char* const kServerVars[13] = {"Gear", "RPM", "Throttle", "Brake", "ShiftIndicatorPct",
                                     "Speed", "EngineWarnings", "Lap", "WaterTemp", "OilTemp",
                                     "FuelLevel", "IsOnTrack", "SessionFlags"};

struct Mapping : ::testing::Test {
    std::vector<uint8_t> m = std::vector<uint8_t>(LAYOUT_MAPPING_SIZE, 0xAB);
    void SetUp() override {
        Var_Init();
        Layout_Init(m.data(), 60, LAYOUT_DEFAULT_BUFFERS);
        Layout_SetFrameLength(var_frame_len);
        static LayoutVarHeader h[LAYOUT_MAX_VARS];
        Layout_WriteVarHeaders(h, Var_PublishedHeaders(h, LAYOUT_MAX_VARS));
    }
    void TearDown() override { Layout_Reset(); }
};

}  // namespace

TEST_F(Mapping, HeaderAndVariableTableLetAReaderFindTheThirteenChannels) {
    EXPECT_EQ(I32(m, 4), 0) << "status stays clear until the stand-in sets it";
    EXPECT_EQ(I32(m, 20), LAYOUT_SESSION_OFFSET);
    EXPECT_EQ(I32(m, 32), 3);
    int frame_len = I32(m, 36);
    EXPECT_GT(frame_len, 6000);
    EXPECT_LT(frame_len, 10000);
    std::vector<Entry> table = ReadTable(m);
    EXPECT_GE(table.size(), 200u);
    EXPECT_LE(static_cast<int>(I32(m, 28) + table.size() * 144), LAYOUT_SESSION_OFFSET);

    std::set<std::string> names;
    std::vector<std::pair<int, int>> spans;
    for (const Entry& e : table) {
        EXPECT_TRUE(names.insert(e.name).second) << "duplicate " << e.name;
        EXPECT_LT(e.name.size(), 32u) << e.name;
        int size = e.type == VAR_DOUBLE ? 8 : (e.type <= VAR_BOOL ? 1 : 4);
        EXPECT_EQ(e.offset % size, 0) << e.name << " is not aligned";
        EXPECT_LE(e.offset + size * e.count, frame_len) << e.name;
        spans.push_back({e.offset, e.offset + size * e.count});
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); i++) EXPECT_LE(spans[i - 1].second, spans[i].first);

    // Each server channel once, with the type the server assumes, and the
    // thirteen spread over the frame rather than packed at its start.
    int lowest = frame_len, highest = 0;
    for (const char* want : kServerVars) {
        int found = 0;
        for (const Entry& e : table) {
            if (e.name != want) continue;
            found++;
            int expected = std::string(want) == "IsOnTrack" ? VAR_BOOL
                           : (std::string(want) == "Gear" || std::string(want) == "Lap") ? VAR_INT
                           : (std::string(want) == "EngineWarnings" || std::string(want) == "SessionFlags")
                               ? VAR_BITFIELD
                               : VAR_FLOAT;
            EXPECT_EQ(e.type, expected) << want;
            EXPECT_EQ(e.count, 1) << want;
            lowest = std::min(lowest, e.offset);
            highest = std::max(highest, e.offset);
        }
        EXPECT_EQ(found, 1) << want;
    }
    EXPECT_GT(highest - lowest, frame_len / 3);
}

TEST_F(Mapping, FramesRotateThroughTheBuffersWithRisingTicks) {
    auto tick = [&](int b) { return I32(m, 48 + b * 16); };
    auto slot = [&](int b) { return static_cast<size_t>(I32(m, 48 + b * 16 + 4)); };
    int len = I32(m, 36);
    for (int b = 0; b < 3; b++) {
        EXPECT_EQ(tick(b), 0);
        EXPECT_GE(slot(b), static_cast<size_t>(LAYOUT_BUFFERS_OFFSET));
        EXPECT_LE(slot(b) + LAYOUT_SLOT_SIZE, m.size());
    }
    int gear = Var_Find("Gear");
    for (int f = 1; f <= 7; f++) {
        Var_SetInt(gear, 0, f);
        EXPECT_EQ(Layout_PublishFrame(var_frame), f);
        // The frame just written is the newest, and it holds this frame.
        int newest = 0;
        for (int b = 1; b < 3; b++)
            if (tick(b) > tick(newest)) newest = b;
        EXPECT_EQ(tick(newest), f);
        EXPECT_EQ(newest, (f - 1) % 3);
        EXPECT_EQ(I32(m, slot(newest) + var_table[gear].offset), f);
    }
    EXPECT_EQ(tick(0), 7);
    EXPECT_EQ(tick(1), 5);
    EXPECT_EQ(tick(2), 6);
    // Bytes past the frame length are not the frame's.
    EXPECT_EQ(m[slot(0) + len], 0xAB);

    // Two buffers, a shorter frame: the rotation and the copy follow.
    ASSERT_TRUE(Layout_SetBufferCount(2));
    ASSERT_TRUE(Layout_SetFrameLength(64));
    std::memset(var_frame, 0x5C, 128);
    Layout_PublishFrame(var_frame);
    Layout_PublishFrame(var_frame);
    EXPECT_EQ(I32(m, 32), 2);
    EXPECT_EQ(I32(m, 36), 64);
    EXPECT_GT(tick(0), 7);
    EXPECT_GT(tick(1), 7);
    EXPECT_EQ(tick(2), 6) << "a buffer beyond the count is left alone";
    EXPECT_EQ(m[slot(1) + 63], 0x5C);
    EXPECT_NE(m[slot(1) + 64], 0x5C);
    EXPECT_FALSE(Layout_SetBufferCount(0));
    EXPECT_FALSE(Layout_SetBufferCount(5));
    EXPECT_FALSE(Layout_SetFrameLength(LAYOUT_SLOT_SIZE + 1));
    EXPECT_EQ(I32(m, 36), 64);
}

TEST_F(Mapping, SessionInfoReplacementLeavesNoTailAndCountsUpdates) {
    const char* text = reinterpret_cast<const char*>(m.data() + LAYOUT_SESSION_OFFSET);
    int before = I32(m, 12);
    std::string long_text(5000, 'x');
    ASSERT_TRUE(Layout_SetSessionInfo(long_text.data(), static_cast<int>(long_text.size())));
    EXPECT_EQ(std::string(text), long_text);
    EXPECT_EQ(I32(m, 12), before + 1);
    ASSERT_TRUE(Layout_SetSessionInfo("DriverCarIdx: 3\n", 16));
    EXPECT_STREQ(text, "DriverCarIdx: 3\n");
    EXPECT_EQ(I32(m, 16), 17);
    EXPECT_EQ(I32(m, 12), before + 2);
    for (int i = 16; i < 5001; i++) ASSERT_EQ(text[i], 0) << i;
    EXPECT_EQ(m[LAYOUT_SESSION_OFFSET + LAYOUT_SESSION_MAX], 0xAB) << "area overrun";

    // A text that leaves no room for its terminator is refused whole.
    std::string huge(LAYOUT_SESSION_MAX, 'y');
    EXPECT_FALSE(Layout_SetSessionInfo(huge.data(), static_cast<int>(huge.size())));
    EXPECT_STREQ(text, "DriverCarIdx: 3\n");
    EXPECT_EQ(I32(m, 12), before + 2);
    EXPECT_TRUE(Layout_SetSessionInfo(huge.data(), LAYOUT_SESSION_MAX - 1));
    EXPECT_EQ(text[LAYOUT_SESSION_MAX - 1], 0);
}

TEST_F(Mapping, ValuesAreWrittenAsTheirDeclaredTypes) {
    int rpm = Var_Find("RPM"), gear = Var_Find("Gear"), on = Var_Find("IsOnTrack"),
        flags = Var_Find("SessionFlags"), clock = Var_Find("SessionClock"),
        place = Var_Find("FieldPlace");
    ASSERT_GE(rpm, 0);
    ASSERT_GE(place, 0);
    Var_SetNumber(rpm, 0, 654.9);
    Var_SetInt(gear, 0, -1);
    Var_SetInt(on, 0, 0x101);
    Var_SetInt(flags, 0, 0xFFFFFFFFll);
    Var_SetNumber(clock, 0, 1234.5678);
    Var_SetInt(place, 59, 17);
    Var_SetInt(place, VAR_CAR_SLOTS, 99);   // past the array: ignored
    Var_SetNumber(gear, 0, 1e30);           // no integer: 0, not undefined
    Layout_PublishFrame(var_frame);
    size_t base = static_cast<size_t>(I32(m, 52));
    float f;
    std::memcpy(&f, m.data() + base + var_table[rpm].offset, 4);
    EXPECT_FLOAT_EQ(f, 654.9f);
    EXPECT_EQ(I32(m, base + var_table[gear].offset), 0);
    EXPECT_EQ(m[base + var_table[on].offset], 1);
    EXPECT_EQ(static_cast<uint32_t>(I32(m, base + var_table[flags].offset)), 0xFFFFFFFFu);
    double d;
    std::memcpy(&d, m.data() + base + var_table[clock].offset, 8);
    EXPECT_DOUBLE_EQ(d, 1234.5678);
    EXPECT_EQ(I32(m, base + var_table[place].offset + 59 * 4), 17);
    EXPECT_EQ(Var_GetNumber(place, VAR_CAR_SLOTS), 0.0);

    // Hidden and re-placed variables change only the table.
    var_table[gear].hidden = true;
    var_table[rpm].table_offset = 90000;
    static LayoutVarHeader h[LAYOUT_MAX_VARS];
    int n = Layout_WriteVarHeaders(h, Var_PublishedHeaders(h, LAYOUT_MAX_VARS));
    EXPECT_EQ(n, var_count - 1);
    bool saw_gear = false;
    for (const Entry& e : ReadTable(m)) {
        if (e.name == "Gear") saw_gear = true;
        if (e.name == "RPM") { EXPECT_EQ(e.offset, 90000); }
    }
    EXPECT_FALSE(saw_gear);
}
