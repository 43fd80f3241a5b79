// The parts of the platform layer that are the same on every OS.
#include "platform.h"
#include "platform_internal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

// The replacement clock, when one is set (see clock_set_source); read once per clock_ns call.
static std::atomic<int64_t (*)()> clock_source{nullptr};
static_assert(std::atomic<int64_t (*)()>::is_always_lock_free, "clock_ns runs on the audio thread");

void clock_set_source(int64_t (*source)()) {
    clock_source.store(source, std::memory_order_release);
}

int64_t clock_ns() {
    if (int64_t(*source)() = clock_source.load(std::memory_order_acquire)) return source();
    return platform_counter_ns();
}

int32_t stricmp_compare(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

bool platform_name_has_suffix(const char* name, size_t n, const char* suffix, size_t m) {
    return n > m && stricmp_compare(name + (n - m), suffix) == 0;
}

void platform_store_entry(char* entries, size_t entry_size, int32_t index, const char* name, size_t n,
                          size_t m) {
    size_t keep = n - m;
    if (keep > entry_size - 1) keep = entry_size - 1;
    char* entry = entries + static_cast<size_t>(index) * entry_size;
    memcpy(entry, name, keep);
    entry[keep] = '\0';
}

static int compare_entries(const void* a, const void* b) {
    return stricmp_compare(static_cast<const char*>(a), static_cast<const char*>(b));
}

void platform_sort_entries(char* entries, size_t entry_size, int32_t count) {
    qsort(entries, static_cast<size_t>(count), entry_size, compare_entries);
}
