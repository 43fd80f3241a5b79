// Guards against loudness readings that are off: wrong K-weighting, sub-block timing, channel sums,
// gating or histogram binning, readings that appear too early or never go away, and a meter that a
// single bad sample silences for good.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "loudness.h"
#include "loudness_test.h"

using namespace loudness_test;

namespace {

double ms_of_lufs(double l) {
    return std::pow(10.0, (l + 0.691) / 10.0);
}

} // namespace

TEST(Loudness, KWeightingAt48k) {
    loudness_meter m;
    loudness_init(&m, 48000);
    EXPECT_NEAR(m.shelf_l.b0, 1.53512486, 1e-8);
    EXPECT_NEAR(m.shelf_l.b1, -2.69169619, 1e-8);
    EXPECT_NEAR(m.shelf_l.b2, 1.19839281, 1e-8);
    EXPECT_NEAR(m.shelf_l.a1, -1.69065929, 1e-8);
    EXPECT_NEAR(m.shelf_l.a2, 0.73248077, 1e-8);
    EXPECT_NEAR(m.highpass_r.a1, -1.99004745, 1e-8);
    EXPECT_NEAR(m.highpass_r.a2, 0.99007225, 1e-8);
    EXPECT_EQ(m.highpass_l.b0, 1.0);
    EXPECT_EQ(m.highpass_l.b1, -2.0);
    EXPECT_EQ(m.highpass_l.b2, 1.0);
    EXPECT_EQ(std::memcmp(&m.shelf_l, &m.shelf_r, sizeof(biquad)), 0);
}

TEST(Loudness, SubBlockLength) {
    const std::pair<double, int32_t> rows[] = {{44100, 4410}, {48000, 4800}, {96000, 9600},
                                               {11025, 1103}, {8000, 800},   {0.0, 1}};
    for (const auto& [fs, len] : rows) {
        loudness_meter m;
        loudness_init(&m, fs);
        EXPECT_EQ(m.block_length, len) << fs;
        EXPECT_EQ(m.momentary, LOUDNESS_NONE);
        EXPECT_EQ(m.integrated, LOUDNESS_NONE);
    }
}

