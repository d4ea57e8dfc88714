// shell/log.cpp: the debug log, the diagnostic print and the fatal-error exit.
#include "shell/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/sys.h"

std::atomic<uint8_t> log_enabled{0};
char log_path[LOG_PATH_SIZE];

static const char LOG_FILE_NAME[] = "log.txt";

void Log_Init() {
    char dir[LOG_PATH_SIZE];
    int n = Sys_CurrentDirectory(dir, LOG_PATH_SIZE);
    const size_t name_len = sizeof(LOG_FILE_NAME) - 1;
    size_t at = 0;
    if (n > 0 && static_cast<size_t>(n) + 1 + name_len < sizeof(log_path)) {
        std::memcpy(log_path, dir, static_cast<size_t>(n));
        at = static_cast<size_t>(n);
        log_path[at++] = Sys_PathSeparator();
    } else if (n == 0) {
        // The directory cannot be read: the root of the current drive.
        log_path[at++] = Sys_PathSeparator();
    }
    // Otherwise it is too long for log_path: the relative name is the same file.
    std::memcpy(log_path + at, LOG_FILE_NAME, name_len + 1);
    if (FILE* f = std::fopen(log_path, "w")) std::fclose(f);
}

void Log_Announce() {
    if (!log_enabled) return;
    Log_Printf("Debug log enabled\n");
    std::printf("Debug log enabled\n");
    std::printf("Log will be saved to %s\n", log_path);
    std::printf("Please e-mail this log to support@tarmis-server.example with your report\n");
    std::printf("\n");
}

void Log_AddTimestamp(char* buf) {
    char copy[LOG_COPY_SIZE];
    size_t len = std::strlen(buf);
    if (len < sizeof(copy)) {
        std::memcpy(copy, buf, len + 1);
    } else {
        // Keep the first 255 characters, ending in the record's line end
        // when the message had one, so the next record starts on its own line.
        std::memcpy(copy, buf, sizeof(copy) - 1);
        copy[sizeof(copy) - 1] = 0;
        if (buf[len - 1] == '\n') copy[sizeof(copy) - 2] = '\n';
    }

    char stamp[LOG_STAMP_SIZE];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    stamp[0] = 0;
    if (std::tm* t = std::localtime(&now)) {
        local = *t;
        if (std::strftime(stamp, sizeof(stamp), "%a %Y-%m-%d %H:%M:%S %Z -", &local) == 0)
            stamp[0] = 0;
    }
    std::snprintf(buf, LOG_LINE_SIZE, "%s %s", stamp, copy);
}

// Formats into `buf` (size bytes) with a bound; a formatting error leaves an
// empty text, and a longer output keeps its first size - 1 characters.
static void Log_Format(char* buf, size_t size, const char* fmt, va_list args) {
    std::memset(buf, 0, size);
    if (std::vsnprintf(buf, size, fmt, args) < 0) buf[0] = 0;
    buf[size - 1] = 0;
}

void Log_Printf(const char* fmt, ...) {
    if (!log_enabled) return;
    char line[LOG_LINE_SIZE];
    va_list args;
    va_start(args, fmt);
    Log_Format(line, sizeof(line), fmt, args);
    va_end(args);
    Log_AddTimestamp(line);
    FILE* f = std::fopen(log_path, "a");
    if (!f) return;
    std::fprintf(f, "%s", line);
    std::fclose(f);
}

void Sys_Printf(const char* fmt, ...) {
    if (!log_enabled) return;  // nothing would be written
    char text[SYS_PRINTF_SIZE];
    va_list args;
    va_start(args, fmt);
    Log_Format(text, sizeof(text), fmt, args);
    va_end(args);
    Log_Printf("%s", text);
}

void Sys_Error(const char* fmt, ...) {
    char text[SYS_ERROR_SIZE];
    va_list args;
    va_start(args, fmt);
    Log_Format(text, sizeof(text), fmt, args);
    va_end(args);
    Log_Printf("ERROR: %s\n", text);
    Sys_Exit(1);
}
