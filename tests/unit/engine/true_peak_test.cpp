// Guards against a wrong or mis-ordered interpolation table or history: wrong taps, lost DC gain,
// a phase read from the wrong history slot, or lane arithmetic that differs from the per-phase sum.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "true_peak.h"

class TruePeak : public ::testing::Test {
  protected:
    void SetUp() override { truepeak_build_table(); }
};

TEST_F(TruePeak, TableShape) {
    const float(*coeff)[TRUEPEAK_TAPS] = truepeak_coefficients();
    const int32_t* taps = truepeak_tap_counts();
    EXPECT_EQ(taps[0], 16);
    EXPECT_EQ(taps[1], 16);
    EXPECT_EQ(taps[2], 16);
    EXPECT_EQ(taps[3], 15);
    for (int p = 0; p < 4; ++p) {
        double dc = 0.0;
        for (int j = 0; j < taps[p]; ++j)
            dc += coeff[p][j];
        EXPECT_NEAR(dc, 1.0, 1e-6) << "phase " << p;
    }
    // Phase 3 is the whole-sample phase: 1 at j = 7, (rounding-level) zero elsewhere.
    EXPECT_FLOAT_EQ(coeff[3][7], 1.0f);
    for (int j = 0; j < 15; ++j) {
        if (j != 7) {
            EXPECT_LT(std::fabs(coeff[3][j]), 1e-6f) << j;
        }
    }
    // Phase 1 is the symmetric half-sample interpolator.
    const double half[8] = {0.62545, -0.18076, 0.08096, -0.03657, 0.01477, -0.00486, 0.00112, -0.00011};
    for (int k = 0; k < 8; ++k) {
        EXPECT_NEAR(coeff[1][7 - k], half[k], 2e-5) << k;
        EXPECT_NEAR(coeff[1][8 + k], half[k], 2e-5) << k;
    }
    // Phases 0 and 2 mirror each other.
    for (int j = 0; j < 16; ++j)
        EXPECT_NEAR(coeff[0][j], coeff[2][15 - j], 1e-7) << j;
}

TEST_F(TruePeak, BuildingAgainChangesNothing) {
    float before[4][16];
    std::memcpy(before, truepeak_coefficients(), sizeof(before));
    truepeak_build_table();
    EXPECT_EQ(std::memcmp(before, truepeak_coefficients(), sizeof(before)), 0);
    EXPECT_TRUE(truepeak_table_built());
}

TEST_F(TruePeak, BesselSeries) {
    EXPECT_DOUBLE_EQ(bessel_i0(0.0), 1.0);
    EXPECT_NEAR(bessel_i0(1.0), 1.2660658777520082, 1e-12);
    EXPECT_NEAR(bessel_i0(9.0) / 1093.588354511374, 1.0, 1e-11);
}

// An impulse after a reset steps through the coefficient rows: the output of call k is column k.
TEST_F(TruePeak, ImpulseResponseIsTheTable) {
    const float(*coeff)[TRUEPEAK_TAPS] = truepeak_coefficients();
    truepeak_history h{};
    truepeak_reset(&h);
    for (int k = 0; k < 20; ++k) {
        float out[4];
        truepeak_interpolate(&h, k == 0 ? 1.0f : 0.0f, out);
        for (int p = 0; p < 4; ++p) {
            const float expect = k < truepeak_tap_counts()[p] ? coeff[p][k] : 0.0f;
            EXPECT_EQ(out[p], expect) << "call " << k << " phase " << p;
        }
    }
    truepeak_reset(&h);
    for (int k = 0; k < 20; ++k)
        EXPECT_GE(truepeak_process(&h, k == 0 ? 1.0f : 0.0f), 0.0f);
}

TEST_F(TruePeak, ConstantInputPassesAfterSixteenSamples) {
    for (float c : {1.0f, -0.5f, 0.123f}) {
        truepeak_history h{};
        float out[4];
        for (int k = 0; k < 16; ++k)
            truepeak_interpolate(&h, c, out);
        for (int p = 0; p < 4; ++p)
            EXPECT_NEAR(out[p], c, 2e-6f) << p;
    }
}

// A quarter-rate sine sampled at 45 degrees: every sample reads 0.7071, the peaks fall between them.
TEST_F(TruePeak, QuarterRateSineAt45Degrees) {
    truepeak_history h{};
    float peak = 0.0f;
    for (int i = 0; i < 64; ++i) {
        const float x = static_cast<float>(std::sin(3.14159265358979323846 * (i / 2.0 + 0.25)));
        const float p = truepeak_process(&h, x);
        if (i >= 32) peak = std::max(peak, p);
        EXPECT_NEAR(std::fabs(x), 0.70710678f, 1e-6f);
    }
    EXPECT_NEAR(peak, 0.99999f, 5e-5f);
}

// The four phases share the arithmetic of the stated scalar sum exactly (f32 products added in tap
// order from 0), also across the history wrap and with a sample that is infinite 15 calls back.
TEST_F(TruePeak, PhasesEqualTheScalarSumBitForBit) {
    const float(*coeff)[TRUEPEAK_TAPS] = truepeak_coefficients();
    const int32_t* taps = truepeak_tap_counts();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    truepeak_history h{};
    float ring[32] = {};
    for (uint32_t n = 0; n < 300; ++n) {
        const float x = u(rng);
        ring[n & 31] = x;
        float out[4];
        truepeak_interpolate(&h, x, out);
        for (int p = 0; p < 4; ++p) {
            float acc = 0.0f;
            for (int j = 0; j < taps[p]; ++j)
                acc += ring[(n - static_cast<uint32_t>(j)) & 31u] * coeff[p][j];
            EXPECT_EQ(out[p], acc) << n << " " << p;
        }
    }
    // One infinite sample: 15 calls later phases 0..2 see it at their last tap, phase 3 no longer.
    truepeak_history g{};
    float out[4];
    truepeak_interpolate(&g, INFINITY, out);
    for (int k = 1; k <= 15; ++k)
        truepeak_interpolate(&g, 0.25f, out);
    EXPECT_TRUE(std::isinf(out[0]) || std::isnan(out[0]));
    EXPECT_TRUE(std::isfinite(out[3]));
    EXPECT_NEAR(out[3], 0.25f, 1e-6f);
}
