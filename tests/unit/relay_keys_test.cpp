// The relay's token rules, with the window calls and the sleep recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "relay/relay.h"
#include "shell/log.h"

namespace {

struct KeyEvent {
    char kind;          // 'F' window search, 'S' sleep, 'D' key down, 'U' key up
    uint32_t key;       // key code, or the sleep's milliseconds
    uint32_t flags;
    uintptr_t window;
    uint32_t at;        // the relay's clock when it happened
};

std::vector<KeyEvent> events;
uintptr_t searches;
uint32_t fake_now;

SysWindow RecordFind() {
    searches++;
    events.push_back({'F', 0, 0, searches, fake_now});
    return reinterpret_cast<SysWindow>(searches);
}

void RecordPost(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    char kind = message == WIN_KEYDOWN ? 'D' : message == WIN_KEYUP ? 'U' : '?';
    events.push_back({kind, key, flags, reinterpret_cast<uintptr_t>(window), fake_now});
}

void RecordSleep(int ms) { events.push_back({'S', static_cast<uint32_t>(ms), 0, 0, fake_now}); }

uint32_t FakeClock() { return fake_now; }
void ClockedSleep(int ms) {
    RecordSleep(ms);
    fake_now += static_cast<uint32_t>(ms);
}

void StartRecording() {
    Relay_Reset();
    events.clear();
    searches = 0;
    relay_find_window = RecordFind;
    relay_post_key = RecordPost;
    relay_sleep = RecordSleep;
}

// Recording on a fake clock that only the relay's sleeps advance, starting
// just before it wraps.
void StartClocked() {
    StartRecording();
    fake_now = 0xFFFFF000u;
    relay_clock = FakeClock;
    relay_sleep = ClockedSleep;
}

// Runs one text the way the relay thread does: through the queue and the
// line buffer.
void RunText(const std::string& text) {
    Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
    RelayCommand command{};
    Relay_WaitCommand(command);
    Relay_HandleCommand(command);
}

// The key codes of the pairs sent, checking that every pair is
// sleep-down-sleep-up with the same code and flags to the same window.
std::vector<uint32_t> Pairs(uint32_t expect_flags = 0) {
    std::vector<uint32_t> keys;
    for (size_t i = 0; i < events.size(); i++) {
        if (events[i].kind != 'D') continue;
        EXPECT_GE(i, 1u);
        EXPECT_LT(i + 2, events.size());
        if (i < 1 || i + 2 >= events.size()) break;
        EXPECT_EQ(events[i - 1].kind, 'S');
        EXPECT_EQ(events[i - 1].key, 35u);
        EXPECT_EQ(events[i + 1].kind, 'S');
        EXPECT_EQ(events[i + 1].key, 35u);
        EXPECT_EQ(events[i + 2].kind, 'U');
        EXPECT_EQ(events[i + 2].key, events[i].key);
        EXPECT_EQ(events[i].flags, expect_flags);
        EXPECT_EQ(events[i + 2].flags, expect_flags);
        EXPECT_EQ(events[i + 2].window, events[i].window);
        keys.push_back(events[i].key);
    }
    return keys;
}

}  // namespace

TEST(RelayKeys, KeyTokenSendsDownThenUpEach35MsAfterAFreshSearch) {
    StartRecording();
    RunText("key 13");
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, 'F');
    EXPECT_EQ(Pairs(), (std::vector<uint32_t>{13}));

    // Two tokens: two searches, each pair goes to the window of its own.
    StartRecording();
    RunText("key 13 65");
    EXPECT_EQ(Pairs(), (std::vector<uint32_t>{13, 65}));
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events[5].kind, 'F');
    EXPECT_EQ(events[7].window, 2u);
}

TEST(RelayKeys, EachTextPressesTheKeysItsTokensSay) {
    using Keys = std::vector<uint32_t>;
    std::string long_line = "key";   // refills the line buffer for the next texts
    for (int i = 0; i < 7; i++) long_line += " 11";
    struct Case {
        std::vector<std::string> texts;   // run in turn
        Keys keys;
        uint32_t flags;
    } cases[] = {
        {{"key abc"}, {0}, 0},                              // not a number: key code 0
        {{"key +37"}, {37}, 0x01000000},                    // extended key
        {{"key r3 32 33"}, {32, 32, 32, 33}, 0},            // a count for the next key only
        {{"key r0 32 33"}, {33}, 0},
        {{"key r-4 32 33"}, {33}, 0},
        {{"key r5", "key 13 14"}, {13, 13, 13, 13, 13, 14}, 0},   // a count carries over
        {{"key r4 r2 p10 50"}, {50, 50}, 0},                // the last count wins
        {{"key r101 7"}, Keys(100, 7), 0},                  // at most 100 presses
        {{"key r99999999999 7"}, Keys(100, 7), 0},
        {{"KEY 13", "Key 13", "keys 13", "press 13", "key", "", "   ", "// key 13", "\nkey 13"}, {}, 0},
        {{"\"key\" 13"}, {13}, 0},
        {{"key 13\nkey 14", "key 15\n16"}, {13, 15}, 0},     // the first line only
        // An unclosed quote or a comment reads past the newline and must
        // find the end of the text there, not an earlier text's bytes.
        {{long_line, "key //", "key \""}, {11, 11, 11, 11, 11, 11, 11, 0}, 0},
    };
    for (const Case& c : cases) {
        StartRecording();
        for (const std::string& text : c.texts) RunText(text);
        EXPECT_EQ(Pairs(c.flags), c.keys) << c.texts[0];
        EXPECT_EQ(relay_repeat, 1) << c.texts[0];   // every count used up
    }
}

