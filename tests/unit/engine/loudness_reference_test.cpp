// Guards against loudness readings that drift from an independent implementation: the momentary,
// short-term and integrated readings must agree with libebur128 within 0.1 LU on the same generated
// programmes at every 100 ms step.
#include <gtest/gtest.h>

#include <ebur128.h>

#include <cmath>
#include <random>
#include <vector>

#include "loudness.h"

namespace {

constexpr double pi = 3.14159265358979323846;

enum programme { STEPPED_NOISE, TONES_WITH_PAUSE, PROGRAMME_COUNT };
const char* const programme_names[PROGRAMME_COUNT] = {"stepped pink-ish noise", "tones with a pause"};

// 20 s of stereo material, the channels different.
void make_programme(programme p, double fs, std::vector<float>& l, std::vector<float>& r) {
    const size_t frames = static_cast<size_t>(20.0 * fs);
    l.resize(frames);
    r.resize(frames);
    std::mt19937 rng(17);
    std::normal_distribution<double> g(0.0, 1.0);
    double lp1 = 0, lp2 = 0, lp3 = 0, rp1 = 0, rp2 = 0, rp3 = 0;
    // Level steps of 2 s. Each step is a cluster of equal 400 ms blocks; the levels keep every cluster
    // well away from the relative gate (ungated loudness - 10 LU). Where a cluster sits on the gate,
    // a 0.1 LU histogram bin and an exact comparison may disagree about the whole cluster.
    const double levels[] = {-23, -18, -26, -45, -15, -20, -60, -16, -24, -19};
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / fs;
        double a = 0, b = 0;
        if (p == STEPPED_NOISE) {
            // three one-pole low-passes in parallel: a rough -3 dB/octave slope over the audio band
            const double wl = g(rng), wr = g(rng);
            lp1 += (wl - lp1) * 0.02;
            lp2 += (wl - lp2) * 0.2;
            lp3 = wl;
            rp1 += (wr - rp1) * 0.02;
            rp2 += (wr - rp2) * 0.2;
            rp3 = wr;
            const double gain = std::pow(10.0, levels[static_cast<size_t>(t / 2.0) % 10] / 20.0);
            a = gain * (3.0 * lp1 + 1.0 * lp2 + 0.3 * lp3);
            b = gain * (2.5 * rp1 + 1.2 * rp2 + 0.2 * rp3);
        } else {
            const bool pause = t >= 8.0 && t < 11.0;
            const double trem = 0.6 + 0.4 * std::sin(2 * pi * 3.0 * t);
            const double tones = 0.3 * std::sin(2 * pi * 110 * t) + 0.2 * std::sin(2 * pi * 220 * t + 1) +
                                 0.1 * std::sin(2 * pi * 330 * t) +
                                 0.08 * trem * std::sin(2 * pi * 2500 * t) +
                                 0.05 * std::sin(2 * pi * 8000 * t);
            const double env = t < 14.0 ? 1.0 : 0.1;
            a = pause ? 0.0 : env * tones;
            b = pause ? 0.0 : env * (0.7 * tones + 0.1 * trem * std::sin(2 * pi * 5000 * t));
        }
        l[i] = static_cast<float>(a);
        r[i] = static_cast<float>(b);
    }
}

} // namespace

TEST(LoudnessReference, AgreesWithLibebur128) {
    for (double fs : {44100.0, 48000.0, 96000.0}) {
        for (int p = 0; p < PROGRAMME_COUNT; ++p) {
            std::vector<float> l, r;
            make_programme(static_cast<programme>(p), fs, l, r);
            ebur128_state* ref = ebur128_init(2, static_cast<unsigned long>(fs),
                                              EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I);
            ASSERT_NE(ref, nullptr);
            loudness_meter m;
            loudness_init(&m, fs);
            std::vector<float> interleaved(2 * static_cast<size_t>(m.block_length));
            double worst[3] = {0, 0, 0};
            int compared[3] = {0, 0, 0};
            size_t steps = 0;
            for (size_t at = 0; at + m.block_length <= l.size(); at += m.block_length, ++steps) {
                const size_t n = static_cast<size_t>(m.block_length);
                loudness_process(&m, l.data() + at, r.data() + at, static_cast<uint32_t>(n));
                for (size_t i = 0; i < n; ++i) {
                    interleaved[2 * i] = l[at + i];
                    interleaved[2 * i + 1] = r[at + i];
                }
                ASSERT_EQ(ebur128_add_frames_float(ref, interleaved.data(), n), EBUR128_SUCCESS);
                double theirs[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
                ebur128_loudness_momentary(ref, &theirs[0]);
                ebur128_loudness_shortterm(ref, &theirs[1]);
                ebur128_loudness_global(ref, &theirs[2]);
                const double ours[3] = {m.momentary, m.short_term, m.integrated};
                // Short-term before 3 s is the mean of the sub-blocks so far here, of a zero-padded
                // window there: compared from 3 s on. Readings below -70 LUFS are "none" in both.
                for (int k = 0; k < 3; ++k) {
                    if (k == 1 && steps < 29) continue;
                    if (!(theirs[k] > -70.0) || ours[k] <= -70.0) continue;
                    worst[k] = std::max(worst[k], std::fabs(ours[k] - theirs[k]));
                    ++compared[k];
                    EXPECT_NEAR(ours[k], theirs[k], 0.1)
                        << programme_names[p] << " at " << fs << ", reading " << k << ", step " << steps;
                }
            }
            ebur128_destroy(&ref);
            EXPECT_GT(compared[0], 100);
            EXPECT_GT(compared[1], 100);
            EXPECT_GT(compared[2], 100);
            std::printf("  %-24s %6.0f Hz: worst |difference| M %.4f, S %.4f, I %.4f LU\n",
                        programme_names[p], fs, worst[0], worst[1], worst[2]);
        }
    }
}
