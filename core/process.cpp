// The process driver: the stage's audio-thread entry.
//
// Real-time rule for this file: nothing here allocates, locks, logs or calls the system except the
// clock; every field shared with other threads or processes is reached through one atomic operation.
//
// One call: stamp the timing entry, ask for a main-thread callback when edits left request flags,
// turn queued edits into output events, then cut the block at the times of its input events and run
// the engine on each stretch (an event timed t takes effect from sample t on). Meters are folded in
// locals and published once at the end.
#include <cmath>
#include <cstring>

#include "edit_queue.h"
#include "fp_mode.h"
#include "platform.h"
#include "plugin_instance.h"
#include "registry.h"
#include "timing.h"

namespace {

constexpr double GAP_THRESHOLD_NS = 300000000.0; // pauses beyond 0.3 s are written as idle columns
constexpr uint32_t METER_COUNT = 9;

// Writes idle columns for the time between the previous call and this one beyond the audio the
// previous call carried, so the history's time axis stays true across stops and pauses.
void fill_idle_gap(plugin_instance* instance, int64_t now, int64_t steady) {
    if (instance->prev_call_clock == 0 || !(instance->sample_rate > 0.0)) return;
    const double rate = instance->sample_rate;
    const double gap =
        static_cast<double>(now - instance->prev_call_clock) - instance->prev_call_frames * 1e9 / rate;
    if (!(gap > GAP_THRESHOLD_NS)) return;
    // One column is 64 samples.
    int64_t count = static_cast<int64_t>(gap * rate / 1e9 * 0.015625);
    if (steady >= 0 && instance->prev_call_steady >= 0) {
        // Both times are non-negative, so their difference cannot overflow; the frames come off after.
        const int64_t since = steady - instance->prev_call_steady;
        const int64_t d = since > 0 ? since - static_cast<int64_t>(instance->prev_call_frames) : 0;
        if (d >= 1) {
            // The host's own clock of the pause is preferred when it roughly agrees with ours.
            const int64_t by_steady = d / 64;
            if (by_steady < 2 * count && count < 2 * by_steady) count = by_steady;
        }
    }
    if (count <= 0) return;
    if (count > HISTORY_SIZE) count = HISTORY_SIZE;
    shm_slot* slot = instance->slot;
    const uint32_t b = shm_load(slot->history_counter);
    for (uint32_t j = 0; j < static_cast<uint32_t>(count); ++j) {
        const uint32_t e = (b + j) & (HISTORY_SIZE - 1);
        shm_store(slot->history[HISTORY_GAIN][e], 1.0f);
        shm_store(slot->history[HISTORY_LEVEL][e], -1.0f);
        shm_store(slot->history[HISTORY_TRUE_PEAK][e], 0.0f);
        shm_store(slot->history[HISTORY_SHORT_TERM][e], -100.0f);
    }
    shm_store(slot->history_counter, b + static_cast<uint32_t>(count));
    shm_store(slot->history_gap_start, static_cast<int32_t>(b));
    instance->col_min_gain = 1.0f;
    instance->col_max_level = 0.0f;
    instance->col_max_true_peak = 0.0f;
    instance->col_samples = 0;
}

// Replaces every NaN and infinity of x[0..n) by 0 (silence) and returns how many there were. A single
// such sample would otherwise reach the engine's recursive states (detector, release envelopes,
// dither error feedback, loudness filters) and spoil them for good. Tested on the exponent bits, so
// the loop has no branch and does not depend on the floating-point mode.
uint32_t silence_non_finite(float* x, uint32_t n) {
    uint32_t bad = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &x[i], sizeof bits);
        const bool non_finite = (bits & 0x7f800000u) == 0x7f800000u;
        bad += non_finite ? 1u : 0u;
        bits = non_finite ? 0u : bits;
        std::memcpy(&x[i], &bits, sizeof bits);
    }
    return bad;
}

void apply_all_events(plugin_instance* instance, const clap_input_events* in, uint32_t n,
                      const clap_output_events* out) {
    for (uint32_t i = 0; i < n; ++i)
        apply_input_event(instance, in->get(in, i), out);
}

} // namespace

