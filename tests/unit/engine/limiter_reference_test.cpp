// Guards against the limiter's block processing (chunks, SIMD lanes, steps run over a chunk, skipped
// glide, shared log10/exp results, one gain-computer run shared by channels that stay alike) drifting
// from the per-sample algorithm: a plain one-sample-at-a-time form built from the engine's single-
// sample primitives must give the same output, meters and gain-computer state, bit for bit, under
// changing settings, switches, block sizes and mono blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "gain_computer.h"
#include "limiter.h"
#include "true_peak.h"

namespace {

float max_new(float v, float running) {
    return v < running ? running : v;
}
float min_new(float v, float running) {
    return running < v ? running : v;
}

// The per-sample algorithm, one sample at a time, on a record prepared by the engine's own setters.
void reference_process(limiter_state* s, float* left, float* right, uint32_t frames) {
    const bool active = s->bypass || s->delta || s->unity || s->fade_bypass > 0.0001 ||
                        s->fade_delta > 0.0001 || s->fade_unity > 0.0001;
    const float lk = static_cast<float>(s->link);
    float lowest = 1.0f, in = 0, det = 0, det_l = 0, det_r = 0, out = 0, otp = 0, otp_l = 0, otp_r = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        for (int k = 0; k < 4; ++k)
            s->smoothed[k] += (s->target[k] - s->smoothed[k]) * s->smooth_coeff;
        s->ceiling_smoothed += (s->ceiling_target - s->ceiling_smoothed) * s->smooth_coeff;
        const double product = s->smoothed[1] * s->smoothed[2];
        const float ig = static_cast<float>(s->smoothed[0]);
        const float thr = static_cast<float>(product > s->ceiling_smoothed
                                                 ? s->smoothed[1] * (s->ceiling_smoothed / product)
                                                 : s->smoothed[1]);
        const float inl = left[i], inr = right[i];
        // Input beyond the reduction's reach is bounded to it.
        const float reach = thr * LIMITER_REACH;
        float xl = ig * inl, xr = ig * inr;
        for (float* v : {&xl, &xr})
            *v = std::clamp(*v, -reach, reach);
        in = max_new(std::fabs(xr), max_new(std::fabs(xl), in));
        float pl, pr;
        if (s->true_peak) {
            pl = truepeak_process(&s->gc_l.detector_history, xl);
            pr = truepeak_process(&s->gc_r.detector_history, xr);
        } else {
            float o[4];
            truepeak_interpolate(&s->gc_l.detector_history, xl, o);
            pl = std::fabs(o[3]);
            truepeak_interpolate(&s->gc_r.detector_history, xr, o);
            pr = std::fabs(o[3]);
        }
        det = max_new(pr, max_new(pl, det));
        det_l = max_new(pl, det_l);
        det_r = max_new(pr, det_r);
        const float gl = pl > thr ? thr / pl : 1.0f, gr = pr > thr ? thr / pr : 1.0f;
        const float gm = gr < gl ? gr : gl;
        const double Gl = gain_computer_tick(s, &s->gc_l, (gm - gl) * lk + gl);
        const double Gr = gain_computer_tick(s, &s->gc_r, (gm - gr) * lk + gr);
        const int w = s->write_pos;
        const float dl = s->delay_in_l[w], dr = s->delay_in_r[w], yl = s->delay_dry_l[w],
                    yr = s->delay_dry_r[w];
        s->delay_in_l[w] = xl;
        s->delay_in_r[w] = xr;
        s->delay_dry_l[w] = inl;
        s->delay_dry_r[w] = inr;
        s->write_pos = w + 1 == s->delay_length ? 0 : w + 1;
        // The makeup of the moment n samples ago, when the leaving sample was planned; the ring keeps
        // the lesser of two consecutive moments.
        const int rd = (w + 8) % s->delay_length;
        const float mk = s->delay_makeup[rd];
        const float mk_now = static_cast<float>(s->smoothed[2]);
        s->delay_makeup[w] = std::min(mk_now, s->makeup_prev);
        s->makeup_prev = mk_now;
        const float wl = static_cast<float>(Gl) * dl * mk, wr = static_cast<float>(Gr) * dr * mk;
        float g = static_cast<float>(Gr < Gl ? Gr : Gl);
        float ol = wl, orr = wr;
        const double m = s->smoothed[3];
        if (m < 0.9999) {
            ol = static_cast<float>(static_cast<double>(wl - yl) * m + yl);
            orr = static_cast<float>(static_cast<double>(wr - yr) * m + yr);
            g = static_cast<float>((static_cast<double>(g) - 1.0) * m + 1.0);
        }
        if (active) {
            s->fade_bypass += ((s->bypass ? 1.0 : 0.0) - s->fade_bypass) * s->fade_coeff;
            s->fade_delta += ((s->delta ? 1.0 : 0.0) - s->fade_delta) * s->fade_coeff;
            s->fade_unity += ((s->unity ? 1.0 : 0.0) - s->fade_unity) * s->fade_coeff;
            if (s->fade_delta > 0.0001) {
                ol += static_cast<float>(static_cast<double>((dl * mk - wl) - ol) * s->fade_delta);
                orr += static_cast<float>(static_cast<double>((dr * mk - wr) - orr) * s->fade_delta);
            }
            if (s->fade_unity > 0.0001) {
                const double u = (1.0 / (s->smoothed[2] * s->smoothed[0]) - 1.0) * s->fade_unity + 1.0;
                ol = static_cast<float>(static_cast<double>(ol) * u);
                orr = static_cast<float>(static_cast<double>(orr) * u);
            }
            if (s->fade_bypass > 0.0001) {
                ol += static_cast<float>(static_cast<double>(yl - ol) * s->fade_bypass);
                orr += static_cast<float>(static_cast<double>(yr - orr) * s->fade_bypass);
                g += static_cast<float>(static_cast<double>(1.0f - g) * s->fade_bypass);
            }
        }
        left[i] = ol;
        right[i] = orr;
        out = max_new(std::fabs(orr), max_new(std::fabs(ol), out));
        const float tl = truepeak_process(&s->gc_l.output_history, ol);
        const float tr = truepeak_process(&s->gc_r.output_history, orr);
        lowest = min_new(g, lowest);
        otp = max_new(tr, max_new(tl, otp));
        otp_l = max_new(tl, otp_l);
        otp_r = max_new(tr, otp_r);
    }
    s->min_gain = lowest;
    s->in_peak = in;
    s->in_detect_peak = det;
    s->out_peak = out;
    s->out_true_peak = otp;
    s->in_detect_l = det_l;
    s->in_detect_r = det_r;
    s->out_true_peak_l = otp_l;
    s->out_true_peak_r = otp_r;
    s->effective_makeup = (1.0 - s->fade_unity) * s->smoothed[2] + s->fade_unity / s->smoothed[0];
}

