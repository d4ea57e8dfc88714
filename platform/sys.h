// platform/sys.h: process, clock, console and file-system operations.
#pragma once

#include <cstdint>

// The system's millisecond timer (Windows: timeGetTime; Linux: the
// monotonic clock in milliseconds), as an unsigned 32-bit count that wraps.
uint32_t Sys_PlatformTimer();

// Sleeps the calling thread for at least `ms` milliseconds (none when <= 0).
void Sys_SleepMilliseconds(int ms);

// Sleeps the calling thread for at least `us` microseconds.
void Sys_SleepMicroseconds(int us);

// Installs `handler` for Ctrl-C, Ctrl-Break and closing the console
// (Linux: SIGINT, SIGTERM, SIGHUP). The handler runs on a thread of its own
// and must end the process. Call before any other thread is started.
void Sys_InstallCtrlHandler(void (*handler)());

// Ends the process at once with `code`, after flushing standard output and
// standard error. Safe to call from any thread while the others run.
[[noreturn]] void Sys_Exit(int code);

// Writes the current directory into `buf` (at most `size` bytes, terminator
// included) and returns its length. Returns 0 when it cannot be read and -1
// when it does not fit; `buf` is then left empty.
int Sys_CurrentDirectory(char* buf, int size);

// The directory separator of this system's paths.
char Sys_PathSeparator();

// Console set-up at the end of start-up: hides the cursor and remembers the
// current output position as the anchor of the status lines.
void Sys_ConsoleSetup();

// Moves the console cursor back to the anchor. `lines_since_anchor` is the
// number of lines printed since the cursor was last at the anchor (used
// where the cursor can only be moved relative to where it is). Returns false
// when standard output is not a console; the caller then simply appends.
bool Sys_ConsoleToAnchor(int lines_since_anchor);
