// The gain computer of one limiter channel: sliding-window minimum of the per-sample target gains
// (a monotonic deque over the lookahead plus two samples), two running means in series that turn a
// step into an S-shaped ramp, and a release envelope shaped in dB (hold-and-release or adaptive
// two-envelope). The record also carries the channel's two true-peak histories (detector and output
// meter).
//
// Threads: init and free on the main thread while the stage does not process; set_smoothing, reset
// and tick on the audio thread. Memory is allocated only by the two init calls; tick never allocates.
#pragma once

#include <cstdint>

#include "true_peak.h"

struct limiter_state;

// Running mean over the last `length` values. The sum is kept incrementally in f64 and never
// recomputed from the taps.
struct boxcar {
    float* taps;      // owned, `capacity` entries
    int32_t length;   // taps in use, 1..capacity
    int32_t index;    // tap the next value overwrites, 0..length-1
    int32_t capacity; // max(1, n), fixed at init
    double sum;       // running sum of the taps in use
};

struct gain_computer {
    float* values;    // owned, `capacity` entries: target of each recent sample at slot count AND mask
    int32_t* slots;   // owned, `capacity` entries: the deque of slots; values strictly increase front
                      // to back, the front holds the window's minimum
    uint32_t head;    // deque front (free-running, masked on access)
    uint32_t tail;    // one past the deque back (free-running); empty when head == tail
    int32_t capacity; // smallest power of two >= window + 1
    uint32_t mask;    // capacity - 1
    int32_t window;   // samples the minimum covers: n + 2 (see gain_computer_init)
    uint64_t count;   // samples ticked since the last reset
    boxcar box1;
    boxcar box2;
    double slow_db;                    // adaptive release: slow envelope (dB of reduction)
    double fast_db;                    // adaptive release: fast excess envelope (dB)
    double held_db;                    // plain release: held reduction (dB)
    int32_t hold_left;                 // hold samples still to run, shared by both release modes
    truepeak_history detector_history; // input detector of this channel
    truepeak_history output_history;   // output true-peak meter of this channel
};

// capacity = length = max(1, n); allocates the taps, all in use set to `value`; sum = length x value
// (f64); index 0. Returns 1, or 0 when the allocation fails (taps then null). The box owns the taps
// until `boxcar_free`. [main-thread]
int32_t boxcar_init(boxcar* box, int32_t n, float value);

// Releases the taps and zeroes the box. Safe on a zeroed box. [main-thread]
void boxcar_free(boxcar* box);

// Clamps m to 1..capacity; when it differs from `length`, keeps the newest taps in order (a shorter
// box drops the oldest, a longer one repeats its oldest tap in front), forms the sum of the taps now in
// use and sets index 0, so a ramp under way continues and a steady level stays exact. No allocation.
// [audio-thread]
void boxcar_set_length(boxcar* box, int32_t m);

// Zeroes the record, sizes and allocates the deque (zeroed) and both boxes (n taps of 1.0), sets the
// smoothing to the full n, clears both true-peak histories. Returns 1, or 0 as soon as an allocation
// fails; the caller then releases what was allocated with `gain_computer_free`. [main-thread]
int32_t gain_computer_init(gain_computer* gc, int32_t n);

// Releases `values`, `slots` and both boxes' taps and zeroes the record. Safe on a zeroed record.
// [main-thread]
void gain_computer_free(gain_computer* gc);

// Empties the deque, refills the boxes' taps in use with 1.0, clears both true-peak histories, the
// envelopes and the hold. Box lengths stay. [audio-thread]
void gain_computer_reset(gain_computer* gc);

// Ramp length s = clamp(trunc(n x fraction + 0.5), 2, n), split as box1 = max(s/2, 1) and
// box2 = max(s - s/2, 1). Safe at any sample: the gain never rises above what a peak already in the
// delay line needs (see gain_computer.cpp). [audio-thread]
void gain_computer_set_smoothing(gain_computer* gc, int32_t n, double fraction);

// One sample: pushes `target` into the window, smooths the window minimum with both boxes, applies
// the stage's release envelope (mode, coefficients and hold read from `stage`) and returns the
// linear gain to apply, 0 < gain <= 1. [audio-thread]
double gain_computer_tick(const limiter_state* stage, gain_computer* gc, float target);
