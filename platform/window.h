// platform/window.h: the simulator's window and the key messages posted to it.
//
// Windows: the simulator's top-level window of class "iRacingSim" titled
// "iRacing.com Simulator" and its child of class "SimWinClass" receive
// WM_KEYDOWN / WM_KEYUP through PostMessageA.
// Linux: the "window" is the abstract AF_UNIX datagram address
// "\0iRacingSim/SimWinClass"; each key message is one 12-byte datagram of
// three little-endian unsigned 32-bit values:
//   +-----------+-----------+-----------+
//   | message   | key code  | flags     |
//   +-----------+-----------+-----------+
// A message that nobody receives is dropped without a report, on both.
#pragma once

#include <cstdint>

constexpr uint32_t WIN_KEYDOWN = 0x0100;          // WM_KEYDOWN
constexpr uint32_t WIN_KEYUP = 0x0101;            // WM_KEYUP
constexpr uint32_t WIN_KEY_EXTENDED = 0x01000000; // bit 24 of the second parameter

// A window found by Sys_FindSimWindow; null when there is none.
using SysWindow = void*;

// Searches afresh for the window that takes the simulator's key messages:
// the child "SimWinClass" of the top-level "iRacingSim" window titled
// "iRacing.com Simulator" (with no such parent, a top-level "SimWinClass").
// Nothing is remembered between calls. Returns null when nothing is found.
SysWindow Sys_FindSimWindow();

// Posts one key message (`message` WIN_KEYDOWN or WIN_KEYUP) with `key` as
// first and `flags` as second parameter. Never waits for the receiver and
// reports nothing; a message for no window is dropped.
void Sys_PostKeyMessage(SysWindow window, uint32_t message, uint32_t key, uint32_t flags);
