// Gain computer of one limiter channel. Runs once per sample per channel on the audio thread inside
// `limiter_process_stereo`; memory is touched only by the init and free calls (main thread).
//
// State legend:
//   values/slots/head/tail  a monotonic deque over the last `window` targets: from front to back the
//                           referenced values strictly increase, so the front is the window minimum;
//                           each sample enters and leaves once, O(1) amortised.
//   box1, box2              two running means in series: a step in the minimum becomes a trapezoid-
//                           weighted ramp of box1.length + box2.length samples.
//   slow_db, fast_db        adaptive release: a slow envelope of the reduction (r) and a fast one of
//                           the excess above it, which holds and then releases.
//   held_db                 plain release: the held reduction, released with one time constant.
#include "gain_computer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gain_computer_inline.h"
#include "limiter.h"

int32_t boxcar_init(boxcar* box, int32_t n, float value) {
    const int32_t cap = n > 1 ? n : 1;
    box->taps = static_cast<float*>(std::malloc(sizeof(float) * static_cast<size_t>(cap)));
    if (!box->taps) return 0;
    box->capacity = cap;
    box->length = cap;
    for (int32_t i = 0; i < cap; ++i)
        box->taps[i] = value;
    box->sum = static_cast<double>(cap) * static_cast<double>(value);
    box->index = 0;
    return 1;
}

void boxcar_free(boxcar* box) {
    std::free(box->taps);
    std::memset(box, 0, sizeof(*box));
}

// A change of length keeps the newest taps in their order: a shorter box drops its oldest taps, a
// longer one repeats its oldest tap in front of them. Every tap thus stays a value that really passed
// through the box, no older than the new length reaches back, and the ramp under way goes on from
// where it was (see gain_computer_set_smoothing for why that holds the ceiling). A steady level
// continues exactly.
void boxcar_set_length(boxcar* box, int32_t m) {
    if (m < 1) m = 1;
    if (m > box->capacity) m = box->capacity;
    const int32_t len = box->length;
    if (m == len) return;
    float* const taps = box->taps;
    // Oldest first: the tap the next value would overwrite goes to the front (in place).
    std::rotate(taps, taps + box->index, taps + len);
    if (m < len) {
        std::memmove(taps, taps + (len - m), sizeof(float) * static_cast<size_t>(m));
    } else {
        std::memmove(taps + (m - len), taps, sizeof(float) * static_cast<size_t>(len));
        for (int32_t i = 0; i < m - len; ++i)
            taps[i] = taps[m - len];
    }
    double sum = 0.0;
    for (int32_t i = 0; i < m; ++i)
        sum += static_cast<double>(taps[i]);
    box->length = m;
    box->sum = sum;
    box->index = 0;
}

int32_t gain_computer_init(gain_computer* gc, int32_t n) {
    std::memset(gc, 0, sizeof(*gc));
    // The minimum spans the lookahead plus two samples. The sample that leaves the n + 8 delay line
    // at tick t was seen by the detector's whole-sample phase (7 samples late) at tick t - n - 1, so
    // the window t - n - 1 .. t must include that tick; with one sample less, the newest minimum
    // misses the very sample it gains, and with a short ramp and a fast release a lone peak gets out
    // above the ceiling.
    gc->window = n + 2 > 1 ? n + 2 : 1;
    int32_t cap = 1;
    while (cap < gc->window + 1)
        cap *= 2;
    gc->capacity = cap;
    gc->mask = static_cast<uint32_t>(cap - 1);
    gc->values = static_cast<float*>(std::calloc(static_cast<size_t>(cap), sizeof(float)));
    if (!gc->values) return 0;
    gc->slots = static_cast<int32_t*>(std::calloc(static_cast<size_t>(cap), sizeof(int32_t)));
    if (!gc->slots) return 0;
    if (!boxcar_init(&gc->box1, n, 1.0f)) return 0;
    if (!boxcar_init(&gc->box2, n, 1.0f)) return 0;
    gain_computer_set_smoothing(gc, n, 1.0);
    truepeak_reset(&gc->detector_history);
    truepeak_reset(&gc->output_history);
    return 1;
}

void gain_computer_free(gain_computer* gc) {
    std::free(gc->values);
    std::free(gc->slots);
    boxcar_free(&gc->box1);
    boxcar_free(&gc->box2);
    std::memset(gc, 0, sizeof(*gc));
}

static void boxcar_refill_ones(boxcar* box) {
    for (int32_t i = 0; i < box->length; ++i)
        box->taps[i] = 1.0f;
    box->sum = static_cast<double>(box->length);
    box->index = 0;
}

void gain_computer_reset(gain_computer* gc) {
    gc->head = 0;
    gc->tail = 0;
    gc->count = 0;
    boxcar_refill_ones(&gc->box1);
    boxcar_refill_ones(&gc->box2);
    truepeak_reset(&gc->detector_history);
    truepeak_reset(&gc->output_history);
    gc->slow_db = 0.0;
    gc->fast_db = 0.0;
    gc->held_db = 0.0;
    gc->hold_left = 0;
}

// Why a ramp may change length at any sample without letting a peak through. The sample that leaves
// the delay line at tick t was seen by the detector at ticks t - n - 1 (the sample) and t - n (the
// points after it), and every window minimum taken at ticks t - n .. t covers both (the window spans
// n + 2 ticks). box2 averages box1 outputs of the last box2.length ticks, each of which averaged the
// minima of the last box1.length ticks (box1's length at that tick); with the newest taps kept across
// a change, that stays true through any sequence of lengths. box1 <= n / 2 and box2 <= n - n / 2 at
// every length this sets, so the gain at tick t is always a weighted mean of minima taken at ticks
// t - n + 2 .. t, none above what the leaving sample needs. (Refilling with the mean instead spread
// old, higher values over the new length and threw the ramp back: a peak already in the delay line
// then met a gain that had not come down.)
void gain_computer_set_smoothing(gain_computer* gc, int32_t n, double fraction) {
    int32_t s = static_cast<int32_t>(std::trunc(n * fraction + 0.5));
    if (s < 2) s = 2;
    if (s > n) s = n;
    const int32_t half = s / 2;
    boxcar_set_length(&gc->box1, half > 1 ? half : 1);
    boxcar_set_length(&gc->box2, s - half > 1 ? s - half : 1);
}

double gain_computer_tick(const limiter_state* stage, gain_computer* gc, float target) {
    return gain_computer_detail::tick(stage, gc, target);
}
