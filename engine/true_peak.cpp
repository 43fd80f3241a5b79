// True-peak coefficient table and per-channel interpolation. The table is written once by the first
// stage activation of the process (main thread) and read-only afterwards.
#include "true_peak.h"

#include <cmath>

#include "engine_simd.h"
#include "true_peak_inline.h"

#if LODRIN_ENGINE_SSE2
#include <immintrin.h>
#endif

namespace truepeak_detail {
column_table columns;
spread_table spread;
spread8_table spread8;
bool use_avx2;

#if LODRIN_ENGINE_SSE2
__attribute__((target("avx2"))) void interpolate_run_avx2(truepeak_history* h, const float* x, uint32_t n,
                                                          float* peaks, bool phase3_only) {
    alignas(32) float lin[16 + RUN_MAX + 8];
    const uint32_t pos = h->position;
    lin[0] = 0.0f;
    for (uint32_t k = 0; k < 15; ++k)
        lin[1 + k] = h->history[(pos - 15u + k) & 31u];
    for (uint32_t i = 0; i < n; ++i)
        lin[16 + i] = x[i];
    for (uint32_t i = n; i < ((n + 7u) & ~7u); ++i)
        lin[16 + i] = 0.0f;
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 zero = _mm256_setzero_ps();
    for (uint32_t i = 0; i < n; i += 8) {
        const float* base = lin + 16 + i;
        __m256 a0 = zero, a1 = zero, a2 = zero, a3 = zero;
        for (int j = 0; j < 15; ++j) {
            const __m256 v = _mm256_loadu_ps(base - j);
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[j][0])));
            a1 = _mm256_add_ps(a1, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[j][1])));
            a2 = _mm256_add_ps(a2, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[j][2])));
            a3 = _mm256_add_ps(a3, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[j][3])));
        }
        const __m256 v = _mm256_loadu_ps(base - 15);
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[15][0])));
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[15][1])));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(v, _mm256_load_ps(spread8.spread[15][2])));
        __m256 m;
        if (phase3_only) {
            m = _mm256_and_ps(a3, abs_mask);
        } else {
            m = _mm256_max_ps(zero, _mm256_and_ps(a0, abs_mask));
            m = _mm256_max_ps(m, _mm256_and_ps(a1, abs_mask));
            m = _mm256_max_ps(m, _mm256_and_ps(a2, abs_mask));
            m = _mm256_max_ps(m, _mm256_and_ps(a3, abs_mask));
        }
        _mm256_storeu_ps(peaks + i, m);
    }
    for (uint32_t k = n > 32u ? n - 32u : 0u; k < n; ++k)
        h->history[(pos + k) & 31u] = x[k];
    h->position = pos + n;
}

