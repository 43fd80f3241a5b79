// Limiter stage of one plug-in instance. `limiter_init` and `limiter_free` run on the main thread while
// the stage does not process and are the only places that allocate or free; everything else runs on
// the audio thread with no allocation and no lock.
//
// State legend:
//   smoothed[4] -> target[4]  input gain, threshold, makeup (linear) and mix glide with a 5 ms
//                             one-pole per sample, so parameter steps between sub-blocks do not click.
//   delay_in_*, delay_dry_*   n + 8 sample rings: the gained input (wet path) and the raw input (dry
//                             path of mix and bypass). 8 covers the true-peak detector's 7..7.75
//                             sample lag, so the gain for a peak is down when the peak leaves.
//   gc_l, gc_r                per-channel gain computers (window minimum, ramp, release).
//   fade_*                    15 ms crossfades following the bypass, delta and unity switches; the
//                             whole switch stage is skipped for blocks where none is on or fading.
//   ceiling_*, delay_makeup   the brickwall under automation. Threshold and makeup glide apart, so
//                             their product (the level a held peak leaves at) strays from the
//                             ceiling while they move: halfway through a 12 dB Gain step it is
//                             (1 - 3/4 a)(1 + 3 a) = 1.56 (+3.9 dB) for a = 1/2. The ceiling glides as
//                             a fifth setting, and while threshold x makeup exceeds it the threshold
//                             a reduction is planned against is lowered to ceiling / makeup. A
//                             reduction is planned when its peak is detected, n samples before the
//                             peak leaves the delay line, so the makeup of that moment is carried
//                             through a ring with it: the sample leaving at t was detected at
//                             t - n - 1 (exactly, phase 3) and t - n (the quarter points after it);
//                             the ring holds the lesser makeup of two consecutive moments, so both
//                             bounds hold. On settled levels threshold x makeup equals the ceiling
//                             bit for bit and all of this is the identity.
//   LIMITER_REACH             the gained input is bounded to 108 dB above the planned threshold,
//                             inside the 120 dB the reduction can reach, so that no finite input
//                             leaves above the ceiling.
#include "limiter.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine_simd.h"
#include "gain_computer_inline.h"
#include "true_peak_inline.h"

// Lookaheads beyond this many samples (far beyond 10 ms at any real rate) are refused at init.
static constexpr double max_lookahead_samples = 1 << 22;

static double one_pole(double samples) {
    return 1.0 - std::exp(-1.0 / (samples > 1.0 ? samples : 1.0));
}

static double db_to_linear(double db) {
    return std::pow(10.0, db / 20.0);
}

void limiter_free(limiter_state* state) {
    std::free(state->delay_in_l);
    std::free(state->delay_in_r);
    std::free(state->delay_dry_l);
    std::free(state->delay_dry_r);
    std::free(state->delay_makeup);
    gain_computer_free(&state->gc_l);
    gain_computer_free(&state->gc_r);
    std::memset(state, 0, sizeof(*state));
}

uint32_t limiter_latency(const limiter_state* state) {
    return state->delay_length > 0 ? static_cast<uint32_t>(state->delay_length) : 0u;
}

void limiter_update_release(limiter_state* state) {
    const double rel = state->release_ms;
    state->peak_release_coeff = one_pole(rel * state->style_row[3] * 0.001 * state->sample_rate);
    state->slow_release_coeff = one_pole(rel * state->style_row[2] * 0.001 * state->sample_rate);
    const double attack_ms = rel * state->style_row[1];
    state->slow_attack_coeff = one_pole((attack_ms > 20.0 ? attack_ms : 20.0) * 0.001 * state->sample_rate);
}

