// The lifecycle of one stage: init (host extensions, identity, slot, defaults), activate and
// deactivate (engine resources), destroy, reset, the processing brackets, the extension look-up and
// the main-thread callback that turns flags raised elsewhere into host calls.
//
// Threads: init, destroy, activate, deactivate, get_extension and on_main_thread on the host's main
// thread; reset, start_processing and stop_processing on its audio thread.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debug_ext.h"
#include "edit_queue.h"
#include "platform.h"
#include "plugin_instance.h"
#include "registry.h"
#include "scan_log.h"

namespace {

template <typename T>
const T* host_extension(const clap_host* host, const char* id) {
    if (!host || !host->get_extension) return nullptr;
    return static_cast<const T*>(host->get_extension(host, id));
}

bool plugin_init(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    scan_log("plug_init");
    // A second init would claim a second slot and list the instance twice: the first slot would stay
    // claimed for the life of the process and destroy would leave a listing of the freed instance.
    if (instance->slot) return false;
    const clap_host* host = instance->host;
    instance->host_params = host_extension<clap_host_params>(host, CLAP_EXT_PARAMS);
    instance->host_gui = host_extension<clap_host_gui>(host, CLAP_EXT_GUI);
    instance->host_latency = host_extension<clap_host_latency>(host, CLAP_EXT_LATENCY);
    instance->host_log = host_extension<clap_host_log>(host, CLAP_EXT_LOG);
    instance->host_state = host_extension<clap_host_state>(host, CLAP_EXT_STATE);
    instance->host_timer_support = host_extension<clap_host_timer_support>(host, CLAP_EXT_TIMER_SUPPORT);
    scan_log("plug_init: extensions");
    instance->timer_id = CLAP_INVALID_ID;
    instance->instance_id = random_u64();
    scan_log("plug_init: random");
    host_services_install();
    instance->slot = registry_attach(instance);
    scan_log("plug_init: registry_add");
    if (!instance->slot) return false;
    shm_exchange(instance->slot->instance_id, instance->instance_id);
    instance->ui = ui_settings{.loudness_target_index = 1,
                               .custom_target_lufs = -16.0,
                               .controls_open = 1,
                               .grid_open = 0,
                               .readout_mode = 0,
                               .spread = 0,
                               .zoom = 1.0};
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        shm_exchange(instance->slot->values[i], clamp_param_value(i, param_table[i].default_value));
    scan_log("plug_init: done");
    return true;
}

void release_engine(plugin_instance* instance) {
    limiter_free(&instance->limiter);
    std::free(instance->scratch);
    instance->scratch = nullptr;
    instance->active = 0;
    if (instance->slot) shm_exchange(instance->slot->active, 0u);
}

// Writes the count of non-finite input samples to the host log when it grew since the last line.
void log_non_finite_inputs(plugin_instance* instance) {
    const uint64_t count = std::atomic_ref<uint64_t>(instance->non_finite_inputs).load();
    if (count == instance->non_finite_inputs_logged) return;
    instance->non_finite_inputs_logged = count;
    char line[128];
    std::snprintf(line, sizeof line,
                  "lodrin: %llu non-finite input samples treated as silence since activation",
                  static_cast<unsigned long long>(count));
    host_log_message(instance, CLAP_LOG_WARNING, line);
}

void plugin_deactivate(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    if (instance->active) {
        log_non_finite_inputs(instance);
        release_engine(instance);
    }
}

void plugin_destroy(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    gui_close_editor(instance);
    if (instance->active) release_engine(instance);
    registry_detach(instance, instance->slot);
    instance->slot = nullptr;
    std::free(instance);
}

// Idle history after a rate change: no reduction, no level, no loudness.
void reset_history(shm_slot* slot) {
    for (uint32_t e = 0; e < HISTORY_SIZE; ++e) {
        shm_store(slot->history[HISTORY_GAIN][e], 1.0f);
        shm_store(slot->history[HISTORY_LEVEL][e], 0.0f);
        shm_store(slot->history[HISTORY_TRUE_PEAK][e], 0.0f);
        shm_store(slot->history[HISTORY_SHORT_TERM][e], -100.0f);
    }
    shm_store(slot->history_counter, 0u);
    shm_store(slot->history_gap_start, -1);
}

bool plugin_activate(const clap_plugin* plugin, double sample_rate, uint32_t, uint32_t max_frames) {
    plugin_instance* instance = instance_of(plugin);
    scan_log("activate");
    if (instance->active || !instance->slot) return false;
    // A rate that is not a positive number would reach integer conversions of sample counts.
    if (!(sample_rate > 0.0) || !std::isfinite(sample_rate)) return false;
    shm_slot* slot = instance->slot;
    instance->sample_rate = sample_rate;
    instance->max_frames = max_frames;
    if (!limiter_init(&instance->limiter, sample_rate, slot_setting(slot, PARAM_LOOKAHEAD))) return false;
    instance->levels_settled = 0;
    dither_seed(&instance->dither, random_u64());
    loudness_init(&instance->loudness, sample_rate);
    instance->col_min_gain = 1.0f;
    instance->col_max_level = 0.0f;
    instance->col_max_true_peak = 0.0f;
    instance->col_samples = 0;
    if (instance->prev_sample_rate != sample_rate) {
        reset_history(slot);
        instance->prev_call_clock = 0;
        instance->prev_call_frames = 0;
        instance->prev_sample_rate = sample_rate;
    }
    std::atomic_ref<uint32_t>(instance->restart_requested).exchange(0);
    std::atomic_ref<uint64_t>(instance->non_finite_inputs).exchange(0);
    instance->non_finite_inputs_logged = 0;
    instance->scratch_frames = max_frames > 16384u ? max_frames : 16384u;
    instance->scratch = static_cast<float*>(std::calloc(instance->scratch_frames, sizeof(float)));
    if (!instance->scratch) {
        limiter_free(&instance->limiter);
        return false;
    }
    shm_fetch_add(slot->activation_count, 1u);
    instance->active = 1;
    shm_exchange(slot->sample_rate, sample_rate);
    shm_exchange(slot->latency, limiter_latency(&instance->limiter));
    shm_exchange(slot->active, 1u);
    return true;
}

bool plugin_start_processing(const clap_plugin*) {
    return true;
}

void plugin_stop_processing(const clap_plugin*) {}

void plugin_reset(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    if (instance->slot) shm_fetch_add(instance->slot->reset_count, 1u);
    if (!instance->active) return;
    limiter_reset(&instance->limiter);
    loudness_reset(&instance->loudness);
}

const void* plugin_get_extension(const clap_plugin*, const char* id) {
    if (!id) return nullptr;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return params_extension();
    if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return audio_ports_extension();
    if (std::strcmp(id, CLAP_EXT_NOTE_PORTS) == 0) return note_ports_extension();
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return state_extension();
    if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return latency_extension();
    if (std::strcmp(id, CLAP_EXT_GUI) == 0) return gui_extension();
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return timer_support_extension();
    if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0) return posix_fd_support_extension();
    if (std::strcmp(id, LODRIN_EXT_DEBUG) == 0) return debug_extension();
    return nullptr;
}

