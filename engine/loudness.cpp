// BS.1770 loudness meter of one stage. Audio thread only after `loudness_init` (main thread at
// activation); no allocation: the ring and the gating histogram are fixed arrays in the record.
//
// K-weighting is a high shelf (+4 dB above ~1.7 kHz) followed by a second-order high-pass at ~38 Hz,
// both in transposed direct form II. Mean squares of 100 ms sub-blocks go into a ring of 30: the mean
// of the newest 4 is the momentary (400 ms) reading, of all 30 the short-term (3 s) reading. Every
// 400 ms block (one per 100 ms, 75 % overlap) above the -70 LUFS absolute gate lands in a 0.1 LU
// histogram bin; the integrated reading is the mean of the blocks in the bins from the relative gate
// (ungated loudness - 10 LU, at bin resolution) up.
#include "loudness.h"

#include <cmath>

#include "engine_simd.h"

#if LODRIN_ENGINE_SSE2
#include <emmintrin.h>
#endif

static void design_shelf(biquad* f, double fs) {
    const double k = std::tan(5284.078578647628 / fs);
    const double vh = std::pow(10.0, 0.19999219269866736);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double q = 0.7071752369554196;
    const double a0 = k / q + 1.0 + k * k;
    f->b0 = (vh + vb * k / q + k * k) / a0;
    f->b1 = 2.0 * (k * k - vh) / a0;
    f->b2 = (vh - vb * k / q + k * k) / a0;
    f->a1 = 2.0 * (k * k - 1.0) / a0;
    f->a2 = (1.0 - k / q + k * k) / a0;
    f->s1 = 0.0;
    f->s2 = 0.0;
}

static void design_highpass(biquad* f, double fs) {
    const double k = std::tan(119.8061151453059 / fs);
    const double q = 0.5003270373238773;
    const double a0 = k / q + 1.0 + k * k;
    f->a1 = 2.0 * (k * k - 1.0) / a0;
    f->a2 = (1.0 - k / q + k * k) / a0;
    f->b0 = 1.0;
    f->b1 = -2.0;
    f->b2 = 1.0;
    f->s1 = 0.0;
    f->s2 = 0.0;
}

void loudness_reset(loudness_meter* m) {
    biquad* filters[4] = {&m->shelf_l, &m->shelf_r, &m->highpass_l, &m->highpass_r};
    for (biquad* f : filters) {
        f->s1 = 0.0;
        f->s2 = 0.0;
    }
    m->block_fill = 0;
    m->energy_l = 0.0;
    m->energy_r = 0.0;
    for (double& b : m->blocks)
        b = 0.0;
    m->block_next = 0;
    m->block_count = 0;
    for (int b = 0; b < LOUDNESS_BINS; ++b) {
        m->gate_counts[b] = 0;
        m->gate_energy[b] = 0.0;
    }
    m->momentary = LOUDNESS_NONE;
    m->short_term = LOUDNESS_NONE;
    m->integrated = LOUDNESS_NONE;
}

void loudness_init(loudness_meter* m, double sample_rate) {
    m->sample_rate = sample_rate;
    design_shelf(&m->shelf_l, sample_rate);
    design_shelf(&m->shelf_r, sample_rate);
    design_highpass(&m->highpass_l, sample_rate);
    design_highpass(&m->highpass_r, sample_rate);
    const double len = std::trunc(sample_rate * 100.0 / 1000.0 + 0.5);
    // Also keeps a NaN or absurd rate from reaching the integer conversion.
    m->block_length = len >= 1.0 ? (len < 1e9 ? static_cast<int32_t>(len) : 1000000000) : 1;
    loudness_reset(m);
}

double loudness_mean_of_last(const loudness_meter* m, int32_t count) {
    const int32_t c = count < m->block_count ? count : m->block_count;
    if (c < 1) return 0.0;
    double sum = 0.0;
    for (int32_t k = 1; k <= c; ++k)
        sum += m->blocks[(m->block_next - k + LOUDNESS_RING) % LOUDNESS_RING];
    return sum / c;
}

