// Guards against dither that quantises to the wrong grid, exceeds full scale, drifts the average,
// steps its generator wrongly, or gives a different result in the two-channel path than channel by
// channel (for any input, with or without flushed denormals).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "dither.h"

namespace {

dither_state seeded(uint64_t r) {
    dither_state st;
    std::memset(&st, 0x5a, sizeof(st)); // seeding must overwrite everything
    dither_seed(&st, r);
    return st;
}

} // namespace

TEST(Dither, GeneratorAndSeeds) {
    EXPECT_EQ(dither_xorshift32(1u), 270369u);
    const dither_state st = seeded(0x123456789abcdef0ull);
    EXPECT_EQ(st.rng[0], 0x9abcdef0u | 1u);
    EXPECT_EQ(st.rng[1], (0x9abcdef0u * 2654435761u) | 1u);
    EXPECT_EQ(st.position[0], 0u);
    EXPECT_EQ(st.error[1][15], 0.0);
    const dither_state zero = seeded(0);
    EXPECT_EQ(zero.rng[0], 1u);
    EXPECT_EQ(zero.rng[1], 1u);
}

// Silence, 16 bit, no shaping: every output is -1, 0 or +1 step. Full scale: never above 1.0.
TEST(Dither, SixteenBitValues) {
    dither_state st = seeded(99);
    std::vector<float> buf(20000, 0.0f);
    apply_dither(&st, 0, buf.data(), static_cast<int32_t>(buf.size()), 2, 0);
    int seen[3] = {};
    for (float v : buf) {
        const float steps = v * 32768.0f;
        ASSERT_TRUE(steps == -1.0f || steps == 0.0f || steps == 1.0f) << v;
        ++seen[static_cast<int>(steps) + 1];
    }
    EXPECT_GT(seen[0], 1000);
    EXPECT_GT(seen[2], 1000);
    std::vector<float> one(20000, 1.0f);
    apply_dither(&st, 1, one.data(), static_cast<int32_t>(one.size()), 2, 0);
    for (float v : one)
        ASSERT_TRUE(v == 1.0f || v == 32767.0f / 32768.0f) << v;
}

TEST(Dither, GridsAndClamp) {
    struct row {
        int32_t mode;
        double q;
    };
    for (const row r : {row{0, 8388608.0}, row{1, 8388608.0}, row{2, 32768.0}, row{7, 8388608.0}}) {
        for (int32_t shaping : {0, 1, 2}) {
            dither_state st = seeded(5);
            std::vector<float> buf(4096);
            for (size_t i = 0; i < buf.size(); ++i)
                buf[i] = static_cast<float>(1.3 * std::sin(0.01 * static_cast<double>(i)));
            apply_dither(&st, 0, buf.data(), static_cast<int32_t>(buf.size()), r.mode, shaping);
            for (float v : buf) {
                const double steps = static_cast<double>(v) * r.q;
                ASSERT_EQ(steps, std::floor(steps)) << r.mode << " " << shaping;
                ASSERT_LE(std::fabs(v), 1.0f);
            }
        }
    }
}

// First-order shaping feeds each error back with the opposite sign on the next sample, so the
// long-run mean equals the input; the frame count 0 touches nothing.
TEST(Dither, LightShapingKeepsTheMean) {
    dither_state st = seeded(7);
    const float x = 0.3f + 0.37f / 32768.0f;
    std::vector<float> buf(100000, x);
    apply_dither(&st, 0, buf.data(), static_cast<int32_t>(buf.size()), 2, 1);
    double sum = 0.0;
    for (float v : buf)
        sum += v;
    EXPECT_NEAR(sum / buf.size(), x, 0.02 / 32768.0);

    const dither_state before = st;
    apply_dither(&st, 0, buf.data(), 0, 2, 1);
    apply_dither(&st, 2, buf.data(), 10, 2, 1); // no such channel: nothing is touched
    apply_dither(&st, -1, buf.data(), 10, 2, 1);
    apply_dither_stereo(&st, buf.data(), buf.data() + 1, 0, 2, 1);
    EXPECT_EQ(std::memcmp(&before, &st, sizeof(st)), 0);
}

