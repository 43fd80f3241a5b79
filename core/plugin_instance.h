// The record behind one CLAP plug-in object, i.e. one stage, and the operations of the core that
// the other parts of the plug-in call on it.
//
// The stage's parameters do not live here but in its shm_slot, so that editors in any process can
// read and change them; the instance holds the slot from init to destroy.
#pragma once

#include <cstdint>

#include "clap/clap.h"
#include "dither.h"
#include "limiter.h"
#include "loudness.h"
#include "shm.h"

struct editor_state;

// Editor settings kept per instance and saved in the "UI01" chunk of the state.
struct ui_settings {
    uint32_t loudness_target_index; // row of the loudness-target table, 0..4
    double custom_target_lufs;      // -40..0
    uint32_t controls_open;         // 0 or 1
    uint32_t grid_open;             // 0 or 1
    uint32_t readout_mode;          // 0 short-term, 1 momentary, 2 integrated
    uint32_t spread;                // 0 even, 1 front, 2 back
    double zoom;                    // 0.6..2.5
};

inline constexpr int32_t UNDO_STAGES = 16;
inline constexpr int32_t AB_STAGES = 64;
inline constexpr int32_t UNDO_DEPTH = 64;

// The values of the stages of a chain at one undo point (made and applied by the editor).
struct undo_snapshot {
    int32_t count;
    shm_slot* slots[UNDO_STAGES];
    uint64_t ids[UNDO_STAGES]; // instance id each slot held when recorded: a restore checks it
    double values[UNDO_STAGES][PARAM_COUNT];
};

// One A/B compare record of a chain (made and applied by the editor).
struct ab_slot {
    int32_t count;
    uint8_t valid; // set once the record has been filled
    shm_slot* slots[AB_STAGES];
    double values[AB_STAGES][PARAM_COUNT];
};

struct plugin_instance {
    clap_plugin plugin; // first member: the object handed to the host; plugin_data = this
    const clap_host* host;
    const clap_host_params* host_params; // each host table may be null
    const clap_host_gui* host_gui;
    const clap_host_latency* host_latency; // fetched, never called
    const clap_host_log* host_log;
    const clap_host_state* host_state;
    const clap_host_timer_support* host_timer_support;
    uint32_t timer_id; // CLAP_INVALID_ID while no host timer is held
    const clap_host_posix_fd_support* host_posix_fd; // fetched when the editor first opens (X11 only)
    int registered_fd; // the display connection's descriptor while the host watches it, else -1
    uint64_t instance_id;
    shm_slot* slot; // null only when init failed
    double sample_rate;
    double prev_sample_rate; // rate of the last activation past engine set-up, 0 before the first
    uint32_t max_frames;
    uint8_t active;
    limiter_state limiter;
    // 0 from activation until the first sub-block has set the engine's levels to the stage's settings
    // without a glide: a fresh engine starts at unity, and gliding from there would let the first
    // milliseconds after every activation pass above the ceiling.
    uint8_t levels_settled;
    dither_state dither;
    loudness_meter loudness;
    // History column accumulators (sub-block processing).
    float col_min_gain;
    float col_max_level;
    float col_max_true_peak;
    int32_t col_samples;
    // The previous audio-processing call, for idle-gap detection.
    int64_t prev_call_clock; // 0 when none
    uint32_t prev_call_frames;
    int64_t prev_call_steady;
    uint32_t restart_requested; // atomic: 1 once a latency change asked for a restart
    // Non-finite input samples (NaN, infinity) the process driver turned into silence since
    // activation: counted on the audio thread (atomic), written to the host log by the main thread.
    uint64_t non_finite_inputs;        // atomic
    uint64_t non_finite_inputs_logged; // main thread: the count last logged

    // ---- The host's view of the parameters, kept by the edit drain ----
    // The drain (process, or params flush while not processing: never both at once) and the input
    // events it applies are the only users. When edit events were lost, the drain compares the slot
    // with reported_value and sends the differences, so the host never stays apart from the stage.
    double reported_value[PARAM_COUNT]; // what the host last heard from us or told us, per index
    uint8_t reported_known;             // 0 until reported_value was first taken from the slot
    uint8_t gesture_open[PARAM_COUNT];  // 1 between a gesture begin sent to the host and its end
    uint8_t resync_pending;             // events were lost: compare and send once the ring is empty
    // Gestures held open by an editor of another process: the drain records the begin event's
    // producer tag (edit_queue.h) per open gesture; the main thread checks those producers and
    // marks the gestures whose editor died in `gestures_abandoned` (bit per index), which the drain
    // then ends. All three are atomic.
    uint32_t gesture_holder[PARAM_COUNT]; // producer tag, 0 none
    uint32_t gestures_abandoned;
    int64_t holder_check_ns; // clock_ns of the drain's last request for a producer check
    // Editor-owned records.
    ab_slot ab[2];
    uint32_t ab_current; // 0 A, 1 B
    undo_snapshot undo[UNDO_DEPTH];
    undo_snapshot redo[UNDO_DEPTH];
    uint32_t undo_count;
    uint32_t redo_count;
    uint32_t last_undo_key;
    double last_push_time;
    ui_settings ui;
    editor_state* editor;
    double gui_scale;
    float* scratch; // scratch_frames zeroed samples while active: the right side of a mono output
    uint32_t scratch_frames;
};

