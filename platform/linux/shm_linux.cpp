// platform/linux/shm_linux.cpp: POSIX shared memory and a named semaphore.
#include "platform/shm.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static void Shm_PosixName(char* out, size_t size, const char* name) {
    std::snprintf(out, size, "/%s", name);
}

ShmHandle Shm_OpenMapping(const char* name) {
    char path[256];
    Shm_PosixName(path, sizeof path, name);
    int fd = shm_open(path, O_RDONLY, 0);
    if (fd < 0) return SHM_NONE;
    return fd;
}

const uint8_t* Shm_MapView(ShmHandle mapping, size_t* size) {
    *size = 0;
    if (mapping == SHM_NONE) return nullptr;
    struct stat st {};
    if (fstat(static_cast<int>(mapping), &st) != 0 || st.st_size <= 0) return nullptr;
    size_t len = static_cast<size_t>(st.st_size);
    void* view = mmap(nullptr, len, PROT_READ, MAP_SHARED, static_cast<int>(mapping), 0);
    if (view == MAP_FAILED) return nullptr;
    *size = len;
    return static_cast<const uint8_t*>(view);
}

ShmHandle Shm_OpenEvent(const char* name) {
    char path[256];
    Shm_PosixName(path, sizeof path, name);
    sem_t* sem = sem_open(path, 0);
    if (sem == SEM_FAILED) return SHM_NONE;
    return reinterpret_cast<ShmHandle>(sem);
}

void Shm_WaitEvent(ShmHandle event, int ms) {
    if (event == SHM_NONE) return;
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += static_cast<long>(ms) * 1000000L;
    until.tv_sec += until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    sem_t* sem = reinterpret_cast<sem_t*>(event);
    while (sem_timedwait(sem, &until) != 0 && errno == EINTR) {
    }
}

int64_t Shm_WallSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}
