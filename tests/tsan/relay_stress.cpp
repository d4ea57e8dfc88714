// ThreadSanitizer stress test of the relay queue: one producer and one
// consumer race through hundreds of thousands of commands, the producer in
// the place of the main thread (also tokenizing into sv_args, as the
// server does), the consumer in the place of the relay thread (tokenizing
// into relay_args and "pressing" each key into a recorder). Phases alternate
// so that the ring is often full and often empty.
//
// It fails (exit code 1) on a lost, repeated, reordered or damaged command,
// on a queue that was never seen full or empty, and on a hang (watchdog);
// ThreadSanitizer fails it on any data race.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "relay/relay.h"
#include "server/cmd.h"

namespace {

constexpr int STRESS_COMMANDS = 300000;
constexpr int STRESS_PHASE = 2000;        // commands per phase
constexpr int STRESS_WATCHDOG_S = 240;

std::atomic<bool> finished{false};
std::atomic<int> faults{0};

// Consumer-side recorder: the key codes must come in the order queued.
uint32_t next_key;
int keys_seen;

SysWindow NoSearch() { return reinterpret_cast<SysWindow>(1); }
void NoSleep(int) {}
void RecordKey(SysWindow, uint32_t message, uint32_t key, uint32_t flags) {
    if (message != WIN_KEYUP) return;
    if (key != next_key || flags != 0) {
        if (faults.fetch_add(1) < 10)
            std::fprintf(stderr, "key %u where %u was due\n", key, next_key);
    }
    next_key = key + 1;
    keys_seen++;
}

// Some spinning, so that one side falls behind the other for a phase.
void Dawdle(int i) {
    volatile int sink = 0;
    for (int k = 0; k < 2000 + (i % 7) * 500; k++) sink = sink + k;
}

// The producer is slow in odd phases (queue runs empty), the consumer in
// even ones (queue fills).
bool ProducerSlow(int i) { return (i / STRESS_PHASE) % 2 == 1; }

std::string TextFor(int i) {
    // Lengths vary from 5 to beyond an entry, which keeps its first 104.
    std::string text = "key " + std::to_string(i);
    if (i % 97 == 0) text += std::string(static_cast<size_t>(100 + i % 50), ' ');
    return text;
}

}  // namespace

int main() {
    Relay_Reset();
    relay_find_window = NoSearch;
    relay_post_key = RecordKey;
    relay_sleep = NoSleep;

    std::thread watchdog([] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(STRESS_WATCHDOG_S);
        while (!finished.load()) {
            if (std::chrono::steady_clock::now() > end) {
                std::fprintf(stderr, "relay_stress: no progress, a wake-up was lost\n");
                std::fflush(stderr);
                std::_Exit(1);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    int seen_full = 0, seen_empty = 0;

    std::thread consumer([&seen_empty] {
        RelayCommand command{};
        for (int i = 0; i < STRESS_COMMANDS; i++) {
            if (relay_queue.count.load() == 0) seen_empty++;
            Relay_WaitCommand(command);
            std::string expect = TextFor(i);
            size_t n = expect.size() < RELAY_TEXT_SIZE ? expect.size() : RELAY_TEXT_SIZE;
            if (command.sequence != static_cast<uint32_t>(i + 1) ||
                command.length != static_cast<int32_t>(n) ||
                std::memcmp(command.text.data(), expect.data(), n) != 0) {
                if (faults.fetch_add(1) < 10)
                    std::fprintf(stderr, "command %d came as sequence %u length %d\n", i,
                                 command.sequence, command.length);
            }
            Relay_HandleCommand(command);
            if (!ProducerSlow(i)) Dawdle(i);
        }
    });

    for (int i = 0; i < STRESS_COMMANDS; i++) {
        std::string text = TextFor(i);
        // The main thread tokenizes its own requests at the same time.
        Cmd_Tokenize(sv_args, text.c_str());
        if (Cmd_Argc(sv_args) != 2 || std::strcmp(Cmd_Argv(sv_args, 0), "key") != 0)
            faults.fetch_add(1);
        if (relay_queue.count.load() == RELAY_QUEUE_SIZE) seen_full++;
        Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
        if (ProducerSlow(i)) Dawdle(i);
    }

    consumer.join();
    finished = true;
    watchdog.join();

    if (keys_seen != STRESS_COMMANDS) faults.fetch_add(1);
    if (relay_queue.count.load() != 0) faults.fetch_add(1);
    std::printf("relay_stress: %d commands, %d keys, queue full %d times, empty %d times\n",
                STRESS_COMMANDS, keys_seen, seen_full, seen_empty);
    // Both ends of the ring must have been exercised for the run to count.
    if (seen_full < 100 || seen_empty < 100) {
        std::printf("relay_stress: the queue was not driven to both ends\n");
        faults.fetch_add(1);
    }
    return faults.load() == 0 ? 0 : 1;
}