// The two channels run side by side; each must do exactly the scalar filter steps.
TEST(Loudness, ChannelsFollowTheScalarFilters) {
    loudness_meter m;
    loudness_init(&m, 44100);
    biquad f[4] = {m.shelf_l, m.highpass_l, m.shelf_r, m.highpass_r};
    auto step = [](biquad& q, double x) {
        const double y = q.b0 * x + q.s1;
        q.s1 = q.b1 * x - q.a1 * y + q.s2;
        q.s2 = q.b2 * x - q.a2 * y;
        return y;
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> l(3000), r(3000);
    double el = 0, er = 0;
    for (size_t i = 0; i < l.size(); ++i) {
        l[i] = u(rng);
        r[i] = 0.5f * u(rng);
        const double zl = step(f[1], step(f[0], l[i]));
        const double zr = step(f[3], step(f[2], r[i]));
        el += zl * zl;
        er += zr * zr;
    }
    loudness_process(&m, l.data(), r.data(), 1000);
    loudness_process(&m, l.data() + 1000, r.data() + 1000, 2000);
    EXPECT_EQ(m.energy_l, el);
    EXPECT_EQ(m.energy_r, er);
    EXPECT_EQ(m.highpass_r.s1, f[3].s1);
    EXPECT_EQ(m.shelf_l.s2, f[0].s2);
}

TEST(Loudness, FullScaleSineReadsZero) {
    for (double fs : {48000.0, 44100.0}) {
        const std::vector<float> period = sine_period(fs, 997.0, 0.0);
        loudness_meter both, one, mono;
        loudness_init(&both, fs);
        loudness_init(&one, fs);
        loudness_init(&mono, fs);
        std::vector<float> sig, zero;
        while (sig.size() < static_cast<size_t>(5 * fs))
            sig.insert(sig.end(), period.begin(), period.end());
        zero.assign(sig.size(), 0.0f);
        loudness_process(&both, sig.data(), sig.data() + 0, static_cast<uint32_t>(sig.size()));
        std::vector<float> copy = sig;
        loudness_process(&one, copy.data(), zero.data(), static_cast<uint32_t>(sig.size()));
        loudness_process(&mono, sig.data(), sig.data(), static_cast<uint32_t>(sig.size()));
        for (double v : {both.momentary, both.short_term, both.integrated})
            EXPECT_NEAR(v, 0.0, 0.02) << fs;
        for (double v : {one.momentary, one.short_term, one.integrated})
            EXPECT_NEAR(v, -3.01, 0.02) << fs;
        // A mono bus (one buffer for both sides) counts the channel twice.
        EXPECT_NEAR(mono.integrated - one.integrated, 3.0103, 0.001);
    }
}

TEST(Loudness, SilenceReadsNothing) {
    loudness_meter m;
    loudness_init(&m, 48000);
    std::vector<float> z(48000 * 4, 0.0f);
    loudness_process(&m, z.data(), z.data(), static_cast<uint32_t>(z.size()));
    EXPECT_EQ(m.momentary, LOUDNESS_NONE);
    EXPECT_EQ(m.short_term, LOUDNESS_NONE);
    EXPECT_EQ(m.integrated, LOUDNESS_NONE);
    EXPECT_EQ(m.block_count, 30);
    loudness_process(&m, z.data(), z.data(), 0);
    EXPECT_EQ(m.block_fill, 0);
}

TEST(Loudness, ReadingsAppearOnTime) {
    loudness_meter m;
    loudness_init(&m, 48000);
    const std::vector<float> p = sine_period(48000, 1000, -20);
    std::vector<float> sig;
    while (sig.size() < 48000)
        sig.insert(sig.end(), p.begin(), p.end());
    for (int round = 0; round < 2; ++round) {
        // 100 ms less one sample: nothing yet
        loudness_process(&m, sig.data(), sig.data(), 4799);
        EXPECT_EQ(m.short_term, LOUDNESS_NONE);
        loudness_process(&m, sig.data() + 4799, sig.data() + 4799, 1);
        EXPECT_NEAR(m.short_term, -20.0, 0.05);
        EXPECT_EQ(m.momentary, LOUDNESS_NONE);
        loudness_process(&m, sig.data() + 4800, sig.data() + 4800, 3 * 4800 - 1);
        EXPECT_EQ(m.momentary, LOUDNESS_NONE);
        loudness_process(&m, sig.data() + 4 * 4800 - 1, sig.data() + 4 * 4800 - 1, 1);
        EXPECT_NEAR(m.momentary, -20.0, 0.05);
        EXPECT_NEAR(m.integrated, -20.0, 0.05);
        loudness_reset(&m);
        EXPECT_EQ(m.momentary, LOUDNESS_NONE);
        EXPECT_EQ(m.short_term, LOUDNESS_NONE);
        EXPECT_EQ(m.integrated, LOUDNESS_NONE);
        EXPECT_EQ(m.shelf_l.s1, 0.0);
    }
}

TEST(Loudness, MeanOfLast) {
    loudness_meter m;
    loudness_init(&m, 48000);
    EXPECT_EQ(loudness_mean_of_last(&m, 4), 0.0);
    for (int k = 0; k < 33; ++k) {
        m.blocks[m.block_next] = k;
        m.block_next = (m.block_next + 1) % LOUDNESS_RING;
        m.block_count = std::min(m.block_count + 1, LOUDNESS_RING);
    }
    EXPECT_EQ(loudness_mean_of_last(&m, 4), (32 + 31 + 30 + 29) / 4.0);
    EXPECT_EQ(loudness_mean_of_last(&m, 100), (32 + 3) / 2.0);
    EXPECT_EQ(loudness_mean_of_last(&m, 0), 0.0);
}

TEST(Loudness, GatingEdges) {
    struct row {
        const char* what;
        std::vector<double> blocks_lufs;
        double integrated;
        int32_t bin; // bin that received the last block, -1 for none
    };
    const row rows[] = {
        {"below the absolute gate", {-75.0, -75.0}, LOUDNESS_NONE, -1},
        {"loud block in the last bin", {10.0}, 10.0, 749},
        {"4.95 LUFS in the last bin", {4.95}, 4.95, 749},
        {"first bin", {-69.95}, -69.95, 0},
        {"ungated above +15: gate beyond the last bin", {20.0, 20.0}, LOUDNESS_NONE, 749},
        {"quiet blocks bring it back", {20.0, -10.0, -10.0, -10.0, -10.0, -10.0, -10.0, -10.0}, 20.0, 600},
    };
    for (const row& r : rows) {
        loudness_meter m;
        loudness_init(&m, 48000);
        for (double l : r.blocks_lufs)
            loudness_integrated_update(&m, ms_of_lufs(l));
        if (r.integrated == LOUDNESS_NONE) {
            EXPECT_EQ(m.integrated, LOUDNESS_NONE) << r.what;
        } else {
            EXPECT_NEAR(m.integrated, r.integrated, 0.02) << r.what;
        }
        if (r.bin >= 0) {
            EXPECT_GE(m.gate_counts[r.bin], 1u) << r.what;
        } else {
            uint32_t n = 0;
            for (uint32_t c : m.gate_counts)
                n += c;
            EXPECT_EQ(n, 0u) << r.what;
        }
    }
    // Non-positive and non-finite mean squares are passed over.
    loudness_meter m;
    loudness_init(&m, 48000);
    loudness_integrated_update(&m, 0.0);
    loudness_integrated_update(&m, NAN);
    loudness_integrated_update(&m, -1.0);
    EXPECT_EQ(m.integrated, LOUDNESS_NONE);
    loudness_integrated_update(&m, INFINITY);
    loudness_integrated_update(&m, ms_of_lufs(-20));
    EXPECT_EQ(m.gate_counts[749], 1u);
}

// 10 s at -20 then 10 s at -40: the relative gate (ungated about -23, gate about -33) drops the
// quiet half.
TEST(Loudness, RelativeGateDropsTheQuietPart) {
    loudness_meter m;
    loudness_init(&m, 48000);
    feed_segments(&m, 48000, {{-20.0, 10.0}, {-40.0, 10.0}});
    EXPECT_NEAR(m.integrated, -20.0, 0.1); // the 400 ms blocks across the step count as well
    EXPECT_NEAR(m.momentary, -40.0, 0.05);
}

TEST(Loudness, AQuietProgrammeNeverEntersTheHistogram) {
    loudness_meter m;
    loudness_init(&m, 48000);
    feed_segments(&m, 48000, {{-75.0, 3.0}});
    EXPECT_NEAR(m.momentary, -75.0, 0.05);
    EXPECT_EQ(m.integrated, LOUDNESS_NONE);
}

// A NaN or an infinity is confined to its 100 ms sub-block: every reading is back once that has
// left the 3 s window, the integrated one included.
TEST(Loudness, ABadSampleDoesNotSilenceTheMeter) {
    for (float v : {NAN, INFINITY, -INFINITY}) {
        // First, inside and last sample of a sub-block (2 s of tone end one exactly).
        for (uint32_t at : {0u, 1234u, 4799u}) {
            loudness_meter m;
            loudness_init(&m, 48000);
            feed_segments(&m, 48000, {{-20.0, 2.0}});
            std::vector<float> bad(at + 1, 0.0f);
            bad[at] = v;
            loudness_process(&m, bad.data(), bad.data(), at + 1);
            feed_segments(&m, 48000, {{-20.0, 3.2}});
            EXPECT_NEAR(m.momentary, -20.0, 0.05) << v << " at " << at;
            EXPECT_NEAR(m.short_term, -20.0, 0.05) << v << " at " << at;
            EXPECT_NEAR(m.integrated, -20.0, 0.05) << v << " at " << at;
        }
    }
}

// EBU Tech 3341 minimum-requirement cases that a stereo meter can be given as generated signals:
// 1 kHz sines in both channels.
TEST(Loudness, EbuTech3341) {
    for (double fs : {48000.0, 44100.0}) {
        struct row {
            const char* name;
            std::vector<segment> segments;
            bool momentary_and_short; // check M and S at the end too
        };
        const row rows[] = {
            {"case 1: -23 dBFS", {{-23, 20}}, true},
            {"case 2: -33 dBFS", {{-33, 20}}, true},
            {"case 3: -36/-23/-36", {{-36, 10}, {-23, 60}, {-36, 10}}, false},
            {"case 4: -72/-36/-23/-36/-72", {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, false},
            {"case 5: -26/-20/-26", {{-26, 20}, {-20, 20.1}, {-26, 20}}, false},
        };
        for (const row& r : rows) {
            loudness_meter m;
            loudness_init(&m, fs);
            feed_segments(&m, fs, r.segments);
            const double target = r.segments.size() == 1 ? r.segments[0].dbfs : -23.0;
            EXPECT_NEAR(m.integrated, target, 0.1) << r.name << " at " << fs;
            if (r.momentary_and_short) {
                EXPECT_NEAR(m.momentary, target, 0.1) << r.name << " at " << fs;
                EXPECT_NEAR(m.short_term, target, 0.1) << r.name << " at " << fs;
            }
        }
        // Case 9: 1.34 s at -20 dBFS and 1.66 s at -30 dBFS, 20 times: every 3 s window reads -23.
        std::vector<segment> alternating;
        for (int k = 0; k < 20; ++k) {
            alternating.push_back({-20, 1.34});
            alternating.push_back({-30, 1.66});
        }
        loudness_meter m;
        loudness_init(&m, fs);
        double lo = 100, hi = -100;
        int32_t last_next = 0;
        feed_segments(&m, fs, alternating, [&](size_t fed) {
            if (fed > static_cast<size_t>(3.2 * fs) && m.block_next != last_next) {
                lo = std::min(lo, m.short_term);
                hi = std::max(hi, m.short_term);
            }
            last_next = m.block_next;
        });
        EXPECT_GT(lo, -23.1) << fs;
        EXPECT_LT(hi, -22.9) << fs;
        EXPECT_LT(lo, hi);
    }
}
