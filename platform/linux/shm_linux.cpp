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
    // The deadline is on the monotonic clock, so a step of the wall clock
    // neither stretches nor cuts the wait.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += static_cast<long>(ms) * 1000000L;
    until.tv_sec += until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    sem_t* sem = reinterpret_cast<sem_t*>(event);
    while (sem_clockwait(sem, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
    }
}

bool Shm_ViewIntact(ShmHandle mapping, size_t view_size) {
    if (mapping == SHM_NONE) return false;
    struct stat st {};
    if (fstat(static_cast<int>(mapping), &st) != 0 || st.st_size < 0) return false;
    // The object may still be truncated between this check and the read that
    // follows it, a window of a few microseconds.
    return static_cast<size_t>(st.st_size) >= view_size;
}

// Replaces `*event` when `event_name` names another semaphore than it. An
// open of a name that still names the held semaphore returns the held
// address (each open counted, so it is closed again); a semaphore created
// anew under the name, while the old one is open, has an address of its own.
static void Shm_FollowEvent(const char* event_name, ShmHandle* event) {
    ShmHandle named = Shm_OpenEvent(event_name);
    if (named == SHM_NONE) return;   // removed, not yet created again
    if (named == *event) {
        sem_close(reinterpret_cast<sem_t*>(named));
        return;
    }
    if (*event != SHM_NONE) sem_close(reinterpret_cast<sem_t*>(*event));
    *event = named;
}

bool Shm_FollowName(const char* mapping_name, const char* event_name, ShmHandle* mapping,
                    const uint8_t** view, size_t* size, ShmHandle* event) {
    // The semaphore on its own: a simulator that creates it after its
    // mapping is followed for the mapping first and for the semaphore later.
    Shm_FollowEvent(event_name, event);
    if (*mapping == SHM_NONE) return false;
    struct stat held {};
    if (fstat(static_cast<int>(*mapping), &held) != 0) return false;
    ShmHandle named = Shm_OpenMapping(mapping_name);
    if (named == SHM_NONE) return false;   // removed, not yet created again
    struct stat now {};
    if (fstat(static_cast<int>(named), &now) != 0 ||
        (now.st_ino == held.st_ino && now.st_dev == held.st_dev)) {
        close(static_cast<int>(named));
        return false;
    }
    size_t new_size = 0;
    const uint8_t* new_view = Shm_MapView(named, &new_size);
    if (new_view == nullptr) {   // not sized yet: tried again next time
        close(static_cast<int>(named));
        return false;
    }
    if (*view != nullptr) munmap(const_cast<uint8_t*>(*view), *size);
    close(static_cast<int>(*mapping));
    *mapping = named;
    *view = new_view;
    *size = new_size;
    return true;
}
