// TPDF dither and error-feedback noise shaping. Audio thread only; no allocation, no tables besides the
// shaping coefficients.
//
// Per sample: e = sum_k c[k] x error[n-1-k] (noise transfer 1 - sum c[k] z^-(k+1)); v = x - e;
// y = floor(d + v q + 0.5) with d the sum of two uniform variates (triangular over (-1, 1) steps);
// out = clamp(y / q); the total error out - v (dither and clamping included) is fed back.
//
// The stored error is bounded to -1..+1 (a NaN stored as 0). Without clamping every error is below
// 1.5 steps, and clamping of programme within full scale adds at most the feedback itself, so the
// bound never acts in use; it stops one absurd or non-finite sample from living on in the feedback
// (a NaN would turn every later sample of the channel into NaN, and an error of -1e30 would hold
// the output at full scale for good).
#include "dither.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "engine_simd.h"

#if LODRIN_ENGINE_SSE2
#include <emmintrin.h>
#endif

namespace {

const double light_coeffs[1] = {1.0};
const double weighted_coeffs[9] = {2.412, -3.37, 3.937, -4.174, 3.353, -2.205, 1.281, -0.569, 0.0847};

constexpr double two_pow_minus_24 = 5.960464477539063e-08;

// Set at seeding (activation, main thread), read by the audio thread.
std::atomic<bool> have_sse41{false};

struct shaping_filter {
    const double* c;
    int taps;
};

shaping_filter filter_of(int32_t shaping) {
    if (shaping == 1) return {light_coeffs, 1};
    if (shaping == 2) return {weighted_coeffs, 9};
    return {nullptr, 0};
}

double step_of(int32_t mode) {
    return mode == 2 ? 32768.0 : 8388608.0;
}

inline double stored_error(double e) {
    if (!(e == e)) return 0.0;
    return e < -1.0 ? -1.0 : (e > 1.0 ? 1.0 : e);
}

} // namespace

uint32_t dither_xorshift32(uint32_t x) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}

void dither_seed(dither_state* state, uint64_t r) {
#if LODRIN_ENGINE_SSE2
    __builtin_cpu_init();
    have_sse41.store(__builtin_cpu_supports("sse4.1") != 0, std::memory_order_relaxed);
#endif
    const uint32_t low = static_cast<uint32_t>(r);
    state->rng[0] = low | 1u;
    state->rng[1] = (low * 2654435761u) | 1u;
    for (int ch = 0; ch < 2; ++ch) {
        for (double& e : state->error[ch])
            e = 0.0;
        state->position[ch] = 0;
    }
}

void apply_dither(dither_state* state, int32_t channel, float* buffer, int32_t frames, int32_t mode,
                  int32_t shaping) {
    if (frames <= 0 || channel < 0 || channel > 1) return;
    const shaping_filter f = filter_of(shaping);
    const double q = step_of(mode);
    const double inv_q = 1.0 / q;
    double* const err = state->error[channel];
    uint32_t pos = state->position[channel];
    uint32_t rng = state->rng[channel];
    for (int32_t i = 0; i < frames; ++i) {
        double e = 0.0;
        for (int k = 0; k < f.taps; ++k)
            e += f.c[k] * err[(pos - 1u - static_cast<uint32_t>(k)) & 15u];
        const uint32_t r1 = dither_xorshift32(rng);
        const uint32_t r2 = dither_xorshift32(r1);
        rng = r2;
        const double v = static_cast<double>(buffer[i]) - e;
        const double d = ((r2 >> 8) * two_pow_minus_24 - 0.5) + ((r1 >> 8) * two_pow_minus_24 - 0.5);
        const double y = std::floor((d + v * q) + 0.5);
        double out = y * inv_q;
        if (out < -1.0) out = -1.0;
        if (out > 1.0) out = 1.0;
        err[pos] = stored_error(out - v);
        pos = (pos + 1u) & 15u;
        buffer[i] = static_cast<float>(out);
    }
    state->position[channel] = pos;
    state->rng[channel] = rng;
}

#if LODRIN_ENGINE_SSE2