namespace {

bool push_gesture(const clap_output_events* out, uint16_t type, uint32_t param_id) {
    clap_event_param_gesture event{};
    event.header = clap_event_header{.size = sizeof(clap_event_param_gesture),
                                     .time = 0,
                                     .space_id = CLAP_CORE_EVENT_SPACE_ID,
                                     .type = type,
                                     .flags = 0};
    event.param_id = param_id;
    return out->try_push(out, &event.header);
}

bool push_value(const clap_output_events* out, uint32_t param_id, double value) {
    clap_event_param_value event{};
    event.header = clap_event_header{.size = sizeof(clap_event_param_value),
                                     .time = 0,
                                     .space_id = CLAP_CORE_EVENT_SPACE_ID,
                                     .type = CLAP_EVENT_PARAM_VALUE,
                                     .flags = 0};
    event.param_id = param_id;
    event.cookie = nullptr;
    event.note_id = -1;
    event.port_index = -1;
    event.channel = -1;
    event.key = -1;
    event.value = value;
    return out->try_push(out, &event.header);
}

// One queued edit to the host. False when the edit was lost (unknown id or kind, full output list) or
// broke the gesture order: a begin inside an open gesture and an end outside one are left out, never
// sent unbalanced, and the resynchronisation that follows closes whatever the producer left open.
bool forward_edit(plugin_instance* instance, const clap_output_events* out, const slot_edit_event& edit) {
    const int32_t index = param_index_of_id(edit.param_id);
    if (index < 0) return false;
    uint8_t& open = instance->gesture_open[index];
    std::atomic_ref<uint32_t> holder(instance->gesture_holder[index]);
    switch (edit.kind & EDIT_KIND_MASK) {
    case EDIT_KIND_VALUE: {
        const double v = clamp_param_value(index, edit.value);
        if (!push_value(out, edit.param_id, v)) return false;
        instance->reported_value[index] = v;
        return true;
    }
    case EDIT_KIND_BEGIN:
        if (open) return false;
        if (!push_gesture(out, CLAP_EVENT_PARAM_GESTURE_BEGIN, edit.param_id)) return false;
        open = 1;
        holder.store(edit.kind >> 8);
        return true;
    case EDIT_KIND_END:
        if (!open) return false;
        if (!push_gesture(out, CLAP_EVENT_PARAM_GESTURE_END, edit.param_id)) return false;
        open = 0;
        holder.store(0);
        return true;
    default:
        return false;
    }
}

// Brings the host's view back to the slot: every value that differs from what the host last heard goes
// out inside a gesture, and every gesture still open is closed. True when everything fitted.
bool resync_host_view(plugin_instance* instance, const clap_output_events* out) {
    bool complete = true;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        const uint32_t id = param_table[i].id;
        uint8_t& open = instance->gesture_open[i];
        const double v = slot_setting(instance->slot, i);
        if (v != instance->reported_value[i]) {
            if (!open && push_gesture(out, CLAP_EVENT_PARAM_GESTURE_BEGIN, id)) open = 1;
            if (open && push_value(out, id, v))
                instance->reported_value[i] = v;
            else
                complete = false;
        }
        if (open) {
            if (push_gesture(out, CLAP_EVENT_PARAM_GESTURE_END, id))
                open = 0;
            else
                complete = false;
        }
        if (!open) std::atomic_ref<uint32_t>(instance->gesture_holder[i]).store(0);
    }
    return complete;
}

// Ends the gestures whose editor died (marked by the main thread), and asks the main thread to check
// the editors of those still held open by another process, every PRODUCER_CHECK_NS.
constexpr int64_t PRODUCER_CHECK_NS = 250000000;

void end_abandoned_gestures(plugin_instance* instance, const clap_output_events* out, bool can_push) {
    const uint32_t abandoned = std::atomic_ref<uint32_t>(instance->gestures_abandoned).exchange(0);
    bool held = false;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        uint8_t& open = instance->gesture_open[i];
        std::atomic_ref<uint32_t> holder(instance->gesture_holder[i]);
        if ((abandoned >> i) & 1u) {
            if (open && !(can_push && push_gesture(out, CLAP_EVENT_PARAM_GESTURE_END, param_table[i].id)))
                instance->resync_pending = 1;
            else
                open = 0;
            if (!open) holder.store(0);
        }
        held = held || (open && holder.load() != 0);
    }
    if (!held) return;
    const int64_t now = clock_ns();
    if (now - instance->holder_check_ns < PRODUCER_CHECK_NS && now >= instance->holder_check_ns) return;
    instance->holder_check_ns = now;
    host_request_callback(instance);
}

} // namespace

