// platform/shm.h: the simulator's shared memory and data-valid event, opened
// read-only, and the wall clock in whole seconds.
//
// Names are given without the system's namespace prefix; Windows opens
// "Local\<name>", Linux "/<name>" (POSIX shared memory and a named
// semaphore that the simulator posts once per frame).
#pragma once

#include <cstddef>
#include <cstdint>

using ShmHandle = intptr_t;
constexpr ShmHandle SHM_NONE = -1;

// Opens the named mapping for reading; SHM_NONE when it does not exist.
ShmHandle Shm_OpenMapping(const char* name);

// Maps the whole mapping read-only and stores the size of the view in
// `size`; nullptr (and size 0) on failure. The view stays mapped for good.
const uint8_t* Shm_MapView(ShmHandle mapping, size_t* size);

// Opens the named data-valid event with wait access; SHM_NONE when absent.
ShmHandle Shm_OpenEvent(const char* name);

// Waits until the event is signalled or `ms` milliseconds have passed.
void Shm_WaitEvent(ShmHandle event, int ms);

// The wall clock in whole seconds.
int64_t Shm_WallSeconds();
