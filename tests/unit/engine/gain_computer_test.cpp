// Guards against a gain computer that lets reduction come late or leave early: a window minimum that
// forgets a target too soon or keeps it too long, ramps of the wrong length, a level jump when the
// ramp length changes, holds of the wrong length, or an unbounded reduction for a zero target.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "gain_computer.h"
#include "limiter.h"

namespace {

struct fixture {
    limiter_state stage{};
    gain_computer gc{};
    explicit fixture(int32_t n, bool adaptive = false, int32_t hold = 0, double release_samples = 100.0) {
        truepeak_build_table();
        EXPECT_EQ(gain_computer_init(&gc, n), 1);
        gain_computer_reset(&gc);
        stage.adaptive = adaptive ? 1 : 0;
        stage.hold_samples = hold;
        stage.peak_release_coeff = 1.0 - std::exp(-1.0 / release_samples);
        stage.slow_release_coeff = 1.0 - std::exp(-1.0 / (5 * release_samples));
        stage.slow_attack_coeff = 1.0 - std::exp(-1.0 / (0.8 * release_samples));
    }
    ~fixture() { gain_computer_free(&gc); }
    double tick(float target) { return gain_computer_tick(&stage, &gc, target); }
    float window_min() const { return gc.values[gc.slots[gc.head & gc.mask]]; }
};

} // namespace

TEST(GainComputer, SizesAndRampSplit) {
    struct row {
        int32_t n;
        double fraction;
        int32_t window, capacity, box1, box2;
    };
    const row rows[] = {
        {72, 1.0, 74, 128, 36, 36},   {72, 0.35, 74, 128, 12, 13},  {4, 0.35, 6, 8, 1, 1},
        {5, 0.5, 7, 8, 1, 2},         {66, 0.8, 68, 128, 26, 27},   {2, 1.0, 4, 8, 1, 1},
        {125, 1.0, 127, 128, 62, 63}, {126, 0.5, 128, 256, 31, 32}, {960, 0.35, 962, 1024, 168, 168},
    };
    for (const row& r : rows) {
        fixture f(r.n);
        gain_computer_set_smoothing(&f.gc, r.n, r.fraction);
        EXPECT_EQ(f.gc.window, r.window) << r.n;
        EXPECT_EQ(f.gc.capacity, r.capacity) << r.n;
        EXPECT_EQ(f.gc.mask, static_cast<uint32_t>(r.capacity - 1)) << r.n;
        EXPECT_EQ(f.gc.box1.capacity, r.n);
        EXPECT_EQ(f.gc.box1.length, r.box1) << r.n << " " << r.fraction;
        EXPECT_EQ(f.gc.box2.length, r.box2) << r.n << " " << r.fraction;
    }
}

TEST(GainComputer, UnityTargetsGiveExactlyUnity) {
    for (bool adaptive : {false, true}) {
        fixture f(16, adaptive, 5);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ(f.tick(i % 3 ? 1.0f : 1.5f), 1.0) << i;
    }
}

// The window holds a target for n + 2 ticks; the ramp takes s - 1 ticks to reach it; the release
// then brings the gain back.
TEST(GainComputer, SingleTargetRampsHoldsAndReleases) {
    const int32_t n = 40;
    for (bool adaptive : {false, true}) {
        fixture f(n, adaptive, 0, 200.0);
        const int32_t s = f.gc.box1.length + f.gc.box2.length;
        ASSERT_EQ(s, n);
        const int t = 100;
        std::vector<double> g;
        for (int i = 0; i < 6000; ++i) {
            g.push_back(f.tick(i == t ? 0.5f : 1.0f));
            const bool in_window = i >= t && i <= t + n + 1;
            EXPECT_EQ(f.window_min(), in_window ? 0.5f : 1.0f) << i;
        }
        for (int i = 0; i < t; ++i)
            EXPECT_EQ(g[i], 1.0);
        for (int i = t; i < t + s - 2; ++i)
            EXPECT_LT(g[i + 1], g[i]) << i; // falling ramp
        // Full reduction while the target is in the window; the adaptive release may add a little.
        for (int i = t + s - 2; i <= t + n + 1; ++i) {
            if (adaptive) {
                EXPECT_LE(g[i], 0.5 + 1e-6) << i;
                EXPECT_GT(g[i], 0.48) << i;
            } else {
                EXPECT_NEAR(g[i], 0.5, 1e-6) << i;
            }
        }
        EXPECT_LT(g[t + n + 1 + s], 0.6); // the release holds it after the window has passed
        EXPECT_GT(g[5999], 0.99);         // and lets it return
        if (!adaptive) {
            for (int i = t + n + 2; i < 5999; ++i)
                EXPECT_GE(g[i + 1], g[i]) << i;
        }
    }
}

