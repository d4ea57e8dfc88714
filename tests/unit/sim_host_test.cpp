// The stand-in's named objects, under private names so a running stand-in
// or server is never disturbed: a mapping that survives a restart, an event
// that does not pile up signals, and a window that reports what is posted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/simhost.h"

namespace {

std::string Unique(const char* base) {
    static const unsigned salt = std::random_device{}();
    return std::string(base) + std::to_string(salt);
}

struct Key {
    uint32_t message, wparam, lparam;
};
std::mutex keys_lock;
std::vector<Key> keys;
void OnKey(uint32_t m, uint32_t w, uint32_t l) {
    std::lock_guard<std::mutex> hold(keys_lock);
    keys.push_back({m, w, l});
}

size_t KeyCount() {
    std::lock_guard<std::mutex> hold(keys_lock);
    return keys.size();
}

}  // namespace

TEST(SimHost, MappingIsSharedAndKeepsItsContentAcrossARestart) {
    std::string name = "Local\\TarmisTestMap" + Unique("");
    constexpr uint32_t size = 1 << 20;
    uint8_t* view = SimHost_CreateMapping(name.c_str(), size);
    ASSERT_NE(view, nullptr);
    std::memcpy(view + size - 6, "tail!", 6);
    view[0] = 0x42;

    uint32_t seen = 0;
    const uint8_t* reader = SimHost_OpenMappingReadOnly(name.c_str(), &seen);
    ASSERT_NE(reader, nullptr);
    EXPECT_GE(seen, size);
    EXPECT_EQ(reader[0], 0x42);
    EXPECT_STREQ(reinterpret_cast<const char*>(reader + size - 6), "tail!");
    view[1] = 0x43;   // the reader sees writes made after it opened
    EXPECT_EQ(reader[1], 0x43);

    // The stand-in goes away and comes back: same object, same bytes.
    SimHost_CloseMapping();
    uint8_t* again = SimHost_CreateMapping(name.c_str(), size);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again[0], 0x42);
    EXPECT_STREQ(reinterpret_cast<const char*>(again + size - 6), "tail!");
    again[2] = 0x44;
    EXPECT_EQ(reader[2], 0x44);

    EXPECT_EQ(SimHost_CreateMapping(name.c_str(), size), nullptr) << "one per process";
    SimHost_CloseMapping();
    SimHost_CloseMappingReadOnly();
    SimHost_RemoveNames(name.c_str(), nullptr);
    EXPECT_EQ(SimHost_OpenMappingReadOnly(name.c_str(), &seen), nullptr);

    // A smaller stand-in never shrinks what a reader has mapped.
    ASSERT_NE(SimHost_CreateMapping(name.c_str(), size), nullptr);
    SimHost_CloseMapping();
    ASSERT_NE(SimHost_CreateMapping(name.c_str(), size / 2), nullptr);
    reader = SimHost_OpenMappingReadOnly(name.c_str(), &seen);
    ASSERT_NE(reader, nullptr);
    EXPECT_GE(seen, size);
    EXPECT_EQ(reader[size - 1], 0) << "the last page is still there";
    SimHost_CloseMapping();
    SimHost_CloseMappingReadOnly();
    SimHost_RemoveNames(name.c_str(), nullptr);
}

TEST(SimHost, EventWakesTheReaderOnceHoweverOftenSignalled) {
    std::string name = "Local\\TarmisTestEvent" + Unique("");
    EXPECT_FALSE(SimHost_OpenEvent(name.c_str()));
    ASSERT_TRUE(SimHost_CreateEvent(name.c_str()));
    ASSERT_TRUE(SimHost_OpenEvent(name.c_str()));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(SimHost_WaitEvent(30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
    for (int i = 0; i < 5; i++) SimHost_SignalEvent();
    EXPECT_TRUE(SimHost_WaitEvent(0));
    EXPECT_FALSE(SimHost_WaitEvent(10));
    // A signal while the reader waits wakes it early.
    std::thread later([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SimHost_SignalEvent();
    });
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(SimHost_WaitEvent(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    later.join();
    SimHost_CloseEvent();
    SimHost_RemoveNames(nullptr, name.c_str());
}

TEST(SimHost, WindowReportsEveryPostedKeyMessageExactly) {
    static const std::string cls = Unique("TarmisTestSim");
    static const std::string child = Unique("TarmisTestChild");
    const char* title = "Tarmis Test Window";
    EXPECT_FALSE(SimHost_PostKey(cls.c_str(), title, child.c_str(), 0x100, 13, 0))
        << "no window yet";
    ASSERT_EQ(SimHost_StartWindow(cls.c_str(), title, child.c_str(), OnKey), SIMHOST_WINDOW_OK);
    EXPECT_EQ(SimHost_StartWindow(cls.c_str(), title, child.c_str(), OnKey), SIMHOST_WINDOW_FAILED);
    const Key sent[] = {{0x100, 13, 0x001C0001}, {0x101, 13, 0xC01C0001}, {0x104, 0x70, 0x20000000},
                        {0x100, 0xFFFFFFFF, 0xFFFFFFFF}};
    for (const Key& k : sent)
        EXPECT_TRUE(SimHost_PostKey(cls.c_str(), title, child.c_str(), k.message, k.wparam, k.lparam));
    // Not a key message: the window does not report it.
    EXPECT_TRUE(SimHost_PostKey(cls.c_str(), title, child.c_str(), 0x0200, 1, 2));
    EXPECT_TRUE(SimHost_PostKey(cls.c_str(), title, child.c_str(), 0x0100, 99, 0));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (KeyCount() < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    SimHost_StopWindow();
    std::lock_guard<std::mutex> hold(keys_lock);
    ASSERT_EQ(keys.size(), 5u);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(keys[i].message, sent[i].message) << i;
        EXPECT_EQ(keys[i].wparam, sent[i].wparam) << i;
        EXPECT_EQ(keys[i].lparam, sent[i].lparam) << i;
    }
    EXPECT_EQ(keys[4].wparam, 99u);
    // Closed: posts fail, and the names are free for a new owner.
    EXPECT_FALSE(SimHost_PostKey(cls.c_str(), title, child.c_str(), 0x100, 13, 0));
    ASSERT_EQ(SimHost_StartWindow(cls.c_str(), title, child.c_str(), OnKey), SIMHOST_WINDOW_OK);
    SimHost_StopWindow();
}
