// relay/relay.h: the simulator command relay.
//
// The main thread hands every client text command to Relay_QueueCommand;
// the relay thread takes the texts out in order and turns each "key"
// command into key-down / key-up messages for the simulator's window:
//
//   main thread                 RelayQueue (100 entries)        relay thread
//   Relay_QueueCommand  --->  [ ][x][x][x][ ] ... [ ]  --->  Relay_WaitCommand
//     write index, +1 count      count: atomic            read index, -1 count
//     never waits: drops a text                             waits when empty
//     when full or too long
//
// "key" tokens, each handled in order by Relay_SendKey:
//   13      key code 13: WM_KEYDOWN, then WM_KEYUP, 35 ms before each
//   +37     the same with the extended-key flag 0x01000000
//   p500    a pause of 500 ms (none for 0 or less, 10000 ms at most)
//   r3      the next key token (in this or a later command) is sent 3 times
//           (100 times at most)
//
// The main thread never waits for the relay, and one command keeps the
// relay busy for a bounded time: at most 104 characters, so at most 50
// tokens, each a pause of at most 10 s or at most 100 presses of 70 ms.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/window.h"

constexpr int RELAY_QUEUE_SIZE = 100;     // entries of the ring
constexpr int RELAY_TEXT_SIZE = 104;      // text bytes of one entry
constexpr int RELAY_LINE_SIZE = 128;      // the relay thread's line buffer
constexpr int RELAY_KEY_DELAY = 35;       // ms before each key message
constexpr int RELAY_MAX_PAUSE = 10000;    // ms of the longest "p" pause
constexpr int RELAY_MAX_REPEAT = 100;     // most presses of one key token

// What Relay_QueueCommand did with a text.
enum RelayQueueResult : int {
    RELAY_QUEUED = 0,         // the relay will run it
    RELAY_QUEUE_FULL = 1,     // RELAY_QUEUE_SIZE commands wait: dropped
    RELAY_TOO_LONG = 2,       // longer than RELAY_TEXT_SIZE: dropped whole
};

// One queued command text; no terminator is stored.
struct RelayCommand {
    uint32_t sequence;                    // 1 for the first command of the run
    int32_t length;                       // text bytes, 0..RELAY_TEXT_SIZE
    std::array<char, RELAY_TEXT_SIZE> text;
};

// A manual-reset event: stays set until reset, and wakes every waiter.
struct RelayEvent {
    std::mutex lock;
    std::condition_variable cond;
    bool signalled;
};

// The ring between one producer (main thread) and one consumer (relay
// thread). Each index is written by its own side only; the count is the
// one field both change, and only by atomic addition. The event only wakes
// the waiting relay thread: the count decides whether an entry can be
// taken. The producer never waits; a full ring drops the new text.
struct RelayQueue {
    std::array<RelayCommand, RELAY_QUEUE_SIZE> entries;
    int32_t read_index;                   // relay thread only
    int32_t write_index;                  // main thread only
    std::atomic<int32_t> count;
    uint32_t sequence;                    // last sequence number given
    RelayEvent command_available;
};

extern RelayQueue relay_queue;
// Repeat count for the next key token; 1 at start and after every key token.
extern int32_t relay_repeat;

// The relay's way to the window and its sleep. They point at the platform
// calls; tests point them at recorders (before any relay thread runs).
extern SysWindow (*relay_find_window)();
extern void (*relay_post_key)(SysWindow window, uint32_t message, uint32_t key, uint32_t flags);
extern void (*relay_sleep)(int ms);

// Start-up: an empty queue with its event unsignalled. Call before the
// relay thread starts.
void Relay_Init();

// Starts the relay thread, detached; it runs until the process ends.
void Relay_StartThread();

// Main thread: copies `length` bytes of `text` into the next entry and
// numbers it (a negative length queues an empty text). Never waits: a text
// longer than RELAY_TEXT_SIZE is refused whole (RELAY_TOO_LONG), never cut
// into a shorter command, and while RELAY_QUEUE_SIZE commands are waiting
// the text is dropped (RELAY_QUEUE_FULL). A refused text takes no sequence
// number. The caller reports what was dropped.
RelayQueueResult Relay_QueueCommand(const char* text, int length);

// Relay thread: fills `command` with the oldest waiting entry, waiting while
// there is none. Never takes from an empty queue.
void Relay_WaitCommand(RelayCommand& command);

// Relay thread: puts the command's text into the line buffer, ends it with
// "\n" and runs it with Relay_ExecuteCommand. An empty text, and a length
// that no entry can hold, do nothing.
void Relay_HandleCommand(const RelayCommand& command);

// The relay thread's body: clears its line buffer, then takes and handles
// commands for ever.
[[noreturn]] void Relay_Thread();

// Runs the first line of `line` (which ends in "\n"): a "key" command (case
// matters) sends each further token; anything else is ignored silently.
void Relay_ExecuteCommand(const char* line);

// Handles one token of a "key" command (see the table above). Key tokens
// search for the window afresh and take at least 70 ms per repetition. A
// pause is held to RELAY_MAX_PAUSE ms and a repeat count to RELAY_MAX_REPEAT.
void Relay_SendKey(const char* token);

// Tests: an empty queue, an unsignalled event, sequence 0, relay_repeat 1,
// a cleared line buffer and the platform calls back in place.
void Relay_Reset();
