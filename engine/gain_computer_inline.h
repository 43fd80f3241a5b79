// Internal: the per-sample gain-computer step, inlined into the limiter's sample loop and behind
// `gain_computer_tick`. See gain_computer.cpp for the state legend.
#pragma once

#include <cmath>
#include <cstdint>

#include "gain_computer.h"
#include "limiter.h"

namespace gain_computer_detail {

// One running-mean step: the sum is corrected by the difference of the widened values, formed in f64.
static inline float boxcar_push(boxcar* box, float v) {
    box->sum += static_cast<double>(v) - static_cast<double>(box->taps[box->index]);
    box->taps[box->index] = v;
    if (++box->index == box->length) box->index = 0;
    return static_cast<float>(box->sum / box->length);
}

// The tick in four steps. Only the window, the boxes and the envelope carry state from sample to
// sample; the two transcendental steps depend on their own sample alone, so the limiter can run
// each step over a run of samples and let the independent log10 and exp calls overlap.

// Step 1: window minimum and both running means; returns the smoothed minimum g.
static inline float smooth(gain_computer* gc, float target) {
    // Sliding-window minimum over the current target and the n + 1 before it.
    const uint32_t c = static_cast<uint32_t>(gc->count);
    const uint32_t mask = gc->mask;
    const uint32_t slot = c & mask;
    gc->values[slot] = target;
    while (gc->head != gc->tail && gc->values[gc->slots[(gc->tail - 1u) & mask]] >= target)
        --gc->tail; // an equal value leaves too: among equals the newest stays
    gc->slots[gc->tail & mask] = static_cast<int32_t>(slot);
    ++gc->tail;
    if (static_cast<uint32_t>(gc->slots[gc->head & mask]) == ((c - static_cast<uint32_t>(gc->window)) & mask))
        ++gc->head;
    ++gc->count;
    const float m = gc->values[gc->slots[gc->head & mask]];

    const float a = boxcar_push(&gc->box1, m);
    return boxcar_push(&gc->box2, a);
}

// Step 1 over a run: the same as `smooth` for each target in turn, with the window and box state
// held in locals for the run (the compiler cannot keep them in registers through the record).
static inline void smooth_run(gain_computer* gc, const float* targets, float* out, uint32_t n) {
    const uint32_t mask = gc->mask;
    const uint32_t window = static_cast<uint32_t>(gc->window);
    float* const values = gc->values;
    int32_t* const slots = gc->slots;
    uint32_t head = gc->head, tail = gc->tail;
    uint32_t c = static_cast<uint32_t>(gc->count);
    float* const taps1 = gc->box1.taps;
    float* const taps2 = gc->box2.taps;
    const int32_t len1 = gc->box1.length, len2 = gc->box2.length;
    int32_t idx1 = gc->box1.index, idx2 = gc->box2.index;
    double sum1 = gc->box1.sum, sum2 = gc->box2.sum;
    for (uint32_t i = 0; i < n; ++i) {
        const float target = targets[i];
        const uint32_t slot = c & mask;
        values[slot] = target;
        while (head != tail && values[slots[(tail - 1u) & mask]] >= target)
            --tail;
        slots[tail & mask] = static_cast<int32_t>(slot);
        ++tail;
        if (static_cast<uint32_t>(slots[head & mask]) == ((c - window) & mask)) ++head;
        ++c;
        const float m = values[slots[head & mask]];
        sum1 += static_cast<double>(m) - static_cast<double>(taps1[idx1]);
        taps1[idx1] = m;
        if (++idx1 == len1) idx1 = 0;
        const float a = static_cast<float>(sum1 / len1);
        sum2 += static_cast<double>(a) - static_cast<double>(taps2[idx2]);
        taps2[idx2] = a;
        if (++idx2 == len2) idx2 = 0;
        out[i] = static_cast<float>(sum2 / len2);
    }
    gc->head = head;
    gc->tail = tail;
    gc->count += n;
    gc->box1.index = idx1;
    gc->box2.index = idx2;
    gc->box1.sum = sum1;
    gc->box2.sum = sum2;
}

// Step 2: reduction in dB, floored at 1e-6 (f32) of gain, about 120 dB.
static inline double reduction_db(float g) {
    if (g < 1.0f) return -20.0 * std::log10(static_cast<double>(g > 1e-6f ? g : 1e-6f));
    return 0.0;
}

// Step 3: the release envelope; returns max(r, total), the reduction to apply.
static inline double envelope(const limiter_state* stage, gain_computer* gc, double r) {
    double total;
    if (stage->adaptive) {
        const double k = r > gc->slow_db ? stage->slow_attack_coeff : stage->slow_release_coeff;
        gc->slow_db += (r - gc->slow_db) * k;
        const double diff = r - gc->slow_db;
        const double excess = diff > 0.0 ? diff : 0.0;
        if (excess > gc->fast_db) {
            gc->fast_db = excess;
            gc->hold_left = stage->hold_samples;
            total = gc->slow_db + excess;
        } else if (gc->hold_left > 0) {
            --gc->hold_left;
            total = gc->slow_db + gc->fast_db;
        } else {
            gc->fast_db += (excess - gc->fast_db) * stage->peak_release_coeff;
            total = gc->slow_db + gc->fast_db;
        }
    } else {
        if (r > gc->held_db) {
            gc->held_db = r;
            gc->hold_left = stage->hold_samples;
            total = r;
        } else if (gc->hold_left > 0) {
            --gc->hold_left;
            total = gc->held_db;
        } else {
            gc->held_db += (r - gc->held_db) * stage->peak_release_coeff;
            total = gc->held_db;
        }
    }
    return r > total ? r : total;
}

// Step 4: linear gain 10^(-reduction / 20) as exp(-reduction ln(10) / 20). exp(-0) is exactly 1, so
// the call is skipped for no reduction.
static inline double gain_of(double reduction) {
    if (reduction == 0.0) return 1.0;
    return std::exp(-reduction * 0.11512925464970229);
}

static inline double tick(const limiter_state* stage, gain_computer* gc, float target) {
    return gain_of(envelope(stage, gc, reduction_db(smooth(gc, target))));
}

} // namespace gain_computer_detail
