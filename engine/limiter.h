// The signal path of one stage: a stereo lookahead brickwall limiter that processes blocks of f32
// samples in place. Per sample it glides its four level settings (5 ms), applies the input gain,
// detects each channel's peak (4x true peak, or the sample delayed like the true-peak detector),
// forms target gains against the threshold, links the channels, runs one gain computer per channel,
// delays the signal by lookahead + 8 samples, applies gain and makeup, blends with the dry signal
// (mix) and crossfades (15 ms) into delta listening, unity gain and bypass. Nine block meters are
// rewritten at the end of every block. With Mix 100 % and no switch on (unity gain divides the makeup
// out again) the output holds the ceiling through any change of the settings and for any finite input.
//
// Threads and real-time rule: `limiter_init` and `limiter_free` run on the main thread while the
// stage does not process (activation, deactivation, destruction) and are the only calls that touch
// memory. Every other call runs on the audio thread, allocates nothing and takes no lock.
#pragma once

#include <cstdint>

#include "gain_computer.h"

inline constexpr int32_t LIMITER_STYLE_COUNT = 6;
inline constexpr int32_t LIMITER_EXTRA_DELAY = 8; // detector lag of the true-peak interpolator

// One row of the style table. The smoothing fraction scales the ramp length, the multipliers scale
// the release time into the envelope time constants, the hold is in ms.
struct limiter_style {
    const char* name; // display text of the "Style" parameter value
    double smoothing_fraction;
    double slow_attack_mult;
    double slow_release_mult;
    double peak_release_mult;
    double hold_ms;
};

inline constexpr limiter_style limiter_styles[LIMITER_STYLE_COUNT] = {
    {"Transparent", 1.0, 0.8, 5.0, 1.0, 0.0}, {"Allround", 0.8, 0.6, 4.0, 0.8, 2.0},
    {"Punchy", 0.5, 2.0, 4.0, 0.5, 0.0},      {"Aggressive", 0.35, 3.0, 3.0, 0.35, 0.0},
    {"Bus", 1.0, 0.3, 8.0, 1.5, 10.0},        {"Safe", 1.0, 0.5, 6.0, 1.6, 30.0},
};

// Indices of `smoothed` and `target`.
enum : int32_t {
    LIMITER_INPUT_GAIN = 0, // linear
    LIMITER_THRESHOLD = 1,  // linear
    LIMITER_MAKEUP = 2,     // linear: ceiling - threshold in dB
    LIMITER_MIX = 3,        // 0..1
};

struct limiter_state {
    double sample_rate;   // Hz
    int32_t lookahead;    // n, lookahead in samples, >= 2
    int32_t extra_delay;  // always 8
    int32_t delay_length; // n + 8: the stage's latency
    float* delay_in_l;    // owned rings of delay_length: input after input gain
    float* delay_in_r;
    float* delay_dry_l; // owned rings of delay_length: input as it came in
    float* delay_dry_r;
    int32_t write_pos; // shared by the four rings
    gain_computer gc_l;
    gain_computer gc_r;
    double smoothed[4];  // as applied, see LIMITER_INPUT_GAIN ...
    double target[4];    // as last set
    double smooth_coeff; // 5 ms one-pole
    double link;         // stereo link 0..1
    uint8_t true_peak;   // 1 true-peak detection, 0 sample detection
    uint8_t adaptive;    // 1 adaptive release
    double release_ms;
    double peak_release_coeff;
    double slow_release_coeff;
    double slow_attack_coeff;
    uint8_t bypass;
    uint8_t delta;
    uint8_t unity;
    double fade_bypass; // crossfade states 0..1 following the switches
    double fade_delta;
    double fade_unity;
    double fade_coeff;       // 15 ms one-pole
    double effective_makeup; // output level factor at unity reduction, set at the end of every block
    int32_t style;           // 0..5
    double style_row[4];     // smoothing fraction, slow-attack, slow-release, peak-release multipliers
    int32_t hold_samples;
    // Block meters, linear magnitudes, rewritten at the end of every block.
    float min_gain;       // lowest applied gain
    float in_peak;        // input sample peak after input gain
    float in_detect_peak; // highest detector value
    float out_peak;       // output sample peak
    float out_true_peak;  // output true peak
    float in_detect_l;
    float in_detect_r;
    float out_true_peak_l;
    float out_true_peak_r;
    // Holding the ceiling while the levels glide (see limiter.cpp). A reduction is planned against
    // the threshold of the moment its peak was detected; the makeup of that moment travels with it
    // through the lookahead to the output.
    double ceiling_target;   // linear ceiling: target threshold x target makeup
    double ceiling_smoothed; // glides with the other four settings
    float* delay_makeup;     // owned ring of delay_length: makeup of each planning moment
    float makeup_prev;       // makeup of the previous planning moment
};

