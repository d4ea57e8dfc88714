// ThreadSanitizer stress test of the relay queue: one producer and one
// consumer race through hundreds of thousands of commands, the producer in
// the place of the main thread (also tokenizing into sv_args, as the
// server does), the consumer in the place of the relay thread (tokenizing
// into relay_args and "pressing" each key into a recorder). Phases alternate
// so that the ring is often full and often empty.
//
// The producer never waits: in some phases it hands a text that met a full
// queue over again (so that most commands go through), in others it leaves
// it dropped, as the server does. Texts too long for an entry are refused.
//
// It fails (exit code 1) on a lost, repeated, reordered or damaged command,
// on a dropped or refused text that still arrives, on a queue that was
// never seen full or empty, and on a hang (watchdog); ThreadSanitizer fails
// it on any data race.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "relay/relay.h"
#include "server/cmd.h"

namespace {

constexpr int STRESS_COMMANDS = 300000;
constexpr int STRESS_PHASE = 2000;        // commands per phase
constexpr int STRESS_WATCHDOG_S = 240;

// What became of each command on the producer's side.
enum Fate : uint8_t { FATE_QUEUED = 1, FATE_DROPPED = 2, FATE_REFUSED = 3 };

std::atomic<bool> finished{false};
std::atomic<int> faults{0};
std::unique_ptr<std::atomic<uint8_t>[]> fate;

// Consumer-side recorder: the key code of the latest press.
uint32_t last_key;
int keys_seen;

SysWindow NoSearch() { return reinterpret_cast<SysWindow>(1); }
void NoSleep(int) {}
// A clock that stands still: no command is ever late or cut here, so every
// queued one must arrive and press its key.
uint32_t StillClock() { return 0; }
void RecordKey(SysWindow, uint32_t message, uint32_t key, uint32_t flags) {
    if (message != WIN_KEYUP) return;
    if (flags != 0 && faults.fetch_add(1) < 10) std::fprintf(stderr, "key %u with flags\n", key);
    last_key = key;
    keys_seen++;
}

void Fault(const char* what, int i) {
    if (faults.fetch_add(1) < 10) std::fprintf(stderr, "command %d: %s\n", i, what);
}

// Some spinning, so that one side falls behind the other for a phase.
void Dawdle(int i) {
    volatile int sink = 0;
    for (int k = 0; k < 2000 + (i % 7) * 500; k++) sink = sink + k;
}

// The producer is slow in odd phases (queue runs empty), the consumer in
// even ones (queue fills).
bool ProducerSlow(int i) { return (i / STRESS_PHASE) % 2 == 1; }
// In every third phase a text that meets a full queue stays dropped.
bool ProducerDrops(int i) { return (i / STRESS_PHASE) % 3 == 2; }

std::string TextFor(int i) {
    // Lengths vary from 5 to beyond an entry, which refuses the text.
    std::string text = "key " + std::to_string(i);
    if (i % 97 == 0) text += std::string(static_cast<size_t>(95 + i % 50), ' ');
    return text;
}

}  // namespace

int main() {
    Relay_Reset();
    relay_find_window = NoSearch;
    relay_post_key = RecordKey;
    relay_sleep = NoSleep;
    relay_clock = StillClock;
    fate = std::make_unique<std::atomic<uint8_t>[]>(STRESS_COMMANDS);

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

    int seen_full = 0, seen_empty = 0, dropped = 0, refused = 0, received = 0;

    // The consumer takes commands until the "end" text, which the producer
    // hands over last; each must be the next queued one after the last.
    std::thread consumer([&seen_empty, &received] {
        RelayCommand command{};
        int previous = -1;
        for (uint32_t sequence = 1;; sequence++) {
            if (relay_queue.count.load() == 0) seen_empty++;
            Relay_WaitCommand(command);
            if (command.sequence != sequence) Fault("sequence out of step", previous + 1);
            const std::string text(command.text.data(), static_cast<size_t>(command.length));
            if (text == "end") break;
            const int i = std::atoi(text.c_str() + 4);
            if (i <= previous || i >= STRESS_COMMANDS || text != TextFor(i)) {
                Fault("damaged or out of order", i);
                continue;
            }
            if (fate[static_cast<size_t>(i)].load() != FATE_QUEUED) Fault("dropped but arrived", i);
            for (int k = previous + 1; k < i; k++)
                if (fate[static_cast<size_t>(k)].load() == FATE_QUEUED) Fault("lost", k);
            previous = i;
            Relay_HandleCommand(command);
            if (last_key != static_cast<uint32_t>(i)) Fault("pressed another key", i);
            received++;
            if (!ProducerSlow(i)) Dawdle(i);
        }
    });

    for (int i = 0; i < STRESS_COMMANDS; i++) {
        std::string text = TextFor(i);
        // The main thread tokenizes its own requests at the same time.
        Cmd_Tokenize(sv_args, text.c_str());
        if (Cmd_Argc(sv_args) != 2 || std::strcmp(Cmd_Argv(sv_args, 0), "key") != 0)
            faults.fetch_add(1);
        // The fate is set before the hand-over: the consumer may take the
        // text at once.
        fate[static_cast<size_t>(i)].store(FATE_QUEUED);
        for (;;) {
            const RelayQueueResult result =
                Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
            if (result == RELAY_QUEUED) break;
            if (result == RELAY_TOO_LONG) {
                if (text.size() <= static_cast<size_t>(RELAY_TEXT_SIZE)) Fault("refused", i);
                fate[static_cast<size_t>(i)].store(FATE_REFUSED);
                refused++;
                break;
            }
            seen_full++;
            if (ProducerDrops(i)) {
                fate[static_cast<size_t>(i)].store(FATE_DROPPED);
                dropped++;
                break;
            }
            std::this_thread::yield();
        }
        if (ProducerSlow(i)) Dawdle(i);
    }
    while (Relay_QueueCommand("end", 3) != RELAY_QUEUED) std::this_thread::yield();

    consumer.join();
    finished = true;
    watchdog.join();

    const int queued = STRESS_COMMANDS - dropped - refused;
    if (received != queued || keys_seen != queued) faults.fetch_add(1);
    if (relay_queue.count.load() != 0) faults.fetch_add(1);
    std::printf("relay_stress: %d commands, %d relayed, %d dropped, %d refused, "
                "queue full %d times, empty %d times\n",
                STRESS_COMMANDS, received, dropped, refused, seen_full, seen_empty);
    // Both ends of the ring must have been exercised for the run to count.
    if (seen_full < 100 || seen_empty < 100 || dropped < 100) {
        std::printf("relay_stress: the queue was not driven to both ends\n");
        faults.fetch_add(1);
    }
    return faults.load() == 0 ? 0 : 1;
}
