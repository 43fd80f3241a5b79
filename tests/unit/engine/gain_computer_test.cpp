// Guards against a gain computer that lets reduction come late or leave early: a window minimum that
// forgets a target too soon or keeps it too long, ramps of the wrong length, a level jump or a ramp
// thrown back when the ramp length changes, holds of the wrong length, or an unbounded reduction for
// a zero target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "gain_computer.h"
#include "gain_computer_inline.h"
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

// A length change keeps the newest taps: a shorter box drops the oldest, a longer one repeats its
// oldest value in front. A steady level therefore continues exactly, and a ramp under way keeps the
// part of it that has already come down.
TEST(GainComputer, ChangingTheRampKeepsTheNewestTaps) {
    fixture f(64);
    double g = 0.0;
    for (int i = 0; i < 400; ++i)
        g = f.tick(0.25f);
    for (double fraction : {0.35, 1.0, 0.5, 0.8}) {
        gain_computer_set_smoothing(&f.gc, 64, fraction);
        const double next = f.tick(0.25f);
        EXPECT_EQ(next, g) << fraction;
        g = next;
    }

    struct row {
        int32_t from, to;
        std::vector<float> taps; // oldest first, after the change
    };
    // Values 1..from pushed into a box of `from` taps after it had wrapped (the index is not 0).
    const row rows[] = {
        {5, 3, {3, 4, 5}},          {5, 1, {5}},          {5, 7, {1, 1, 1, 2, 3, 4, 5}},
        {3, 6, {1, 1, 1, 1, 2, 3}}, {1, 4, {1, 1, 1, 1}}, {6, 6, {1, 2, 3, 4, 5, 6}},
    };
    for (const row& r : rows) {
        boxcar box{};
        ASSERT_EQ(boxcar_init(&box, 8, 0.5f), 1);
        boxcar_set_length(&box, r.from);
        for (int i = 0; i < r.from + 2; ++i)
            gain_computer_detail::boxcar_push(&box, static_cast<float>(i < 2 ? 9 : i - 1));
        boxcar_set_length(&box, r.to);
        const std::vector<float>& expect = r.taps;
        ASSERT_EQ(box.length, static_cast<int32_t>(expect.size())) << r.from << " -> " << r.to;
        double sum = 0.0;
        for (int32_t k = 0; k < box.length; ++k) {
            // oldest first from the index on
            EXPECT_EQ(box.taps[(box.index + k) % box.length], expect[static_cast<size_t>(k)])
                << r.from << " -> " << r.to << " tap " << k;
            sum += expect[static_cast<size_t>(k)];
        }
        EXPECT_EQ(box.sum, sum) << r.from << " -> " << r.to;
        // The running mean goes on from there: the next value replaces the oldest.
        const float next = gain_computer_detail::boxcar_push(&box, 10.0f);
        EXPECT_FLOAT_EQ(next, static_cast<float>((sum - expect[0] + 10.0) / box.length));
        boxcar_free(&box);
    }
}

// The safety rule behind the length change. The sample that leaves the stage's delay line at tick t
// was seen by the detector at ticks t - n - 1 (the sample itself) and t - n (the points after it), so
// the gain of tick t must lie at or below both targets, through any sequence of ramp changes. Every
// tap of either box is a real earlier value, and box1 + box2 never exceed n, so the gain is always a
// weighted mean of window minima taken at ticks t - n + 2 .. t, each of which covers both targets.
TEST(GainComputer, GainCoversTheLeavingSampleThroughRampChanges) {
    const double fractions[] = {1.0, 0.8, 0.5, 0.35};
    for (int32_t n : {4, 5, 12, 33, 72}) {
        for (bool adaptive : {false, true}) {
            fixture f(n, adaptive, n / 3, 3.0);
            std::mt19937 rng(static_cast<unsigned>(n * 2 + adaptive));
            std::uniform_real_distribution<float> level(0.05f, 1.0f);
            std::vector<float> targets;
            int next_change = 0;
            for (int t = 0; t < 20000; ++t) {
                if (t == next_change) {
                    gain_computer_set_smoothing(&f.gc, n, fractions[rng() % 4]);
                    const int spans[] = {1, 1, 2, 3, 7, 10, 20, 40};
                    next_change = t + spans[rng() % 8];
                }
                // Runs of silence and lone peaks among dense stretches.
                const unsigned kind = (static_cast<unsigned>(t) / 97) % 3;
                const float v = kind == 0 ? 1.0f : (kind == 1 && rng() % 29 ? 1.0f : level(rng));
                targets.push_back(v);
                const double g = f.tick(v);
                if (t >= n + 1) {
                    const float need = std::min(targets[static_cast<size_t>(t - n - 1)],
                                                targets[static_cast<size_t>(t - n)]);
                    ASSERT_LE(g, need * (1.0 + 1e-6))
                        << "n " << n << ", adaptive " << adaptive << ", tick " << t;
                }
            }
        }
    }
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