TEST(RelayKeys, ATextLongerThanAnEntryIsRefusedWholeNeverCut) {
    StartRecording();
    // "key" + 33 x " p0" + " 45" is 105 characters; cut to 104 it would
    // press key 4.
    std::string text = "key";
    for (int i = 0; i < 33; i++) text += " p0";
    text += " 45";
    ASSERT_EQ(text.size(), 105u);
    EXPECT_EQ(Relay_QueueCommand(text.data(), static_cast<int>(text.size())), RELAY_TOO_LONG);
    EXPECT_EQ(relay_queue.count.load(), 0);

    // One character less fits an entry exactly and runs whole.
    text.erase(text.size() - 1);
    RunText(text);
    EXPECT_EQ(Pairs(), (std::vector<uint32_t>{4}));
    EXPECT_EQ(relay_queue.sequence, 1u);   // the refused text took no number
}

TEST(RelayTiming, ACommandWhoseTurnComesMoreThan3sAfterItArrivedIsDropped) {
    StartClocked();
    const struct {
        uint32_t waited;
        bool runs;
    } cases[] = {{0, true}, {3000, true}, {3001, false}, {60000, false}, {100, true}};
    int late = 0;
    for (const auto& c : cases) {
        events.clear();
        Relay_QueueCommand("key 13", 6);
        fake_now += c.waited;   // the clock crosses its wrap on the way
        RelayCommand command{};
        Relay_WaitCommand(command);
        Relay_HandleCommand(command);
        late += c.runs ? 0 : 1;
        EXPECT_EQ(Pairs().size(), c.runs ? 1u : 0u) << c.waited;
        EXPECT_EQ(relay_queue.late.load(), late) << c.waited;
    }
}

TEST(RelayTiming, ACommandRunsAtMost10sItsPausesAndPressesTogether) {
    const struct {
        const char* text;
        size_t presses;
        uint32_t runs_ms;   // from its start to its end
        bool cut;
    } cases[] = {
        {"key p9930 13", 1, 10000, false},          // the up falls on the limit
        {"key r100 1 p3000", 100, 10000, false},
        {"key p9931 13", 0, 9931, true},            // the press would end at 10001
        {"key p10000 p10000 13", 0, 10000, true},
        {"key 13 p10000", 1, 10000, true},          // the pause ends at the limit
        {"key r100 1 r100 2", 142, 9940, true},     // 42 of the second fit
    };
    for (const auto& c : cases) {
        StartClocked();
        const uint32_t start = fake_now;
        RunText(c.text);
        EXPECT_EQ(Pairs().size(), c.presses) << c.text;
        EXPECT_EQ(fake_now - start, c.runs_ms) << c.text;
        EXPECT_EQ(relay_queue.cut.load(), c.cut ? 1 : 0) << c.text;
        // The next command starts afresh, with the repeat count used up.
        events.clear();
        RunText("key 5");
        EXPECT_EQ(Pairs(), (std::vector<uint32_t>{5})) << c.text;
    }
}

TEST(RelayTiming, DropsAreLoggedByKindAtMostOncePerSecond) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() / "relay_timing.log";
    std::snprintf(log_path, sizeof log_path, "%s", file.string().c_str());
    std::ofstream(file, std::ios::trunc).close();
    log_enabled = 1;
    StartClocked();
    auto late_ones = [](int n) {
        for (int i = 0; i < n; i++) Relay_QueueCommand("key 1", 5);
        fake_now += 3001;
        RelayCommand command{};
        for (int i = 0; i < n; i++) {
            Relay_WaitCommand(command);
            Relay_HandleCommand(command);
        }
    };
    auto logged = [&file] {
        std::ifstream in(file);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(" - ") + 3));
        return lines;
    };
    const std::string late2 = "Relay late, 2 commands waited over 3000 ms, dropped";
    const std::string cut1 = "Relay time limit, 1 command cut at 10000 ms";
    const std::string late1 = "Relay late, 1 command waited over 3000 ms, dropped";

    Relay_ReportDrops(500);
    EXPECT_TRUE(logged().empty()) << "nothing dropped, nothing to say";
    late_ones(2);
    RunText("key p10000 13");
    Relay_ReportDrops(700);   // the first report needs no interval
    EXPECT_EQ(logged(), (std::vector<std::string>{late2, cut1}));
    late_ones(1);
    Relay_ReportDrops(1699);
    EXPECT_EQ(logged().size(), 2u) << "a second report within the second";
    Relay_ReportDrops(1700);
    EXPECT_EQ(logged(), (std::vector<std::string>{late2, cut1, late1}));
    log_enabled = 0;
    std::filesystem::remove(file);
}
