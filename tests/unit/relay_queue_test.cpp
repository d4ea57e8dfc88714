// The relay queue between the main thread and the relay thread.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "relay/relay.h"

namespace {

using namespace std::chrono_literals;

std::string TextOf(const RelayCommand& command) {
    return std::string(command.text.data(), static_cast<size_t>(command.length));
}

void Queue(const std::string& text) {
    Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
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
