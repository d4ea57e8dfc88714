// fuzz/fuzz_relay.cpp: the relay queue and the relay's command execution
// with a recording window.
//
// The input is split at each 0x00 byte into command texts. They go through
// Relay_QueueCommand as the main thread hands them over; a text longer than
// an entry must be refused whole, and once 100 wait the rest must be
// dropped, both at once. Then the relay's side takes and handles every
// waiting entry in order, so "r" tokens carry over between texts. The
// window, the key messages and the sleeps go to recorders: nothing sleeps
// and no message leaves the process. The recorder checks what the
// simulator's window would see: down and up in pairs of the same key and
// flags, each after a 35 ms delay, flags 0 or the extended-key bit, pauses
// only of positive length and never above 10000 ms, and no key token
// pressed more than 100 times. The relay's clock is a fake one that the
// sleeps advance, starting just before the wrap: a command whose turn comes
// more than 3000 ms after it was queued sends nothing, and no message or
// pause of a command runs past 10000 ms from its start.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/window.h"
#include "relay/relay.h"

namespace {

char fake_window;
int last_sleep;          // ms of the latest sleep since the last key message; 0: none
int posts_this_token;
bool key_down;           // a down message waits for its up
uint32_t down_key;
uint32_t down_flags;
uint32_t fake_now;
uint32_t deadline;       // the running command's end: nothing may pass it
bool may_post;           // the running command was not late

uint32_t FakeClock() { return fake_now; }
bool Past(uint32_t t) { return static_cast<int32_t>(t - deadline) > 0; }

SysWindow FindWindow() {
    posts_this_token = 0;
    return &fake_window;
}

void PostKey(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    if (window != &fake_window) __builtin_trap();
    if (last_sleep != RELAY_KEY_DELAY) __builtin_trap();
    if (!may_post || Past(fake_now)) __builtin_trap();
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
    if (++posts_this_token > 2 * RELAY_MAX_REPEAT) __builtin_trap();
}

void Sleep(int ms) {
    if (ms <= 0 || ms > RELAY_MAX_PAUSE) __builtin_trap();
    if (key_down && ms != RELAY_KEY_DELAY) __builtin_trap();   // no pause inside a press
    if (!may_post) __builtin_trap();
    last_sleep = ms;
    fake_now += static_cast<uint32_t>(ms);
    if (Past(fake_now)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Relay_Reset();
    relay_find_window = FindWindow;
    relay_post_key = PostKey;
    relay_sleep = Sleep;
    relay_clock = FakeClock;
    fake_now = 0xFFFFF000u;
    last_sleep = 0;
    key_down = false;

    // The main thread's side: every text handed over, none waited for.
    int queued = 0;
    size_t pos = 0;
    while (pos <= size) {
        const uint8_t* end = static_cast<const uint8_t*>(
            pos < size ? std::memchr(data + pos, 0, size - pos) : nullptr);
        size_t length = (end != nullptr ? static_cast<size_t>(end - data) : size) - pos;
        const RelayQueueResult result = Relay_QueueCommand(
            reinterpret_cast<const char*>(data + pos), static_cast<int>(length));
        if (length > static_cast<size_t>(RELAY_TEXT_SIZE)) {
            if (result != RELAY_TOO_LONG) __builtin_trap();
        } else if (queued == RELAY_QUEUE_SIZE) {
            if (result != RELAY_QUEUE_FULL) __builtin_trap();
        } else {
            if (result != RELAY_QUEUED) __builtin_trap();
            queued++;
        }
        if (relay_queue.count.load() != queued) __builtin_trap();
        pos += length + 1;
    }

    // The relay thread's side: the entries in order, each text whole.
    RelayCommand command{};
    for (uint32_t sequence = 1; relay_queue.count.load() > 0; sequence++) {
        Relay_WaitCommand(command);
        if (command.sequence != sequence) __builtin_trap();
        if (command.length < 0 || command.length > RELAY_TEXT_SIZE) __builtin_trap();
        deadline = fake_now + RELAY_MAX_RUN;
        may_post = static_cast<int32_t>(fake_now - command.queued_at) <= RELAY_MAX_WAIT;
        Relay_HandleCommand(command);
        if (key_down) __builtin_trap();   // every down got its up
    }

    Relay_Reset();
    return 0;
}
