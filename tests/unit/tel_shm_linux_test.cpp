// The Linux platform layer's view of the simulator's objects, over POSIX
// shared memory and a named semaphore made here under names of this test
// process's own: truncation under the view, names removed and created
// again, and the event wait's deadline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/shm.h"

namespace {

// One object and one semaphore as a simulator makes them; removed at the end.
struct SimObjects {
    std::string map_name, event_name;
    int fd = -1;
    sem_t* sem = SEM_FAILED;

    SimObjects() {
        const std::string tag = std::to_string(getpid());
        map_name = "tarmis_unit_map_" + tag;
        event_name = "tarmis_unit_event_" + tag;
    }
    ~SimObjects() { Remove(); }
    // Creates both afresh, the object `size` bytes long with `mark` in its
    // first byte.
    bool Create(size_t size, uint8_t mark) {
        fd = shm_open(("/" + map_name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
        if (pwrite(fd, &mark, 1, 0) != 1) return false;
        sem = sem_open(("/" + event_name).c_str(), O_CREAT | O_EXCL, 0600, 0);
        return sem != SEM_FAILED;
    }
    void Remove() {
        if (fd >= 0) close(fd);
        fd = -1;
        shm_unlink(("/" + map_name).c_str());
        if (sem != SEM_FAILED) sem_close(sem);
        sem = SEM_FAILED;
        sem_unlink(("/" + event_name).c_str());
    }
};

double WaitMs(ShmHandle event, int ms) {
    auto start = std::chrono::steady_clock::now();
    Shm_WaitEvent(event, ms);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(TelShmLinux, TruncatedObjectMakesTheViewUnusableUntilItIsLargeAgain) {
    SimObjects sim;
    ASSERT_TRUE(sim.Create(65536, 0x11));
    ShmHandle mapping = Shm_OpenMapping(sim.map_name.c_str());
    size_t size = 0;
    const uint8_t* view = Shm_MapView(mapping, &size);
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(size, 65536u);
    EXPECT_TRUE(Shm_ViewIntact(mapping, size));

    ASSERT_EQ(ftruncate(sim.fd, 4096), 0);   // a read of the view's last page would fault now
    EXPECT_FALSE(Shm_ViewIntact(mapping, size));
    ASSERT_EQ(ftruncate(sim.fd, 0), 0);
    EXPECT_FALSE(Shm_ViewIntact(mapping, size));
    ASSERT_EQ(ftruncate(sim.fd, 65536), 0);
    EXPECT_TRUE(Shm_ViewIntact(mapping, size));
    EXPECT_EQ(view[65535], 0);   // readable again
    ASSERT_EQ(ftruncate(sim.fd, 131072), 0);
    EXPECT_TRUE(Shm_ViewIntact(mapping, size));
    EXPECT_FALSE(Shm_ViewIntact(SHM_NONE, size));
}

TEST(TelShmLinux, ASemaphoreCreatedAfterItsMappingIsFollowedWhenItAppears) {
    SimObjects sim;
    ASSERT_TRUE(sim.Create(65536, 0x11));
    ShmHandle mapping = Shm_OpenMapping(sim.map_name.c_str());
    size_t size = 0;
    const uint8_t* view = Shm_MapView(mapping, &size);
    ShmHandle event = Shm_OpenEvent(sim.event_name.c_str());
    ASSERT_NE(event, SHM_NONE);
    auto follow = [&] {
        return Shm_FollowName(sim.map_name.c_str(), sim.event_name.c_str(), &mapping, &view, &size, &event);
    };

    // The simulator starts again: its mapping first, its semaphore later.
    sim.Remove();
    sim.fd = shm_open(("/" + sim.map_name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(sim.fd, 0);
    ASSERT_EQ(ftruncate(sim.fd, 65536), 0);
    EXPECT_TRUE(follow());
    sim.sem = sem_open(("/" + sim.event_name).c_str(), O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(sim.sem, SEM_FAILED);
    EXPECT_FALSE(follow());   // the mapping is the same; the semaphore is taken
    ASSERT_EQ(sem_post(sim.sem), 0);
    EXPECT_LT(WaitMs(event, 2000), 1000.0);
}

TEST(TelShmLinux, EventWaitEndsAtItsDeadline) {
    SimObjects sim;
    ASSERT_TRUE(sim.Create(4096, 0));
    ShmHandle event = Shm_OpenEvent(sim.event_name.c_str());
    ASSERT_NE(event, SHM_NONE);
    double waited = WaitMs(event, 40);
    EXPECT_GE(waited, 39.0);
    EXPECT_LT(waited, 1000.0);
}
