// Guards against the plain-SSE2 rounding of the two-channel dither path (used on processors without
// SSE4.1) differing from the one-channel path. This program never seeds through dither_seed, which
// would select the SSE4.1 rounding on a processor that has it.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dither.h"

TEST(DitherPortable, StereoPathEqualsChannelByChannel) {
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(-1.1f, 1.1f);
    for (int32_t mode : {1, 2}) {
        for (int32_t shaping : {0, 1, 2}) {
            dither_state a{};
            a.rng[0] = 0x12345u;
            a.rng[1] = 0xabcdefu;
            dither_state b = a;
            for (int32_t frames : {1, 33, 2000}) {
                std::vector<float> l(frames), r(frames);
                for (int32_t i = 0; i < frames; ++i) {
                    l[i] = i % 97 == 0 ? -0.0f : u(rng);
                    r[i] = i % 61 == 0 ? 3e9f : u(rng) * 1e-4f;
                }
                std::vector<float> l2 = l, r2 = r;
                apply_dither(&a, 0, l.data(), frames, mode, shaping);
                apply_dither(&a, 1, r.data(), frames, mode, shaping);
                apply_dither_stereo(&b, l2.data(), r2.data(), frames, mode, shaping);
                ASSERT_EQ(std::memcmp(l.data(), l2.data(), l.size() * 4), 0) << mode << " " << shaping;
                ASSERT_EQ(std::memcmp(r.data(), r2.data(), r.size() * 4), 0) << mode << " " << shaping;
                ASSERT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
            }
        }
    }
}
