// Loudness of a stage's output as ITU-R BS.1770 / EBU R128 define it: K-weighting (high shelf and
// high-pass biquads per channel, designed for any rate), mean squares of 100 ms sub-blocks in a ring
// of 30, momentary (400 ms) and short-term (3 s) readings, and gated integrated loudness kept in a
// 750-bin histogram of overlapping 400 ms blocks (0.1 LU per bin from -70 LUFS). Readings in LUFS,
// -100 meaning no reading.
//
// Threads: `loudness_init` on the main thread at activation; everything else on the audio thread.
// The record is plain data inside its owner; nothing here allocates.
#pragma once

#include <cstdint>

inline constexpr int32_t LOUDNESS_RING = 30;
inline constexpr int32_t LOUDNESS_BINS = 750;
inline constexpr double LOUDNESS_NONE = -100.0;

// One second-order section in transposed direct form II, a0 normalised to 1.
struct biquad {
    double b0, b1, b2, a1, a2;
    double s1, s2;
};

struct loudness_meter {
    double sample_rate;
    biquad shelf_l, shelf_r;                  // K-weighting stage 1 (high shelf)
    biquad highpass_l, highpass_r;            // K-weighting stage 2 (high-pass)
    int32_t block_length;                     // samples per 100 ms sub-block
    int32_t block_fill;                       // samples in the current sub-block
    double energy_l, energy_r;                // sums of squared K-weighted samples of the current sub-block
    double blocks[LOUDNESS_RING];             // ring of sub-block mean squares (channels summed)
    int32_t block_next;                       // ring slot written next
    int32_t block_count;                      // valid ring entries, 0..30
    uint32_t gate_counts[LOUDNESS_BINS];      // 400 ms blocks per 0.1 LU bin
    double gate_energy[LOUDNESS_BINS];        // sum of their mean squares per bin
    double momentary, short_term, integrated; // LUFS, -100 = no reading
};

// Designs the four biquads for `sample_rate`, sets the sub-block length (100 ms, rounded), clears all
// state and sets the readings to -100. [main-thread, not processing]
void loudness_init(loudness_meter* m, double sample_rate);

// Measures `frames` samples (read only; the buffers are borrowed for the call). `left` and `right`
// may be the same buffer (a mono bus; the channel then counts twice). Readings are updated at the
// end of every sub-block. [audio-thread]
void loudness_process(loudness_meter* m, const float* left, const float* right, uint32_t frames);

// Clears filter states, sub-block, ring and histogram; readings -100. Coefficients stay.
// [audio-thread]
void loudness_reset(loudness_meter* m);

// Mean of the newest min(count, block_count) ring entries, 0 when there are none. [audio-thread]
double loudness_mean_of_last(const loudness_meter* m, int32_t count);

// Adds one 400 ms block's mean square to the gating histogram and recomputes `integrated`.
// [audio-thread]
void loudness_integrated_update(loudness_meter* m, double mean_square);
