// Helpers shared by the platform ports (not part of the platform interface).
#pragma once

#include <cstddef>
#include <cstdint>

// The OS's monotonic counter in nanoseconds, behind clock_ns. [any-thread, audio-thread safe]
int64_t platform_counter_ns();

// True when `name` (length n) is longer than `suffix` (length m) and ends with it, ignoring case.
bool platform_name_has_suffix(const char* name, size_t n, const char* suffix, size_t m);

// Copies the first n - m characters of `name` (cut to entry_size - 1) into entry `index`.
void platform_store_entry(char* entries, size_t entry_size, int32_t index, const char* name, size_t n,
                          size_t m);

// Sorts the first `count` entries with stricmp_compare.
void platform_sort_entries(char* entries, size_t entry_size, int32_t count);