bool same_meters(const limiter_state& a, const limiter_state& b) {
    const float ma[9] = {a.min_gain,    a.in_peak,     a.in_detect_peak,  a.out_peak,       a.out_true_peak,
                         a.in_detect_l, a.in_detect_r, a.out_true_peak_l, a.out_true_peak_r};
    const float mb[9] = {b.min_gain,    b.in_peak,     b.in_detect_peak,  b.out_peak,       b.out_true_peak,
                         b.in_detect_l, b.in_detect_r, b.out_true_peak_l, b.out_true_peak_r};
    return std::memcmp(ma, mb, sizeof ma) == 0 && a.effective_makeup == b.effective_makeup;
}

} // namespace

TEST(LimiterReference, BlockProcessingEqualsThePerSampleAlgorithm) {
    for (double fs : {44100.0, 96000.0}) {
        std::mt19937 rng(3);
        std::normal_distribution<double> g(0.0, 0.5);
        const size_t frames = static_cast<size_t>(1.5 * fs);
        std::vector<float> l(frames), r(frames);
        for (size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / fs;
            l[i] = static_cast<float>(0.8 * std::sin(2 * 3.14159265358979 * 440 * t) + 0.3 * g(rng));
            r[i] = static_cast<float>(0.9 * std::sin(2 * 3.14159265358979 * 660 * t) + 0.2 * g(rng));
            if (i % 5000 == 7) l[i] = 1.5f;
            if (i % 20011 == 5) r[i] = (i / 20011) % 2 ? 1e30f : -3.4e38f; // beyond the reduction's reach
        }
        std::vector<float> l2 = l, r2 = r;
        limiter_state a{}, b{};
        ASSERT_EQ(limiter_init(&a, fs, 1.5), 1);
        ASSERT_EQ(limiter_init(&b, fs, 1.5), 1);
        size_t at = 0;
        for (int k = 0; at < frames; ++k) {
            uint32_t n = static_cast<uint32_t>((k * 37) % 700 + 1);
            if (at + n > frames) n = static_cast<uint32_t>(frames - at);
            // Settings change for 40 blocks, then hold for 40 (so glides end and settle).
            const int q = (k / 40) % 2 ? 0 : k;
            for (limiter_state* s : {&a, &b}) {
                limiter_set_style(s, q / 9 % 6);
                limiter_set_levels(s, (q % 5) - 2, -8 - (q % 3) * 6, -1 - (q % 2) * 3, 20 + q % 4 * 30,
                                   (q % 4) / 3.0, q % 7 != 0, q % 3 != 0, q % 11 == 0 ? 0.5 : 1.0);
                limiter_set_switches(s, (k / 13) % 2, (k / 17) % 3 == 1, (k / 19) % 2);
            }
            const bool mono = k % 23 == 0;
            limiter_process_stereo(&a, l.data() + at, mono ? l.data() + at : r.data() + at, n);
            reference_process(&b, l2.data() + at, mono ? l2.data() + at : r2.data() + at, n);
            ASSERT_TRUE(same_meters(a, b)) << fs << " block " << k;
            ASSERT_EQ(std::memcmp(l.data() + at, l2.data() + at, n * sizeof(float)), 0)
                << fs << " block " << k;
            ASSERT_EQ(std::memcmp(r.data() + at, r2.data() + at, n * sizeof(float)), 0)
                << fs << " block " << k;
            at += n;
        }
        limiter_free(&a);
        limiter_free(&b);
    }
}