int32_t limiter_init(limiter_state* state, double sample_rate, double lookahead_ms) {
    std::memset(state, 0, sizeof(*state));
    truepeak_build_table();

    const double nd = std::trunc(lookahead_ms * 0.001 * sample_rate + 0.5);
    if (nd > max_lookahead_samples) return 0;
    const int32_t n = nd >= 2.0 ? static_cast<int32_t>(nd) : 2; // also catches NaN
    state->sample_rate = sample_rate;
    state->lookahead = n;
    state->extra_delay = LIMITER_EXTRA_DELAY;
    state->delay_length = n + LIMITER_EXTRA_DELAY;

    const size_t len = static_cast<size_t>(state->delay_length);
    state->delay_in_l = static_cast<float*>(std::calloc(len, sizeof(float)));
    state->delay_in_r = static_cast<float*>(std::calloc(len, sizeof(float)));
    state->delay_dry_l = static_cast<float*>(std::calloc(len, sizeof(float)));
    state->delay_dry_r = static_cast<float*>(std::calloc(len, sizeof(float)));
    state->delay_makeup = static_cast<float*>(std::calloc(len, sizeof(float)));
    if (!state->delay_in_l || !state->delay_in_r || !state->delay_dry_l || !state->delay_dry_r ||
        !state->delay_makeup || !gain_computer_init(&state->gc_l, n) ||
        !gain_computer_init(&state->gc_r, n)) {
        limiter_free(state);
        return 0;
    }

    for (int k = 0; k < 4; ++k) {
        state->target[k] = 1.0;
        state->smoothed[k] = 1.0;
    }
    state->ceiling_target = 1.0;
    state->ceiling_smoothed = 1.0;
    state->link = 1.0;
    state->smooth_coeff = one_pole(0.005 * sample_rate);
    state->fade_coeff = one_pole(0.015 * sample_rate);
    state->effective_makeup = 1.0;
    state->release_ms = 100.0;
    state->style = 0;
    state->style_row[0] = limiter_styles[0].smoothing_fraction;
    state->style_row[1] = limiter_styles[0].slow_attack_mult;
    state->style_row[2] = limiter_styles[0].slow_release_mult;
    state->style_row[3] = limiter_styles[0].peak_release_mult;
    state->hold_samples = 0;
    state->true_peak = 1;
    state->adaptive = 1;

    gain_computer_set_smoothing(&state->gc_l, n, 1.0);
    gain_computer_set_smoothing(&state->gc_r, n, 1.0);
    limiter_update_release(state);
    limiter_reset(state);
    return 1;
}

void limiter_reset(limiter_state* state) {
    if (!state->delay_in_l) return;
    const size_t bytes = sizeof(float) * static_cast<size_t>(state->delay_length);
    std::memset(state->delay_in_l, 0, bytes);
    std::memset(state->delay_in_r, 0, bytes);
    std::memset(state->delay_dry_l, 0, bytes);
    std::memset(state->delay_dry_r, 0, bytes);
    state->write_pos = 0;
    gain_computer_reset(&state->gc_l);
    gain_computer_reset(&state->gc_r);
    for (int k = 0; k < 4; ++k)
        state->smoothed[k] = state->target[k];
    state->ceiling_smoothed = state->ceiling_target;
    // The carried makeup starts as the settings' own: no glide after a reset.
    const float mk = static_cast<float>(state->smoothed[LIMITER_MAKEUP]);
    for (int32_t i = 0; i < state->delay_length; ++i)
        state->delay_makeup[i] = mk;
    state->makeup_prev = mk;
    state->fade_bypass = state->bypass ? 1.0 : 0.0;
    state->fade_delta = state->delta ? 1.0 : 0.0;
    state->fade_unity = state->unity ? 1.0 : 0.0;
    state->min_gain = 1.0f;
    state->in_peak = 0.0f;
    state->in_detect_peak = 0.0f;
    state->out_peak = 0.0f;
    state->out_true_peak = 0.0f;
}

