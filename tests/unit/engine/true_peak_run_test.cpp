// Guards against the block forms of the true-peak detector (four or eight samples per SIMD lane, one
// or two channels per call) drifting from the one-sample detector: every value must be bit for bit
// the same, across run lengths, history wraps and the whole-sample-phase mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "engine_simd.h"
#include "true_peak.h"
#include "true_peak_inline.h"

// The block forms exist only where the engine takes its SIMD paths; the portable tree runs the
// one-sample detector throughout.
#if LODRIN_ENGINE_SSE2

namespace {

using run_fn = void (*)(truepeak_history*, const float*, uint32_t, float*, bool);

void check(run_fn run, const char* name) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.5f, 1.5f);
    for (bool phase3 : {false, true}) {
        truepeak_history a{}, b{};
        uint32_t total = 0;
        for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 100u, 127u, 128u}) {
            std::vector<float> x(n);
            for (float& v : x)
                v = u(rng);
            alignas(32) float peaks[truepeak_detail::RUN_MAX + 8];
            run(&a, x.data(), n, peaks, phase3);
            for (uint32_t i = 0; i < n; ++i) {
                float out[4];
                truepeak_interpolate(&b, x[i], out);
                float expect = 0.0f;
                if (phase3) {
                    expect = std::fabs(out[3]);
                } else {
                    for (float o : out)
                        expect = std::fabs(o) < expect ? expect : std::fabs(o);
                }
                ASSERT_EQ(peaks[i], expect)
                    << name << " run " << n << " sample " << i << " phase3 " << phase3;
            }
            total += n;
            ASSERT_EQ(a.position, total);
            ASSERT_EQ(std::memcmp(a.history, b.history, sizeof(a.history)), 0) << name;
        }
    }
}

} // namespace

TEST(TruePeakRun, SseFormEqualsOneSampleDetector) {
    truepeak_build_table();
    check(truepeak_detail::interpolate_run_sse2, "sse2");
}

TEST(TruePeakRun, AvxFormEqualsOneSampleDetector) {
    truepeak_build_table();
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 on this processor";
    check(truepeak_detail::interpolate_run_avx2, "avx2");
}

// The two-channel form: each channel's values and history as its own one-sample detector gives.
TEST(TruePeakRun, PairedFormEqualsOneSampleDetectors) {
    truepeak_build_table();
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.5f, 1.5f);
    for (bool phase3 : {false, true}) {
        truepeak_history a{}, b{}, ref_a{}, ref_b{};
        for (uint32_t n : {1u, 3u, 8u, 9u, 17u, 32u, 33u, 127u, 128u}) {
            std::vector<float> x(n), y(n);
            for (uint32_t i = 0; i < n; ++i) {
                x[i] = u(rng);
                y[i] = i % 9 == 4 ? 0.0f : u(rng);
            }
            alignas(32) float pa[truepeak_detail::RUN_MAX + 8], pb[truepeak_detail::RUN_MAX + 8];
            truepeak_detail::interpolate_run_pair(&a, &b, x.data(), y.data(), n, pa, pb, phase3);
            for (uint32_t i = 0; i < n; ++i) {
                for (auto [h, in, got] : {std::tuple{&ref_a, x[i], pa[i]}, std::tuple{&ref_b, y[i], pb[i]}}) {
                    float out[4];
                    truepeak_interpolate(h, in, out);
                    float expect = 0.0f;
                    if (phase3) {
                        expect = std::fabs(out[3]);
                    } else {
                        for (float o : out)
                            expect = std::fabs(o) < expect ? expect : std::fabs(o);
                    }
                    ASSERT_EQ(got, expect) << "run " << n << " sample " << i << " phase3 " << phase3;
                }
            }
            ASSERT_EQ(a.position, ref_a.position);
            ASSERT_EQ(b.position, ref_b.position);
            ASSERT_EQ(std::memcmp(a.history, ref_a.history, sizeof(a.history)), 0);
            ASSERT_EQ(std::memcmp(b.history, ref_b.history, sizeof(b.history)), 0);
        }
    }
}

#endif
