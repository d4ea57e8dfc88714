// The Linux platform layer's view of the simulator's mapping, over POSIX
// shared memory made here under a name of this test process's own.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/shm.h"

TEST(TelShmLinux, AnObjectCutShortUnderTheViewMakesItUnusableUntilItIsLargeAgain) {
    const std::string name = "tarmis_unit_map_" + std::to_string(getpid());
    const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 65536), 0);
    const ShmHandle mapping = Shm_OpenMapping(name.c_str());
    size_t size = 0;
    const uint8_t* view = Shm_MapView(mapping, &size);
    shm_unlink(("/" + name).c_str());
    ASSERT_NE(view, nullptr);
    // A read of the view's last page would fault while the object is shorter.
    const struct { off_t length; bool intact; } lengths[] = {{65536, true}, {4096, false}, {0, false},
                                                             {65536, true}, {131072, true}};
    for (const auto& l : lengths) {
        ASSERT_EQ(ftruncate(fd, l.length), 0);
        EXPECT_EQ(Shm_ViewIntact(mapping, size), l.intact) << l.length;
    }
    EXPECT_EQ(view[65535], 0);
    close(fd);
}

// A simulator that makes its semaphore after its mapping: the semaphore is
// taken up as soon as it appears, so that waits end on the simulator's posts
// instead of running their whole time.
TEST(TelShmLinux, ASemaphoreMadeAfterItsMappingIsFollowedWhenItAppears) {
    const std::string map = "tarmis_unit_map_" + std::to_string(getpid()) + "_s";
    const std::string sem = "tarmis_unit_sem_" + std::to_string(getpid());
    const int fd = shm_open(("/" + map).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 65536), 0);
    ShmHandle mapping = Shm_OpenMapping(map.c_str());
    size_t size = 0;
    const uint8_t* view = Shm_MapView(mapping, &size);
    ShmHandle event = Shm_OpenEvent(sem.c_str());   // not made yet: SHM_NONE
    sem_t* posted = sem_open(("/" + sem).c_str(), O_CREAT | O_EXCL, 0600, 0);
    ASSERT_NE(posted, SEM_FAILED);
    EXPECT_FALSE(Shm_FollowName(map.c_str(), sem.c_str(), &mapping, &view, &size, &event));
    ASSERT_EQ(sem_post(posted), 0);
    Shm_WaitEvent(event, 2000);
    int left = -1;
    EXPECT_EQ(sem_getvalue(posted, &left), 0);
    EXPECT_EQ(left, 0);   // the wait took the simulator's post
    // Without a post the wait ends at its deadline, neither sooner nor much later.
    const auto start = std::chrono::steady_clock::now();
    Shm_WaitEvent(event, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    shm_unlink(("/" + map).c_str());
    sem_unlink(("/" + sem).c_str());
    sem_close(posted);
    close(fd);
}
