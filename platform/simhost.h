// platform/simhost.h: the simulator's side of its named objects, for the
// stand-in simulator in tools/simulator/.
//
// The server opens these objects read-only (platform/shm.h, window.h); the
// stand-in creates them here. Names are given in their Windows form
// ("Local\Name"); on Linux the part after "Local\" becomes the name of the
// shared-memory object or semaphore ("/Name").
//
//   object        Windows                         Linux
//   mapping       CreateFileMappingA, writable    shm_open(O_CREAT|O_RDWR), ftruncate, mmap
//   event         CreateEventA, auto-reset        sem_open(O_CREAT), sem_post (count kept at 1)
//   window        top-level window + child,       AF_UNIX datagram socket at the abstract
//                 message pump on its own thread  address "\0<class>/<child class>"
//
// The objects are never removed on the way out: a stand-in that starts again
// reopens the same ones, and a server that holds them open keeps them.
#pragma once

#include <cstdint>

// --- the stand-in's own objects (creating side) ---

// Creates the named mapping, or reopens it when it exists, and maps `size`
// bytes of it writable. A new object is made `size` bytes long; an existing
// one is grown to `size` if smaller (Linux) but never shrunk, so a reader's
// view stays valid. Returns the view, or nullptr when the mapping cannot be
// made (e.g. an existing Windows mapping is smaller). One per process.
uint8_t* SimHost_CreateMapping(const char* name, uint32_t size);

// Unmaps the view from SimHost_CreateMapping; the named object stays.
void SimHost_CloseMapping();

// Creates (or reopens) the named data-valid event, initially not signalled.
bool SimHost_CreateEvent(const char* name);

// Signals the data-valid event: one waiting reader wakes, or the next wait
// returns at once. Signals do not pile up: a reader that was away sees one.
void SimHost_SignalEvent();

// Asks for millisecond sleep resolution for the rest of the run, so a frame
// pace of 60 a second is kept (Windows: timeBeginPeriod(1); Linux: nothing).
void SimHost_FineTimer();

// Outcome of SimHost_StartWindow.
enum SimHostWindow {
    SIMHOST_WINDOW_OK,
    SIMHOST_WINDOW_BUSY,    // another stand-in owns the window already
    SIMHOST_WINDOW_FAILED,  // the system refused
};

// Called on the window's own thread for every message in the key range
// (0x0100..0x0109) that reaches the child window: message, wParam, lParam.
using SimHostKeyHandler = void (*)(uint32_t message, uint32_t wparam, uint32_t lparam);

// Creates the window (Windows: top-level `cls` titled `title` with a child
// of class `child_cls`; Linux: the socket) on a thread of its own that
// passes every key message to `handler` until SimHost_StopWindow. Returns
// only when the window exists or has failed. Only one owner per name on the
// machine (Linux: the bound address; Windows: a named mutex). The three
// names must stay valid while the window exists.
SimHostWindow SimHost_StartWindow(const char* cls, const char* title, const char* child_cls,
                                  SimHostKeyHandler handler);

// Closes the window and joins its thread; no handler call after it returns.
void SimHost_StopWindow();

// True when the console this process writes to was made for it alone and
// will close with it, so a racer would not see its last lines: Windows, when
// the process was started from Explorer (a file dropped onto the .exe) and
// the console's only process is this one (GetConsoleProcessList) and
// standard input is that console. False when the console is shared with the
// prompt that started the process, when standard input is not a console,
// and always on Linux (a terminal outlives the programs run in it).
bool SimHost_ConsoleOfItsOwn();

// --- the reading side, for probes and tests ---

// Sends one key message to the window that SimHost_StartWindow made with the
// same names (Windows: FindWindowA, FindWindowExA, PostMessageA; Linux: one
// 12-byte datagram). False when there is no such window.
bool SimHost_PostKey(const char* cls, const char* title, const char* child_cls,
                     uint32_t message, uint32_t wparam, uint32_t lparam);

// Opens an existing mapping read-only and maps all of it; stores its size.
// Returns nullptr when there is none. One read-only view per process.
const uint8_t* SimHost_OpenMappingReadOnly(const char* name, uint32_t* size);

// Unmaps the view from SimHost_OpenMappingReadOnly.
void SimHost_CloseMappingReadOnly();

// Opens an existing data-valid event for waiting; false when there is none.
bool SimHost_OpenEvent(const char* name);

// Waits at most `timeout_ms` for the opened event; true when it was signalled.
bool SimHost_WaitEvent(int timeout_ms);

// Closes the event from SimHost_OpenEvent.
void SimHost_CloseEvent();

// Removes the named mapping and event from the system where names outlive
// their users (Linux); nothing on Windows. For tests with private names.
void SimHost_RemoveNames(const char* mapping_name, const char* event_name);
