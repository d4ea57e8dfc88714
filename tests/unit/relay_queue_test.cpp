// The relay queue between the main thread and the relay thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "relay/relay.h"

namespace {

using namespace std::chrono_literals;

std::string TextOf(const RelayCommand& command) {
    return std::string(command.text.data(), static_cast<size_t>(command.length));
}

void Queue(const std::string& text) {
    Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
}

// Waits at most `limit` for `flag`.
bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(RelayQueue, HandsOutTextsInOrderWithRisingSequenceAcrossTheWrap) {
    Relay_Reset();
    RelayCommand command{};
    uint32_t expect_sequence = 1;
    // 250 commands in bursts of up to 7 take both indices round the ring
    // more than twice.
    int queued = 0, taken = 0;
    while (taken < 250) {
        for (int burst = 0; burst < 7 && queued < 250; burst++, queued++)
            Queue("key " + std::to_string(queued));
        for (int burst = 0; burst < 5 && taken < queued; burst++, taken++) {
            Relay_WaitCommand(command);
            EXPECT_EQ(TextOf(command), "key " + std::to_string(taken));
            EXPECT_EQ(command.sequence, expect_sequence++);
        }
    }
    EXPECT_EQ(relay_queue.count.load(), 0);

    // No terminator is stored: the length alone marks the text.
    Relay_QueueCommand("key 13", 6);
    Relay_WaitCommand(command);
    EXPECT_EQ(command.length, 6);
    EXPECT_EQ(TextOf(command), "key 13");

    // A negative length is an empty text, which the relay ignores.
    Relay_QueueCommand("key 13", -3);
    Relay_WaitCommand(command);
    EXPECT_EQ(command.length, 0);
    EXPECT_EQ(command.sequence, 252u);
}

TEST(RelayQueue, AFullQueueDropsTheNewCommandAtOnce) {
    Relay_Reset();
    for (int i = 0; i < RELAY_QUEUE_SIZE; i++) Queue("key " + std::to_string(i));
    EXPECT_EQ(relay_queue.count.load(), RELAY_QUEUE_SIZE);

    // The main thread never waits: the 101st is refused on the spot, on
    // this thread, with no relay running.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Relay_QueueCommand("key 100", 7), RELAY_QUEUE_FULL);
    EXPECT_EQ(Relay_QueueCommand("key 101", 7), RELAY_QUEUE_FULL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(relay_queue.count.load(), RELAY_QUEUE_SIZE);

    // Once one is taken there is room for one more, numbered on from the
    // last queued: dropped texts take no number.
    RelayCommand command{};
    Relay_WaitCommand(command);
    EXPECT_EQ(TextOf(command), "key 0");
    EXPECT_EQ(Relay_QueueCommand("key 102", 7), RELAY_QUEUED);
    EXPECT_EQ(Relay_QueueCommand("key 103", 7), RELAY_QUEUE_FULL);

    // Nothing was overwritten: the other 99 and the late one, in order.
    for (int i = 1; i < RELAY_QUEUE_SIZE; i++) {
        Relay_WaitCommand(command);
        EXPECT_EQ(TextOf(command), "key " + std::to_string(i));
        EXPECT_EQ(command.sequence, static_cast<uint32_t>(i + 1));
    }
    Relay_WaitCommand(command);
    EXPECT_EQ(TextOf(command), "key 102");
    EXPECT_EQ(command.sequence, static_cast<uint32_t>(RELAY_QUEUE_SIZE + 1));
    EXPECT_EQ(relay_queue.count.load(), 0);
}

TEST(RelayQueue, AnEmptyQueueMakesTheRelayWaitEvenAfterAnEarlierWakeUp) {
    Relay_Reset();
    // The first command sets the command-available event, and the relay
    // takes it without waiting, so the event is still set afterwards: the
    // next wait must go by the count and not take from the empty ring.
    Queue("key 1");
    RelayCommand first{};
    Relay_WaitCommand(first);
    EXPECT_EQ(TextOf(first), "key 1");

    RelayCommand command{};
    std::atomic<bool> done{false};
    std::thread consumer([&command, &done] {
        Relay_WaitCommand(command);
        done = true;
    });
    EXPECT_FALSE(WaitFor(done, 100ms)) << "took a command from an empty queue";
    EXPECT_EQ(relay_queue.count.load(), 0);

    Queue("key 2");
    EXPECT_TRUE(WaitFor(done, 5000ms)) << "the relay was not woken";
    consumer.join();
    EXPECT_EQ(TextOf(command), "key 2");
    EXPECT_EQ(command.sequence, 2u);
    EXPECT_EQ(relay_queue.count.load(), 0);
}
