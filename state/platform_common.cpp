// The parts of the platform layer that are the same on every OS.
#include "platform.h"
#include "platform_internal.h"

#include <atomic>
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

// Listing order of two whole names with suffixes of length m: the names without the suffix under
// stricmp_compare, then byte by byte, then the whole names byte by byte. A total order, so ties of
// case ("a" and "A") or of the suffix's spelling cannot make two listings differ.
static int compare_listed(const char* a, const char* b, size_t m) {
    const size_t na = strlen(a) - m, nb = strlen(b) - m;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0;; ++i) {
            int ca = i < na ? static_cast<unsigned char>(a[i]) : 0;
            int cb = i < nb ? static_cast<unsigned char>(b[i]) : 0;
            if (pass == 0) {
                if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
                if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
            }
            if (ca != cb) return ca - cb;
            if (ca == 0 || (i >= na && i >= nb)) break;
        }
    }
    return strcmp(a, b);
}

void platform_offer_entry(char* entries, size_t entry_size, int32_t* count, int32_t max_count,
                          const char* name, size_t n, size_t m) {
    if (max_count <= 0 || n + 1 > entry_size) return;
    int32_t at = *count;
    while (at > 0 && compare_listed(name, entries + static_cast<size_t>(at - 1) * entry_size, m) < 0)
        --at;
    if (at >= max_count) return;
    const int32_t kept = *count < max_count ? *count : max_count - 1;
    memmove(entries + static_cast<size_t>(at + 1) * entry_size,
            entries + static_cast<size_t>(at) * entry_size, static_cast<size_t>(kept - at) * entry_size);
    memcpy(entries + static_cast<size_t>(at) * entry_size, name, n + 1);
    *count = kept + 1;
}
