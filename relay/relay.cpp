// relay/relay.cpp: the relay queue and the relay thread that presses the
// simulator's keys.
#include "relay/relay.h"

#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "server/cmd.h"
#include "shell/log.h"
#include "shell/sys.h"

RelayQueue relay_queue;
int32_t relay_repeat = 1;

SysWindow (*relay_find_window)() = Sys_FindSimWindow;
void (*relay_post_key)(SysWindow, uint32_t, uint32_t, uint32_t) = Sys_PostKeyMessage;
void (*relay_sleep)(int) = Sys_SleepMilliseconds;
uint32_t (*relay_clock)() = Sys_PlatformTimer;

// Relay thread storage: the record it takes commands into and the line it
// tokenizes. Only the first RELAY_TEXT_SIZE + 2 bytes of the line are ever
// written (text, "\n", terminator), so it always ends in zeros.
static RelayCommand relay_command;
static std::array<char, RELAY_LINE_SIZE> relay_line;
static_assert(RELAY_TEXT_SIZE + 2 <= RELAY_LINE_SIZE, "line must hold text, newline and zero");

static void Relay_SetEvent(RelayEvent& event) {
    std::lock_guard<std::mutex> hold(event.lock);
    event.signalled = true;
    event.cond.notify_all();
}

static void Relay_ResetEvent(RelayEvent& event) {
    std::lock_guard<std::mutex> hold(event.lock);
    event.signalled = false;
}

static void Relay_WaitEvent(RelayEvent& event) {
    std::unique_lock<std::mutex> hold(event.lock);
    event.cond.wait(hold, [&event] { return event.signalled; });
}

void Relay_Init() {
    relay_queue.read_index = 0;
    relay_queue.write_index = 0;
    relay_queue.count.store(0);
    relay_queue.sequence = 0;
    relay_queue.late.store(0);
    relay_queue.cut.store(0);
    relay_queue.reported_at = 0;
    relay_queue.reported = 0;
    Relay_ResetEvent(relay_queue.command_available);
}

void Relay_StartThread() {
    std::thread(Relay_Thread).detach();
}

RelayQueueResult Relay_QueueCommand(const char* text, int length) {
    RelayQueue& q = relay_queue;
    if (length > RELAY_TEXT_SIZE) return RELAY_TOO_LONG;
    // Only the relay thread lowers the count, so an entry seen free here
    // stays free until this side hands it over.
    if (q.count.load() >= RELAY_QUEUE_SIZE) return RELAY_QUEUE_FULL;

    RelayCommand& entry = q.entries[static_cast<size_t>(q.write_index)];
    const int n = length < 0 ? 0 : length;
    if (n > 0) std::memcpy(entry.text.data(), text, static_cast<size_t>(n));
    entry.length = n;
    entry.queued_at = relay_clock();
    q.sequence += 1;
    entry.sequence = q.sequence;

    if (q.count.fetch_add(1) + 1 == 1) Relay_SetEvent(q.command_available);
    q.write_index = q.write_index + 1 == RELAY_QUEUE_SIZE ? 0 : q.write_index + 1;
    return RELAY_QUEUED;
}

void Relay_ReportDrops(uint32_t now) {
    RelayQueue& q = relay_queue;
    if (q.reported && Sys_Elapsed(now, q.reported_at) < RELAY_REPORT_INTERVAL) return;
    if (q.late.load() == 0 && q.cut.load() == 0) return;
    const int32_t late = q.late.exchange(0);
    const int32_t cut = q.cut.exchange(0);
    if (late > 0) {
        Sys_Printf("Relay late, %i command%s waited over %i ms, dropped\n", late,
                   late == 1 ? "" : "s", RELAY_MAX_WAIT);
    }
    if (cut > 0) {
        Sys_Printf("Relay time limit, %i command%s cut at %i ms\n", cut, cut == 1 ? "" : "s",
                   RELAY_MAX_RUN);
    }
    q.reported_at = now;
    q.reported = 1;
}

