// Guards the stage against hostile input audio as a host can deliver it: one NaN, infinity or
// absurd finite sample must neither pass to the output nor spoil the limiter, the dither's error
// feedback or the loudness meter; the count of non-finite samples reaches the host log from the main
// thread only; and no output channel is ever reported constant.
#include <cfloat>
#include <cmath>
#include <string>

#include "core_test_support.h"

namespace {

struct active_stage : test_stage {
    explicit active_stage(fake_host& host) : test_stage(host) {
        EXPECT_TRUE(plugin->activate(plugin, 48000.0, 1, 512));
    }
};

// Two steady tones peaking near 0.9, 12 dB of Gain against a -1 dB ceiling.
void fill_tones(test_audio& a, uint64_t first_frame) {
    for (uint32_t i = 0; i < a.frames; ++i) {
        const double t = static_cast<double>(first_frame + i) / 48000.0;
        a.in[0][i] = static_cast<float>(0.9 * std::sin(2 * 3.14159265358979 * 440.0 * t));
        a.in[1][i] = static_cast<float>(0.8 * std::sin(2 * 3.14159265358979 * 660.0 * t + 0.3));
    }
}

bool logged_count(const fake_host& host, const std::string& count) {
    for (const std::string& line : host.logs)
        if (line.find("non-finite") != std::string::npos && line.find(" " + count + " ") != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(HostileAudio, ABadSampleIsHarmless) {
    const float bad_values[] = {NAN, INFINITY, -INFINITY, 1e30f, -1e30f, FLT_MAX};
    struct dither_setting {
        const char* name;
        double dither, shaping;
    } const dithers[] = {{"dither off", 0, 0}, {"Light", 1, 1}, {"Weighted", 2, 2}};
    const double ceiling = std::pow(10.0, -1.0 / 20.0);
    const int blocks = static_cast<int>(5.0 * 48000 / 512);
    const int hit_block = static_cast<int>(0.5 * 48000 / 512);
    auto configure = [](const test_stage& s, const dither_setting& d) {
        s.set(PARAM_GAIN, 12.0);
        s.set(PARAM_CEILING, -1.0);
        s.set(PARAM_DITHER, d.dither);
        s.set(PARAM_NOISE_SHAPING, d.shaping);
    };
    for (const dither_setting& d : dithers) {
        // The readings of the clean programme.
        float clean_momentary, clean_short_term, clean_integrated;
        {
            fake_host twin_host;
            active_stage twin(twin_host);
            configure(twin, d);
            test_audio clean(512);
            for (int k = 0; k < blocks; ++k) {
                fill_tones(clean, static_cast<uint64_t>(k) * 512);
                run_process(twin.plugin, &clean, nullptr, nullptr);
            }
            clean_momentary = shm_load(twin.slot()->momentary_lufs);
            clean_short_term = shm_load(twin.slot()->short_term_lufs);
            clean_integrated = shm_load(twin.slot()->integrated_lufs);
        }
        for (float bad : bad_values) {
            for (uint32_t at : {0u, 257u, 511u}) {
                fake_host host;
                active_stage stage(host);
                configure(stage, d);
                const std::string what = std::to_string(bad) + " at " + std::to_string(at) + ", " + d.name;
                // Dither may add its noise (a few steps) to a peak held at the ceiling.
                const double dither_room = d.dither > 0 ? 64.0 / 32768.0 : 0.0;
                test_audio block(512);
                for (int k = 0; k < blocks; ++k) {
                    fill_tones(block, static_cast<uint64_t>(k) * 512);
                    const bool hit = k == hit_block;
                    if (hit) {
                        block.in[0][at] = bad;
                        block.in[1][511 - at] = bad;
                        block.output.constant_mask = 3; // stale bits from the host
                    }
                    run_process(stage.plugin, &block, nullptr, nullptr);
                    EXPECT_EQ(block.output.constant_mask, 0u) << what;
                    for (int c = 0; c < 2; ++c)
                        for (uint32_t i = 0; i < 512; ++i) {
                            const float v = block.result(c)[i];
                            ASSERT_TRUE(std::isfinite(v)) << what << ", block " << k << " sample " << i;
                            ASSERT_LE(std::fabs(v), ceiling * (1.0 + 1e-5) + dither_room)
                                << what << ", block " << k << " sample " << i;
                        }
                }
                // 4.5 s after the bad sample (and after the release of the reduction that an absurd
                // finite one calls for) the momentary and short-term readings are those of the clean
                // programme again, and the integrated one reads (the disturbance is in it).
                const shm_slot* slot = stage.slot();
                EXPECT_NEAR(shm_load(slot->momentary_lufs), clean_momentary, 0.05) << what;
                EXPECT_NEAR(shm_load(slot->short_term_lufs), clean_short_term, 0.05) << what;
                EXPECT_NEAR(shm_load(slot->integrated_lufs), clean_integrated, 1.0) << what;
                EXPECT_GT(shm_load(slot->output_true_peak), 0.5f) << what;
                EXPECT_LT(shm_load(slot->min_gain), 0.5f) << what; // still limiting

                // Non-finite samples are counted (one per channel here) and logged on the main
                // thread, after the callback the audio thread asked for; finite ones are not.
                const bool non_finite = !std::isfinite(bad);
                EXPECT_TRUE(host.logs.empty()) << what; // nothing logged from the audio thread
                stage.plugin->on_main_thread(stage.plugin);
                EXPECT_EQ(logged_count(host, "2"), non_finite) << what;
                const size_t lines = host.logs.size();
                stage.plugin->on_main_thread(stage.plugin); // an unchanged count is not repeated
                stage.plugin->deactivate(stage.plugin);
                EXPECT_EQ(host.logs.size(), lines) << what;
            }
        }
    }
}

// A mono input feeding a stereo output counts each bad input sample once.
TEST(HostileAudio, MonoInputCountsOnce) {
    fake_host host;
    active_stage stage(host);
    test_audio block(64, 1, 2);
    block.in[0][10] = NAN;
    block.in[0][20] = -INFINITY;
    run_process(stage.plugin, &block, nullptr, nullptr);
    for (int c = 0; c < 2; ++c)
        for (uint32_t i = 0; i < 64; ++i)
            ASSERT_TRUE(std::isfinite(block.result(c)[i]));
    stage.plugin->deactivate(stage.plugin);
    EXPECT_TRUE(logged_count(host, "2"));
}
