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
// The main thread never waits for the relay, and no key message reaches the
// window late: each entry carries the time it was queued, and a command
// whose turn comes more than RELAY_MAX_WAIT ms after that is dropped unrun.
// A command that runs gets RELAY_MAX_RUN ms from its start, its pauses and
// presses together: a pause ends at that limit, and a press that would not
// be over by then is not begun, so neither is anything after it. Every key
// message thus reaches the window within 13 s of its command's arrival, or
// never (give or take a sleep that overshoots: a begun press always gets
// its key-up). The relay thread counts both kinds of drop; the main thread
// logs them.
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
constexpr int RELAY_MAX_WAIT = 3000;      // ms a command may wait for its turn
constexpr int RELAY_MAX_RUN = 10000;      // ms one command may run
constexpr int RELAY_REPORT_INTERVAL = 1000;   // ms between two drop reports

// What Relay_QueueCommand did with a text.
enum RelayQueueResult : int {
    RELAY_QUEUED = 0,         // the relay will run it
    RELAY_QUEUE_FULL = 1,     // RELAY_QUEUE_SIZE commands wait: dropped
    RELAY_TOO_LONG = 2,       // longer than RELAY_TEXT_SIZE: dropped whole
};

// One queued command text; no terminator is stored.
struct RelayCommand {
    uint32_t sequence;                    // 1 for the first command of the run
    uint32_t queued_at;                   // relay_clock() when it was queued
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
// taken. The producer never waits; a full ring drops the new text. The two
// drop counts go the other way: the relay thread adds to them, the main
// thread takes them for its log.
struct RelayQueue {
    std::array<RelayCommand, RELAY_QUEUE_SIZE> entries;
    int32_t read_index;                   // relay thread only
    int32_t write_index;                  // main thread only
    std::atomic<int32_t> count;
    uint32_t sequence;                    // last sequence number given
    RelayEvent command_available;
    std::atomic<int32_t> late;            // commands dropped: turn came too late
    std::atomic<int32_t> cut;             // commands stopped at RELAY_MAX_RUN
    uint32_t reported_at;                 // main thread only: the last report
    uint8_t reported;                     // main thread only: there was one
};

extern RelayQueue relay_queue;
// Repeat count for the next key token; 1 at start and after every key token.
extern int32_t relay_repeat;

// The relay's way to the window, its sleep and its millisecond clock (read
// by both threads, so it keeps no state of its own). They point at the
// platform calls; tests point them at recorders (before any relay thread
// runs).
extern SysWindow (*relay_find_window)();
extern void (*relay_post_key)(SysWindow window, uint32_t message, uint32_t key, uint32_t flags);
extern void (*relay_sleep)(int ms);
extern uint32_t (*relay_clock)();

// Start-up: an empty queue with its event unsignalled. Call before the
// relay thread starts.
void Relay_Init();

// Starts the relay thread, detached; it runs until the process ends.
void Relay_StartThread();

// Main thread: copies `length` bytes of `text` into the next entry, numbers
// it and stamps it with relay_clock() (a negative length queues an empty
// text). Never waits: a text
// longer than RELAY_TEXT_SIZE is refused whole (RELAY_TOO_LONG), never cut
// into a shorter command, and while RELAY_QUEUE_SIZE commands are waiting
// the text is dropped (RELAY_QUEUE_FULL). A refused text takes no sequence
// number. The caller reports what was dropped.
RelayQueueResult Relay_QueueCommand(const char* text, int length);

// Main thread, once per main-loop pass: logs the commands the relay thread
// dropped since the last report, a line per kind ("Relay late, %i
// command%s waited over 3000 ms, dropped\n", "Relay time limit, %i
// command%s cut at 10000 ms\n"), at most once per RELAY_REPORT_INTERVAL ms
// at clock reading `now`, so that the log is never flooded; drops within
// the interval are added to the next report.
void Relay_ReportDrops(uint32_t now);

// Relay thread: fills `command` with the oldest waiting entry, waiting while
// there is none. Never takes from an empty queue.
void Relay_WaitCommand(RelayCommand& command);

// Relay thread: puts the command's text into the line buffer, ends it with
// "\n" and runs it with Relay_ExecuteCommand, with RELAY_MAX_RUN ms from
// now. An empty text, and a length that no entry can hold, do nothing. A
// command whose turn comes more than RELAY_MAX_WAIT ms after it was queued
// is not run and counts as late; one stopped at its limit counts as cut.
void Relay_HandleCommand(const RelayCommand& command);

// The relay thread's body: clears its line buffer, then takes and handles
// commands for ever.
[[noreturn]] void Relay_Thread();

// Runs the first line of `line` (which ends in "\n"): a "key" command (case
// matters) sends each further token; anything else is ignored silently.
// Returns false when the time ran out at relay_clock() `deadline`: the
// tokens from the one that did not fit on are dropped.
bool Relay_ExecuteCommand(const char* line, uint32_t deadline);

// Handles one token of a "key" command (see the table above). Key tokens
// search for the window afresh and take at least 70 ms per repetition. A
// pause is held to RELAY_MAX_PAUSE ms and a repeat count to RELAY_MAX_REPEAT.
// Nothing runs past `deadline`: a longer pause sleeps until it, and a press
// (down and up) that would end after it is not begun. Returns false when
// the token was cut so; a cut key token uses up the repeat count all the same.
bool Relay_SendKey(const char* token, uint32_t deadline);

// Tests: an empty queue, an unsignalled event, sequence 0, no drops counted,
// relay_repeat 1, a cleared line buffer and the platform calls back in place.
void Relay_Reset();
