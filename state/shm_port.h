// What a port of the shared segment must define: the process identity and liveness test, and the
// named per-user mapping. shm_posix.cpp (Linux build) and shm_win32.cpp (Windows build) implement it.
#pragma once

#include <cstddef>
#include <cstdint>


// The id of the calling process. [any-thread]
int32_t current_process_id();

// True while process `pid` runs (a pid below 1 is dead). Where the OS refuses to tell (no right to
// query the process), the process counts as alive. [any-thread; never on the audio thread]
bool process_is_alive(int32_t pid);

// A named, per-user shared mapping of a fixed size, zero-filled when first created.
struct platform_mapping {
    void* base;     // the view, or null
    void* handle;   // the OS handle kept open for the life of the view (unused by the POSIX port)
    size_t size;
};

// Opens or creates the mapping called `name` (the segment's name as the caller formed it, before the
// OS-specific decoration) with at least `size` bytes and maps all of it read/write. Returns false and
// leaves `*out` empty when the object cannot be opened, is not ours, or cannot reach the size.
// [main-thread]
bool platform_open_mapping(const char* name, size_t size, platform_mapping* out);

// Unmaps a view made by platform_open_mapping and closes its handle. [main-thread]
void platform_close_mapping(platform_mapping* mapping);
