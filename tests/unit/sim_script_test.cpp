// Test scripts: every command checked before anything runs, bad lines named
// by file and line, and the played script's effects in the mapping.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/simulator/layout.h"
#include "tools/simulator/script.h"
#include "tools/simulator/variables.h"

namespace {

bool Parse(const std::string& text, std::string& error, const std::string& dir = ".") {
    char buf[SCRIPT_ERROR_SIZE] = "";
    bool ok = Script_Parse(text, "t.script", dir, buf, sizeof buf);
    error = buf;
    return ok;
}

int32_t I32(const std::vector<uint8_t>& m, size_t at) {
    int32_t v;
    std::memcpy(&v, m.data() + at, 4);
    return v;
}

// A host that publishes into a private mapping and never sleeps.
std::vector<uint8_t>* host_map;
int host_frames, host_drives, host_generated, host_waits;
void HostEmit() {
    Layout_PublishFrame(var_frame);
    host_frames++;
}
void HostDrive() { host_drives++; }
void HostPublish() {
    static LayoutVarHeader h[LAYOUT_MAX_VARS];
    Layout_WriteVarHeaders(h, Var_PublishedHeaders(h, LAYOUT_MAX_VARS));
}
void HostGenerated() { host_generated++; }
bool HostWait(std::chrono::steady_clock::time_point) {
    host_waits++;
    return true;
}
const ScriptHost kHost{HostEmit, HostDrive, HostPublish, HostGenerated, HostWait};

}  // namespace

TEST(SimScript, RejectsEveryBadLineNamingFileAndLine) {
    Var_Init();
    struct Bad {
        const char* text;
        const char* reason;
    };
    const Bad bad[] = {
        {"warp 9", "unknown command 'warp'"},
        {"set NoSuchVar 1", "no variable 'NoSuchVar'"},
        {"set RPM fast", "'fast' is not a number for RPM"},
        {"set RPM 1.5x", "not a number"},
        {"set Gear 2.5", "not a 32-bit integer"},
        {"set Gear 2147483648", "not a 32-bit integer"},
        {"set SessionFlags 0x100000000", "not a 32-bit value"},
        {"set IsOnTrack 2", "not 0, 1, true or false"},
        {"set FieldPlace[64] 1", "has 64 elements"},
        {"set FieldPlace[x] 1", "bad element"},
        {"set RPM", "takes 2 to 2 arguments, not 1"},
        {"frames", "takes 1 to 2 arguments"},
        {"frames 0", "not a whole number from 1"},
        {"frames 10 1001", "from 1 to 1000"},
        {"fps 0", "from 1 to 1000"},
        {"status 2", "from 0 to 1"},
        {"framelen 0", "from 1 to 258048"},
        {"framelen 258049", "from 1 to 258048"},
        {"buffers 5", "from 1 to 4"},
        {"pause -1", "from 0 to 3600000"},
        {"exit 256", "from 0 to 255"},
        {"stop now", "takes 0 to 0 arguments"},
        {"hide RPM[0]", "not an element"},
        {"place RPM 1 2", "takes 2 to 2"},
        {"session", "needs file, begin or generated"},
        {"session maybe", "not 'maybe'"},
        {"session file", "needs a path"},
        {"session file does-not-exist.txt", "cannot read './does-not-exist.txt'"},
        {"session begin\nDriverCarIdx: 1\n", "'session begin' without 'session end'"},
    };
    for (const Bad& b : bad) {
        std::string error;
        // The bad line comes after good ones, so its line number is 3.
        std::string text = std::string("# comment\nset RPM 100\n") + b.text + "\nframes 1\n";
        EXPECT_FALSE(Parse(text, error)) << b.text;
        EXPECT_EQ(error.rfind("t.script:3: ", 0), 0u) << b.text << " -> " << error;
        EXPECT_NE(error.find(b.reason), std::string::npos) << b.text << " -> " << error;
    }
    std::string error;
    std::string huge = "session begin\n" + std::string(LAYOUT_SESSION_MAX, 'x') + "\nsession end\n";
    EXPECT_FALSE(Parse(huge, error));
    EXPECT_NE(error.find("longer than"), std::string::npos) << error;

    char buf[SCRIPT_ERROR_SIZE];
    EXPECT_FALSE(Script_Load("/nonexistent/dir/x.script", buf, sizeof buf));
    EXPECT_NE(std::string(buf).find("cannot read the script"), std::string::npos);
}

