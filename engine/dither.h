// Output quantisation for fixed-point destinations: TPDF dither from two xorshift32 steps per sample,
// optional error-feedback noise shaping (first-order "Light", 9-tap "Weighted"), rounding to the
// 24-bit or 16-bit grid and clamping to -1..+1, one channel at a time, in place.
//
// Threads: seeded on the main thread at activation; `apply_dither` and `apply_dither_stereo` on the
// audio thread. The state is a plain record inside its owner; nothing here allocates. Seeding also
// selects the processor's rounding instruction for the two-channel path where it has one.
#pragma once

#include <cstdint>

inline constexpr int32_t DITHER_ERROR_RING = 16;

struct dither_state {
    uint32_t rng[2];                    // generator per channel, never 0
    double error[2][DITHER_ERROR_RING]; // last 16 total quantisation errors per channel
    uint32_t position[2];               // ring slot written next, 0..15
};

// One step of the 32-bit xorshift generator (shifts 13 left, 17 right, 5 left). [any-thread]
uint32_t dither_xorshift32(uint32_t x);

// Activation seeding from one 64-bit random value r: rng[0] = low32(r) OR 1,
// rng[1] = (low32(r) x 2654435761 mod 2^32) OR 1; error rings and positions zeroed.
// [main-thread, not processing]
void dither_seed(dither_state* state, uint64_t r);

// Quantises `frames` samples of `buffer` in place for `channel` (0 or 1), advancing that channel's
// generator, error ring and position. mode 2 is 16 bit, any other mode 24 bit; shaping 1 "Light",
// 2 "Weighted", anything else none. frames <= 0 changes nothing. `buffer` is borrowed for the call.
// [audio-thread]
void apply_dither(dither_state* state, int32_t channel, float* buffer, int32_t frames, int32_t mode,
                  int32_t shaping);

// The stage's use of the above in one call: channel 0 on `left`, then channel 1 on `right` only when
// it is a different buffer. The result is identical to the two `apply_dither` calls (the channels
// share nothing); the two channels run side by side. [audio-thread]
void apply_dither_stereo(dither_state* state, float* left, float* right, int32_t frames, int32_t mode,
                         int32_t shaping);
