// platform/win32/sys_win32.cpp: process, clock and console operations on Windows.
#include "platform/sys.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>

uint32_t Sys_PlatformTimer() { return static_cast<uint32_t>(timeGetTime()); }

void Sys_SleepMilliseconds(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

void Sys_SleepMicroseconds(int us) {
    // Windows sleeps in whole milliseconds; a short wait still yields.
    Sleep(us >= 1000 ? static_cast<DWORD>(us / 1000) : 0);
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

void Sys_Exit(int code) {
    // Only the console streams: flushing every stream would take the run-time
    // library's stream-table lock, which the main thread may hold (opening or
    // closing the log) when Ctrl-C arrives on the handler's thread. The log
    // file is closed after every record, so nothing else is buffered.
    std::fflush(stdout);
    std::fflush(stderr);
    // TerminateProcess, not ExitProcess: the latter stops the other threads
    // wherever they are and then runs library shut-down code that may wait
    // for a lock one of them held.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::_Exit(code);
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

void Sys_ConsoleSetup() {
    con_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    con_have_info = GetConsoleScreenBufferInfo(con_handle, &con_startinfo) != 0;
    CONSOLE_CURSOR_INFO cursor{};
    cursor.dwSize = 100;
    cursor.bVisible = FALSE;
    SetConsoleCursorInfo(con_handle, &cursor);
}

bool Sys_ConsoleToAnchor(int) {
    if (!con_have_info) return false;
    std::fflush(stdout);
    return SetConsoleCursorPosition(con_handle, con_startinfo.dwCursorPosition) != 0;
}
