// platform/win32/simhost_win32.cpp: the simulator's named objects on Windows:
// a named file mapping, a named event, and a real window pair whose child
// receives the key messages.
#include "platform/simhost.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

constexpr int SIMHOST_NAME_SIZE = 256;

// --- mapping ---

static HANDLE host_mapping;
static uint8_t* host_view;

uint8_t* SimHost_CreateMapping(const char* name, uint32_t size) {
    if (host_view != nullptr || size == 0) return nullptr;
    // Opens the existing object when a server (or an earlier stand-in)
    // still holds it; its size was fixed by whoever made it first.
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(size), name);
    if (h == nullptr) return nullptr;
    void* p = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (p == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    host_mapping = h;
    host_view = static_cast<uint8_t*>(p);
    return host_view;
}

void SimHost_CloseMapping() {
    if (host_view == nullptr) return;
    UnmapViewOfFile(host_view);
    CloseHandle(host_mapping);
    host_view = nullptr;
    host_mapping = nullptr;
}

// --- event ---

static HANDLE host_event;

bool SimHost_CreateEvent(const char* name) {
    if (host_event != nullptr) return true;
    // Auto-reset: each signal releases one wait, and a signal that finds no
    // waiter stays until the next wait, so the reader misses no frame.
    host_event = CreateEventA(nullptr, FALSE, FALSE, name);
    return host_event != nullptr;
}

void SimHost_SignalEvent() {
    if (host_event != nullptr) SetEvent(host_event);
}

void SimHost_FineTimer() { timeBeginPeriod(1); }

// --- window ---

static HANDLE host_instance_mutex;
static std::thread host_window_thread;
static std::atomic<HWND> host_top_window;
static SimHostKeyHandler host_key_handler;

static LRESULT CALLBACK SimHost_TopProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static LRESULT CALLBACK SimHost_ChildProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) {
        host_key_handler(static_cast<uint32_t>(msg), static_cast<uint32_t>(wparam),
                         static_cast<uint32_t>(lparam));
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

// Window creation outcome handed from the window thread to the starter.
static std::atomic<int> host_window_state;   // 0 pending, 1 ok, 2 failed

static void SimHost_WindowThread(const char* cls, const char* title, const char* child_cls) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    WNDCLASSA top{};
    top.lpfnWndProc = SimHost_TopProc;
    top.hInstance = inst;
    top.lpszClassName = cls;
    top.hCursor = LoadCursor(nullptr, IDC_ARROW);
    top.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    WNDCLASSA child{};
    child.lpfnWndProc = SimHost_ChildProc;
    child.hInstance = inst;
    child.lpszClassName = child_cls;
    child.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    HWND hwnd = nullptr;
    if (RegisterClassA(&top) != 0 && RegisterClassA(&child) != 0) {
        hwnd = CreateWindowExA(0, cls, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               640, 400, nullptr, nullptr, inst, nullptr);
    }
    HWND hchild = nullptr;
    if (hwnd != nullptr) {
        hchild = CreateWindowExA(0, child_cls, "", WS_CHILD | WS_VISIBLE, 0, 0, 640, 400, hwnd,
                                 nullptr, inst, nullptr);
    }
    if (hchild == nullptr) {
        if (hwnd != nullptr) DestroyWindow(hwnd);
        host_window_state.store(2);
        return;
    }
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    host_top_window.store(hwnd);
    host_window_state.store(1);
    MSG msg;
    // No TranslateMessage: a posted key-down must not grow a WM_CHAR that
    // nobody sent.
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    UnregisterClassA(child_cls, inst);
    UnregisterClassA(cls, inst);
}

SimHostWindow SimHost_StartWindow(const char* cls, const char* title, const char* child_cls,
                                  SimHostKeyHandler handler) {
    if (host_instance_mutex != nullptr || handler == nullptr) return SIMHOST_WINDOW_FAILED;
    // One owner of the window per session: a second stand-in would make a
    // second window that FindWindowA might pick instead.
    char mutex_name[SIMHOST_NAME_SIZE];
    std::snprintf(mutex_name, sizeof mutex_name, "Local\\%s.%s.owner", cls, child_cls);
    HANDLE m = CreateMutexA(nullptr, FALSE, mutex_name);
    if (m == nullptr) return SIMHOST_WINDOW_FAILED;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m);
        return SIMHOST_WINDOW_BUSY;
    }
    host_key_handler = handler;
    host_window_state.store(0);
    host_window_thread = std::thread(SimHost_WindowThread, cls, title, child_cls);
    while (host_window_state.load() == 0) Sleep(1);
    if (host_window_state.load() != 1) {
        host_window_thread.join();
        CloseHandle(m);
        return SIMHOST_WINDOW_FAILED;
    }
    host_instance_mutex = m;
    return SIMHOST_WINDOW_OK;
}

void SimHost_StopWindow() {
    if (host_instance_mutex == nullptr) return;
    HWND hwnd = host_top_window.exchange(nullptr);
    if (hwnd != nullptr) PostMessageA(hwnd, WM_CLOSE, 0, 0);
    if (host_window_thread.joinable()) host_window_thread.join();
    CloseHandle(host_instance_mutex);
    host_instance_mutex = nullptr;
}

// --- console ---

bool SimHost_ConsoleOfItsOwn() {
    DWORD ids[2];
    if (GetConsoleProcessList(ids, 2) != 1) return false;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    return in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode) != 0;
}

// --- reading side ---

bool SimHost_PostKey(const char* cls, const char* title, const char* child_cls,
                     uint32_t message, uint32_t wparam, uint32_t lparam) {
    HWND top = FindWindowA(cls, title);
    if (top == nullptr) return false;
    HWND child = FindWindowExA(top, nullptr, child_cls, nullptr);
    if (child == nullptr) return false;
    return PostMessageA(child, message, wparam, static_cast<LPARAM>(lparam)) != 0;
}

static HANDLE probe_mapping;
static const uint8_t* probe_view;

const uint8_t* SimHost_OpenMappingReadOnly(const char* name, uint32_t* size) {
    if (probe_view != nullptr) return nullptr;
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (h == nullptr) return nullptr;
    void* p = MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0);
    if (p == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(p, &info, sizeof info) == 0) {
        UnmapViewOfFile(p);
        CloseHandle(h);
        return nullptr;
    }
    probe_mapping = h;
    probe_view = static_cast<const uint8_t*>(p);
    if (size != nullptr) *size = static_cast<uint32_t>(info.RegionSize);
    return probe_view;
}

void SimHost_CloseMappingReadOnly() {
    if (probe_view == nullptr) return;
    UnmapViewOfFile(probe_view);
    CloseHandle(probe_mapping);
    probe_view = nullptr;
    probe_mapping = nullptr;
}

static HANDLE probe_event;

bool SimHost_OpenEvent(const char* name) {
    if (probe_event != nullptr) return true;
    probe_event = OpenEventA(SYNCHRONIZE, FALSE, name);
    return probe_event != nullptr;
}

bool SimHost_WaitEvent(int timeout_ms) {
    if (probe_event == nullptr) return false;
    return WaitForSingleObject(probe_event, static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms)) ==
           WAIT_OBJECT_0;
}

void SimHost_CloseEvent() {
    if (probe_event == nullptr) return;
    CloseHandle(probe_event);
    probe_event = nullptr;
}

void SimHost_RemoveNames(const char*, const char*) {}