static double lufs_of(double mean_square) {
    return 10.0 * std::log10(mean_square) - 0.691;
}

void loudness_integrated_update(loudness_meter* m, double mean_square) {
    if (mean_square <= 1e-12) return;
    const double l = lufs_of(mean_square);
    if (!(l >= -70.0)) // absolute gate; a NaN block is dropped too, so it cannot poison the histogram
        return;
    const double bd = std::trunc((l + 70.0) / 0.1);
    const int32_t bin = bd < 749.0 ? static_cast<int32_t>(bd) : 749;
    m->gate_counts[bin] += 1;
    m->gate_energy[bin] += mean_square;

    double e = 0.0;
    uint64_t n = 0;
    for (int32_t b = 0; b < LOUDNESS_BINS; ++b) {
        e += m->gate_energy[b];
        n += m->gate_counts[b];
    }
    if (n == 0) return;
    const double mean = e / static_cast<double>(n);
    const double lu = mean > 1e-12 ? lufs_of(mean) : LOUDNESS_NONE;
    double gd = std::trunc((lu - 10.0 + 70.0) / 0.1);
    if (!(gd >= 0.0)) gd = 0.0;
    m->integrated = LOUDNESS_NONE;
    if (gd < LOUDNESS_BINS) {
        double eg = 0.0;
        uint64_t ng = 0;
        for (int32_t b = static_cast<int32_t>(gd); b < LOUDNESS_BINS; ++b) {
            eg += m->gate_energy[b];
            ng += m->gate_counts[b];
        }
        if (ng > 0 && eg / static_cast<double>(ng) > 1e-12)
            m->integrated = lufs_of(eg / static_cast<double>(ng));
    }
}

// A NaN or infinite sample would otherwise stay in the recursive filter states for good and silence
// every reading until the next reset; clearing them at the sub-block's end confines it to that block
// (whose non-finite mean square the readings and the gate then pass over).
static void clear_non_finite_states(loudness_meter* m) {
    biquad* filters[4] = {&m->shelf_l, &m->shelf_r, &m->highpass_l, &m->highpass_r};
    for (biquad* f : filters) {
        if (!std::isfinite(f->s1) || !std::isfinite(f->s2)) {
            f->s1 = 0.0;
            f->s2 = 0.0;
        }
    }
}

static void end_sub_block(loudness_meter* m) {
    clear_non_finite_states(m);
    // A non-finite sub-block reads as none (a NaN mean fails every "> 1e-12" and the absolute gate),
    // so the momentary and short-term readings return once it has left their 400 ms and 3 s windows;
    // an infinite one would otherwise sit in the gating histogram above every bin and hold the
    // integrated reading at "none" for the rest of the run.
    double ms = (m->energy_r + m->energy_l) / m->block_length;
    if (!std::isfinite(ms)) ms = std::nan("");
    m->block_fill = 0;
    m->energy_l = 0.0;
    m->energy_r = 0.0;
    m->blocks[m->block_next] = ms;
    m->block_next = (m->block_next + 1) % LOUDNESS_RING;
    if (m->block_count < LOUDNESS_RING) ++m->block_count;
    if (m->block_count >= 4) {
        const double m4 = loudness_mean_of_last(m, 4);
        m->momentary = m4 > 1e-12 ? lufs_of(m4) : LOUDNESS_NONE;
        loudness_integrated_update(m, m4);
    }
    const double m30 = loudness_mean_of_last(m, LOUDNESS_RING);
    m->short_term = m30 > 1e-12 ? lufs_of(m30) : LOUDNESS_NONE;
}

#if LODRIN_ENGINE_SSE2