namespace {

// floor of both lanes, exact for every double: |x| rounded to an integer by the 2^52 trick (valid
// below 2^52, where every larger value is an integer already), the sign put back (so -0 stays -0 and
// -0.3 gives -0 before the correction), then one subtracted where the rounding went up.
inline __m128d floor_pd(__m128d x) {
#if defined(__SSE4_1__)
    return _mm_floor_pd(x);
#else
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d big = _mm_set1_pd(4503599627370496.0);
    const __m128d a = _mm_andnot_pd(sign, x);
    const __m128d ta = _mm_sub_pd(_mm_add_pd(a, big), big);
    const __m128d t = _mm_or_pd(ta, _mm_and_pd(sign, x));
    const __m128d fixed = _mm_sub_pd(t, _mm_and_pd(_mm_cmpgt_pd(t, x), _mm_set1_pd(1.0)));
    const __m128d small = _mm_cmplt_pd(a, big);
    return _mm_or_pd(_mm_and_pd(small, fixed), _mm_andnot_pd(small, x));
#endif
}

// floor with the SSE4.1 rounding instruction (toward minus infinity, inexact suppressed), written as
// assembly so that this file still builds for plain SSE2; used only where the processor has it.
inline __m128d floor_pd_sse41(__m128d x) {
    __m128d y;
    __asm__("roundpd $9, %1, %0" : "=x"(y) : "x"(x));
    return y;
}

inline __m128i xorshift_epi32(__m128i x) {
    x = _mm_xor_si128(x, _mm_slli_epi32(x, 13));
    x = _mm_xor_si128(x, _mm_srli_epi32(x, 17));
    x = _mm_xor_si128(x, _mm_slli_epi32(x, 5));
    return x;
}

// Both channels side by side, lane 0 = channel 0 on `left`, lane 1 = channel 1 on `right`. The
// newest TAPS errors of each channel are kept in registers (hist[k] = the error k + 1 samples back);
// every new error is also stored into the channel's own ring at its own position, so the state left
// behind is exactly what two single-channel calls leave.
template <int TAPS, bool SSE41>
void dither_pair(dither_state* state, float* left, float* right, int32_t frames, double q,
                 const double* coeffs) {
    uint32_t pos0 = state->position[0];
    uint32_t pos1 = state->position[1];
    double* const err0 = state->error[0];
    double* const err1 = state->error[1];
    __m128d hist[TAPS > 0 ? TAPS : 1];
    __m128d c[TAPS > 0 ? TAPS : 1];
    for (int k = 0; k < TAPS; ++k) {
        hist[k] = _mm_set_pd(err1[(pos1 - 1u - static_cast<uint32_t>(k)) & 15u],
                             err0[(pos0 - 1u - static_cast<uint32_t>(k)) & 15u]);
        c[k] = _mm_set1_pd(coeffs[k]);
    }
    __m128i rng =
        _mm_set_epi32(0, 0, static_cast<int32_t>(state->rng[1]), static_cast<int32_t>(state->rng[0]));
    const __m128d vq = _mm_set1_pd(q);
    const __m128d inv_q = _mm_set1_pd(1.0 / q);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d scale = _mm_set1_pd(two_pow_minus_24);
    const __m128d lo = _mm_set1_pd(-1.0);
    const __m128d hi = _mm_set1_pd(1.0);
    for (int32_t i = 0; i < frames; ++i) {
        __m128d e = _mm_setzero_pd();
        for (int k = 0; k < TAPS; ++k)
            e = _mm_add_pd(e, _mm_mul_pd(c[k], hist[k]));
        const __m128i r1 = xorshift_epi32(rng);
        const __m128i r2 = xorshift_epi32(r1);
        rng = r2;
        const __m128d x = _mm_cvtps_pd(_mm_set_ps(0.0f, 0.0f, right[i], left[i]));
        const __m128d v = _mm_sub_pd(x, e);
        // r >> 8 is below 2^24, so the signed conversion is exact.
        const __m128d u2 = _mm_sub_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_epi32(r2, 8)), scale), half);
        const __m128d u1 = _mm_sub_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_epi32(r1, 8)), scale), half);
        const __m128d d = _mm_add_pd(u2, u1);
        const __m128d w = _mm_add_pd(_mm_add_pd(d, _mm_mul_pd(v, vq)), half);
        const __m128d y = SSE41 ? floor_pd_sse41(w) : floor_pd(w);
        // max(-1, out) and min(1, out) with the constant first: a NaN passes unchanged, as in the
        // comparisons "below -1" and "above 1".
        const __m128d out = _mm_min_pd(hi, _mm_max_pd(lo, _mm_mul_pd(y, inv_q)));
        const __m128d raw = _mm_sub_pd(out, v);
        // stored_error: NaN lanes to 0 (ordered mask), then the bound, the constant second so the
        // comparison order is that of the scalar form.
        const __m128d error = _mm_min_pd(_mm_max_pd(_mm_and_pd(_mm_cmpord_pd(raw, raw), raw), lo), hi);
        for (int k = TAPS - 1; k > 0; --k)
            hist[k] = hist[k - 1];
        if (TAPS > 0) hist[0] = error;
        _mm_storel_pd(&err0[pos0], error);
        _mm_storeh_pd(&err1[pos1], error);
        pos0 = (pos0 + 1u) & 15u;
        pos1 = (pos1 + 1u) & 15u;
        const __m128 o = _mm_cvtpd_ps(out);
        left[i] = _mm_cvtss_f32(o);
        right[i] = _mm_cvtss_f32(_mm_shuffle_ps(o, o, _MM_SHUFFLE(1, 1, 1, 1)));
    }
    state->position[0] = pos0;
    state->position[1] = pos1;
    state->rng[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(rng));
    state->rng[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(rng, _MM_SHUFFLE(1, 1, 1, 1))));
}