void limiter_set_style(limiter_state* state, int32_t index) {
    if (index < 0) index = 0;
    if (index >= LIMITER_STYLE_COUNT) index = LIMITER_STYLE_COUNT - 1;
    if (index == state->style) return;
    const limiter_style& row = limiter_styles[index];
    state->style = index;
    state->style_row[0] = row.smoothing_fraction;
    state->style_row[1] = row.slow_attack_mult;
    state->style_row[2] = row.slow_release_mult;
    state->style_row[3] = row.peak_release_mult;
    state->hold_samples = static_cast<int32_t>(std::trunc(row.hold_ms * 0.001 * state->sample_rate + 0.5));
    gain_computer_set_smoothing(&state->gc_l, state->lookahead, row.smoothing_fraction);
    gain_computer_set_smoothing(&state->gc_r, state->lookahead, row.smoothing_fraction);
    limiter_update_release(state);
}

void limiter_set_levels(limiter_state* state, double input_db, double threshold_db, double ceiling_db,
                        double release_ms, double link, uint8_t true_peak, uint8_t adaptive, double mix) {
    state->target[LIMITER_INPUT_GAIN] = db_to_linear(input_db);
    state->target[LIMITER_THRESHOLD] = db_to_linear(threshold_db);
    state->target[LIMITER_MAKEUP] = db_to_linear(ceiling_db - threshold_db);
    // The product, not 10^(ceiling / 20): on settled levels threshold x makeup is then the ceiling
    // exactly, and the planned threshold is the threshold itself.
    state->ceiling_target = state->target[LIMITER_THRESHOLD] * state->target[LIMITER_MAKEUP];
    state->target[LIMITER_MIX] = mix < 0.0 ? 0.0 : (mix > 1.0 ? 1.0 : mix);
    state->link = link < 0.0 ? 0.0 : (link < 1.0 ? link : 1.0);
    state->true_peak = true_peak;
    state->adaptive = adaptive;
    if (release_ms != state->release_ms) {
        state->release_ms = release_ms;
        limiter_update_release(state);
    }
}

void limiter_set_switches(limiter_state* state, uint8_t bypass, uint8_t delta, uint8_t unity) {
    state->bypass = bypass;
    state->delta = delta;
    state->unity = unity;
}

// max(a, b) and min(a, b) in the sense the fold order is written in: the first argument is the new
// value, the second the running one.
static inline float fmax_new(float v, float running) {
    return v < running ? running : v;
}
static inline float fmin_new(float v, float running) {
    return running < v ? running : v;
}

// A record that was never sized (or was freed) has no rings to run through: the block passes
// unchanged and the meters read as for an empty block, rather than touching null buffers.
static bool unsized(limiter_state* state) {
    if (state->delay_in_l) return false;
    state->min_gain = 1.0f;
    state->in_peak = state->in_detect_peak = state->out_peak = state->out_true_peak = 0.0f;
    state->in_detect_l = state->in_detect_r = state->out_true_peak_l = state->out_true_peak_r = 0.0f;
    return true;
}

// One glide step of the five level settings.
static inline void glide_step(limiter_state* state) {
    const double sc = state->smooth_coeff;
    for (int k = 0; k < 4; ++k)
        state->smoothed[k] += (state->target[k] - state->smoothed[k]) * sc;
    state->ceiling_smoothed += (state->ceiling_target - state->ceiling_smoothed) * sc;
}

// The threshold reductions are planned against now: the glided threshold, lowered to ceiling / makeup
// while threshold x makeup lies above the glided ceiling (the ratio is exactly 1 on settled levels).
static inline float planned_threshold(const limiter_state* state) {
    const double thr = state->smoothed[LIMITER_THRESHOLD];
    const double product = thr * state->smoothed[LIMITER_MAKEUP];
    const double c = state->ceiling_smoothed;
    return static_cast<float>(product > c ? thr * (c / product) : thr);
}

// The input gain applied to one sample, bounded to the reach of the reduction: `reach` is the planned
// threshold x LIMITER_REACH. (A bounded sample shows as an input peak meter equal to the reach.)
static inline float gained(float ig, float x, float reach) {
    const float v = ig * x;
    return v > reach ? reach : (v < -reach ? -reach : v);
}

// The makeup ring and the previous moment's makeup, held in this local record for a block so that the
// ring stores (f32 like the value) do not force it through memory on every sample.
struct makeup_carry {
    float* makeup;
    int32_t length;
    float prev;
};

