// Operating-system services used by the rest of the system instead of the platform itself.
// One port per OS implements every declaration here: platform_posix.cpp (Linux build) and
// platform_win32.cpp (Windows build). Only clock_ns is used on the audio thread.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// A slim reader/writer lock word, laid out as the OS's own (one pointer), used in exclusive mode only.
struct platform_lock {
    void* srw;
};
#else
#include <pthread.h>
struct platform_lock {
    pthread_mutex_t mutex;
};
#endif

// Monotonic time in nanoseconds; its zero point is system start, so values compare across the
// processes of one machine. One counter query, no allocation. [any-thread, audio-thread safe]
int64_t clock_ns();

// Replaces the counter behind clock_ns with `source` for every thread of the process; nullptr gives
// the counter back. Simulations use it to run the timing-driven code on time they assign, so a run
// does not depend on how busy the machine is. `source` must stay callable until it is replaced.
// [main-thread; set while no other thread reads the clock]
void clock_set_source(int64_t (*source)());

// A non-recursive process-local lock, taken exclusively. [any-thread; never on the audio thread]
void lock_init(platform_lock* lock);
void lock_acquire(platform_lock* lock);
void lock_release(platform_lock* lock);

// 64 random bits from the OS's secure source: the first 32-bit draw is the high half, the second the
// low half; a failed draw contributes 0. [any-thread]
uint64_t random_u64();

// Suspends the calling thread for `ms` milliseconds. [any-thread; never on the audio thread]
void sleep_ms(uint32_t ms);

// Creates one directory (not its parents). True when it was created or already exists. [main-thread]
bool make_directory(const char* path);

// Deletes a file. True on success. [main-thread]
bool delete_file(const char* path);

// ASCII case-insensitive comparison: negative, 0 or positive. [any-thread]
int32_t stricmp_compare(const char* a, const char* b);

// Lists the files (not directories) of `folder` whose names end in `suffix` (ignoring case), are
// longer than it, fit an entry whole (at most entry_size - 1 bytes: a longer name is left out, never
// cut) and that `keep` accepts (nullptr accepts every name; it is given the whole name). Each name
// goes whole, its suffix as spelled, into an entry of `entries` (max_count entries of entry_size
// bytes, owned by the caller), so that it names its file exactly. The entries are the first
// max_count of all such names in one order, whatever order the folder gives them in: the names
// without the suffix under stricmp_compare, then byte by byte, then the whole names byte by byte.
// Returns the number of entries filled. [main-thread]
int32_t list_files_with_suffix(const char* folder, const char* suffix, char* entries, size_t entry_size,
                               int32_t max_count, bool (*keep)(const char* name) = nullptr);

// Builds the per-user data folder <base><sep><first><sep><second> into `out` (cut to `size`), creating
// both levels. Returns false when no base folder is known or a level cannot be created. [main-thread]
bool user_data_dir(const char* first, const char* second, char* out, size_t size);

// The path separator of this platform's folders.
#if defined(_WIN32)
inline constexpr char PLATFORM_PATH_SEPARATOR = '\\';
#else
inline constexpr char PLATFORM_PATH_SEPARATOR = '/';
#endif