// Two channels' runs in one loop: each coefficient column is loaded once for both, and the eight
// accumulators (four phases of each channel) are independent chains that keep the adders busy.
// Every lane still forms its sum exactly as `interpolate_run_avx2` does.
__attribute__((target("avx2"))) void interpolate_run_pair_avx2(truepeak_history* ha, truepeak_history* hb,
                                                               const float* xa, const float* xb, uint32_t n,
                                                               float* peaks_a, float* peaks_b,
                                                               bool phase3_only) {
    alignas(32) float lin_a[16 + RUN_MAX + 8];
    alignas(32) float lin_b[16 + RUN_MAX + 8];
    const uint32_t pos_a = ha->position;
    const uint32_t pos_b = hb->position;
    lin_a[0] = 0.0f;
    lin_b[0] = 0.0f;
    for (uint32_t k = 0; k < 15; ++k) {
        lin_a[1 + k] = ha->history[(pos_a - 15u + k) & 31u];
        lin_b[1 + k] = hb->history[(pos_b - 15u + k) & 31u];
    }
    for (uint32_t i = 0; i < n; ++i) {
        lin_a[16 + i] = xa[i];
        lin_b[16 + i] = xb[i];
    }
    for (uint32_t i = n; i < ((n + 7u) & ~7u); ++i) {
        lin_a[16 + i] = 0.0f;
        lin_b[16 + i] = 0.0f;
    }
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const __m256 zero = _mm256_setzero_ps();
    for (uint32_t i = 0; i < n; i += 8) {
        const float* base_a = lin_a + 16 + i;
        const float* base_b = lin_b + 16 + i;
        __m256 a0 = zero, a1 = zero, a2 = zero, a3 = zero;
        __m256 b0 = zero, b1 = zero, b2 = zero, b3 = zero;
        for (int j = 0; j < 15; ++j) {
            const __m256 va = _mm256_loadu_ps(base_a - j);
            const __m256 vb = _mm256_loadu_ps(base_b - j);
            __m256 c = _mm256_load_ps(spread8.spread[j][0]);
            a0 = _mm256_add_ps(a0, _mm256_mul_ps(va, c));
            b0 = _mm256_add_ps(b0, _mm256_mul_ps(vb, c));
            c = _mm256_load_ps(spread8.spread[j][1]);
            a1 = _mm256_add_ps(a1, _mm256_mul_ps(va, c));
            b1 = _mm256_add_ps(b1, _mm256_mul_ps(vb, c));
            c = _mm256_load_ps(spread8.spread[j][2]);
            a2 = _mm256_add_ps(a2, _mm256_mul_ps(va, c));
            b2 = _mm256_add_ps(b2, _mm256_mul_ps(vb, c));
            c = _mm256_load_ps(spread8.spread[j][3]);
            a3 = _mm256_add_ps(a3, _mm256_mul_ps(va, c));
            b3 = _mm256_add_ps(b3, _mm256_mul_ps(vb, c));
        }
        const __m256 va = _mm256_loadu_ps(base_a - 15);
        const __m256 vb = _mm256_loadu_ps(base_b - 15);
        __m256 c = _mm256_load_ps(spread8.spread[15][0]);
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(va, c));
        b0 = _mm256_add_ps(b0, _mm256_mul_ps(vb, c));
        c = _mm256_load_ps(spread8.spread[15][1]);
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(va, c));
        b1 = _mm256_add_ps(b1, _mm256_mul_ps(vb, c));
        c = _mm256_load_ps(spread8.spread[15][2]);
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(va, c));
        b2 = _mm256_add_ps(b2, _mm256_mul_ps(vb, c));
        __m256 ma, mb;
        if (phase3_only) {
            ma = _mm256_and_ps(a3, abs_mask);
            mb = _mm256_and_ps(b3, abs_mask);
        } else {
            ma = _mm256_max_ps(zero, _mm256_and_ps(a0, abs_mask));
            mb = _mm256_max_ps(zero, _mm256_and_ps(b0, abs_mask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a1, abs_mask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b1, abs_mask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a2, abs_mask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b2, abs_mask));
            ma = _mm256_max_ps(ma, _mm256_and_ps(a3, abs_mask));
            mb = _mm256_max_ps(mb, _mm256_and_ps(b3, abs_mask));
        }
        _mm256_storeu_ps(peaks_a + i, ma);
        _mm256_storeu_ps(peaks_b + i, mb);
    }
    for (uint32_t k = n > 32u ? n - 32u : 0u; k < n; ++k) {
        ha->history[(pos_a + k) & 31u] = xa[k];
        hb->history[(pos_b + k) & 31u] = xb[k];
    }
    ha->position = pos_a + n;
    hb->position = pos_b + n;
}
#endif
} // namespace truepeak_detail

namespace {
float table[TRUEPEAK_PHASES][TRUEPEAK_TAPS];
int32_t tap_counts[TRUEPEAK_PHASES];
int32_t built;
} // namespace

double bessel_i0(double x) {
    const double q = x * x * 0.25;
    double sum = 1.0;
    double term = 1.0;
    double k = 1.0;
    do {
        term = term * q / (k * k);
        k = k + 1.0;
        sum = sum + term;
    } while (term > sum * 1e-12);
    return sum;
}

