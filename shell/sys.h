// shell/sys.h: the settings from the command line and the main thread's
// millisecond clock, which every layer above the platform reads. The
// program's entry, start-up and main loop sit on top, in shell/main.cpp.
#pragma once

#include <cstdint>

constexpr int DEFAULT_PORT = 2047;
constexpr int DEFAULT_TRANSMIT_INTERVAL = 50;   // milliseconds

// Settings from the command line, fixed before any other thread starts.
extern int32_t transmit_interval;   // option f: milliseconds between updates
extern uint8_t test_mode;           // option t: test pattern instead of the simulator
extern uint16_t listen_port;        // option p; 0 when absent (then 2047)
// The main thread's clock, refreshed once per main-loop pass.
extern uint32_t curtime;

// Milliseconds wrap after 49.7 days; compare through a signed difference.
inline int32_t Sys_Elapsed(uint32_t now, uint32_t then) {
    return static_cast<int32_t>(now - then);
}

// Reads the options after the program name into the settings above; calls
// Sys_PrintUsage on anything it does not accept.
void Sys_ParseOptions(int argc, char** argv);
// Puts the settings back to their defaults (tests).
void Sys_ResetOptions();

// Prints the four-line usage text and ends the process with exit code 1.
[[noreturn]] void Sys_PrintUsage(const char* program_name);

// Milliseconds since a base taken at the first call and rounded down to a
// multiple of 65536, so the first value lies in 0..65535. Wraps with the
// system timer.
uint32_t Sys_GetMilliseconds();
// The clock's arithmetic over a given timer reading (tests).
uint32_t Sys_MillisecondsFrom(uint32_t timer);
// Forgets the base, so the next reading takes a new one (tests).
void Sys_ResetClock();
