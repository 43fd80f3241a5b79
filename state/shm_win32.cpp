// Win32 port of the shared segment (the Windows build).
//
// The segment is a paging-file backed file mapping in the session's "Local\" namespace, so every
// process of one logon meets the same object and other sessions do not. Liveness asks the process's
// exit code; a process we may not open (access denied) counts as alive. Windows has no lock liveness
// here (PLATFORM_LOCK_LIVENESS is false): the byte locks answer as shm_port.h says.
#include "shm_port.h"

#include <cwchar>
#include <windows.h>

int32_t current_process_id() {
    return static_cast<int32_t>(GetCurrentProcessId());
}

bool process_is_alive(int32_t pid) {
    if (pid < 1) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool alive = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE; // 259
    CloseHandle(process);
    return alive;
}

bool platform_open_mapping(const char* name, size_t size, platform_mapping* out) {
    *out = PLATFORM_NO_MAPPING;
    wchar_t object_name[160];
    if (swprintf(object_name, 160, L"Local\\%hs", name) < 0) return false;

    const unsigned long long size64 = size;
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
                           static_cast<DWORD>(size64 & 0xFFFFFFFFu), object_name);
    if (!mapping) return false;
    // The view asks for `size` bytes rather than "the whole object": an object that someone created
    // smaller is refused here instead of faulting on the first access beyond its end.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (!view) {
        CloseHandle(mapping);
        return false;
    }
    *out = platform_mapping{view, mapping, -1, size};
    return true;
}

void platform_close_mapping(platform_mapping* mapping) {
    if (mapping->base) UnmapViewOfFile(mapping->base);
    if (mapping->handle) CloseHandle(static_cast<HANDLE>(mapping->handle));
    *mapping = PLATFORM_NO_MAPPING;
}

void platform_remove_mapping(const char*) {}

bool platform_mapping_own_descriptor(platform_mapping*) {
    return true;
}

bool platform_byte_lock(const platform_mapping*, uint64_t) {
    return true;
}

void platform_byte_unlock(const platform_mapping*, uint64_t) {}

bool platform_byte_locked_elsewhere(const platform_mapping*, uint64_t) {
    return false;
}
