// platform/linux/simhost_linux.cpp: the simulator's named objects on Linux:
// POSIX shared memory, a named semaphore, and an abstract datagram socket in
// place of the window.
#include "platform/simhost.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

constexpr int SIMHOST_NAME_SIZE = 128;
constexpr int SIMHOST_KEY_MESSAGE_SIZE = 12;   // three little-endian u32

// "Local\Name" -> "/Name"; any other name just gets the leading slash.
static bool SimHost_PosixName(const char* name, char* out, int size) {
    const char* prefix = "Local\\";
    size_t plen = std::strlen(prefix);
    if (std::strncmp(name, prefix, plen) == 0) name += plen;
    int n = std::snprintf(out, static_cast<size_t>(size), "/%s", name);
    return n > 1 && n < size && std::strchr(out + 1, '/') == nullptr;
}

// --- mapping ---

static uint8_t* host_view;
static uint32_t host_view_size;

uint8_t* SimHost_CreateMapping(const char* name, uint32_t size) {
    char pname[SIMHOST_NAME_SIZE];
    if (host_view != nullptr || size == 0 || !SimHost_PosixName(name, pname, sizeof pname))
        return nullptr;
    int fd = shm_open(pname, O_CREAT | O_RDWR, 0644);
    if (fd < 0) return nullptr;
    // Readers open it read-only whatever our umask made of the mode.
    fchmod(fd, 0644);
    // Grown when new or too small, never shrunk: a reader that mapped a
    // larger object must not find its pages gone.
    struct stat st {};
    if (fstat(fd, &st) != 0 ||
        (st.st_size < static_cast<off_t>(size) && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    host_view = static_cast<uint8_t*>(p);
    host_view_size = size;
    return host_view;
}

void SimHost_CloseMapping() {
    if (host_view == nullptr) return;
    munmap(host_view, host_view_size);
    host_view = nullptr;
    host_view_size = 0;
}

// --- event ---

static sem_t* host_event = SEM_FAILED;

bool SimHost_CreateEvent(const char* name) {
    char pname[SIMHOST_NAME_SIZE];
    if (host_event != SEM_FAILED) return true;
    if (!SimHost_PosixName(name, pname, sizeof pname)) return false;
    host_event = sem_open(pname, O_CREAT, 0644, 0);
    return host_event != SEM_FAILED;
}

void SimHost_SignalEvent() {
    if (host_event == SEM_FAILED) return;
    // Like a Windows event the semaphore is either signalled or not: a
    // reader that starts late must not find thousands of stale posts.
    int value = 0;
    if (sem_getvalue(host_event, &value) == 0 && value > 0) return;
    sem_post(host_event);
}

void SimHost_FineTimer() {}

// --- window ---

static int host_socket = -1;
static std::thread host_window_thread;
static std::atomic<bool> host_window_stop;

static socklen_t SimHost_WindowAddress(const char* cls, const char* child_cls, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // Abstract address: a leading zero byte, no file on disk, not
    // zero-terminated; its length is part of the address.
    int n = std::snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "%s/%s", cls, child_cls);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof addr.sun_path - 1) return 0;
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

static uint32_t SimHost_ReadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static void SimHost_WindowLoop(SimHostKeyHandler handler) {
    uint8_t buf[64];
    while (!host_window_stop.load()) {
        pollfd pfd{host_socket, POLLIN, 0};
        int r = poll(&pfd, 1, 20);
        if (r <= 0) continue;
        ssize_t n = recv(host_socket, buf, sizeof buf, MSG_DONTWAIT);
        // Only whole key messages are messages; anything else is dropped,
        // as a window drops what it cannot read.
        if (n != SIMHOST_KEY_MESSAGE_SIZE) continue;
        uint32_t message = SimHost_ReadLE32(buf);
        if (message < 0x0100 || message > 0x0109) continue;
        handler(message, SimHost_ReadLE32(buf + 4), SimHost_ReadLE32(buf + 8));
    }
}

SimHostWindow SimHost_StartWindow(const char* cls, const char*, const char* child_cls,
                                  SimHostKeyHandler handler) {
    if (host_socket >= 0 || handler == nullptr) return SIMHOST_WINDOW_FAILED;
    sockaddr_un addr;
    socklen_t len = SimHost_WindowAddress(cls, child_cls, addr);
    if (len == 0) return SIMHOST_WINDOW_FAILED;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return SIMHOST_WINDOW_FAILED;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        int err = errno;
        close(s);
        return err == EADDRINUSE ? SIMHOST_WINDOW_BUSY : SIMHOST_WINDOW_FAILED;
    }
    host_socket = s;
    host_window_stop.store(false);
    host_window_thread = std::thread(SimHost_WindowLoop, handler);
    return SIMHOST_WINDOW_OK;
}

