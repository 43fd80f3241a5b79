// The demo programme, synthesised sample by sample as a pure function of the frame index, so that any
// stretch can be produced on its own and every run gives the same bytes.
#include "demo_programme.h"

#include <cmath>

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double BEAT = 0.5; // seconds per beat at 120 bpm

// A hash of the sample index standing in for white noise: uniform in [-1, 1), deterministic.
double noise(uint64_t n, uint64_t salt) {
    uint64_t x = n * 0x9E3779B97F4A7C15ull + salt * 0xD1B54A32D192ED03ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 32;
    return double(x >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

// Kick: a sine falling from 150 Hz to 45 Hz with a fast amplitude decay.
double kick(double t) {
    if (t < 0 || t > 0.4) return 0;
    double phase = 2 * PI * (45 * t + (150 - 45) * 0.03 * (1 - std::exp(-t / 0.03)));
    return std::sin(phase) * std::exp(-t / 0.12);
}

// Snare: a 190 Hz body plus a noise burst.
double snare(double t, uint64_t n) {
    if (t < 0 || t > 0.3) return 0;
    return 0.5 * std::sin(2 * PI * 190 * t) * std::exp(-t / 0.05) + 0.7 * noise(n, 1) * std::exp(-t / 0.07);
}

// Hat: differenced noise (a crude high-pass) with a very short decay.
double hat(double t, uint64_t n) {
    if (t < 0 || t > 0.08) return 0;
    return (noise(n, 2) - noise(n - 1, 2)) * 0.5 * std::exp(-t / 0.015);
}

double midi_hz(double note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12);
}

} // namespace

uint32_t demo_frames(double rate) {
    return uint32_t(DEMO_SECONDS * rate + 0.5);
}

void demo_render(double rate, uint64_t start, uint32_t n, float* left, float* right) {
    static const int bass_notes[8] = {36, 36, 43, 41, 36, 36, 39, 41};
    static const int chords[4][3] = {{60, 63, 67}, {58, 62, 65}, {56, 60, 63}, {55, 58, 62}};
    uint64_t total = demo_frames(rate);
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t f = start + i;
        if (f >= total) {
            left[i] = right[i] = 0;
            continue;
        }
        double t = double(f) / rate;
        double beat_pos = t / BEAT;
        int beat = int(beat_pos);
        double tb = (beat_pos - beat) * BEAT; // time since the beat
        double th = std::fmod(t, BEAT / 2);   // time since the last eighth
        double k = kick(tb) * ((beat % 2 == 0) ? 1.0 : 0.0);
        double sn = snare(tb, f) * ((beat % 2 == 1) ? 1.0 : 0.0);
        double hh = hat(th, f);
        int bar = int(t / (4 * BEAT));
        double bass_hz = midi_hz(bass_notes[beat % 8]);
        double bass = 0.45 * std::sin(2 * PI * bass_hz * t) * (0.6 + 0.4 * std::exp(-tb / 0.2));
        double pad_l = 0, pad_r = 0;
        for (int c = 0; c < 3; ++c) {
            double hz = midi_hz(chords[bar % 4][c]);
            pad_l += std::sin(2 * PI * hz * t * 1.002);
            pad_r += std::sin(2 * PI * hz * t * 0.998 + 0.3);
        }
        // A swell over the second half makes the limiter work harder as the piece goes on.
        double swell = t < DEMO_SECONDS / 2 ? 1.0 : 1.0 + 0.5 * (t - DEMO_SECONDS / 2) / (DEMO_SECONDS / 2);
        double mid = swell * (0.9 * k + 0.6 * sn + bass);
        left[i] = float(1.35 * (mid + 0.25 * hh + 0.12 * pad_l));
        right[i] = float(1.35 * (mid + 0.18 * hh + 0.12 * pad_r));
    }
}
