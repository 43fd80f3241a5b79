// Programme generators shared by the loudness tests.
#pragma once

#include <cmath>
#include <functional>
#include <vector>

#include "loudness.h"

namespace loudness_test {

constexpr double pi = 3.14159265358979323846;

// One exact stretch of a sine that repeats without a seam (a whole number of periods).
inline std::vector<float> sine_period(double fs, double hz, double dbfs) {
    size_t len = 0;
    for (size_t periods = 1; periods <= 1000; ++periods) {
        const double l = periods * fs / hz;
        if (std::fabs(l - std::round(l)) < 1e-9) {
            len = static_cast<size_t>(std::round(l));
            break;
        }
    }
    const double amp = std::pow(10.0, dbfs / 20.0);
    std::vector<float> v(len);
    for (size_t i = 0; i < len; ++i)
        v[i] = static_cast<float>(amp * std::sin(2 * pi * hz * static_cast<double>(i) / fs));
    return v;
}

struct segment {
    double dbfs; // -999 for silence
    double seconds;
};

// Feeds a stereo 1 kHz sine (both channels) made of level segments in blocks of 1000 frames;
// `after_block` runs after every block with the frames fed so far.
inline void feed_segments(loudness_meter* m, double fs, const std::vector<segment>& segments,
                          const std::function<void(size_t)>& after_block = {}) {
    size_t fed = 0;
    std::vector<float> block(1000);
    for (const segment& s : segments) {
        const std::vector<float> period = sine_period(fs, 1000.0, s.dbfs);
        const size_t frames = static_cast<size_t>(std::llround(s.seconds * fs));
        size_t phase = 0;
        for (size_t done = 0; done < frames;) {
            const size_t n = std::min<size_t>(block.size(), frames - done);
            for (size_t i = 0; i < n; ++i) {
                block[i] = s.dbfs < -900 ? 0.0f : period[phase];
                phase = phase + 1 == period.size() ? 0 : phase + 1;
            }
            loudness_process(m, block.data(), block.data(), static_cast<uint32_t>(n));
            done += n;
            fed += n;
            if (after_block) after_block(fed);
        }
    }
}

} // namespace loudness_test
