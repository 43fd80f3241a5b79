// Allocation counting for the real-time check: the host replaces the C allocator and the global
// operator new in its own executable, so that every allocation of the process (the dlopen'ed
// plug-in's included, whose calls bind to the executable's definitions) passes one counter. Only
// threads that switched counting on are counted: the host switches it on around the plug-in calls
// of its audio thread.
//
// Link alloc_counter.cpp into an executable (never into a shared library) to get the replacement;
// without it, or on a platform where interposition is not possible (Windows: the module carries its
// own allocator) or under the address sanitizer (which owns the allocator), alloc_counter_available()
// is false and the counts stay 0.
#pragma once

#include <cstdint>

// True when the allocator replacement is linked in and active. [any-thread]
bool alloc_counter_available();

// Switches counting on or off for the calling thread. [any-thread]
void alloc_counter_set_counting(bool on);

// Allocations (malloc, calloc, realloc, aligned forms, operator new) counted so far, all threads.
// [any-thread]
uint64_t alloc_counter_count();
