// Helpers shared by the chain listing and the order learning (not part of their interface).
#pragma once

#include <cstdint>

// Timing values come from shared memory that any process may scribble on; differences wrap instead of
// overflowing, which gives the exact result for every real clock value.
static inline int64_t wrap_sub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
static inline int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Insertion sort with a C-style comparator: n is at most 64, and unlike the C library's qsort it never
// allocates a merge buffer.
template <typename T>
static inline void sort_with(T* v, int32_t n, int (*cmp)(const void*, const void*)) {
    for (int32_t i = 1; i < n; ++i) {
        T x = v[i];
        int32_t j = i;
        while (j > 0 && cmp(&v[j - 1], &x) > 0) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = x;
    }
}
