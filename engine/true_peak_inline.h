// Internal: the four-phase interpolation step shared by true_peak.cpp and the limiter's per-sample
// loop, inlined there. The four phases run side by side in the four lanes of one SSE register: for
// each tap j the sample history[(position - j) AND 31] is broadcast and multiplied by the column
// (c[0][j], c[1][j], c[2][j], c[3][j]); products are rounded to f32 and added in f32 in the order
// j = 0, 1, ... from 0, exactly as the scalar sum per phase. Phase 3 has 15 taps: its lane keeps
// its sum at j = 15 instead of adding a zero product (so an infinite sample 15 back cannot turn it
// into NaN, and a -0 sum stays -0).
#pragma once

#include <cstdint>

#include "engine_simd.h"
#include "true_peak.h"

#if LODRIN_ENGINE_SSE2
#include <emmintrin.h>
#endif

namespace truepeak_detail {

// Column-major copy of the table: columns[j][p] = coefficients[p][j]; 16-byte aligned.
struct alignas(16) column_table {
    float columns[TRUEPEAK_TAPS][TRUEPEAK_PHASES];
};
extern column_table columns;

// Every coefficient repeated in four lanes: spread[j][p] holds c[p][j] four times.
struct alignas(16) spread_table {
    float spread[TRUEPEAK_TAPS][TRUEPEAK_PHASES][4];
};
extern spread_table spread;

// Every coefficient repeated in eight lanes, for the AVX2 form of `interpolate_run`.
struct alignas(32) spread8_table {
    float spread[TRUEPEAK_TAPS][TRUEPEAK_PHASES][8];
};
extern spread8_table spread8;

// Longest run that `interpolate_run` takes at once (a multiple of 8).
inline constexpr uint32_t RUN_MAX = 128;

// Set when the table is built (main thread) if the processor has AVX2; read by the audio threads.
extern bool use_avx2;

// `interpolate_run` with eight samples in the lanes; the same results. Only called when `use_avx2`.
void interpolate_run_avx2(truepeak_history* h, const float* x, uint32_t n, float* peaks, bool phase3_only);

// Two channels' `interpolate_run_avx2` in one loop; the same results. Only called when `use_avx2`;
// the two histories must be different records.
void interpolate_run_pair_avx2(truepeak_history* ha, truepeak_history* hb, const float* xa, const float* xb,
                               uint32_t n, float* peaks_a, float* peaks_b, bool phase3_only);

#if LODRIN_ENGINE_SSE2
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

// Feeds the n <= RUN_MAX samples x[0..n) and writes for each what `truepeak_process` returns (or,
// with phase3_only, the magnitude of the whole-sample phase). Here the lanes hold four consecutive
// samples instead of four phases: for every tap j one load of the samples j back serves the four
// phase sums, each still formed as f32 products added in the order j = 0, 1, ... from 0, and the
// phase maximum is folded in the order 0, 1, 2, 3 from 0, so each value is exactly the one-sample
// result.
static inline void interpolate_run_sse2(truepeak_history* h, const float* x, uint32_t n, float* peaks,
                                        bool phase3_only) {
    alignas(16) float lin[16 + RUN_MAX + 4];
    const uint32_t pos = h->position;
    // lin[15 + i] is sample i of the run; the 15 before it come from the history.
    lin[0] = 0.0f;
    for (uint32_t k = 0; k < 15; ++k)
        lin[1 + k] = h->history[(pos - 15u + k) & 31u];
    for (uint32_t i = 0; i < n; ++i)
        lin[16 + i] = x[i];
    for (uint32_t i = n; i < ((n + 3u) & ~3u); ++i)
        lin[16 + i] = 0.0f;
    const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    const __m128 zero = _mm_setzero_ps();
    for (uint32_t i = 0; i < n; i += 4) {
        const float* base = lin + 16 + i;
        __m128 a0 = zero, a1 = zero, a2 = zero, a3 = zero;
        for (int j = 0; j < 15; ++j) {
            const __m128 v = _mm_loadu_ps(base - j);
            a0 = _mm_add_ps(a0, _mm_mul_ps(v, _mm_load_ps(spread.spread[j][0])));
            a1 = _mm_add_ps(a1, _mm_mul_ps(v, _mm_load_ps(spread.spread[j][1])));
            a2 = _mm_add_ps(a2, _mm_mul_ps(v, _mm_load_ps(spread.spread[j][2])));
            a3 = _mm_add_ps(a3, _mm_mul_ps(v, _mm_load_ps(spread.spread[j][3])));
        }
        const __m128 v = _mm_loadu_ps(base - 15);
        a0 = _mm_add_ps(a0, _mm_mul_ps(v, _mm_load_ps(spread.spread[15][0])));
        a1 = _mm_add_ps(a1, _mm_mul_ps(v, _mm_load_ps(spread.spread[15][1])));
        a2 = _mm_add_ps(a2, _mm_mul_ps(v, _mm_load_ps(spread.spread[15][2])));
        __m128 m;
        if (phase3_only) {
            m = _mm_and_ps(a3, abs_mask);
        } else {
            // max(running, v) in maxps is "v < running ? running : v", the fold's own rule.
            m = _mm_max_ps(zero, _mm_and_ps(a0, abs_mask));
            m = _mm_max_ps(m, _mm_and_ps(a1, abs_mask));
            m = _mm_max_ps(m, _mm_and_ps(a2, abs_mask));
            m = _mm_max_ps(m, _mm_and_ps(a3, abs_mask));
        }
        _mm_storeu_ps(peaks + i, m);
    }
    for (uint32_t k = n > 32u ? n - 32u : 0u; k < n; ++k)
        h->history[(pos + k) & 31u] = x[k];
    h->position = pos + n;
}

// `peaks` needs room for n rounded up to a multiple of 8.
static inline void interpolate_run(truepeak_history* h, const float* x, uint32_t n, float* peaks,
                                   bool phase3_only) {
    if (use_avx2)
        interpolate_run_avx2(h, x, n, peaks, phase3_only);
    else
        interpolate_run_sse2(h, x, n, peaks, phase3_only);
}

// `interpolate_run` for two channels (different histories), with the same results as two calls.
static inline void interpolate_run_pair(truepeak_history* ha, truepeak_history* hb, const float* xa,
                                        const float* xb, uint32_t n, float* peaks_a, float* peaks_b,
                                        bool phase3_only) {
    if (use_avx2) {
        interpolate_run_pair_avx2(ha, hb, xa, xb, n, peaks_a, peaks_b, phase3_only);
    } else {
        interpolate_run_sse2(ha, xa, n, peaks_a, phase3_only);
        interpolate_run_sse2(hb, xb, n, peaks_b, phase3_only);
    }
}
#endif

} // namespace truepeak_detail
