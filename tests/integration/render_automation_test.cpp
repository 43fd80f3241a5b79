// Guards the ceiling on the render path as a host's automation reaches it: lodrin-host renders the
// demo programme through one stage while every level parameter (Input, Gain, Ceiling, Release,
// Stereo link, Adaptive release, Style) takes a new random value at every sample, and no output
// sample may lie above the ceiling that was in force when its audio came in. A ramp thrown back by
// a Style change, or a glide that lets threshold and makeup part, shows here as samples over.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bounded_command.h"
#include "integration.h"
#include "wav.h"

namespace {

std::string tmp_path(const std::string& name) {
    return std::string(LODRIN_TEST_TMP) + "/render-auto-" + std::to_string(host_os_pid()) + "-" + name;
}

run_result render(const std::string& args) {
    return run_bounded(std::string(LODRIN_TEST_HOST) + " render " + args + " --module " + integration_module_path(),
                       tmp_path("stdout"), tmp_path("stderr"));
}

// Both channels of a WAV file.
bool read_wav(const std::string& path, std::vector<float>& l, std::vector<float>& r) {
    char err[512];
    wav_reader* w = wav_open_read(path.c_str(), err, sizeof(err));
    if (!w) return false;
    std::vector<float> a(4096), b(4096);
    for (uint32_t n; (n = wav_read(w, a.data(), b.data(), 4096)) > 0;) {
        l.insert(l.end(), a.begin(), a.begin() + n);
        r.insert(r.end(), b.begin(), b.begin() + n);
    }
    wav_close_read(w);
    return true;
}

// The stage's own output true peak from lodrin-host's report ("output true peak X dBTP"); 1e9 when the
// report has none.
double reported_true_peak(const std::string& out) {
    const std::string key = "output true peak ";
    const size_t at = out.find(key);
    return at == std::string::npos ? 1e9 : std::atof(out.c_str() + at + key.size());
}

// Ranges of the random values: the parameters' whole ranges, and a set around a working point that
// keeps the stage at the ceiling at almost every sample (Gain 6..12 dB into a ceiling of -1.5..-1 dB),
// where a gain that comes down late shows at once.
struct level_ranges {
    const char* name;
    double input_lo, input_hi, gain_lo, gain_hi, ceiling_lo, ceiling_hi, release_lo, release_hi;
};
const level_ranges range_sets[] = {
    {"whole ranges", -24.0, 24.0, 0.0, 30.0, -12.0, -1.0, 5.0, 2000.0},
    {"at the ceiling", -3.0, 3.0, 6.0, 12.0, -1.5, -1.0, 5.0, 200.0},
};

} // namespace

// At the default block of 512 frames a block carries 3584 points, more than one call's event list
// holds: the host must hand them over in several calls, every point at its own frame, or the
// ceilings in force here are not the ones the stage ran.
TEST(render_automation, every_level_parameter_at_every_sample_holds_the_ceiling) {
    constexpr int FRAMES = 9000;
    constexpr double START_CEILING_DB = -1.0;
    for (const level_ranges& ranges : range_sets) {
        for (double rate : {8000.0, 48000.0}) {
            std::mt19937 rng(static_cast<unsigned>(rate) + (&ranges - range_sets));
            auto uniform = [&](double lo, double hi) {
                return std::uniform_real_distribution<double>(lo, hi)(rng);
            };
            std::vector<double> ceiling_db(FRAMES);
            std::string file;
            char line[160];
            for (int t = 0; t < FRAMES; ++t) {
                const size_t k = static_cast<size_t>(t);
                ceiling_db[k] = std::round(uniform(ranges.ceiling_lo, ranges.ceiling_hi) * 1000.0) / 1000.0;
                std::snprintf(
                    line, sizeof(line),
                    "%d Input=%.3f\n%d Gain=%.3f\n%d Ceiling=%.3f\n%d Release=%.1f\n%d Stereo link=%.1f\n"
                    "%d Adaptive release=%d\n%d Style=%d\n",
                    t, uniform(ranges.input_lo, ranges.input_hi), t, uniform(ranges.gain_lo, ranges.gain_hi),
                    t, ceiling_db[k], t, uniform(ranges.release_lo, ranges.release_hi), t,
                    uniform(0.0, 100.0), t, static_cast<int>(rng() % 2), t, static_cast<int>(rng() % 6));
                file += line;
            }
            const std::string au = tmp_path("every-sample.auto"), out = tmp_path("every-sample.wav");
            std::ofstream(au, std::ios::binary) << file;
            std::snprintf(line, sizeof(line),
                          "--demo --rate %.0f --seconds %.6f --set Ceiling=%.1f", rate,
                          FRAMES / rate, START_CEILING_DB);
            const run_result r = render(std::string(line) + " --automation " + au + " -o " + out);
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<float> l, rr;
            const bool read = read_wav(out, l, rr);
            std::remove(au.c_str());
            std::remove(out.c_str());
            ASSERT_TRUE(read) << out;
            ASSERT_EQ(l.size(), static_cast<size_t>(FRAMES));

            // The ceiling in force per input frame: the settings through the stage's 5 ms one-pole
            // (linear), from the ceiling the stage was activated with. The output is latency-compensated,
            // so output frame k carries the audio of input frame k; its bound is the highest ceiling
            // within 16 frames of it (the detector and the glide act a few samples either side).
            const double coeff = 1.0 - std::exp(-1.0 / std::max(1.0, 0.005 * rate));
            std::vector<double> glided(FRAMES);
            double g = std::pow(10.0, START_CEILING_DB / 20.0);
            for (size_t t = 0; t < glided.size(); ++t) {
                g += (std::pow(10.0, ceiling_db[t] / 20.0) - g) * coeff;
                glided[t] = g;
            }
            double worst_db = -100.0;
            size_t worst_at = 0, over = 0;
            for (size_t k = 0; k < l.size(); ++k) {
                double bound = 0.0;
                for (size_t t = k > 16 ? k - 16 : 0; t <= std::min(k + 17, glided.size() - 1); ++t)
                    bound = std::max(bound, glided[t]);
                const double peak =
                    std::max(std::fabs(static_cast<double>(l[k])), std::fabs(static_cast<double>(rr[k])));
                if (peak == 0.0) continue;
                const double excess = 20.0 * std::log10(peak / bound);
                if (excess > worst_db) {
                    worst_db = excess;
                    worst_at = k;
                }
                if (peak > bound * (1.0 + 1e-5)) ++over;
            }
            // The sample peak is the contract here. The stage's own true-peak reading is shown only: a
            // release mode switched at every sample makes the applied gain alternate between the two
            // envelopes, whose sample-rate ripple reads above the ceiling between samples.
            std::printf("  %s, %.0f Hz: worst sample %+.4f dB re the ceiling in force (frame %zu), %zu over; "
                        "stage's output true peak %+.2f dBTP\n",
                        ranges.name, rate, worst_db, worst_at, over, reported_true_peak(r.out));
            EXPECT_EQ(over, 0u) << ranges.name << ", " << rate << " Hz: worst " << worst_db
                                << " dB over at frame " << worst_at;
        }
    }
}