// Left and right run side by side in the two lanes; each lane does exactly the scalar steps.
static void weigh_and_sum(loudness_meter* m, const float* left, const float* right, uint32_t count) {
    const __m128d sb0 = _mm_set_pd(m->shelf_r.b0, m->shelf_l.b0);
    const __m128d sb1 = _mm_set_pd(m->shelf_r.b1, m->shelf_l.b1);
    const __m128d sb2 = _mm_set_pd(m->shelf_r.b2, m->shelf_l.b2);
    const __m128d sa1 = _mm_set_pd(m->shelf_r.a1, m->shelf_l.a1);
    const __m128d sa2 = _mm_set_pd(m->shelf_r.a2, m->shelf_l.a2);
    const __m128d hb0 = _mm_set_pd(m->highpass_r.b0, m->highpass_l.b0);
    const __m128d hb1 = _mm_set_pd(m->highpass_r.b1, m->highpass_l.b1);
    const __m128d hb2 = _mm_set_pd(m->highpass_r.b2, m->highpass_l.b2);
    const __m128d ha1 = _mm_set_pd(m->highpass_r.a1, m->highpass_l.a1);
    const __m128d ha2 = _mm_set_pd(m->highpass_r.a2, m->highpass_l.a2);
    __m128d ss1 = _mm_set_pd(m->shelf_r.s1, m->shelf_l.s1);
    __m128d ss2 = _mm_set_pd(m->shelf_r.s2, m->shelf_l.s2);
    __m128d hs1 = _mm_set_pd(m->highpass_r.s1, m->highpass_l.s1);
    __m128d hs2 = _mm_set_pd(m->highpass_r.s2, m->highpass_l.s2);
    __m128d energy = _mm_set_pd(m->energy_r, m->energy_l);
    for (uint32_t i = 0; i < count; ++i) {
        const __m128d x = _mm_cvtps_pd(_mm_set_ps(0.0f, 0.0f, right[i], left[i]));
        const __m128d y = _mm_add_pd(_mm_mul_pd(sb0, x), ss1);
        ss1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(sb1, x), _mm_mul_pd(sa1, y)), ss2);
        ss2 = _mm_sub_pd(_mm_mul_pd(sb2, x), _mm_mul_pd(sa2, y));
        const __m128d z = _mm_add_pd(_mm_mul_pd(hb0, y), hs1);
        hs1 = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(hb1, y), _mm_mul_pd(ha1, z)), hs2);
        hs2 = _mm_sub_pd(_mm_mul_pd(hb2, y), _mm_mul_pd(ha2, z));
        energy = _mm_add_pd(energy, _mm_mul_pd(z, z));
    }
    _mm_storel_pd(&m->shelf_l.s1, ss1);
    _mm_storeh_pd(&m->shelf_r.s1, ss1);
    _mm_storel_pd(&m->shelf_l.s2, ss2);
    _mm_storeh_pd(&m->shelf_r.s2, ss2);
    _mm_storel_pd(&m->highpass_l.s1, hs1);
    _mm_storeh_pd(&m->highpass_r.s1, hs1);
    _mm_storel_pd(&m->highpass_l.s2, hs2);
    _mm_storeh_pd(&m->highpass_r.s2, hs2);
    _mm_storel_pd(&m->energy_l, energy);
    _mm_storeh_pd(&m->energy_r, energy);
}

#else

static inline double biquad_step(biquad* f, double x) {
    const double y = f->b0 * x + f->s1;
    f->s1 = f->b1 * x - f->a1 * y + f->s2;
    f->s2 = f->b2 * x - f->a2 * y;
    return y;
}

static void weigh_and_sum(loudness_meter* m, const float* left, const float* right, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const double zl = biquad_step(&m->highpass_l, biquad_step(&m->shelf_l, left[i]));
        const double zr = biquad_step(&m->highpass_r, biquad_step(&m->shelf_r, right[i]));
        m->energy_l += zl * zl;
        m->energy_r += zr * zr;
    }
}

#endif

void loudness_process(loudness_meter* m, const float* left, const float* right, uint32_t frames) {
    uint32_t done = 0;
    while (done < frames) {
        const uint32_t room = static_cast<uint32_t>(m->block_length - m->block_fill);
        const uint32_t count = frames - done < room ? frames - done : room;
        weigh_and_sum(m, left + done, right + done, count);
        m->block_fill += static_cast<int32_t>(count);
        done += count;
        if (m->block_fill >= m->block_length) end_sub_block(m);
    }
}