// Gained input samples are bounded to the planned threshold times this factor (2^18, 108 dB). The
// reduction reaches 120 dB (gain floor 1e-6), and no 4x interpolated value exceeds 1.9 times the
// largest sample, so within the bound every peak is fully reduced and the output holds the ceiling
// whatever the finite input; the bound leaves every level the reduction could handle alone in
// practice (at the largest Gain it lies at +78 dBFS) and keeps the detector's sums finite.
inline constexpr float LIMITER_REACH = 0x1p18f;

// Sizes the stage for `sample_rate` and `lookahead_ms` (n = trunc(ms x 0.001 x rate + 0.5), at least
// 2), allocates the five delay rings (audio and makeup) and both gain computers, sets the defaults and
// resets. Builds the process-wide true-peak table on first use. Returns 1, or 0 when memory ran out (the
// record is then zeroed). The record owns its buffers until `limiter_free`. [main-thread, not processing]
int32_t limiter_init(limiter_state* state, double sample_rate, double lookahead_ms);

// Releases every buffer and zeroes the record. Safe on a zeroed record. [main-thread, not processing]
void limiter_free(limiter_state* state);

// The delay the stage adds, n + 8 samples, reported as the plug-in's latency (independent of the
// true-peak switch). 0 on a zeroed record. [any-thread]
uint32_t limiter_latency(const limiter_state* state);

// Host reset: clears the rings and both gain computers, jumps the settings to their targets, sets
// each fade to its switch, resets the block-wide meters. Settings, style and switches stay. Does
// nothing on a zeroed record. [audio-thread]
void limiter_reset(limiter_state* state);

// Selects a style, index clamped to 0..5; the same index again changes nothing. A change sets the
// ramp length, hold and release coefficients. [audio-thread]
void limiter_set_style(limiter_state* state, int32_t index);

// Sets the four level targets (they glide over 5 ms inside the processing), the link (clamped 0..1),
// the detection and release modes and the release time (coefficients recomputed only when it
// changed). Levels in dB are not clamped here. [audio-thread]
void limiter_set_levels(limiter_state* state, double input_db, double threshold_db, double ceiling_db,
                        double release_ms, double link, uint8_t true_peak, uint8_t adaptive, double mix);

// Stores the bypass, delta-listen and unity-gain switches; the crossfades follow within the
// processing. [audio-thread]
void limiter_set_switches(limiter_state* state, uint8_t bypass, uint8_t delta, uint8_t unity);

// Recomputes the three release coefficients from the release time, the style and the rate.
// [audio-thread; also called by init]
void limiter_update_release(limiter_state* state);

// Processes `frames` samples of `left` and `right` in place and rewrites the block meters and
// `effective_makeup` (frames 0 only does that). `left` and `right` may be the same buffer (a mono
// bus). The buffers are borrowed for the call. Expects denormals flushed by the caller. On an unsized
// (zeroed or freed) record the block passes unchanged. [audio-thread]
void limiter_process_stereo(limiter_state* state, float* left, float* right, uint32_t frames);