TEST(GainComputer, EqualTargetsKeepOnlyTheNewest) {
    fixture f(8);
    for (int i = 0; i < 30; ++i) {
        f.tick(i >= 10 && i < 20 ? 0.5f : 1.0f);
        if (i >= 10 && i < 20) {
            EXPECT_EQ(f.gc.tail - f.gc.head, 1u) << i;
        }
        // the window ends exactly `window` ticks after the last of the run
        EXPECT_EQ(f.window_min(), i >= 10 && i < 19 + f.gc.window ? 0.5f : 1.0f) << i;
    }
}

TEST(GainComputer, ZeroTargetIsBoundedAt120dB) {
    for (float target : {0.0f, -1.0f, 1e-9f}) {
        fixture f(2);
        gain_computer_set_smoothing(&f.gc, 2, 0.0);
        f.tick(target);
        const double g = f.tick(target);
        EXPECT_GT(g, 0.0);
        EXPECT_NEAR(20.0 * std::log10(g), -120.0, 1e-3) << target;
    }
}

TEST(GainComputer, ChangingTheRampKeepsTheLevel) {
    fixture f(64);
    double g = 0.0;
    for (int i = 0; i < 400; ++i)
        g = f.tick(0.25f);
    for (double fraction : {0.35, 1.0, 0.5, 0.8}) {
        gain_computer_set_smoothing(&f.gc, 64, fraction);
        const double next = f.tick(0.25f);
        EXPECT_NEAR(next, g, 1e-6) << fraction;
        g = next;
    }
    // Mid-ramp the refill keeps the current mean.
    fixture h(64);
    for (int i = 0; i < 20; ++i)
        g = h.tick(i < 5 ? 1.0f : 0.25f);
    const double before_mean = h.gc.box1.sum / h.gc.box1.length;
    gain_computer_set_smoothing(&h.gc, 64, 0.35);
    EXPECT_NEAR(h.gc.box1.sum / h.gc.box1.length, before_mean, 1e-6);
    EXPECT_EQ(h.gc.box1.index, 0);
}

TEST(GainComputer, HoldKeepsTheReductionBeforeTheRelease) {
    const int32_t n = 4, hold = 20;
    fixture f(n, false, hold, 50.0);
    gain_computer_set_smoothing(&f.gc, n, 0.0); // ramp of 2: the gain follows the minimum
    std::vector<double> g;
    for (int i = 0; i < 60; ++i)
        g.push_back(f.tick(i == 0 ? 0.5f : 1.0f));
    // Two boxes of one tap: the gain follows the minimum at once. The reduction stays constant through
    // the window and on through the hold, which counts from the last increase (tick 0).
    EXPECT_NEAR(g[0], 0.5, 1e-6);
    for (int i = 1; i <= hold; ++i)
        EXPECT_EQ(g[i], g[0]) << i;
    EXPECT_GT(g[hold + 1], g[0]);
}

TEST(GainComputer, ResetRestoresUnity) {
    fixture f(16, true, 3);
    for (int i = 0; i < 100; ++i)
        f.tick(0.3f);
    gain_computer_reset(&f.gc);
    EXPECT_EQ(f.gc.head, f.gc.tail);
    EXPECT_EQ(f.gc.box1.sum, f.gc.box1.length);
    EXPECT_EQ(f.tick(1.0f), 1.0);
}