// A gesture that an editor of another process holds open (a drag) ends when that editor's process
// dies: the drain asks for this check while such a gesture is open, and ends the gestures marked
// here at its next run, which the flush request brings about.
void end_gestures_of_dead_editors(plugin_instance* instance) {
    uint32_t abandoned = 0;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        std::atomic_ref<uint32_t> holder(instance->gesture_holder[i]);
        uint32_t tag = holder.load();
        if (tag == 0 || edit_producer_alive(tag)) continue;
        // Only the gesture that was checked: a drain that ended it meanwhile has cleared the tag.
        if (holder.compare_exchange_strong(tag, 0u)) abandoned |= 1u << i;
    }
    if (abandoned == 0) return;
    std::atomic_ref<uint32_t>(instance->gestures_abandoned).fetch_or(abandoned);
    host_request_flush(instance);
}

void plugin_on_main_thread(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    // The restart request repeats on every callback until the host's restart reaches activate.
    if (std::atomic_ref<uint32_t>(instance->restart_requested).load() != 0) host_request_restart(instance);
    log_non_finite_inputs(instance);
    if (!instance->slot) return;
    end_gestures_of_dead_editors(instance);
    const uint32_t flags = slot_take_requests(instance->slot);
    if (flags == 0) return;
    if (flags & SLOT_REQUEST_DIRTY) host_mark_dirty(instance);
    if (flags & SLOT_REQUEST_FLUSH) host_request_flush(instance);
}

} // namespace

void plugin_instance_setup(plugin_instance* instance, const clap_host* host) {
    instance->plugin = clap_plugin{
        .desc = plugin_descriptor(),
        .plugin_data = instance,
        .init = plugin_init,
        .destroy = plugin_destroy,
        .activate = plugin_activate,
        .deactivate = plugin_deactivate,
        .start_processing = plugin_start_processing,
        .stop_processing = plugin_stop_processing,
        .reset = plugin_reset,
        .process = plugin_process,
        .get_extension = plugin_get_extension,
        .on_main_thread = plugin_on_main_thread,
    };
    instance->host = host;
    instance->timer_id = CLAP_INVALID_ID;
    instance->registered_fd = -1;
}