// At write index w: stores the current moment's makeup (the lesser of it and the previous one) and
// returns the one stored n samples ago, which belongs to the sample leaving the delay line now
// (written delay_length - 8 = n samples ago, at index w + 8).
static inline float carried_makeup(makeup_carry& c, int32_t w, float mk_now) {
    int32_t r = w + LIMITER_EXTRA_DELAY;
    if (r >= c.length) r -= c.length;
    const float mk = c.makeup[r];
    c.makeup[w] = mk_now < c.prev ? mk_now : c.prev;
    c.prev = mk_now;
    return mk;
}

// The output stage of one frame, after the wet signal: the mix with the delayed dry input, then the
// three switch crossfades (delta, unity gain, bypass) while any of them is active. `g` is the frame's
// gain meter value, blended the same way. Every product keeps its stated precision.
static inline void mix_and_switch(limiter_state* state, bool active, float dl, float dr, float yl, float yr,
                                  float wl, float wr, float mk, double mix, double makeup, double input_gain,
                                  float* g, float* out_l, float* out_r) {
    float outl, outr;
    if (mix < 0.9999) {
        outl = static_cast<float>(static_cast<double>(wl - yl) * mix + yl);
        outr = static_cast<float>(static_cast<double>(wr - yr) * mix + yr);
        *g = static_cast<float>((static_cast<double>(*g) - 1.0) * mix + 1.0);
    } else {
        outl = wl;
        outr = wr;
    }

    if (active) {
        const double fc = state->fade_coeff;
        state->fade_bypass += ((state->bypass ? 1.0 : 0.0) - state->fade_bypass) * fc;
        state->fade_delta += ((state->delta ? 1.0 : 0.0) - state->fade_delta) * fc;
        state->fade_unity += ((state->unity ? 1.0 : 0.0) - state->fade_unity) * fc;
        if (state->fade_delta > 0.0001) {
            const double fd = state->fade_delta;
            outl += static_cast<float>(static_cast<double>((dl * mk - wl) - outl) * fd);
            outr += static_cast<float>(static_cast<double>((dr * mk - wr) - outr) * fd);
        }
        if (state->fade_unity > 0.0001) {
            const double u = (1.0 / (makeup * input_gain) - 1.0) * state->fade_unity + 1.0;
            outl = static_cast<float>(static_cast<double>(outl) * u);
            outr = static_cast<float>(static_cast<double>(outr) * u);
        }
        if (state->fade_bypass > 0.0001) {
            const double fb = state->fade_bypass;
            outl += static_cast<float>(static_cast<double>(yl - outl) * fb);
            outr += static_cast<float>(static_cast<double>(yr - outr) * fb);
            *g += static_cast<float>(static_cast<double>(1.0f - *g) * fb);
        }
    }
    *out_l = outl;
    *out_r = outr;
}

#if LODRIN_ENGINE_SSE2

template <typename T>
static inline bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// True when one glide step leaves all five settings unchanged bit for bit. The step is a fixed
// function of (setting, target), so every further step in the block leaves them unchanged too. A
// glide ends this way: on the target, or stuck within an ulp of it where (t - s) c rounds away.
static bool settled_one(double smoothed, double target, double coeff) {
    const double next = smoothed + (target - smoothed) * coeff;
    uint64_t a, b;
    std::memcpy(&a, &next, sizeof a);
    std::memcpy(&b, &smoothed, sizeof b);
    return a == b;
}
static bool settled(const limiter_state* state) {
    for (int k = 0; k < 4; ++k)
        if (!settled_one(state->smoothed[k], state->target[k], state->smooth_coeff)) return false;
    return settled_one(state->ceiling_smoothed, state->ceiling_target, state->smooth_coeff);
}