void SimHost_StopWindow() {
    if (host_socket < 0) return;
    host_window_stop.store(true);
    if (host_window_thread.joinable()) host_window_thread.join();
    close(host_socket);
    host_socket = -1;
}

// --- console ---

bool SimHost_ConsoleOfItsOwn() { return false; }

// --- reading side ---

bool SimHost_PostKey(const char* cls, const char*, const char* child_cls,
                     uint32_t message, uint32_t wparam, uint32_t lparam) {
    sockaddr_un addr;
    socklen_t len = SimHost_WindowAddress(cls, child_cls, addr);
    if (len == 0) return false;
    uint8_t buf[SIMHOST_KEY_MESSAGE_SIZE];
    const uint32_t words[3] = {message, wparam, lparam};
    for (int w = 0; w < 3; w++)
        for (int b = 0; b < 4; b++) buf[w * 4 + b] = static_cast<uint8_t>(words[w] >> (8 * b));
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ssize_t n = sendto(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&addr), len);
    close(s);
    return n == static_cast<ssize_t>(sizeof buf);
}

static const uint8_t* probe_view;
static uint32_t probe_view_size;

const uint8_t* SimHost_OpenMappingReadOnly(const char* name, uint32_t* size) {
    char pname[SIMHOST_NAME_SIZE];
    if (probe_view != nullptr || !SimHost_PosixName(name, pname, sizeof pname)) return nullptr;
    int fd = shm_open(pname, O_RDONLY, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > 0x7fffffff) {
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return nullptr;
    probe_view = static_cast<const uint8_t*>(p);
    probe_view_size = static_cast<uint32_t>(st.st_size);
    if (size != nullptr) *size = probe_view_size;
    return probe_view;
}

void SimHost_CloseMappingReadOnly() {
    if (probe_view == nullptr) return;
    munmap(const_cast<uint8_t*>(probe_view), probe_view_size);
    probe_view = nullptr;
    probe_view_size = 0;
}

static sem_t* probe_event = SEM_FAILED;

bool SimHost_OpenEvent(const char* name) {
    char pname[SIMHOST_NAME_SIZE];
    if (probe_event != SEM_FAILED) return true;
    if (!SimHost_PosixName(name, pname, sizeof pname)) return false;
    probe_event = sem_open(pname, 0);
    return probe_event != SEM_FAILED;
}

bool SimHost_WaitEvent(int timeout_ms) {
    if (probe_event == SEM_FAILED) return false;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (timeout_ms < 0) timeout_ms = 0;
    long long ns = ts.tv_nsec + static_cast<long long>(timeout_ms) * 1000000LL;
    ts.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    while (sem_timedwait(probe_event, &ts) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void SimHost_CloseEvent() {
    if (probe_event == SEM_FAILED) return;
    sem_close(probe_event);
    probe_event = SEM_FAILED;
}

void SimHost_RemoveNames(const char* mapping_name, const char* event_name) {
    char pname[SIMHOST_NAME_SIZE];
    if (mapping_name != nullptr && SimHost_PosixName(mapping_name, pname, sizeof pname))
        shm_unlink(pname);
    if (event_name != nullptr && SimHost_PosixName(event_name, pname, sizeof pname))
        sem_unlink(pname);
}