inline plugin_instance* instance_of(const clap_plugin* plugin) {
    return static_cast<plugin_instance*>(plugin->plugin_data);
}

// A parameter value of the stage's slot as the core uses it. Every writer clamps, but any process of
// the user can write the segment, so the value is brought into its row's range again on the way in
// (an identity for every value a well-behaved writer stored). [any-thread, audio-thread safe]
inline double slot_setting(const shm_slot* slot, int32_t index) {
    return clamp_param_value(index, slot_value(slot, index));
}

// Lookahead in samples for a Lookahead setting at a rate, by the engine's own rule (at least 2).
// [any-thread, audio-thread safe]
inline int32_t lookahead_samples(double lookahead_ms, double sample_rate) {
    const int32_t k = static_cast<int32_t>(lookahead_ms * 0.001 * sample_rate + 0.5);
    return k < 2 ? 2 : k;
}

// ---- Operations shared across the core's files ----------------------------------------------------

// The module's one descriptor. [any-thread]
const clap_plugin_descriptor* plugin_descriptor();

// Fills the clap_plugin of a zeroed instance and stores the host. [main-thread]
void plugin_instance_setup(plugin_instance* instance, const clap_host* host);

// clap_plugin.process. [audio-thread]
clap_process_status plugin_process(const clap_plugin* plugin, const clap_process* process);

// Moves every queued edit of the instance's slot (at most one ring's worth per call) into `out` as
// parameter value and gesture events, keeping gestures balanced per parameter (a begin inside an open
// gesture and an end without one are not sent). Values are clamped to their rows: the ring is shared
// memory. When events were lost (the ring's producers gave some up, garbage, a full output list, no
// list), the slot's values that differ from what the host last heard are sent once the ring is empty,
// each framed by a gesture, and open gestures are closed. No allocation, no lock, no system call.
// [audio-thread, or main-thread in params flush]
void drain_param_event_queue(plugin_instance* instance, const clap_output_events* out);

// Pushes one parameter value event (time 0) with the host id and value. [audio-thread or flush]
void push_param_value_event(const clap_output_events* out, uint32_t param_id, double value);

// Applies one input event: parameter values into the slot, MIDI to the CC handler, others ignored.
// [audio-thread, or main-thread in params flush]
void apply_input_event(plugin_instance* instance, const clap_event_header* event,
                       const clap_output_events* out);

// Runs the engine over one stretch of a block without events, in place, folding the limiter's
// block meters into `meters` (nine accumulators in slot order) and pushing history columns.
// [audio-thread, denormals flushed]
void process_sub_block(plugin_instance* instance, float* left, float* right, uint32_t frames,
                       float meters[9]);

// One MIDI event: learns or maps a control change. [audio-thread, or main-thread in params flush]
void handle_midi_cc_event(plugin_instance* instance, const clap_event_midi* event,
                          const clap_output_events* out);

// The extension tables offered to the host. [any-thread]
const clap_plugin_params* params_extension();
const clap_plugin_audio_ports* audio_ports_extension();
const clap_plugin_note_ports* note_ports_extension();
const clap_plugin_latency* latency_extension();
const clap_plugin_state* state_extension();
const void* debug_extension();

// The editor's extensions: clap.gui, clap.timer-support and (X11 builds) clap.posix-fd-support; the
// last is null on Windows. [any-thread]
const clap_plugin_gui* gui_extension();
const clap_plugin_timer_support* timer_support_extension();
const void* posix_fd_support_extension();

// clap_plugin_gui.adjust_size: the nearest size of zoom 0.6..2.5 with the 960:600 aspect; works
// without an editor and ignores the host scale. [main-thread]
bool gui_adjust_size(const clap_plugin* plugin, uint32_t* width, uint32_t* height);

// Gives back the host timer and the watched descriptor, then destroys the editor when one is open.
// clap_plugin_gui.destroy and the instance's own destroy use it. [main-thread]
void gui_close_editor(plugin_instance* instance);

// Host services: each is skipped when the host lacks the table or the function. [main-thread]
void host_log_message(plugin_instance* instance, clap_log_severity severity, const char* text);
void host_request_flush(plugin_instance* instance);
void host_mark_dirty(plugin_instance* instance);
void host_rescan_values(plugin_instance* instance);
void host_request_restart(plugin_instance* instance);
// [audio-thread safe]
void host_request_callback(plugin_instance* instance);

// Installs the registry's notification table (the edit queue reaching a local owner's host).
// [main-thread]
void host_services_install();
