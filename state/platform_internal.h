// Helpers shared by the platform ports (not part of the platform interface).
#pragma once

#include <cstddef>
#include <cstdint>

// The OS's monotonic counter in nanoseconds, behind clock_ns. [any-thread, audio-thread safe]
int64_t platform_counter_ns();

// True when `name` (length n) is longer than `suffix` (length m) and ends with it, ignoring case.
bool platform_name_has_suffix(const char* name, size_t n, const char* suffix, size_t m);

// Offers the file name `name` (length n, its last m characters the suffix) to a listing of *count
// entries kept in listing order (see list_files_with_suffix). A name that does not fit an entry
// whole is dropped; otherwise it goes to its place, when the listing has room or it sorts before
// the last entry, which then drops out. The result does not depend on the order of the offers.
void platform_offer_entry(char* entries, size_t entry_size, int32_t* count, int32_t max_count,
                          const char* name, size_t n, size_t m);
