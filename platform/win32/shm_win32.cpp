// platform/win32/shm_win32.cpp: named file mapping and named event.
#include "platform/shm.h"

#include <cstdio>
#include <windows.h>

static void Shm_LocalName(char* out, size_t size, const char* name) {
    std::snprintf(out, size, "Local\\%s", name);
}

ShmHandle Shm_OpenMapping(const char* name) {
    char path[256];
    Shm_LocalName(path, sizeof path, name);
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, path);
    if (h == nullptr) return SHM_NONE;
    return reinterpret_cast<ShmHandle>(h);
}

const uint8_t* Shm_MapView(ShmHandle mapping, size_t* size) {
    *size = 0;
    if (mapping == SHM_NONE) return nullptr;
    void* view = MapViewOfFile(reinterpret_cast<HANDLE>(mapping), FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) return nullptr;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(view, &info, sizeof info) == 0) {
        UnmapViewOfFile(view);
        return nullptr;
    }
    *size = info.RegionSize;
    return static_cast<const uint8_t*>(view);
}

ShmHandle Shm_OpenEvent(const char* name) {
    char path[256];
    Shm_LocalName(path, sizeof path, name);
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, path);
    if (h == nullptr) return SHM_NONE;
    return reinterpret_cast<ShmHandle>(h);
}

void Shm_WaitEvent(ShmHandle event, int ms) {
    if (event == SHM_NONE) return;
    WaitForSingleObject(reinterpret_cast<HANDLE>(event), static_cast<DWORD>(ms));
}

bool Shm_ViewIntact(ShmHandle, size_t) {
    return true;
}

bool Shm_FollowName(const char*, const char*, ShmHandle*, const uint8_t**, size_t*, ShmHandle*) {
    return false;
}