// Two gain computers in the same state behave alike: fed the same targets they give the same gains
// and end in the same state again. Linked channels of balanced material (and a mono bus) keep them
// that way from a reset on, so the second computer's work can be taken from the first. "Same state"
// is checked strictly on everything a tick reads: the deque counters and its live entries (slots
// outside head..tail and values outside the live slots are written before they are read), the boxes
// with their running sums and taps in use, the envelopes and the hold.
static bool same_gain_state(const gain_computer* a, const gain_computer* b) {
    if (a->head != b->head || a->tail != b->tail || a->count != b->count || a->window != b->window ||
        a->mask != b->mask || a->hold_left != b->hold_left || !same_bits(a->slow_db, b->slow_db) ||
        !same_bits(a->fast_db, b->fast_db) || !same_bits(a->held_db, b->held_db))
        return false;
    const boxcar* boxes_a[2] = {&a->box1, &a->box2};
    const boxcar* boxes_b[2] = {&b->box1, &b->box2};
    for (int k = 0; k < 2; ++k) {
        const boxcar* x = boxes_a[k];
        const boxcar* y = boxes_b[k];
        if (x->length != y->length || x->index != y->index || !same_bits(x->sum, y->sum) ||
            std::memcmp(x->taps, y->taps, sizeof(float) * static_cast<size_t>(x->length)) != 0)
            return false;
    }
    for (uint32_t t = a->head; t != a->tail; ++t) {
        const int32_t s = a->slots[t & a->mask];
        if (s != b->slots[t & a->mask] || !same_bits(a->values[s], b->values[s])) return false;
    }
    return true;
}

// What a run of the same targets leaves in `from`, written into `to` (both sized alike): the deque
// arrays whole, the boxes' taps in use and every scalar a tick changes. The true-peak histories
// belong to the channels and stay.
static void copy_gain_state(const gain_computer* from, gain_computer* to) {
    const size_t cap = static_cast<size_t>(from->capacity);
    std::memcpy(to->values, from->values, sizeof(float) * cap);
    std::memcpy(to->slots, from->slots, sizeof(int32_t) * cap);
    to->head = from->head;
    to->tail = from->tail;
    to->count = from->count;
    std::memcpy(to->box1.taps, from->box1.taps, sizeof(float) * static_cast<size_t>(from->box1.length));
    std::memcpy(to->box2.taps, from->box2.taps, sizeof(float) * static_cast<size_t>(from->box2.length));
    to->box1.index = from->box1.index;
    to->box2.index = from->box2.index;
    to->box1.sum = from->box1.sum;
    to->box2.sum = from->box2.sum;
    to->slow_db = from->slow_db;
    to->fast_db = from->fast_db;
    to->held_db = from->held_db;
    to->hold_left = from->hold_left;
}

static bool same_targets(const float* a, const float* b, uint32_t n) {
    return std::memcmp(a, b, sizeof(float) * n) == 0;
}

