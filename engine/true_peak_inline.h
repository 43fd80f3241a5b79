// Internal: the four-phase interpolation step shared by true_peak.cpp and the limiter's per-sample
// loop, inlined there. The four phases run side by side in the four lanes of one SSE register: for
// each tap j the sample history[(position - j) AND 31] is broadcast and multiplied by the column
// (c[0][j], c[1][j], c[2][j], c[3][j]); products are rounded to f32 and added in f32 in the order
// j = 0, 1, ... from 0, exactly as the scalar sum per phase. Phase 3 has 15 taps: its lane keeps
// its sum at j = 15 instead of adding a zero product (so an infinite sample 15 back cannot turn it
// into NaN, and a -0 sum stays -0).
#pragma once

#include <cstdint>

#include "true_peak.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace truepeak_detail {

// Column-major copy of the table: columns[j][p] = coefficients[p][j]; 16-byte aligned.
struct alignas(16) column_table {
    float columns[TRUEPEAK_TAPS][TRUEPEAK_PHASES];
};
extern column_table columns;

#if defined(__SSE2__)
// Feeds x and returns the four phase outputs in lanes 0..3.
static inline __m128 interpolate(truepeak_history* h, float x) {
    const uint32_t pos = h->position;
    h->history[pos & 31u] = x;
    __m128 acc = _mm_setzero_ps();
    for (uint32_t j = 0; j < 15; ++j) {
        const __m128 s = _mm_set1_ps(h->history[(pos - j) & 31u]);
        acc = _mm_add_ps(acc, _mm_mul_ps(s, _mm_load_ps(columns.columns[j])));
    }
    const __m128 s = _mm_set1_ps(h->history[(pos - 15u) & 31u]);
    const __m128 last = _mm_add_ps(acc, _mm_mul_ps(s, _mm_load_ps(columns.columns[15])));
    // lanes 0..2 take the 16th tap, lane 3 keeps its 15-tap sum
    const __m128 keep3 = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
    acc = _mm_or_ps(_mm_and_ps(keep3, acc), _mm_andnot_ps(keep3, last));
    h->position = pos + 1u;
    return acc;
}

// Largest magnitude of the four lanes, folded as max(|o3|, max(|o2|, max(|o1|, max(|o0|, 0)))).
static inline float peak_of(__m128 v) {
    const __m128 mag = _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    alignas(16) float o[4];
    _mm_store_ps(o, mag);
    float m = 0.0f;
    for (int p = 0; p < 4; ++p)
        m = o[p] < m ? m : o[p];
    return m;
}

static inline float phase3_of(__m128 v) {
    return _mm_cvtss_f32(_mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)));
}
#endif

} // namespace truepeak_detail
