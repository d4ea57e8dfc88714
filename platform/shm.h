// platform/shm.h: the simulator's shared memory and data-valid event, opened
// read-only.
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

// True while the mapping's object is at least `view_size` bytes long, so
// that every byte of the view may be read. Linux: the object can be
// truncated under the view, and reading a page past its end raises SIGBUS;
// one fstat. Windows: a mapping cannot shrink; always true.
bool Shm_ViewIntact(ShmHandle mapping, size_t view_size);

// When `mapping_name` now names another object than `*mapping` (Linux: the
// simulator removed its names and created them anew; compared by inode),
// maps the new one in its place: `*mapping`, `*view` and `*size` are
// replaced and the old view is unmapped; true when it did so, false with
// them left as they were otherwise. Independently, whenever `event_name`
// names another semaphore than `*event`, whether it appears before, with or
// after the new mapping, `*event` is replaced by it. Windows: the open
// handles keep the names alive, so a restarted simulator opens the same
// objects; always false, nothing replaced.
bool Shm_FollowName(const char* mapping_name, const char* event_name, ShmHandle* mapping,
                    const uint8_t** view, size_t* size, ShmHandle* event);