void Relay_WaitCommand(RelayCommand& command) {
    RelayQueue& q = relay_queue;
    while (q.count.load() <= 0) {
        Relay_WaitEvent(q.command_available);
        Relay_ResetEvent(q.command_available);
    }

    const RelayCommand& entry = q.entries[static_cast<size_t>(q.read_index)];
    command.sequence = entry.sequence;
    command.queued_at = entry.queued_at;
    command.length = entry.length;
    std::memcpy(command.text.data(), entry.text.data(), static_cast<size_t>(entry.length));

    q.count.fetch_sub(1);
    q.read_index = q.read_index + 1 == RELAY_QUEUE_SIZE ? 0 : q.read_index + 1;
}

void Relay_HandleCommand(const RelayCommand& command) {
    if (command.length <= 0 || command.length > RELAY_TEXT_SIZE) return;
    // A press that comes seconds after the button was touched lands in
    // another moment of the race: better none at all.
    const uint32_t start = relay_clock();
    if (Sys_Elapsed(start, command.queued_at) > RELAY_MAX_WAIT) {
        relay_queue.late.fetch_add(1);
        return;
    }
    const size_t n = static_cast<size_t>(command.length);
    std::memcpy(relay_line.data(), command.text.data(), n);
    relay_line[n] = '\n';
    // The zero behind the newline keeps the bytes of an earlier, longer
    // text out of this line: an unclosed quote or a comment reads past the
    // newline, and must find the end of the text there.
    relay_line[n + 1] = 0;
    if (!Relay_ExecuteCommand(relay_line.data(), start + RELAY_MAX_RUN))
        relay_queue.cut.fetch_add(1);
}

void Relay_Thread() {
    relay_line.fill(0);
    for (;;) {
        Relay_WaitCommand(relay_command);
        Relay_HandleCommand(relay_command);
    }
}

bool Relay_ExecuteCommand(const char* line, uint32_t deadline) {
    Cmd_Tokenize(relay_args, line);
    if (std::strcmp(Cmd_Argv(relay_args, 0), "key") != 0) return true;
    int argc = Cmd_Argc(relay_args);
    for (int i = 1; i < argc; i++)
        if (!Relay_SendKey(Cmd_Argv(relay_args, i), deadline)) return false;
    return true;
}

bool Relay_SendKey(const char* token, uint32_t deadline) {
    uint32_t flags = 0;
    if (*token == '+') {
        flags = WIN_KEY_EXTENDED;
        token++;
    }
    if (*token == 'p') {
        // A pause of 0 or less is no pause; a longer one than the bound
        // would keep every later command of every client waiting.
        const int32_t asked = Cmd_ArgToInt(token + 1);
        if (asked <= 0) return true;
        const int32_t ms = asked > RELAY_MAX_PAUSE ? RELAY_MAX_PAUSE : asked;
        // A pause that would run past the deadline ends there, and so does
        // the command: nothing after it could run in time.
        const int32_t left = Sys_Elapsed(deadline, relay_clock());
        if (ms <= left) {
            relay_sleep(ms);
            return true;
        }
        if (left > 0) relay_sleep(left);
        return false;
    }
    if (*token == 'r') {
        // 0 or less presses nothing; more than the bound presses it that often.
        const int32_t count = Cmd_ArgToInt(token + 1);
        relay_repeat = count > RELAY_MAX_REPEAT ? RELAY_MAX_REPEAT : count;
        return true;
    }

    // The code goes out as the message's first parameter, as its bits.
    uint32_t key = static_cast<uint32_t>(Cmd_ArgToInt(token));
    SysWindow window = relay_find_window();
    const int32_t presses = relay_repeat;
    relay_repeat = 1;
    for (int32_t i = 0; i < presses; i++) {
        // A key is never left down: a press begins only when its up fits too.
        if (Sys_Elapsed(deadline, relay_clock()) < 2 * RELAY_KEY_DELAY) return false;
        relay_sleep(RELAY_KEY_DELAY);
        relay_post_key(window, WIN_KEYDOWN, key, flags);
        relay_sleep(RELAY_KEY_DELAY);
        relay_post_key(window, WIN_KEYUP, key, flags);
    }
    return true;
}

void Relay_Reset() {
    Relay_Init();
    relay_repeat = 1;
    relay_line.fill(0);
    relay_command = RelayCommand{};
    relay_find_window = Sys_FindSimWindow;
    relay_post_key = Sys_PostKeyMessage;
    relay_sleep = Sys_SleepMilliseconds;
    relay_clock = Sys_PlatformTimer;
}
