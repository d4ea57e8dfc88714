// fuzz/fuzz_relay.cpp: the relay's command execution with a recording window.
//
// The input is split at each 0x00 byte into command texts; each becomes a
// queue entry (its first 104 bytes, as the queue keeps them) and is handled
// as the relay thread handles it, so "r" tokens carry over between texts.
// The window, the key messages and the sleeps go to recorders: nothing
// sleeps and no message leaves the process. The recorder checks what the
// simulator's window would see: down and up in pairs of the same key and
// flags, each after a 35 ms delay, flags 0 or the extended-key bit, pauses
// only of positive length.
//
// A repeat count can be anything up to 2^31 - 1, which the real relay
// spends 70 ms on each; past RECORD_LIMIT key messages of one token the
// recorder sets relay_repeat to 0, which the loop reads afresh, so the
// token ends there (the real relay would still be pressing that key).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/window.h"
#include "relay/relay.h"

namespace {

constexpr int RECORD_LIMIT = 4096;

char fake_window;
int last_sleep;          // ms of the latest sleep since the last key message; 0: none
int posts_this_token;
bool key_down;           // a down message waits for its up
uint32_t down_key;
uint32_t down_flags;

SysWindow FindWindow() {
    posts_this_token = 0;
    return &fake_window;
}

void PostKey(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    if (window != &fake_window) __builtin_trap();
    if (last_sleep != RELAY_KEY_DELAY) __builtin_trap();
    last_sleep = 0;
    if (flags != 0 && flags != WIN_KEY_EXTENDED) __builtin_trap();
    if (message == WIN_KEYDOWN) {
        if (key_down) __builtin_trap();
        key_down = true;
        down_key = key;
        down_flags = flags;
    } else if (message == WIN_KEYUP) {
        if (!key_down || key != down_key || flags != down_flags) __builtin_trap();
        key_down = false;
    } else {
        __builtin_trap();
    }
    if (++posts_this_token >= RECORD_LIMIT && !key_down) relay_repeat = 0;
}

void Sleep(int ms) {
    if (ms <= 0) __builtin_trap();
    if (key_down && ms != RELAY_KEY_DELAY) __builtin_trap();   // no pause inside a press
    last_sleep = ms;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Relay_Reset();
    relay_find_window = FindWindow;
    relay_post_key = PostKey;
    relay_sleep = Sleep;
    last_sleep = 0;
    key_down = false;

    size_t pos = 0;
    while (pos <= size) {
        const uint8_t* end = static_cast<const uint8_t*>(
            pos < size ? std::memchr(data + pos, 0, size - pos) : nullptr);
        size_t length = (end != nullptr ? static_cast<size_t>(end - data) : size) - pos;
        RelayCommand command{};
        command.sequence = 1;
        command.length = static_cast<int32_t>(length > RELAY_TEXT_SIZE ? RELAY_TEXT_SIZE : length);
        std::memcpy(command.text.data(), data + pos, static_cast<size_t>(command.length));
        Relay_HandleCommand(command);
        if (key_down) __builtin_trap();   // every down got its up
        pos += length + 1;
    }

    Relay_Reset();
    return 0;
}
