// The relay through the real Linux key path: 12-byte datagrams on an
// abstract datagram address, received here by a socket that stands where
// the simulator's window would be. The address is one of this test's own,
// so that a simulator stand-in running meanwhile keeps the real one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "relay/relay.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
    uint32_t message, key, flags;
    Clock::time_point at;
};

uint32_t LittleLong(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Binds the abstract address `name` and points the relay's key messages at
// it. Returns -1 when it cannot.
int BindKeyAddress(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    Sys_SetKeyAddressForTests(name.c_str());
    return fd;
}

// Runs `text` on a relay thread of its own and collects `expect` messages
// (each wait bounded by the socket's 2 s time-out).
std::vector<Received> Press(int fd, const std::string& text, int expect) {
    std::thread relay([text] {
        RelayCommand command{};
        Relay_QueueCommand(text.data(), static_cast<int>(text.size()));
        Relay_WaitCommand(command);
        Relay_HandleCommand(command);
    });
    std::vector<Received> got;
    for (int i = 0; i < expect; i++) {
        unsigned char buf[64];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0) break;
        EXPECT_EQ(n, 12);
        if (n != 12) continue;
        got.push_back({LittleLong(buf), LittleLong(buf + 4), LittleLong(buf + 8), Clock::now()});
    }
    relay.join();
    return got;
}

long MsBetween(const Received& a, const Received& b) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(b.at - a.at).count());
}

}  // namespace

TEST(RelayWindow, KeyCommandsReachTheSimulatorAddressAsKeyMessages) {
    Relay_Reset();
    int fd = BindKeyAddress("tarmis_relay_test_" + std::to_string(getpid()));
    ASSERT_GE(fd, 0);

    std::vector<Received> got = Press(fd, "key 13", 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, 0x0100u);
    EXPECT_EQ(got[0].key, 13u);
    EXPECT_EQ(got[0].flags, 0u);
    EXPECT_EQ(got[1].message, 0x0101u);
    EXPECT_EQ(got[1].key, 13u);
    EXPECT_EQ(got[1].flags, 0u);
    long gap = MsBetween(got[0], got[1]);
    EXPECT_GE(gap, 30);
    EXPECT_LT(gap, 1000);

    got = Press(fd, "key +37", 2);
    ASSERT_EQ(got.size(), 2u);
    for (const Received& r : got) {
        EXPECT_EQ(r.key, 37u);
        EXPECT_EQ(r.flags, 0x01000000u);
    }

    got = Press(fd, "key r3 32", 6);
    ASSERT_EQ(got.size(), 6u);
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].message, i % 2 == 0 ? 0x0100u : 0x0101u);
        EXPECT_EQ(got[i].key, 32u);
    }
    // Three presses take at least 6 x 35 ms, less the first delay.
    EXPECT_GE(MsBetween(got[0], got[5]), 5 * 30);

    // Nothing more was sent than the presses above.
    timeval tv{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    unsigned char buf[64];
    EXPECT_LT(recv(fd, buf, sizeof(buf), 0), 0);
    close(fd);

    // With nobody listening the press is dropped without a report and the
    // relay goes on at its usual pace.
    auto start = Clock::now();
    Relay_SendKey("13");
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(took.count(), 1000);
    Sys_SetKeyAddressForTests(nullptr);
}
