// platform/win32/window_win32.cpp: key messages to the simulator's window.
#include "platform/window.h"

#include <windows.h>

SysWindow Sys_FindSimWindow() {
    HWND parent = FindWindowA("iRacingSim", "iRacing.com Simulator");
    // With a null parent the system looks among the top-level windows.
    HWND child = FindWindowExA(parent, nullptr, "SimWinClass", nullptr);
    return reinterpret_cast<SysWindow>(child);
}

void Sys_PostKeyMessage(SysWindow window, uint32_t message, uint32_t key, uint32_t flags) {
    // A post to a null window would land in the relay thread's own message
    // queue, which nobody reads; with no simulator the message is dropped.
    if (window == nullptr) return;
    PostMessageA(reinterpret_cast<HWND>(window), static_cast<UINT>(message),
                 static_cast<WPARAM>(key), static_cast<LPARAM>(flags));
}