// The two-channel path equals channel 0 then channel 1, bit for bit, in every mode and shaping,
// with the two rings at different positions and inputs beyond full scale; a mono buffer is
// dithered once with channel 0.
TEST(Dither, StereoPathEqualsChannelByChannel) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.2f, 1.2f);
    for (int32_t mode : {1, 2}) {
        for (int32_t shaping : {0, 1, 2, 5}) {
            dither_state a = seeded(0xfeedbeefcafeull), b = a;
            // put channel 0 a few samples ahead
            std::vector<float> pre(5, 0.25f), pre2 = pre;
            apply_dither(&a, 0, pre.data(), 5, mode, shaping);
            apply_dither(&b, 0, pre2.data(), 5, mode, shaping);
            for (int32_t frames : {1, 17, 1000}) {
                std::vector<float> l(frames), r(frames);
                for (int32_t i = 0; i < frames; ++i) {
                    l[i] = u(rng);
                    r[i] = i % 50 == 0 ? 1e30f : u(rng) * 1e-3f;
                }
                std::vector<float> l2 = l, r2 = r;
                apply_dither(&a, 0, l.data(), frames, mode, shaping);
                apply_dither(&a, 1, r.data(), frames, mode, shaping);
                apply_dither_stereo(&b, l2.data(), r2.data(), frames, mode, shaping);
                ASSERT_EQ(std::memcmp(l.data(), l2.data(), l.size() * 4), 0) << mode << " " << shaping;
                ASSERT_EQ(std::memcmp(r.data(), r2.data(), r.size() * 4), 0) << mode << " " << shaping;
                ASSERT_EQ(std::memcmp(&a, &b, sizeof(a)), 0) << mode << " " << shaping;
            }
        }
    }
    dither_state a = seeded(11), b = a;
    std::vector<float> m(300, 0.1f), m2 = m;
    apply_dither(&a, 0, m.data(), 300, 1, 2);
    apply_dither_stereo(&b, m2.data(), m2.data(), 300, 1, 2);
    EXPECT_EQ(m, m2);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
    EXPECT_EQ(b.position[1], 0u);
}

// The two-channel path takes a faster route where it can prove the same bits and falls back where it
// cannot; every kind of input that crosses that line, with denormals kept and with them flushed,
// must still match channel-by-channel processing bit for bit, state included.
TEST(Dither, StereoPathEqualsChannelByChannelOnExtremeInput) {
    struct signal {
        const char* name;
        float (*at)(int32_t i, float u);
    };
    const signal signals[] = {
        {"full scale and beyond", [](int32_t, float u) { return u * 1.5f; }},
        {"one NaN", [](int32_t i, float u) { return i == 90 ? std::nanf("") : u; }},
        {"one infinity", [](int32_t i, float u) { return i == 150 ? -INFINITY : u * 0.5f; }},
        {"denormal floats", [](int32_t i, float u) { return i % 3 ? u * 1e-39f : 0.0f; }},
        {"tiny then loud", [](int32_t i, float u) { return i < 200 ? u * 1e-30f : u; }},
        {"absurd level, then quiet", [](int32_t i, float u) { return i < 100 ? u * 3e38f : u * 0.01f; }},
        {"signed zeros", [](int32_t i, float) { return i % 2 ? -0.0f : 0.0f; }},
    };
#if defined(__SSE2__)
    const unsigned int csr = _mm_getcsr();
#endif
    for (bool flush : {false, true}) {
#if defined(__SSE2__)
        _mm_setcsr(flush ? (csr | 0x8040) : (csr & ~0x8040u));
#endif
        for (const signal& sig : signals) {
            // Error rings as the generator never leaves them, but a record can hold: near overflow
            // once scaled to steps, and in or near the denormal range.
            for (double fill : {0.0, 1e305, -1e-300, 1e-310, -3e-320})
                for (int32_t shaping : {1, 2}) {
                    std::mt19937 rng(7);
                    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
                    dither_state a = seeded(0x5eed5eedull);
                    for (int ch = 0; ch < 2; ++ch)
                        for (int k = 0; k < DITHER_ERROR_RING; ++k)
                            a.error[ch][k] = fill * (k % 3 ? 1.0 : -0.5);
                    dither_state b = a;
                    for (int32_t frames : {63, 64, 65, 700}) {
                        std::vector<float> l(frames), r(frames);
                        for (int32_t i = 0; i < frames; ++i) {
                            l[i] = sig.at(i, u(rng));
                            r[i] = sig.at(frames - 1 - i, u(rng));
                        }
                        std::vector<float> l2 = l, r2 = r;
                        apply_dither(&a, 0, l.data(), frames, 1, shaping);
                        apply_dither(&a, 1, r.data(), frames, 1, shaping);
                        apply_dither_stereo(&b, l2.data(), r2.data(), frames, 1, shaping);
                        ASSERT_EQ(std::memcmp(l.data(), l2.data(), l.size() * 4), 0)
                            << sig.name << " fill " << fill << " flush " << flush << " shaping " << shaping
                            << " frames " << frames;
                        ASSERT_EQ(std::memcmp(r.data(), r2.data(), r.size() * 4), 0)
                            << sig.name << " fill " << fill << " flush " << flush << " shaping " << shaping
                            << " frames " << frames;
                        ASSERT_EQ(std::memcmp(&a, &b, sizeof(a)), 0)
                            << sig.name << " fill " << fill << " flush " << flush << " shaping " << shaping
                            << " frames " << frames;
                    }
                }
        }
    }
#if defined(__SSE2__)
    _mm_setcsr(csr);
#endif
}

