// True-peak detection: a process-wide table of 4-phase interpolation coefficients (a 63-tap
// Kaiser-windowed sinc, beta 9, cut off at the input Nyquist frequency on the 4x grid) and a small
// per-channel history. Feeding one sample yields the reconstructed signal at quarter-sample spacing,
// t - 7.75, t - 7.5, t - 7.25 and t - 7 samples behind the sample just fed.
//
// Threads: the table is built once on the main thread (by the first `limiter_init` of the process)
// and only read afterwards, from any number of audio threads. A history belongs to one channel of one
// stage and is used on that stage's audio thread only. Nothing here allocates.
#pragma once

#include <cstdint>

inline constexpr int32_t TRUEPEAK_PHASES = 4;
inline constexpr int32_t TRUEPEAK_TAPS = 16;    // taps per phase row (phase 3 uses 15)
inline constexpr int32_t TRUEPEAK_HISTORY = 32; // power of two, masked with 31

struct truepeak_history {
    float history[TRUEPEAK_HISTORY]; // the last 32 samples fed, at position AND 31
    uint32_t position;               // samples fed since the last reset (free-running)
};

// Modified Bessel function of the first kind, order 0, by its power series (terms until one falls
// below 1e-12 of the sum). Used by the table build. [any-thread]
double bessel_i0(double x);

// Builds the coefficient table unless it is built already (then returns at once). [main-thread]
void truepeak_build_table();

// Read-only views of the table for tests and diagnostics: row p holds the taps of phase p (entries
// beyond tap_counts[p] are 0). Valid for the life of the process once built. [any-thread]
const float (*truepeak_coefficients())[TRUEPEAK_TAPS];
const int32_t* truepeak_tap_counts();
bool truepeak_table_built();

// Zeroes the history and its position. [audio-thread, or main-thread while not processing]
void truepeak_reset(truepeak_history* h);

// Feeds one sample and writes the four phase outputs: each the sum over j of
// history[(position - j) AND 31] x coefficient[p][j], products rounded to f32 and added in f32 in
// the order j = 0, 1, ... starting from 0. [audio-thread]
void truepeak_interpolate(truepeak_history* h, float x, float out[TRUEPEAK_PHASES]);

// `truepeak_interpolate`, then the largest magnitude of the four outputs (never negative).
// [audio-thread]
float truepeak_process(truepeak_history* h, float x);
