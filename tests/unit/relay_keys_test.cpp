// The relay: which keys the simulator's window gets for each text, and its
// time bounds, with the window, the sleeps and the clock recorded.
#include "sv_support.h"

namespace {

uint32_t fake_now;      // the relay's clock: only its sleeps advance it
int last_sleep;         // ms of the latest sleep; 0 once a message followed it
uintptr_t searches;     // window searches so far; each finds window number n
uintptr_t last_window;
bool key_down;
std::string pressed;    // each key pressed, "|" before it when found afresh

SysWindow Find() { return reinterpret_cast<SysWindow>(++searches); }
uint32_t Clock() { return fake_now; }
void Sleep(int ms) {
    last_sleep = ms;
    fake_now += static_cast<uint32_t>(ms);
}

// Every message comes 35 ms after the one before it, to the window of the
// latest search; an up follows each down, with its key and flags.
void Post(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    const auto at = reinterpret_cast<uintptr_t>(window);
    EXPECT_EQ(last_sleep, RELAY_KEY_DELAY);
    EXPECT_EQ(at, searches);
    EXPECT_EQ(message == WIN_KEYUP, key_down);
    EXPECT_TRUE(flags == 0 || flags == WIN_KEY_EXTENDED);
    const std::string name = (flags != 0 ? "+" : "") + std::to_string(key);
    if (message == WIN_KEYDOWN) {
        pressed += (at == last_window ? " " : "|") + name;
        last_window = at;
    } else {
        EXPECT_EQ(pressed.substr(pressed.size() - name.size()), name);
    }
    key_down = message == WIN_KEYDOWN;
    last_sleep = 0;
}

std::string Presses(int n, const std::string& key) {
    std::string s = "|" + key;
    for (int i = 1; i < n; i++) s += " " + key;
    return s;
}

class Relay : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        Start();
    }
    void TearDown() override {
        Relay_Reset();
        LoggedTest::TearDown();
    }
    // A fresh relay on the recorders, its clock just before the wrap.
    void Start() {
        Relay_Reset();
        relay_find_window = Find;
        relay_post_key = Post;
        relay_sleep = Sleep;
        relay_clock = Clock;
        fake_now = 0xFFFFF000u;
        searches = last_window = 0;
        last_sleep = 0;
        key_down = false;
        pressed.clear();
    }
    // Each text in turn: queued, its turn `waited` ms later, run as the relay
    // thread runs it.
    void Run(const std::vector<std::string>& texts, uint32_t waited = 0) {
        for (const std::string& text : texts) {
            ASSERT_EQ(Relay_QueueCommand(text.data(), static_cast<int>(text.size())), RELAY_QUEUED);
            fake_now += waited;
            RelayCommand command{};
            Relay_WaitCommand(command);
            Relay_HandleCommand(command);
        }
    }
};

}  // namespace

TEST_F(Relay, EachTextPressesTheKeysItsTokensSayWithinItsTimeBounds) {
    std::string long_line = "key";   // fills the line buffer further than the next texts
    for (int i = 0; i < 7; i++) long_line += " 11";
    const struct {
        std::vector<std::string> texts;
        uint32_t waited;       // ms each waited for its turn
        std::string pressed;
        uint32_t ran;          // ms from the first text's turn to the last one's end
        int late, cut;         // texts dropped for waiting over 3 s, cut at 10 s
    } cases[] = {
        {{"key 13 65"}, 0, "|13|65", 140, 0, 0},
        {{"key abc"}, 0, "|0", 70, 0, 0},     // not a number: key code 0
        {{"key +37"}, 0, "|+37", 70, 0, 0},   // an extended key
        {{"key r3 32 33"}, 0, "|32 32 32|33", 280, 0, 0},   // a count for the next key only
        {{"key r0 32 33"}, 0, "|33", 70, 0, 0},
        {{"key r-4 32 33"}, 0, "|33", 70, 0, 0},
        {{"key r5", "key 13 14"}, 0, Presses(5, "13") + "|14", 420, 0, 0},   // a count carries over
        {{"key r4 r2 p10 50"}, 0, "|50 50", 150, 0, 0},   // the last count wins
        {{"key r101 7"}, 0, Presses(100, "7"), 7000, 0, 0},   // at most 100 presses
        {{"key r99999999999 7"}, 0, Presses(100, "7"), 7000, 0, 0},
        {{"KEY 13", "Key 13", "keys 13", "press 13", "key", "", "   ", "// key 13", "\nkey 13"}, 0, "", 0, 0, 0},
        // Quotes, high bytes and comments as the tokenizer reads them; the first line only.
        {{"\"key\" 13", "key\x80" "14", "key 15 // 16", "key 17\nkey 18"}, 0, "|13|14|15|17", 280, 0, 0},
        // An unclosed quote or a comment reads past the newline and must find
        // the end of the text there, not an earlier text's bytes.
        {{long_line, "key //", "key \""}, 0, "|11|11|11|11|11|11|11|0", 560, 0, 0},
        {{"key 13"}, 3000, "|13", 70, 0, 0},
        {{"key 13"}, 3001, "", 0, 1, 0},
        {{"key 13"}, 60000, "", 0, 1, 0},
        {{"key p9930 13"}, 0, "|13", 10000, 0, 0},   // the up falls on the limit
        {{"key r100 1 p3000"}, 0, Presses(100, "1"), 10000, 0, 0},
        {{"key p9931 13"}, 0, "", 9931, 0, 1},       // the press would end at 10001
        {{"key p10000 p10000 13"}, 0, "", 10000, 0, 1},
        {{"key 13 p10000"}, 0, "|13", 10000, 0, 1},   // the pause ends at the limit
        {{"key r100 1 r100 2"}, 0, Presses(100, "1") + Presses(42, "2"), 9940, 0, 1},
    };
    for (const auto& c : cases) {
        Start();
        const uint32_t start = fake_now + c.waited;
        Run(c.texts, c.waited);
        EXPECT_EQ(pressed, c.pressed) << c.texts[0];
        EXPECT_EQ(fake_now - start, c.ran) << c.texts[0];
        EXPECT_FALSE(key_down) << c.texts[0];
        EXPECT_EQ(relay_queue.late.load(), c.late) << c.texts[0];
        EXPECT_EQ(relay_queue.cut.load(), c.cut) << c.texts[0];
    }
}

TEST_F(Relay, DropsAreLoggedByKindAtMostOncePerSecond) {
    const uint32_t t = 0xFFFFFF00u;   // the reports' clock crosses its wrap
    Relay_ReportDrops(t - 512);
    EXPECT_EQ(TakeLog(), Lines{});    // nothing dropped: nothing said, no report made
    Run({"key 1", "key 1"}, 3001);
    Run({"key p10000 13"});
    Relay_ReportDrops(t);
    EXPECT_EQ(TakeLog(), (Lines{"Relay late, 2 commands waited over 3000 ms, dropped",
                                "Relay time limit, 1 command cut at 10000 ms"}));
    Run({"key 1"}, 3001);
    Relay_ReportDrops(t + 999);
    EXPECT_EQ(TakeLog(), Lines{});
    Relay_ReportDrops(t + 1000);
    EXPECT_EQ(TakeLog(), Lines{"Relay late, 1 command waited over 3000 ms, dropped"});
}
