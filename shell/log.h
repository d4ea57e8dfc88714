// shell/log.h: the debug log, the diagnostic print and the fatal-error exit.
//
// Diagnostics never reach the console: with option d they become records of
// "log.txt" in the current directory, otherwise they are dropped. A record is
//   "Mon 2026-12-07 14:03:09 UTC - " + the message as formatted
// and the file is opened, appended to and closed for every record, so a
// record is on disk as soon as Log_Printf returns.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int LOG_PATH_SIZE = 100;       // log_path, terminator included
constexpr int LOG_LINE_SIZE = 4096;      // Log_Printf's text and whole record
constexpr int LOG_STAMP_SIZE = 83;       // the time stamp
constexpr int LOG_COPY_SIZE = 256;       // the message behind the stamp
constexpr int SYS_PRINTF_SIZE = 4096;
constexpr int SYS_ERROR_SIZE = 1024;

// Cleared by the console control handler (another thread) so that no new
// record begins once the process is ending.
extern std::atomic<uint8_t> log_enabled;
extern char log_path[LOG_PATH_SIZE];

// Builds log_path (current directory + separator + "log.txt") and creates
// or empties the file. When the directory cannot be read the path is the
// separator + "log.txt"; when it is too long for log_path the path is the
// relative "log.txt", which names the same file. Never overruns log_path.
void Log_Init();

// Prints the debug-log notice on the console when the log is on.
void Log_Announce();

// Writes one time-stamped record when the log is on; nothing otherwise.
// The text is cut to 4095 characters; a failed open drops the record.
void Log_Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Puts the time stamp in front of the text in `buf` (LOG_LINE_SIZE bytes),
// in place. A message longer than 255 characters keeps its first 255, and
// its final "\n" when it had one, so that records stay one per line.
void Log_AddTimestamp(char* buf);

// The diagnostic print: the text (cut to 4095 characters) reaches the debug
// log only, and a per-cent sign in it is never read as a conversion.
void Sys_Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs "ERROR: " + the text (cut to 1023 characters) and ends the process
// with exit code 1. Prints nothing on the console.
[[noreturn]] void Sys_Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
