// The relay: what the simulator's window gets for each text, and the relay's
// time bounds, with the window search, the key messages, the sleeps and the
// clock recorded.
#include "sv_support.h"

namespace {

uint32_t relay_now;        // the relay's clock: only its sleeps advance it
uintptr_t windows_found;   // the nth search finds window n
// What happened, in order: " F" a window search, " s35" a sleep of 35 ms,
// " d13" and " u13" key 13 down and up ("+" before an extended key; "@old"
// behind a message to a window found before the latest search).
std::string window_got;

void Post(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    window_got += message == WIN_KEYDOWN ? " d" : message == WIN_KEYUP ? " u" : " ?";
    window_got += flags == WIN_KEY_EXTENDED ? "+" : flags != 0 ? "?" : "";
    window_got += std::to_string(key) + (reinterpret_cast<uintptr_t>(window) == windows_found ? "" : "@old");
}

// `n` presses of `key` after a fresh search: each message 35 ms after the last.
std::string Presses(int n, const std::string& key) {
    std::string s = " F";
    for (int i = 0; i < n; i++) s += " s35 d" + key + " s35 u" + key;
    return s;
}

// A fresh relay on the recorders, its clock just before the wrap.
void Start() {
    Relay_Reset();
    relay_now = 0xFFFFF000u;
    windows_found = 0;
    window_got.clear();
    relay_find_window = [] {
        window_got += " F";
        return reinterpret_cast<SysWindow>(++windows_found);
    };
    relay_post_key = Post;
    relay_sleep = [](int ms) {
        window_got += " s" + std::to_string(ms);
        relay_now += static_cast<uint32_t>(ms);
    };
    relay_clock = [] { return relay_now; };
}

// Each text in turn: queued, its turn `waited` ms later, run as the relay
// thread runs it.
void RunTexts(const std::vector<std::string>& texts, uint32_t waited = 0) {
    for (RelayCommand command{}; const std::string& text : texts) {
        ASSERT_EQ(Relay_QueueCommand(text.data(), static_cast<int>(text.size())), RELAY_QUEUED);
        relay_now += waited;
        Relay_WaitCommand(command);
        Relay_HandleCommand(command);
    }
}

}  // namespace

using Relay = SvServer;

TEST_F(Relay, EachTextPressesTheKeysItsTokensSayWithinItsTimeBounds) {
    const struct {
        std::vector<std::string> texts;
        uint32_t waited;       // ms each waited for its turn
        std::string got;
        int late, cut;         // texts dropped for waiting over 3 s, cut at 10 s
    } cases[] = {
        {{"key abc"}, 0, Presses(1, "0"), 0, 0},      // not a number: key code 0
        {{"key +37"}, 0, Presses(1, "+37"), 0, 0},    // an extended key
        {{"key r3 32 33"}, 0, Presses(3, "32") + Presses(1, "33"), 0, 0},   // a count for the next key only
        {{"key r0 32 33"}, 0, Presses(0, "32") + Presses(1, "33"), 0, 0},
        {{"key r5", "key 13 14"}, 0, Presses(5, "13") + Presses(1, "14"), 0, 0},   // a count carries over
        {{"key r4 r2 p10 50"}, 0, " s10" + Presses(2, "50"), 0, 0},   // the last count wins
        {{"key r101 7"}, 0, Presses(100, "7"), 0, 0},   // at most 100 presses
        {{"KEY 13", "Key 13", "keys 13", "press 13", "key", "", "   ", "// key 13", "\nkey 13"}, 0, "", 0, 0},
        // Quotes, high bytes and comments as the tokenizer reads them; the first line only.
        {{"\"key\" 13", "key\x80" "14", "key 15 // 16", "key 17\nkey 18"}, 0,
         Presses(1, "13") + Presses(1, "14") + Presses(1, "15") + Presses(1, "17"), 0, 0},
        // An unclosed quote or a comment reads past the newline and must find
        // the end of the text there, not the bytes of an earlier, longer text.
        {{"key 11 11", "key //", "key \""}, 0, Presses(1, "11") + Presses(1, "11") + Presses(1, "0"), 0, 0},
        {{"key 13"}, 3000, Presses(1, "13"), 0, 0},
        {{"key 13"}, 3001, "", 1, 0},
        {{"key p9930 13"}, 0, " s9930" + Presses(1, "13"), 0, 0},   // the up falls on the limit
        {{"key r100 1 p3000"}, 0, Presses(100, "1") + " s3000", 0, 0},
        {{"key p9931 13"}, 0, " s9931 F", 0, 1},   // the press would end at 10001
        {{"key 13 p10000"}, 0, Presses(1, "13") + " s9930", 0, 1},   // the pause ends at the limit
        {{"key r100 1 r100 2"}, 0, Presses(100, "1") + Presses(42, "2"), 0, 1},
    };
    for (const auto& c : cases) {
        Start();
        RunTexts(c.texts, c.waited);
        EXPECT_EQ(window_got, c.got) << c.texts[0];
        EXPECT_EQ(relay_queue.late.load(), c.late) << c.texts[0];
        EXPECT_EQ(relay_queue.cut.load(), c.cut) << c.texts[0];
    }
}

TEST_F(Relay, DropsAreLoggedByKindAtMostOncePerSecond) {
    Start();
    const uint32_t t = 0xFFFFFF00u;   // the reports' clock crosses its wrap
    Relay_ReportDrops(t - 512);
    EXPECT_EQ(TakeLog(), Lines{});    // nothing dropped: nothing said, no report made
    RunTexts({"key 1", "key 1"}, 3001);
    RunTexts({"key p10000 13"});
    Relay_ReportDrops(t);
    EXPECT_EQ(TakeLog(), (Lines{"Relay late, 2 commands waited over 3000 ms, dropped",
                                "Relay time limit, 1 command cut at 10000 ms"}));
    RunTexts({"key 1"}, 3001);
    Relay_ReportDrops(t + 999);
    EXPECT_EQ(TakeLog(), Lines{});
    Relay_ReportDrops(t + 1000);
    EXPECT_EQ(TakeLog(), Lines{"Relay late, 1 command waited over 3000 ms, dropped"});
}