void drain_param_event_queue(plugin_instance* instance, const clap_output_events* out) {
    shm_slot* slot = instance->slot;
    if (!slot) return;
    if (!instance->reported_known) {
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            instance->reported_value[i] = slot_setting(slot, i);
        instance->reported_known = 1;
    }
    if (slot_take_resync(slot)) instance->resync_pending = 1;
    const bool can_push = out && out->try_push;
    // The ring lies in memory that any process of the user can write. One ring's worth per call at
    // most, so a writer that keeps pace cannot hold the audio thread here.
    slot_edit_event edit;
    bool lost = false;
    uint32_t taken = 0;
    for (; taken < EDIT_RING_SIZE && slot_take_edit(slot, &edit, &lost); ++taken) {
        if (!can_push || !forward_edit(instance, out, edit)) lost = true;
    }
    if (lost) instance->resync_pending = 1;
    end_abandoned_gestures(instance, out, can_push);
    // Only once the ring is empty: comparing earlier would send values whose events are still queued.
    const bool ring_empty = taken < EDIT_RING_SIZE || slot_edit_pending(slot) == 0;
    if (instance->resync_pending && ring_empty && can_push && resync_host_view(instance, out))
        instance->resync_pending = 0;
}

void push_param_value_event(const clap_output_events* out, uint32_t param_id, double value) {
    if (!out || !out->try_push) return;
    push_value(out, param_id, value);
}

void apply_input_event(plugin_instance* instance, const clap_event_header* event,
                       const clap_output_events* out) {
    if (!event || event->space_id != CLAP_CORE_EVENT_SPACE_ID) return;
    if (event->type == CLAP_EVENT_MIDI) {
        if (event->size < sizeof(clap_event_midi)) return;
        handle_midi_cc_event(instance, reinterpret_cast<const clap_event_midi*>(event), out);
    } else if (event->type == CLAP_EVENT_PARAM_VALUE) {
        if (event->size < sizeof(clap_event_param_value)) return;
        const auto* pv = reinterpret_cast<const clap_event_param_value*>(event);
        const int32_t index = param_index_of_id(pv->param_id);
        if (index < 0 || (param_table[index].flags & CLAP_PARAM_IS_READONLY)) return;
        const double v = clamp_param_value(index, pv->value);
        shm_exchange(instance->slot->values[index], v);
        // The host set it, so the host knows it.
        instance->reported_value[index] = v;
    }
}

