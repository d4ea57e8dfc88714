// The relay's token rules, with the window calls and the sleep recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "relay/relay.h"

namespace {

struct KeyEvent {
    char kind;          // 'F' window search, 'S' sleep, 'D' key down, 'U' key up
    uint32_t key;       // key code, or the sleep's milliseconds
    uint32_t flags;
    uintptr_t window;
};

std::vector<KeyEvent> events;
uintptr_t searches;

SysWindow RecordFind() {
    searches++;
    events.push_back({'F', 0, 0, searches});
    return reinterpret_cast<SysWindow>(searches);
}

void RecordPost(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    char kind = message == WIN_KEYDOWN ? 'D' : message == WIN_KEYUP ? 'U' : '?';
    events.push_back({kind, key, flags, reinterpret_cast<uintptr_t>(window)});
}

void RecordSleep(int ms) { events.push_back({'S', static_cast<uint32_t>(ms), 0, 0}); }

void StartRecording() {
    Relay_Reset();
    events.clear();
    searches = 0;
    relay_find_window = RecordFind;
    relay_post_key = RecordPost;
    relay_sleep = RecordSleep;
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
