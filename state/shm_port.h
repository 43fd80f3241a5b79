// What a port of the shared segment must define: the process identity, the named per-user mapping and
// the liveness of the processes that share it. shm_posix.cpp (Linux build) and shm_win32.cpp (Windows
// build) implement it.
//
// Two liveness models exist. With PLATFORM_LOCK_LIVENESS (POSIX) a process is alive for the segment
// exactly while it holds kernel byte-range locks on the mapping's file: the kernel drops them when the
// process dies, in whatever PID namespace it ran and whether or not it has been reaped yet, so no
// process id is ever interpreted. Without it (Windows) the process id stored in a slot is asked.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
inline constexpr bool PLATFORM_LOCK_LIVENESS = false;
#else
inline constexpr bool PLATFORM_LOCK_LIVENESS = true;
#endif

// The id of the calling process. [any-thread]
int32_t current_process_id();

// True while process `pid` runs (a pid below 1 is dead). Where the OS refuses to tell (no right to
// query the process), the process counts as alive. Only the Windows liveness model relies on it.
// [any-thread; never on the audio thread]
bool process_is_alive(int32_t pid);

// A named, per-user shared mapping of a fixed size, zero-filled when first created.
struct platform_mapping {
    void* base;   // the view, or null
    void* handle; // Windows: the mapping handle kept open for the life of the view; POSIX: unused
    int fd;       // POSIX: the object's descriptor, kept open because the liveness locks live on it; -1
    size_t size;
};

inline constexpr platform_mapping PLATFORM_NO_MAPPING{nullptr, nullptr, -1, 0};

// Opens or creates the mapping called `name` (the segment's name as the caller formed it, before the
// OS-specific decoration) with at least `size` bytes, all of them backed by memory, and maps it
// read/write. Returns false and leaves `*out` empty when the object cannot be opened, is not the user's
// own and private, or cannot reach the size. [main-thread]
bool platform_open_mapping(const char* name, size_t size, platform_mapping* out);

// Unmaps a view made by platform_open_mapping and closes its handle (which drops every lock taken
// through it). [main-thread]
void platform_close_mapping(platform_mapping* mapping);

// Gives this process a descriptor of its own for the mapping's object (POSIX: a fresh open of the same
// file, so a new open file description). A child made by fork() shares its parent's descriptors and
// with them the parent's locks; it calls this before it takes or tests any lock. False (the mapping
// unchanged) when the object cannot be opened again. Windows: nothing to do, true. [main-thread]
bool platform_mapping_own_descriptor(platform_mapping* mapping);

// Removes the named object (POSIX: from every folder the environment names for it, see shm_posix.cpp;
// Windows: nothing, a mapping goes with its last handle). For tests and tools that made a segment of
// their own. [main-thread]
void platform_remove_mapping(const char* name);

// ---- Liveness locks (PLATFORM_LOCK_LIVENESS) ------------------------------------------------------
// Exclusive locks on single bytes of the mapping's file, owned by the open descriptor. They are
// advisory and touch no data, so their byte numbers need not match the layout. Locks of one process
// never conflict with each other (threads of a process share the descriptor). Without lock liveness
// the port answers: lock true, unlock nothing, held_elsewhere false.

// Takes the lock on `byte` without waiting; false when another process holds it. [any-thread, not audio]
bool platform_byte_lock(const platform_mapping* mapping, uint64_t byte);

// Drops the lock on `byte`. [any-thread, not audio]
void platform_byte_unlock(const platform_mapping* mapping, uint64_t byte);

// True when another process holds a lock on `byte`. A failed query answers true (alive is the safe
// answer: nothing is ever taken over on its strength). [any-thread, not audio]
bool platform_byte_locked_elsewhere(const platform_mapping* mapping, uint64_t byte);