clap_process_status plugin_process(const clap_plugin* plugin, const clap_process* process) {
    plugin_instance* instance = instance_of(plugin);
    shm_slot* slot = instance->slot;
    if (!slot || !process) return CLAP_PROCESS_CONTINUE;
    const int64_t now = clock_ns();
    const int64_t steady = process->steady_time;
    const uint32_t c = slot_timing_begin(slot, now, steady);
    shm_exchange(slot->block_sequence, registry_next_sequence());
    if (shm_load(slot->request_flags) != 0) host_request_callback(instance);

    const clap_output_events* out = process->out_events;
    drain_param_event_queue(instance, out);

    const clap_input_events* in = process->in_events;
    const uint32_t n = (in && in->size && in->get) ? in->size(in) : 0;

    // No output channel is ever constant: a stale bit left by the host must not make it skip ours.
    if (process->audio_outputs)
        for (uint32_t p = 0; p < process->audio_outputs_count; ++p)
            process->audio_outputs[p].constant_mask = 0;

    if (!instance->active || process->audio_inputs_count < 1 || process->audio_outputs_count < 1 ||
        !process->audio_inputs || !process->audio_outputs) {
        apply_all_events(instance, in, n, out);
        return CLAP_PROCESS_CONTINUE;
    }

    const uint32_t frames = process->frames_count;
    shm_exchange(slot->block_frames, frames);
    if (static_cast<int32_t>(frames) > static_cast<int32_t>(shm_load(slot->max_block_frames)))
        shm_exchange(slot->max_block_frames, frames);
    if (frames > instance->max_frames) shm_fetch_add(slot->oversize_blocks, 1u);

    const clap_audio_buffer& input = process->audio_inputs[0];
    const clap_audio_buffer& output = process->audio_outputs[0];
    if (frames == 0 || !input.data32 || !output.data32 || input.channel_count == 0 ||
        output.channel_count == 0) {
        apply_all_events(instance, in, n, out);
        return CLAP_PROCESS_CONTINUE;
    }

    fill_idle_gap(instance, now, steady);
    instance->prev_call_clock = now;
    instance->prev_call_frames = frames;
    instance->prev_call_steady = steady;

    // A mono input feeds both sides; with a mono output the right side runs in the scratch buffer and
    // is dropped. A mono-output block longer than the scratch buffer (the host broke its promised
    // maximum, which is at least 16384) runs as a mono bus instead: the engine takes the output
    // channel for both sides, so nothing reaches past the scratch buffer.
    const float* in_l = input.data32[0];
    const float* in_r = input.channel_count >= 2 ? input.data32[1] : in_l;
    float* out_l = output.data32[0];
    float* out_r = output.channel_count >= 2 ? output.data32[1] : instance->scratch;
    if (out_r == instance->scratch && frames > instance->scratch_frames) out_r = out_l;
    if (!in_l || !in_r || !out_l || !out_r) {
        apply_all_events(instance, in, n, out);
        return CLAP_PROCESS_CONTINUE;
    }
    if (in_l != out_l) std::memmove(out_l, in_l, frames * sizeof(float));
    if (in_r != out_r && out_r != out_l) std::memmove(out_r, in_r, frames * sizeof(float));
    // Non-finite input is silence from here on; each bad input sample is counted once (a mono input
    // copied to both sides counts on the left). The main thread reports the count (plugin.cpp).
    uint32_t bad = silence_non_finite(out_l, frames);
    if (out_r != out_l) {
        const uint32_t bad_r = silence_non_finite(out_r, frames);
        if (in_r != in_l) bad += bad_r;
    }
    if (bad != 0 && std::atomic_ref<uint64_t>(instance->non_finite_inputs).fetch_add(bad) == 0)
        host_request_callback(instance);

    if (shm_load(slot->reset_loudness) != 0) {
        shm_exchange(slot->reset_loudness, 0u);
        loudness_reset(&instance->loudness);
    }

    const int32_t k = lookahead_samples(slot_setting(slot, PARAM_LOOKAHEAD), instance->sample_rate);
    std::atomic_ref<uint32_t> restart(instance->restart_requested);
    if (k != instance->limiter.lookahead && restart.load() == 0) {
        restart.store(1);
        host_request_callback(instance);
    }

    const fp_mode_saved fp = fp_mode_flush_denormals();
    float meters[METER_COUNT] = {1.0f, 0, 0, 0, 0, 0, 0, 0, 0};

    uint32_t pos = 0, i = 0;
    while (pos < frames) {
        for (; i < n; ++i) {
            const clap_event_header* event = in->get(in, i);
            if (event && event->time > pos) break;
            apply_input_event(instance, event, out);
        }
        uint32_t end = frames;
        if (i < n) {
            const clap_event_header* event = in->get(in, i);
            if (event && event->time < frames) end = event->time;
        }
        if (end <= pos) end = pos + 1;
        if (out_r == instance->scratch && end - pos > instance->scratch_frames)
            end = pos + instance->scratch_frames;
        process_sub_block(instance, out_l + pos, out_r + pos, end - pos, meters);
        pos = end;
    }
    for (; i < n; ++i)
        apply_input_event(instance, in->get(in, i), out);

    fp_mode_restore(fp);

    shm_exchange(slot->min_gain, meters[0]);
    shm_exchange(slot->input_peak, meters[1]);
    shm_exchange(slot->output_peak, meters[2]);
    shm_exchange(slot->detected_peak, meters[3]);
    shm_exchange(slot->output_true_peak, meters[4]);
    shm_exchange(slot->detected_peak_l, meters[5]);
    shm_exchange(slot->detected_peak_r, meters[6]);
    shm_exchange(slot->output_true_peak_l, meters[7]);
    shm_exchange(slot->output_true_peak_r, meters[8]);
    shm_exchange(slot->momentary_lufs, static_cast<float>(instance->loudness.momentary));
    shm_exchange(slot->short_term_lufs, static_cast<float>(instance->loudness.short_term));
    shm_exchange(slot->integrated_lufs, static_cast<float>(instance->loudness.integrated));

    slot_timing_end(slot, c, clock_ns());
    return CLAP_PROCESS_CONTINUE;
}