// One absurd or non-finite sample must not live on in the error feedback: the rings stay finite
// and within one unit, and a few samples later silence dithers as it did before.
TEST(Dither, ABadSampleDoesNotLiveOnInTheFeedback) {
    const float bad_values[] = {std::nanf(""), INFINITY, -INFINITY, 1e30f, -1e30f, 3.4028235e38f};
    for (float bad : bad_values)
        for (int32_t at : {0, 37, 63})
            for (int32_t mode : {1, 2})
                for (int32_t shaping : {0, 1, 2}) {
                    dither_state st = seeded(0xbadull);
                    const double q = mode == 2 ? 32768.0 : 8388608.0;
                    std::vector<float> l(400, 0.0f), r(400, 0.0f);
                    l[static_cast<size_t>(at)] = bad;
                    r[static_cast<size_t>(at) + 1] = bad;
                    for (int32_t done = 0; done < 400; done += 64) {
                        const int32_t n = std::min(64, 400 - done);
                        apply_dither_stereo(&st, l.data() + done, r.data() + done, n, mode, shaping);
                        for (int ch = 0; ch < 2; ++ch)
                            for (double e : st.error[ch])
                                ASSERT_TRUE(std::fabs(e) <= 1.0)
                                    << bad << " at " << at << " shaping " << shaping;
                    }
                    for (size_t i = static_cast<size_t>(at) + 40; i < l.size(); ++i) {
                        ASSERT_LE(std::fabs(l[i]) * q, 64.0) << bad << " at " << at << " shaping " << shaping;
                        ASSERT_LE(std::fabs(r[i]) * q, 64.0) << bad << " at " << at << " shaping " << shaping;
                    }
                }
}

// The weighted curve pushes the noise up in frequency: below fs/64 the shaped error has far less
// energy than unshaped dither (the curve's gain at DC is 1 - sum c = 0.25, about -12 dB).
TEST(Dither, WeightedShapingMovesNoiseUp) {
    auto low_band_energy = [](int32_t shaping) {
        dither_state st = seeded(21);
        const size_t n = 1 << 13;
        std::vector<float> buf(n, 0.001f);
        apply_dither(&st, 0, buf.data(), static_cast<int32_t>(n), 2, shaping);
        double energy = 0.0;
        for (size_t k = 1; k < n / 64; ++k) {
            double re = 0.0, im = 0.0;
            for (size_t i = 0; i < n; ++i) {
                const double a = 2.0 * 3.14159265358979323846 * static_cast<double>(k * i % n) / n;
                re += (buf[i] - 0.001) * std::cos(a);
                im += (buf[i] - 0.001) * std::sin(a);
            }
            energy += re * re + im * im;
        }
        return energy;
    };
    EXPECT_LT(low_band_energy(2), 0.2 * low_band_energy(0));
}
