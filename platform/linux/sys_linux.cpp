// platform/linux/sys_linux.cpp: process, clock and console operations on Linux.
#include "platform/sys.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

uint32_t Sys_PlatformTimer() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void Sys_SleepMilliseconds(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

static void (*ctrl_handler)();

// Takes the termination signals on a thread of its own, so the handler runs
// as ordinary code (it may take locks and write files), as on Windows.
static void Sys_SignalThread(sigset_t set) {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    ctrl_handler();
}

void Sys_InstallCtrlHandler(void (*handler)()) {
    ctrl_handler = handler;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Blocked here, before any other thread starts, so every thread inherits
    // the mask and only the signal thread ever takes these signals.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(Sys_SignalThread, set).detach();
}

void Sys_ProcessSetup() {
    signal(SIGPIPE, SIG_IGN);
}

static void Sys_ConsoleRestore();

void Sys_Exit(int code) {
    // Only the console streams: flushing every stream would take the stream
    // list's lock, which the main thread may hold (opening or closing the
    // log) when another thread ends the process. The log file is closed
    // after every record, so nothing else is buffered.
    std::fflush(stdout);
    std::fflush(stderr);
    Sys_ConsoleRestore();
    std::_Exit(code);
}

void Sys_ExitIfRequested() {}

void Sys_ExitFromHandler(int code) {
    // No stdio call: the main thread may be inside a write to a standard
    // output that nobody reads, holding the stream's lock for good. The
    // status lines are flushed after every redraw, so nothing is lost but
    // the text of a write that could not finish anyway.
    Sys_ConsoleRestore();
    _exit(code);
}

int Sys_CurrentDirectory(char* buf, int size) {
    if (size <= 0) return 0;
    if (getcwd(buf, static_cast<size_t>(size)) == nullptr) {
        int err = errno;
        buf[0] = 0;
        return err == ERANGE ? -1 : 0;
    }
    return static_cast<int>(std::strlen(buf));
}

char Sys_PathSeparator() { return '/'; }

static bool con_is_tty;
// A descriptor of the terminal of its own, non-blocking, for the escape that
// shows the cursor again on the way out: O_NONBLOCK set on standard output
// itself would change it for every program sharing the terminal, and a
// terminal stopped with Ctrl-S would otherwise hold the exit up. -1 when the
// cursor was not hidden.
static std::atomic<int> con_restore_fd{-1};

void Sys_ConsoleSetup() {
    con_is_tty = isatty(STDOUT_FILENO) != 0;
    if (con_is_tty) {
        const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        int fd = open("/proc/self/fd/1", flags);
        if (fd < 0) {  // no /proc: the terminal's own name
            const char* name = ttyname(STDOUT_FILENO);
            if (name != nullptr) fd = open(name, flags);
        }
        if (fd >= 0) con_restore_fd.store(fd);
        std::fputs("\x1b[?25l", stdout);  // hide the cursor
        std::fflush(stdout);
    }
}

// Shows the cursor again when Sys_ConsoleSetup hid it. One write that never
// waits; its result is not examined. Once only, whichever way out comes first.
static void Sys_ConsoleRestore() {
    int fd = con_restore_fd.exchange(-1);
    if (fd < 0) return;
    static const char SHOW_CURSOR[] = "\x1b[?25h";
    ssize_t ignored = write(fd, SHOW_CURSOR, sizeof SHOW_CURSOR - 1);
    (void)ignored;
}

bool Sys_ConsoleToAnchor(int lines_since_anchor) {
    if (!con_is_tty) return false;
    if (lines_since_anchor > 0) std::printf("\x1b[%dA", lines_since_anchor);
    std::fputs("\r", stdout);
    return true;
}