void truepeak_build_table() {
    if (built) return;
    constexpr int taps = 63;
    constexpr double pi = 3.14159265358979323846;
    const double d = bessel_i0(9.0);
    double h[taps];
    for (int k = 0; k < taps; ++k) {
        const double t = k - 31;
        const double x = t * 0.25;
        const double s = x == 0.0 ? 1.0 : std::sin(pi * x) / (pi * x);
        const double r = t / 31.0;
        const double w = bessel_i0(9.0 * std::sqrt(1.0 - r * r)) / d;
        h[k] = w * s;
    }
    for (int p = 0; p < TRUEPEAK_PHASES; ++p) {
        // Each tap is stored as f32 first; the normalisation divides the stored value by the sum of
        // the unrounded taps, so every phase passes DC with gain 1.
        double sum = 0.0;
        int count = 0;
        for (int k = p; k < taps; k += 4) {
            table[p][count] = static_cast<float>(h[k]);
            sum += h[k];
            ++count;
        }
        tap_counts[p] = count;
        for (int j = 0; j < count; ++j)
            table[p][j] = static_cast<float>(static_cast<double>(table[p][j]) / sum);
        for (int j = count; j < TRUEPEAK_TAPS; ++j)
            table[p][j] = 0.0f;
    }
    for (int j = 0; j < TRUEPEAK_TAPS; ++j)
        for (int p = 0; p < TRUEPEAK_PHASES; ++p)
            truepeak_detail::columns.columns[j][p] = table[p][j];
    for (int j = 0; j < TRUEPEAK_TAPS; ++j)
        for (int p = 0; p < TRUEPEAK_PHASES; ++p)
            for (int lane = 0; lane < 4; ++lane)
                truepeak_detail::spread.spread[j][p][lane] = table[p][j];
    for (int j = 0; j < TRUEPEAK_TAPS; ++j)
        for (int p = 0; p < TRUEPEAK_PHASES; ++p)
            for (int lane = 0; lane < 8; ++lane)
                truepeak_detail::spread8.spread[j][p][lane] = table[p][j];
#if LODRIN_ENGINE_SSE2
    __builtin_cpu_init();
    truepeak_detail::use_avx2 = __builtin_cpu_supports("avx2") != 0;
#endif
    built = 1;
}

const float (*truepeak_coefficients())[TRUEPEAK_TAPS] {
    return table;
}

const int32_t* truepeak_tap_counts() {
    return tap_counts;
}

bool truepeak_table_built() {
    return built != 0;
}

void truepeak_reset(truepeak_history* h) {
    for (float& v : h->history)
        v = 0.0f;
    h->position = 0;
}

#if LODRIN_ENGINE_SSE2

void truepeak_interpolate(truepeak_history* h, float x, float out[TRUEPEAK_PHASES]) {
    _mm_storeu_ps(out, truepeak_detail::interpolate(h, x));
}

float truepeak_process(truepeak_history* h, float x) {
    return truepeak_detail::peak_of(truepeak_detail::interpolate(h, x));
}

#else

void truepeak_interpolate(truepeak_history* h, float x, float out[TRUEPEAK_PHASES]) {
    const uint32_t pos = h->position;
    h->history[pos & 31u] = x;
    for (int p = 0; p < TRUEPEAK_PHASES; ++p) {
        float acc = 0.0f;
        for (int j = 0; j < tap_counts[p]; ++j)
            acc += h->history[(pos - static_cast<uint32_t>(j)) & 31u] * table[p][j];
        out[p] = acc;
    }
    h->position = pos + 1u;
}

float truepeak_process(truepeak_history* h, float x) {
    float o[TRUEPEAK_PHASES];
    truepeak_interpolate(h, x, o);
    float m = 0.0f;
    for (float v : o)
        m = std::fabs(v) < m ? m : std::fabs(v);
    return m;
}

#endif
