// The Linux platform layer's view of the simulator's mapping, over POSIX
// shared memory made here under a name of this test process's own.
#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
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