TEST(SimScript, PlaysValuesTextsFramesAndHeaderChangesIntoTheMapping) {
    Var_Init();
    std::vector<uint8_t> m(LAYOUT_MAPPING_SIZE, 0);
    host_map = &m;
    host_frames = host_drives = host_generated = host_waits = 0;
    Layout_Init(m.data(), 60, LAYOUT_DEFAULT_BUFFERS);
    Layout_SetFrameLength(var_frame_len);
    HostPublish();
    Layout_SetStatus(true);

    std::filesystem::path dir = std::filesystem::temp_directory_path() / "tarmis_sim_script_test";
    std::filesystem::create_directories(dir);
    { std::ofstream((dir / "info.txt").string(), std::ios::binary) << "FromFile: 1\n\n"; }
    const std::string script =
        "fps 500\r\n"                   // Windows line ends are fine
        "set RPM 654.9\n"
        "set Gear -1\n"
        "set IsOnTrack true\n"
        "set EngineWarnings 0x134\n"
        "set FieldPlace[3] 12\n"
        "session begin\n"
        " DriverCarIdx: 7\n"
        "\n"
        "session end\n"
        "frames 4\n"
        "session file info.txt\n"
        "status 0\n"
        "framelen 4096\n"
        "buffers 2\n"
        "hide Gear\n"
        "place RPM -8\n"
        "frames 2 30\n"
        "drive 3\n"
        "session generated\n"
        "pause 5\n"
        "exit 7\n"
        "frames 100\n";
    std::string error;
    ASSERT_TRUE(Parse(script, error, dir.string())) << error;
    EXPECT_EQ(Script_CommandCount(), 20);
    EXPECT_EQ(Script_Text(0), " DriverCarIdx: 7\n\n");
    EXPECT_EQ(Script_Text(1), "FromFile: 1\n\n");

    int update = I32(m, 12);
    EXPECT_EQ(Script_Run(kHost, 60), 7);
    EXPECT_EQ(host_frames, 6) << "nothing runs after exit";
    EXPECT_EQ(host_drives, 3);
    EXPECT_EQ(host_generated, 1);
    EXPECT_EQ(host_waits, 4 + 2 + 3 + 1);
    EXPECT_EQ(I32(m, 4), 0);
    EXPECT_EQ(I32(m, 36), 4096);
    EXPECT_EQ(I32(m, 32), 2);
    EXPECT_EQ(I32(m, 12), update + 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.data() + LAYOUT_SESSION_OFFSET), "FromFile: 1\n\n");
    // Frames 5 and 6 went on round two buffers (frame 4 was in buffer 0);
    // the newest holds the values.
    EXPECT_EQ(I32(m, 64), 5);
    EXPECT_EQ(I32(m, 48), 6);
    EXPECT_EQ(I32(m, 80), 3) << "buffer 2 is out of the rotation";
    size_t frame = static_cast<size_t>(I32(m, 48 + 4));
    float rpm;
    std::memcpy(&rpm, m.data() + frame + var_table[Var_Find("RPM")].offset, 4);
    EXPECT_FLOAT_EQ(rpm, 654.9f);
    EXPECT_EQ(I32(m, frame + var_table[Var_Find("Gear")].offset), -1);
    EXPECT_EQ(m[frame + var_table[Var_Find("IsOnTrack")].offset], 1);
    EXPECT_EQ(I32(m, frame + var_table[Var_Find("EngineWarnings")].offset), 0x134);
    EXPECT_EQ(I32(m, frame + var_table[Var_Find("FieldPlace")].offset + 12), 12);
    // The table lost Gear and shows RPM where the script placed it.
    int n = I32(m, 24);
    EXPECT_EQ(n, var_count - 1);
    for (int i = 0; i < n; i++) {
        const char* name = reinterpret_cast<const char*>(m.data() + 0x90 + i * 144 + 16);
        EXPECT_STRNE(name, "Gear");
        if (std::strcmp(name, "RPM") == 0) { EXPECT_EQ(I32(m, 0x90 + i * 144 + 4), -8); }
    }
    Layout_Reset();
    std::filesystem::remove_all(dir);
}

TEST(SimScript, StopsWhenAStopIsAskedFor) {
    Var_Init();
    std::vector<uint8_t> m(LAYOUT_MAPPING_SIZE, 0);
    Layout_Init(m.data(), 60, LAYOUT_DEFAULT_BUFFERS);
    Layout_SetFrameLength(var_frame_len);
    std::string error;
    ASSERT_TRUE(Parse("frames 1000\nexit 9\n", error)) << error;
    host_frames = 0;
    static int waits_left;
    waits_left = 10;
    ScriptHost host = kHost;
    host.wait_until = [](std::chrono::steady_clock::time_point) { return --waits_left > 0; };
    EXPECT_EQ(Script_Run(host, 60), 0);
    EXPECT_EQ(host_frames, 10);
    ASSERT_TRUE(Parse("stop\nexit 9\n", error)) << error;
    waits_left = 3;
    EXPECT_EQ(Script_Run(host, 60), 0);
    EXPECT_EQ(waits_left, 0);
    Layout_Reset();
}