// The block runs in chunks of up to RUN_MAX samples, each in three passes that keep every per-sample
// operation and its order: (1) the level glide, the input gain and the detector (which depend on
// nothing the gain computer does, so four consecutive samples share the SIMD lanes); (2) targets and
// the gain computers, step by step over the chunk (see gain_computer_inline.h), then delay lines, mix
// and switches, with every meter folded in sample order; (3) the output true-peak meter over the
// chunk's output, again four samples in the lanes.
void limiter_process_stereo(limiter_state* state, float* left, float* right, uint32_t frames) {
    using truepeak_detail::RUN_MAX;
    if (unsized(state)) return;
    const bool active = state->bypass || state->delta || state->unity || state->fade_bypass > 0.0001 ||
                        state->fade_delta > 0.0001 || state->fade_unity > 0.0001;
    const float lk = static_cast<float>(state->link);
    const bool true_peak = state->true_peak != 0;

    float lowest = 1.0f;
    float in_peak = 0.0f, det_peak = 0.0f, det_l = 0.0f, det_r = 0.0f;
    float out_peak = 0.0f, otp = 0.0f, otp_l = 0.0f, otp_r = 0.0f;

    double* const smoothed = state->smoothed;
    const int32_t delay_length = state->delay_length;
    int32_t w = state->write_pos;
    makeup_carry carry{state->delay_makeup, delay_length, state->makeup_prev};
    gain_computer* const gcl = &state->gc_l;
    gain_computer* const gcr = &state->gc_r;

    alignas(16) float xl[RUN_MAX], xr[RUN_MAX], thr[RUN_MAX], mk[RUN_MAX];
    alignas(16) float pl[RUN_MAX], pr[RUN_MAX], outl[RUN_MAX], outr[RUN_MAX], ol[RUN_MAX], orr[RUN_MAX];
    alignas(16) double s0[RUN_MAX], s2[RUN_MAX], s3[RUN_MAX];
    alignas(16) float tg_l[RUN_MAX], tg_r[RUN_MAX], sm_l[RUN_MAX], sm_r[RUN_MAX];
    alignas(16) double red_l[RUN_MAX], red_r[RUN_MAX]; // reduction in dB, then the gain

    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = frames - done < RUN_MAX ? frames - done : RUN_MAX;
        float* const l = left + done;
        float* const r = right + done;

        if (settled(state)) {
            // The glide is the identity here: skip its recurrence (nine cycles of latency a sample).
            const float ig = static_cast<float>(smoothed[0]);
            const float t1 = planned_threshold(state), t2 = static_cast<float>(smoothed[2]);
            const float reach = t1 * LIMITER_REACH;
            for (uint32_t i = 0; i < n; ++i) {
                thr[i] = t1;
                mk[i] = t2;
                s0[i] = smoothed[0];
                s2[i] = smoothed[2];
                s3[i] = smoothed[3];
                xl[i] = gained(ig, l[i], reach);
                xr[i] = gained(ig, r[i], reach);
            }
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                glide_step(state);
                const float ig = static_cast<float>(smoothed[0]);
                thr[i] = planned_threshold(state);
                mk[i] = static_cast<float>(smoothed[2]);
                s0[i] = smoothed[0];
                s2[i] = smoothed[2];
                s3[i] = smoothed[3];
                const float reach = thr[i] * LIMITER_REACH;
                xl[i] = gained(ig, l[i], reach);
                xr[i] = gained(ig, r[i], reach);
            }
        }
        truepeak_detail::interpolate_run_pair(&gcl->detector_history, &gcr->detector_history, xl, xr, n, pl,
                                              pr, !true_peak);

        // Window minima and ramps (serial per channel), then the independent reductions in dB, the
        // envelopes (serial), then the independent gains.
        for (uint32_t i = 0; i < n; ++i) {
            in_peak = fmax_new(std::fabs(xr[i]), fmax_new(std::fabs(xl[i]), in_peak));
            det_peak = fmax_new(pr[i], fmax_new(pl[i], det_peak));
            det_l = fmax_new(pl[i], det_l);
            det_r = fmax_new(pr[i], det_r);
            const float t = thr[i];
            const float gl = pl[i] > t ? t / pl[i] : 1.0f;
            const float gr = pr[i] > t ? t / pr[i] : 1.0f;
            const float gm = gr < gl ? gr : gl;
            const float tl = (gm - gl) * lk + gl;
            const float tr = (gm - gr) * lk + gr;
            tg_l[i] = tl;
            tg_r[i] = tr;
        }
        if (same_targets(tg_l, tg_r, n) && same_gain_state(gcl, gcr)) {
            // One computer's run serves both channels; the right one is then left in the state
            // its own run would have reached.
            gain_computer_detail::smooth_run(gcl, tg_l, sm_l, n);
            for (uint32_t i = 0; i < n; ++i)
                red_l[i] = gain_computer_detail::reduction_db(sm_l[i]);
            for (uint32_t i = 0; i < n; ++i)
                red_l[i] = gain_computer_detail::envelope(state, gcl, red_l[i]);
            for (uint32_t i = 0; i < n; ++i) {
                red_l[i] = gain_computer_detail::gain_of(red_l[i]);
                red_r[i] = red_l[i];
            }
            copy_gain_state(gcl, gcr);
        } else {
            gain_computer_detail::smooth_run(gcl, tg_l, sm_l, n);
            gain_computer_detail::smooth_run(gcr, tg_r, sm_r, n);
            // log10 and exp are pure functions: with the channels linked their inputs are usually
            // equal bit for bit, and the right channel takes the left one's result instead of a
            // second call.
            for (uint32_t i = 0; i < n; ++i) {
                red_l[i] = gain_computer_detail::reduction_db(sm_l[i]);
                red_r[i] =
                    same_bits(sm_l[i], sm_r[i]) ? red_l[i] : gain_computer_detail::reduction_db(sm_r[i]);
            }
            for (uint32_t i = 0; i < n; ++i) {
                red_l[i] = gain_computer_detail::envelope(state, gcl, red_l[i]);
                red_r[i] = gain_computer_detail::envelope(state, gcr, red_r[i]);
            }
            for (uint32_t i = 0; i < n; ++i) {
                const bool same = same_bits(red_l[i], red_r[i]);
                red_l[i] = gain_computer_detail::gain_of(red_l[i]);
                red_r[i] = same ? red_l[i] : gain_computer_detail::gain_of(red_r[i]);
            }
        }

        for (uint32_t i = 0; i < n; ++i) {
            const float inl = l[i];
            const float inr = r[i];
            const double Gl = red_l[i];
            const double Gr = red_r[i];

            const float dl = state->delay_in_l[w];
            const float dr = state->delay_in_r[w];
            const float yl = state->delay_dry_l[w];
            const float yr = state->delay_dry_r[w];
            state->delay_in_l[w] = xl[i];
            state->delay_in_r[w] = xr[i];
            state->delay_dry_l[w] = inl;
            state->delay_dry_r[w] = inr;
            const float m_k = carried_makeup(carry, w, mk[i]);
            if (++w == delay_length) w = 0;

            const float wl = static_cast<float>(Gl) * dl * m_k;
            const float wr = static_cast<float>(Gr) * dr * m_k;
            float g = static_cast<float>(Gr < Gl ? Gr : Gl);

            float ol_, or_;
            mix_and_switch(state, active, dl, dr, yl, yr, wl, wr, m_k, s3[i], s2[i], s0[i], &g, &ol_, &or_);

            l[i] = ol_;
            r[i] = or_;
            outl[i] = ol_;
            outr[i] = or_;
            out_peak = fmax_new(std::fabs(or_), fmax_new(std::fabs(ol_), out_peak));
            lowest = fmin_new(g, lowest);
        }

        truepeak_detail::interpolate_run_pair(&gcl->output_history, &gcr->output_history, outl, outr, n, ol,
                                              orr, false);
        for (uint32_t i = 0; i < n; ++i) {
            otp = fmax_new(orr[i], fmax_new(ol[i], otp));
            otp_l = fmax_new(ol[i], otp_l);
            otp_r = fmax_new(orr[i], otp_r);
        }
        done += n;
    }
    state->write_pos = w;
    state->makeup_prev = carry.prev;

    state->min_gain = lowest;
    state->in_peak = in_peak;
    state->in_detect_peak = det_peak;
    state->out_peak = out_peak;
    state->out_true_peak = otp;
    state->in_detect_l = det_l;
    state->in_detect_r = det_r;
    state->out_true_peak_l = otp_l;
    state->out_true_peak_r = otp_r;
    state->effective_makeup = (1.0 - state->fade_unity) * smoothed[2] + state->fade_unity / smoothed[0];
}

