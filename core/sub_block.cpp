// One stretch of a block in which no host event falls: read the stage's settings from its slot,
// configure the engine, run limiter, dither and loudness meter in place, fold the block meters and
// push 64-sample history columns.
//
// Real-time rule: audio thread only, no allocation, no lock; fourteen atomic loads per sub-block, so
// a value stored by any editor takes effect at the next sub-block.
#include <algorithm>

#include "platform.h"
#include "plugin_instance.h"

namespace {
constexpr int32_t COLUMN = 64; // samples per history column
}

void process_sub_block(plugin_instance* instance, float* left, float* right, uint32_t frames,
                       float meters[9]) {
    shm_slot* slot = instance->slot;
    limiter_state* lim = &instance->limiter;
    const double style = slot_setting(slot, PARAM_STYLE);
    const double adaptive = slot_setting(slot, PARAM_ADAPTIVE_RELEASE);
    const double true_peak = slot_setting(slot, PARAM_TRUE_PEAK);
    const double mix = slot_setting(slot, PARAM_MIX);
    const double link = slot_setting(slot, PARAM_STEREO_LINK);
    const double release = slot_setting(slot, PARAM_RELEASE);
    const double ceiling = slot_setting(slot, PARAM_CEILING);
    const double gain = slot_setting(slot, PARAM_GAIN);
    const double input = slot_setting(slot, PARAM_INPUT);
    const double bypass_value = slot_setting(slot, PARAM_BYPASS);
    const double unity = slot_setting(slot, PARAM_UNITY_GAIN);
    const double delta = slot_setting(slot, PARAM_DELTA_LISTEN);
    const double dither = slot_setting(slot, PARAM_DITHER);
    const double shaping = slot_setting(slot, PARAM_NOISE_SHAPING);

    limiter_set_style(lim, static_cast<int32_t>(style + 0.5));
    limiter_set_levels(lim, input, -gain, ceiling, release, link / 100.0, true_peak >= 0.5, adaptive >= 0.5,
                       mix / 100.0);
    const bool bypass = bypass_value >= 0.5;
    limiter_set_switches(lim, bypass, delta >= 0.5, unity >= 0.5);
    if (!instance->levels_settled) {
        // First audio after activation: start at the settings, as after a host reset.
        limiter_reset(lim);
        instance->levels_settled = 1;
    }
    limiter_process_stereo(lim, left, right, frames);

    // A bypassed stage never dithers.
    const int32_t mode = static_cast<int32_t>(dither + 0.5);
    if (mode >= 1 && !bypass) {
        const int32_t shape = static_cast<int32_t>(shaping + 0.5);
        apply_dither_stereo(&instance->dither, left, right, static_cast<int32_t>(frames), mode, shape);
    }
    // The loudness shown is that of what the stage puts out, bypassed or not.
    loudness_process(&instance->loudness, left, right, frames);

    meters[0] = std::min(meters[0], lim->min_gain);
    meters[1] = std::max(meters[1], lim->in_peak);
    meters[2] = std::max(meters[2], lim->out_peak);
    meters[3] = std::max(meters[3], lim->in_detect_peak);
    meters[4] = std::max(meters[4], lim->out_true_peak);
    meters[5] = std::max(meters[5], lim->in_detect_l);
    meters[6] = std::max(meters[6], lim->in_detect_r);
    meters[7] = std::max(meters[7], lim->out_true_peak_l);
    meters[8] = std::max(meters[8], lim->out_true_peak_r);

    // The level column is in the output's scale: the detector peak times the makeup the stage applies,
    // blended towards the output true peak as the bypass fades in. The gap between it and the
    // true-peak column is the reduction the limiter achieved.
    instance->col_min_gain = std::min(instance->col_min_gain, lim->min_gain);
    const float x = static_cast<float>(lim->effective_makeup) * lim->in_detect_peak;
    const float level = x + (lim->out_true_peak - x) * static_cast<float>(lim->fade_bypass);
    instance->col_max_level = std::max(instance->col_max_level, level);
    instance->col_max_true_peak = std::max(instance->col_max_true_peak, lim->out_true_peak);
    instance->col_samples += static_cast<int32_t>(frames);
    if (instance->col_samples < COLUMN) return;

    const float short_term = static_cast<float>(instance->loudness.short_term);
    do {
        const uint32_t b = shm_load(slot->history_counter);
        const uint32_t e = b & (HISTORY_SIZE - 1);
        shm_store(slot->history[HISTORY_GAIN][e], instance->col_min_gain);
        shm_store(slot->history[HISTORY_LEVEL][e], instance->col_max_level);
        shm_store(slot->history[HISTORY_TRUE_PEAK][e], instance->col_max_true_peak);
        shm_store(slot->history[HISTORY_SHORT_TERM][e], short_term);
        shm_store(slot->history_counter, b + 1);
        instance->col_samples -= COLUMN;
    } while (instance->col_samples >= COLUMN);
    shm_store(slot->history_time_ns, clock_ns());
    instance->col_min_gain = 1.0f;
    instance->col_max_level = 0.0f;
    instance->col_max_true_peak = 0.0f;
}