// The feedback loop of `dither_pair` is one chain from each error to the next: the product with
// c[0], the eight additions of the older products, v = x - e, the products v q and y / q, the
// rounding and the clamp. The same results follow with every error kept in units of the step
// (E = error q): with q a power of two, scaling commutes with every rounding as long as no value
// leaves the normal range, so sum c[k] E[k] = e q, X - sum = v q, clamp(y, -q, q) = out q and
// clamp(y, -q, q) - v q = (out - v) q, each bit for bit. The two products then leave the chain
// (out and the stored error are formed beside it). The leading "0 +" of the sum is left out too: it
// only turns a sum of nothing but -0 products into +0, and a zero v of either sign gives the same
// out and the same error.
//
// "The normal range" is made sure of sample by sample: every error is 0 or within 2^-870..2^870
// steps (so every product, partial sum and difference is 0 or at least 2^-949 in magnitude, and far
// below overflow) and every input is finite. A run that breaks this anywhere (an input of NaN, an
// infinity, errors blown up by an absurd input level, or tiny errors) is thrown away and done again
// by `dither_pair` from the state and input saved before it.
constexpr uint32_t SCALED_RUN = 64;
constexpr double scaled_lo = 0x1p-870; // scaled error bounds
constexpr double scaled_hi = 0x1p870;

// All-ones lanes where v is 0 or lo <= |v| <= hi (a NaN fails).
inline __m128d in_range(__m128d v, __m128d lo, __m128d hi) {
    const __m128d a = _mm_andnot_pd(_mm_set1_pd(-0.0), v);
    return _mm_and_pd(_mm_cmple_pd(a, hi), _mm_or_pd(_mm_cmpge_pd(a, lo), _mm_cmpeq_pd(a, _mm_setzero_pd())));
}

// One run of n <= SCALED_RUN frames in step units; returns false (state and buffers then spoilt)
// where the run left the range the equivalence needs.
template <int TAPS, bool SSE41>
bool dither_pair_scaled(dither_state* state, float* left, float* right, int32_t frames, double q,
                        const double* coeffs) {
    uint32_t pos0 = state->position[0];
    uint32_t pos1 = state->position[1];
    double* const err0 = state->error[0];
    double* const err1 = state->error[1];
    const __m128d vq = _mm_set1_pd(q);
    const __m128d inv_q = _mm_set1_pd(1.0 / q);
    const __m128d lo = _mm_set1_pd(scaled_lo);
    const __m128d hi = _mm_set1_pd(scaled_hi);
    __m128d ok = _mm_castsi128_pd(_mm_set1_epi32(-1));
    __m128d hist[TAPS];
    __m128d c[TAPS];
    for (int k = 0; k < TAPS; ++k) {
        const __m128d h = _mm_set_pd(err1[(pos1 - 1u - static_cast<uint32_t>(k)) & 15u],
                                     err0[(pos0 - 1u - static_cast<uint32_t>(k)) & 15u]);
        ok = _mm_and_pd(ok, in_range(h, _mm_set1_pd(scaled_lo / q), _mm_set1_pd(scaled_hi / q)));
        hist[k] = _mm_mul_pd(h, vq);
        c[k] = _mm_set1_pd(coeffs[k]);
    }
    if (_mm_movemask_pd(ok) != 3) return false;
    __m128i rng =
        _mm_set_epi32(0, 0, static_cast<int32_t>(state->rng[1]), static_cast<int32_t>(state->rng[0]));
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d scale = _mm_set1_pd(two_pow_minus_24);
    const __m128d neg_q = _mm_set1_pd(-q);
    const __m128d finite = _mm_set1_pd(1.7976931348623157e308);
    for (int32_t i = 0; i < frames; ++i) {
        __m128d e = _mm_mul_pd(c[0], hist[0]);
        for (int k = 1; k < TAPS; ++k)
            e = _mm_add_pd(e, _mm_mul_pd(c[k], hist[k]));
        const __m128i r1 = xorshift_epi32(rng);
        const __m128i r2 = xorshift_epi32(r1);
        rng = r2;
        const __m128d x = _mm_mul_pd(_mm_cvtps_pd(_mm_set_ps(0.0f, 0.0f, right[i], left[i])), vq);
        ok = _mm_and_pd(ok, _mm_cmple_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), x), finite));
        const __m128d vs = _mm_sub_pd(x, e); // v q
        const __m128d u2 = _mm_sub_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_epi32(r2, 8)), scale), half);
        const __m128d u1 = _mm_sub_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_epi32(r1, 8)), scale), half);
        const __m128d d = _mm_add_pd(u2, u1);
        const __m128d w = _mm_add_pd(_mm_add_pd(d, vs), half);
        const __m128d y = SSE41 ? floor_pd_sse41(w) : floor_pd(w);
        const __m128d ys = _mm_min_pd(vq, _mm_max_pd(neg_q, y)); // out q
        const __m128d es = _mm_sub_pd(ys, vs);                   // error q
        // Errors beyond one unit (q steps) are bounded when stored: such a run is redone by
        // dither_pair, which bounds them.
        ok = _mm_and_pd(ok, in_range(es, lo, hi));
        ok = _mm_and_pd(ok, _mm_cmple_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), es), vq));
        for (int k = TAPS - 1; k > 0; --k)
            hist[k] = hist[k - 1];
        hist[0] = es;
        const __m128d error = _mm_mul_pd(es, inv_q);
        _mm_storel_pd(&err0[pos0], error);
        _mm_storeh_pd(&err1[pos1], error);
        pos0 = (pos0 + 1u) & 15u;
        pos1 = (pos1 + 1u) & 15u;
        const __m128 o = _mm_cvtpd_ps(_mm_mul_pd(ys, inv_q));
        left[i] = _mm_cvtss_f32(o);
        right[i] = _mm_cvtss_f32(_mm_shuffle_ps(o, o, _MM_SHUFFLE(1, 1, 1, 1)));
    }
    state->position[0] = pos0;
    state->position[1] = pos1;
    state->rng[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(rng));
    state->rng[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(rng, _MM_SHUFFLE(1, 1, 1, 1))));
    return _mm_movemask_pd(ok) == 3;
}

