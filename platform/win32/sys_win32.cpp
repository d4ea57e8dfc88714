// platform/win32/sys_win32.cpp: process, clock and console operations on Windows.
#include "platform/sys.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

uint32_t Sys_PlatformTimer() { return static_cast<uint32_t>(timeGetTime()); }

void Sys_SleepMilliseconds(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

static void (*ctrl_handler)();

static BOOL WINAPI Sys_ConsoleEvent(DWORD) {
    ctrl_handler();
    return TRUE;
}

void Sys_InstallCtrlHandler(void (*handler)()) {
    ctrl_handler = handler;
    SetConsoleCtrlHandler(Sys_ConsoleEvent, TRUE);
}

// What Sys_ProcessSetup changed, for the way out.
static std::atomic<bool> sys_timer_period_set{false};
static std::atomic<bool> sys_input_mode_set{false};
static DWORD sys_input_mode_before;

void Sys_ProcessSetup() {
    // Since Windows 10 version 2004 a process has a fine timer only when it
    // asks for one itself: without it the main loop's 100-microsecond wait
    // lasts up to a 15.6 ms tick and timeGetTime moves in such steps.
    if (timeBeginPeriod(1) == TIMERR_NOERROR) sys_timer_period_set.store(true);
    // QuickEdit: a click into the window would start a selection, and the
    // console blocks every write until it ends. Extended flags must be set
    // for the QuickEdit bit to be taken.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode)) {
        sys_input_mode_before = mode;
        DWORD quiet = (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
        if (SetConsoleMode(in, quiet)) sys_input_mode_set.store(true);
    }
}

static void Sys_ConsoleRestore();

// Undoes Sys_ProcessSetup and Sys_ConsoleSetup, once, whichever way out
// comes first; each call returns at once and its result is not examined.
static void Sys_ProcessRestore() {
    Sys_ConsoleRestore();
    if (sys_input_mode_set.exchange(false))
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), sys_input_mode_before);
    if (sys_timer_period_set.exchange(false)) timeEndPeriod(1);
}

// Ends the process without running the run-time library's shut-down (no
// static object is destroyed under the threads that still run) and without
// taking any lock of the standard streams.
[[noreturn]] static void Sys_EndProcess(int code) {
    // TerminateProcess, not ExitProcess: the latter stops the other threads
    // wherever they are and then runs library shut-down code that may wait
    // for a lock one of them held.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);
}

void Sys_Exit(int code) {
    // Only the console streams: flushing every stream would take the run-time
    // library's stream-table lock, which the main thread may hold (opening or
    // closing the log) when another thread ends the process. The log file is
    // closed after every record, so nothing else is buffered.
    std::fflush(stdout);
    std::fflush(stderr);
    Sys_ProcessRestore();
    Sys_EndProcess(code);
}

// The exit code the control handler asked the main thread to end with; -1
// while nobody has asked.
static std::atomic<int> sys_exit_requested{-1};
constexpr ULONGLONG SYS_HANDLER_GRACE_MS = 500;

void Sys_ExitIfRequested() {
    int code = sys_exit_requested.load();
    if (code < 0) return;
    Sys_ProcessRestore();
    Sys_EndProcess(code);
}

void Sys_ExitFromHandler(int code) {
    // The main thread ends the process between two passes, where it is
    // inside no run-time, Winsock or console call. Under Wine, ending the
    // process from the handler's thread while the main thread was inside
    // such a call left it running now and then: the main thread was stopped
    // holding a lock of Wine's own, and the ending thread then waited for
    // that lock for ever. The main loop never waits for the console (the
    // status lines have a thread of their own, which may be the one blocked
    // in a write), so it comes round within a pass; only a main thread that
    // is truly stuck, in start-up before the loop runs (its lines written to
    // a console whose output is suspended), is ended from here after the
    // grace time.
    // The grace is measured on the clock, not counted in sleeps, which a busy
    // machine stretches; what follows it still has to fit in the second that
    // a user waits for the process to end.
    sys_exit_requested.store(code);
    const ULONGLONG asked = GetTickCount64();
    while (GetTickCount64() - asked < SYS_HANDLER_GRACE_MS) Sleep(10);
    Sys_ProcessRestore();
    Sys_EndProcess(code);
}

int Sys_CurrentDirectory(char* buf, int size) {
    if (size <= 0) return 0;
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
    // A directory that does not fit returns the size it needs, unwritten.
    if (n == 0 || n >= static_cast<DWORD>(size)) {
        buf[0] = 0;
        return n == 0 ? 0 : -1;
    }
    return static_cast<int>(n);
}

char Sys_PathSeparator() { return '\\'; }

static HANDLE con_handle;
static CONSOLE_SCREEN_BUFFER_INFO con_startinfo;
static bool con_have_info;
// The cursor as it was before the status display hid it, for the way out.
static CONSOLE_CURSOR_INFO con_cursor_before;
static std::atomic<bool> con_cursor_hidden{false};

void Sys_ConsoleSetup() {
    con_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    con_have_info = GetConsoleScreenBufferInfo(con_handle, &con_startinfo) != 0;
    bool known = GetConsoleCursorInfo(con_handle, &con_cursor_before) != 0;
    CONSOLE_CURSOR_INFO cursor{};
    cursor.dwSize = 100;
    cursor.bVisible = FALSE;
    if (SetConsoleCursorInfo(con_handle, &cursor) && known) con_cursor_hidden.store(true);
}

// Shows the cursor again as it was before Sys_ConsoleSetup, once.
static void Sys_ConsoleRestore() {
    if (con_cursor_hidden.exchange(false)) SetConsoleCursorInfo(con_handle, &con_cursor_before);
}

bool Sys_ConsoleToAnchor(int) {
    if (!con_have_info) return false;
    std::fflush(stdout);
    return SetConsoleCursorPosition(con_handle, con_startinfo.dwCursorPosition) != 0;
}