// Linked channels that stay alike share one gain computer's run in the block path; the right
// computer must still end where its own run would, and the sharing must stop at the first sample
// where the channels part (a one-sided burst well over 6 dB hotter) without a trace in the output.
TEST(LimiterReference, SharedGainComputerRunEqualsTwoRuns) {
    struct scenario {
        const char* name;
        bool mono;       // left and right one buffer
        double balance;  // right = balance x left (+ its own noise unless mono)
        size_t burst_at; // frame of a right-only burst (0: none)
        double link;
    };
    const scenario cases[] = {
        {"balanced linked stereo", false, 0.95, 0, 1.0},
        {"mono bus", true, 1.0, 0, 1.0},
        {"linked stereo parting at a one-sided burst", false, 0.95, 30000, 1.0},
        {"identical channels, partly linked", false, 1.0, 0, 0.5},
    };
    const double fs = 48000.0;
    for (const scenario& c : cases) {
        std::mt19937 rng(5);
        std::normal_distribution<double> g(0.0, 0.02);
        const size_t frames = 60000;
        std::vector<float> l(frames), r(frames);
        for (size_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / fs;
            const double a = 0.6 * std::sin(2 * 3.14159265358979 * 100 * t) +
                             0.38 * std::sin(2 * 3.14159265358979 * 1300 * t);
            l[i] = static_cast<float>(a + (c.balance == 1.0 ? 0.0 : g(rng)));
            r[i] = static_cast<float>(c.balance * a + (c.balance == 1.0 ? 0.0 : g(rng)));
            if (c.burst_at && i >= c.burst_at && i < c.burst_at + 300) {
                l[i] *= 0.05f;
                r[i] = i % 2 ? 1.8f : -1.8f;
            }
        }
        std::vector<float> l2 = l, r2 = r;
        limiter_state a{}, b{};
        ASSERT_EQ(limiter_init(&a, fs, 1.5), 1);
        ASSERT_EQ(limiter_init(&b, fs, 1.5), 1);
        for (limiter_state* s : {&a, &b}) {
            limiter_set_style(s, 1); // with a hold, so the hold counter is shared too
            limiter_set_levels(s, 0.0, -6.0, -0.3, 60.0, c.link, 1, 1, 1.0);
        }
        size_t at = 0;
        for (int k = 0; at < frames; ++k) {
            uint32_t n = static_cast<uint32_t>((k * 53) % 600 + 1);
            if (at + n > frames) n = static_cast<uint32_t>(frames - at);
            if (k == 60)
                for (limiter_state* s : {&a, &b})
                    limiter_set_levels(s, 0.0, -6.0, -0.3, 60.0, c.link, 1, 0, 1.0); // plain release
            float* ra = c.mono ? l.data() + at : r.data() + at;
            float* rb = c.mono ? l2.data() + at : r2.data() + at;
            limiter_process_stereo(&a, l.data() + at, ra, n);
            reference_process(&b, l2.data() + at, rb, n);
            ASSERT_TRUE(same_meters(a, b)) << c.name << " block " << k;
            ASSERT_EQ(std::memcmp(l.data() + at, l2.data() + at, n * sizeof(float)), 0)
                << c.name << " block " << k;
            ASSERT_EQ(std::memcmp(ra, rb, n * sizeof(float)), 0) << c.name << " block " << k;
            at += n;
        }
        for (const auto& [x, y] : {std::pair{&a.gc_l, &b.gc_l}, std::pair{&a.gc_r, &b.gc_r}}) {
            EXPECT_EQ(x->head, y->head) << c.name;
            EXPECT_EQ(x->tail, y->tail) << c.name;
            EXPECT_EQ(x->count, y->count) << c.name;
            EXPECT_EQ(std::memcmp(&x->box1.sum, &y->box1.sum, sizeof(double)), 0) << c.name;
            EXPECT_EQ(std::memcmp(&x->box2.sum, &y->box2.sum, sizeof(double)), 0) << c.name;
            EXPECT_EQ(x->box1.index, y->box1.index) << c.name;
            EXPECT_EQ(x->box2.index, y->box2.index) << c.name;
            EXPECT_EQ(x->slow_db, y->slow_db) << c.name;
            EXPECT_EQ(x->fast_db, y->fast_db) << c.name;
            EXPECT_EQ(x->held_db, y->held_db) << c.name;
            EXPECT_EQ(x->hold_left, y->hold_left) << c.name;
            EXPECT_EQ(
                std::memcmp(x->box2.taps, y->box2.taps, sizeof(float) * static_cast<size_t>(x->box2.length)),
                0)
                << c.name;
        }
        limiter_free(&a);
        limiter_free(&b);
    }
}