// `dither_pair` for shaped dither, run by runs in step units where that gives the same bits.
template <int TAPS, bool SSE41>
void dither_pair_shaped(dither_state* state, float* left, float* right, int32_t frames, double q,
                        const double* coeffs) {
    for (int32_t done = 0; done < frames;) {
        const int32_t n = frames - done < static_cast<int32_t>(SCALED_RUN) ? frames - done
                                                                           : static_cast<int32_t>(SCALED_RUN);
        float* const l = left + done;
        float* const r = right + done;
        const dither_state saved = *state;
        float in_l[SCALED_RUN], in_r[SCALED_RUN];
        std::memcpy(in_l, l, sizeof(float) * static_cast<size_t>(n));
        std::memcpy(in_r, r, sizeof(float) * static_cast<size_t>(n));
        if (!dither_pair_scaled<TAPS, SSE41>(state, l, r, n, q, coeffs)) {
            *state = saved;
            std::memcpy(l, in_l, sizeof(float) * static_cast<size_t>(n));
            std::memcpy(r, in_r, sizeof(float) * static_cast<size_t>(n));
            dither_pair<TAPS, SSE41>(state, l, r, n, q, coeffs);
        }
        done += n;
    }
}

} // namespace

void apply_dither_stereo(dither_state* state, float* left, float* right, int32_t frames, int32_t mode,
                         int32_t shaping) {
    if (frames <= 0) return;
    if (left == right) {
        apply_dither(state, 0, left, frames, mode, shaping);
        return;
    }
    const shaping_filter f = filter_of(shaping);
    const double q = step_of(mode);
    if (have_sse41.load(std::memory_order_relaxed)) {
        if (f.taps == 9)
            dither_pair_shaped<9, true>(state, left, right, frames, q, f.c);
        else if (f.taps == 1)
            dither_pair_shaped<1, true>(state, left, right, frames, q, f.c);
        else
            dither_pair<0, true>(state, left, right, frames, q, f.c);
    } else {
        if (f.taps == 9)
            dither_pair_shaped<9, false>(state, left, right, frames, q, f.c);
        else if (f.taps == 1)
            dither_pair_shaped<1, false>(state, left, right, frames, q, f.c);
        else
            dither_pair<0, false>(state, left, right, frames, q, f.c);
    }
}

#else

void apply_dither_stereo(dither_state* state, float* left, float* right, int32_t frames, int32_t mode,
                         int32_t shaping) {
    apply_dither(state, 0, left, frames, mode, shaping);
    if (right != left) apply_dither(state, 1, right, frames, mode, shaping);
}

#endif