#else

void limiter_process_stereo(limiter_state* state, float* left, float* right, uint32_t frames) {
    if (unsized(state)) return;
    const bool active = state->bypass || state->delta || state->unity || state->fade_bypass > 0.0001 ||
                        state->fade_delta > 0.0001 || state->fade_unity > 0.0001;
    const float lk = static_cast<float>(state->link);

    float lowest = 1.0f;
    float in_peak = 0.0f, det_peak = 0.0f, det_l = 0.0f, det_r = 0.0f;
    float out_peak = 0.0f, otp = 0.0f, otp_l = 0.0f, otp_r = 0.0f;

    double* const smoothed = state->smoothed;
    const int32_t delay_length = state->delay_length;
    int32_t w = state->write_pos;
    makeup_carry carry{state->delay_makeup, delay_length, state->makeup_prev};
    gain_computer* const gcl = &state->gc_l;
    gain_computer* const gcr = &state->gc_r;

    for (uint32_t i = 0; i < frames; ++i) {
        glide_step(state);
        const float ig = static_cast<float>(smoothed[0]);
        const float thr = planned_threshold(state);

        const float inl = left[i];
        const float inr = right[i];
        const float reach = thr * LIMITER_REACH;
        const float xl = gained(ig, inl, reach);
        const float xr = gained(ig, inr, reach);
        in_peak = fmax_new(std::fabs(xr), fmax_new(std::fabs(xl), in_peak));

        float pl, pr;
        if (state->true_peak) {
            pl = truepeak_process(&gcl->detector_history, xl);
            pr = truepeak_process(&gcr->detector_history, xr);
        } else {
            float o[TRUEPEAK_PHASES];
            truepeak_interpolate(&gcl->detector_history, xl, o);
            pl = std::fabs(o[3]);
            truepeak_interpolate(&gcr->detector_history, xr, o);
            pr = std::fabs(o[3]);
        }
        det_peak = fmax_new(pr, fmax_new(pl, det_peak));
        det_l = fmax_new(pl, det_l);
        det_r = fmax_new(pr, det_r);

        const float gl = pl > thr ? thr / pl : 1.0f;
        const float gr = pr > thr ? thr / pr : 1.0f;
        const float gm = gr < gl ? gr : gl;
        const float tl = (gm - gl) * lk + gl;
        const float tr = (gm - gr) * lk + gr;

        const double Gl = gain_computer_detail::tick(state, gcl, tl);
        const double Gr = gain_computer_detail::tick(state, gcr, tr);

        const float dl = state->delay_in_l[w];
        const float dr = state->delay_in_r[w];
        const float yl = state->delay_dry_l[w];
        const float yr = state->delay_dry_r[w];
        state->delay_in_l[w] = xl;
        state->delay_in_r[w] = xr;
        state->delay_dry_l[w] = inl;
        state->delay_dry_r[w] = inr;
        const float mk = carried_makeup(carry, w, static_cast<float>(smoothed[2]));
        if (++w == delay_length) w = 0;

        const float wl = static_cast<float>(Gl) * dl * mk;
        const float wr = static_cast<float>(Gr) * dr * mk;
        float g = static_cast<float>(Gr < Gl ? Gr : Gl);

        float outl, outr;
        mix_and_switch(state, active, dl, dr, yl, yr, wl, wr, mk, smoothed[3], smoothed[2], smoothed[0], &g,
                       &outl, &outr);

        left[i] = outl;
        right[i] = outr;
        out_peak = fmax_new(std::fabs(outr), fmax_new(std::fabs(outl), out_peak));

        const float ol = truepeak_process(&gcl->output_history, outl);
        const float orr = truepeak_process(&gcr->output_history, outr);
        lowest = fmin_new(g, lowest);
        otp = fmax_new(orr, fmax_new(ol, otp));
        otp_l = fmax_new(ol, otp_l);
        otp_r = fmax_new(orr, otp_r);
    }
    state->write_pos = w;
    state->makeup_prev = carry.prev;

    state->min_gain = lowest;
    state->in_peak = in_peak;
    state->in_detect_peak = det_peak;
    state->out_peak = out_peak;
    state->out_true_peak = otp;
    state->in_detect_l = det_l;
    state->in_detect_r = det_r;
    state->out_true_peak_l = otp_l;
    state->out_true_peak_r = otp_r;
    state->effective_makeup = (1.0 - state->fade_unity) * smoothed[2] + state->fade_unity / smoothed[0];
}

#endif
