// platform/sys.h: process, clock, console and file-system operations.
#pragma once

#include <cstdint>

// The system's millisecond timer (Windows: timeGetTime; Linux: the
// monotonic clock in milliseconds), as an unsigned 32-bit count that wraps.
uint32_t Sys_PlatformTimer();

// Sleeps the calling thread for at least `ms` milliseconds (none when <= 0).
void Sys_SleepMilliseconds(int ms);

// Installs `handler` for Ctrl-C, Ctrl-Break and closing the console
// (Linux: SIGINT, SIGTERM, SIGHUP). The handler runs on a thread of its own
// and must end the process. Call before any other thread is started.
void Sys_InstallCtrlHandler(void (*handler)());

// Start-up changes that last the whole run; each is undone on every way out
// (Sys_Exit, Sys_ExitFromHandler). Windows: asks for a 1 ms timer period,
// so short waits and timeGetTime keep millisecond steps, and turns QuickEdit
// off for the console input, so a click into the window cannot start a
// selection that holds up every console write. Linux: ignores SIGPIPE, so a
// reader of standard output that goes away cannot end the process (a failed
// console write is not examined). Call before the clock's first reading.
void Sys_ProcessSetup();

// Ends the process at once with `code`, after flushing standard output and
// standard error and restoring what Sys_ProcessSetup and Sys_ConsoleSetup
// changed. Safe to call from any thread while the others run, but waits for
// the standard output stream: the ways out of a thread that is not writing
// it (usage text, fatal error, the tools).
[[noreturn]] void Sys_Exit(int code);

// Ends the process with `code` from the console control handler's thread
// while the other threads run, within a second even while another thread is
// blocked writing standard output: takes no lock of the standard streams and
// flushes nothing. Restores what Sys_ProcessSetup and Sys_ConsoleSetup
// changed, best effort, with calls that never wait. Linux: at once, from the
// signal thread. Windows: asks the main thread to end the process at its
// next Sys_ExitIfRequested, and ends it itself when the main thread has not
// done so within 500 ms.
[[noreturn]] void Sys_ExitFromHandler(int code);

// Called by the main thread at the top of every main-loop pass: ends the
// process there when Sys_ExitFromHandler has asked for it (Windows); never
// does anything on Linux.
void Sys_ExitIfRequested();

// Writes the current directory into `buf` (at most `size` bytes, terminator
// included) and returns its length. Returns 0 when it cannot be read and -1
// when it does not fit; `buf` is then left empty.
int Sys_CurrentDirectory(char* buf, int size);

// The directory separator of this system's paths.
char Sys_PathSeparator();

// Console set-up at the end of start-up: hides the cursor (shown again on
// every way out) and remembers the current output position as the anchor of
// the status lines.
void Sys_ConsoleSetup();

// Moves the console cursor back to the anchor. `lines_since_anchor` is the
// number of lines printed since the cursor was last at the anchor (used
// where the cursor can only be moved relative to where it is). Returns false
// when standard output is not a console; the caller then simply appends.
bool Sys_ConsoleToAnchor(int lines_since_anchor);
