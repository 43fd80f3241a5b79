// The private debug extension: readings of a running stage for test tools. The editor-side
// operations answer 0 while no editor is open.
// [main-thread]
#include <cmath>

#include "chain_order.h"
#include "debug_ext.h"
#include "editor.h"
#include "plugin_instance.h"

namespace {

int32_t own_chain(const plugin_instance* instance, chain_member* out) {
    shm_slot* slot = instance->slot;
    if (!slot) return 0;
    const uint32_t group = static_cast<uint32_t>(slot_setting(slot, PARAM_GROUP));
    const int32_t n = registry_collect_chain(slot, group, out, CHAIN_MAX_MEMBERS);
    return n < 0 ? 0 : (n > CHAIN_MAX_MEMBERS ? CHAIN_MAX_MEMBERS : n);
}

uint32_t debug_group_instance_count(const clap_plugin* plugin) {
    chain_member members[CHAIN_MAX_MEMBERS];
    return static_cast<uint32_t>(own_chain(instance_of(plugin), members));
}

uint32_t debug_group_position(const clap_plugin* plugin) {
    const plugin_instance* instance = instance_of(plugin);
    chain_member members[CHAIN_MAX_MEMBERS];
    const int32_t n = own_chain(instance, members);
    for (int32_t i = 0; i < n; ++i)
        if (members[i].slot == instance->slot) return static_cast<uint32_t>(i + 1);
    return 0;
}

double debug_get_meter(const clap_plugin* plugin, uint32_t index) {
    const shm_slot* slot = instance_of(plugin)->slot;
    if (!slot) return 0.0;
    switch (index) {
        case DEBUG_METER_MIN_GAIN:
            return shm_load(slot->min_gain);
        case DEBUG_METER_INPUT_PEAK:
            return shm_load(slot->input_peak);
        case DEBUG_METER_DETECTED_PEAK:
            return shm_load(slot->detected_peak);
        case DEBUG_METER_OUTPUT_PEAK:
            return shm_load(slot->output_peak);
        case DEBUG_METER_OUTPUT_TRUE_PEAK:
            return shm_load(slot->output_true_peak);
        case DEBUG_METER_MOMENTARY:
            return shm_load(slot->momentary_lufs);
        case DEBUG_METER_SHORT_TERM:
            return shm_load(slot->short_term_lufs);
        case DEBUG_METER_INTEGRATED:
            return shm_load(slot->integrated_lufs);
        case DEBUG_METER_OVERSIZE_BLOCKS:
            return shm_load(slot->oversize_blocks);
        case DEBUG_METER_LARGEST_BLOCK:
            return shm_load(slot->max_block_frames);
        default:
            return 0.0;
    }
}

uint32_t debug_get_probe_pixel(const clap_plugin* plugin, uint8_t* rgb) {
    const editor_state* editor = instance_of(plugin)->editor;
    return editor ? editor_probe_pixel(editor, rgb) : 0;
}

uint32_t debug_find_widget_rect(const clap_plugin* plugin, uint32_t selector, int32_t n, float* rect) {
    const editor_state* editor = instance_of(plugin)->editor;
    return editor ? editor_find_widget_rect(editor, selector, n, rect) : 0;
}

double debug_get_history_value(const clap_plugin* plugin, int32_t ring, int32_t age) {
    const shm_slot* slot = instance_of(plugin)->slot;
    if (!slot) return DEBUG_HISTORY_NONE;
    const uint32_t count = shm_load(slot->history_counter);
    if (age < 0 || static_cast<uint32_t>(age) >= count || age >= static_cast<int32_t>(HISTORY_SIZE))
        return DEBUG_HISTORY_NONE;
    const uint32_t r = (ring >= 0 && ring <= 2) ? static_cast<uint32_t>(ring) : HISTORY_SHORT_TERM;
    return shm_load(slot->history[r][(count - 1 - static_cast<uint32_t>(age)) & (HISTORY_SIZE - 1)]);
}

void debug_arm_midi_learn(const clap_plugin* plugin, int32_t index) {
    shm_slot* slot = instance_of(plugin)->slot;
    if (slot) shm_exchange(slot->midi_learn_param, index);
}

uint32_t debug_request_screenshot(const clap_plugin* plugin, const char* path) {
    editor_state* editor = instance_of(plugin)->editor;
    if (!editor || !path) return 0;
    editor_request_dump(editor, path);
    return 1;
}

int32_t debug_read_draw_probes(const clap_plugin* plugin, void* header, void* records, int32_t max) {
    const editor_state* editor = instance_of(plugin)->editor;
    return editor ? editor_probe_read(editor, header, records, max) : 0;
}

constexpr lodrin_plugin_debug debug_table = {
    .debug_group_instance_count = debug_group_instance_count,
    .debug_group_position = debug_group_position,
    .debug_get_meter = debug_get_meter,
    .debug_get_probe_pixel = debug_get_probe_pixel,
    .debug_find_widget_rect = debug_find_widget_rect,
    .debug_get_history_value = debug_get_history_value,
    .debug_arm_midi_learn = debug_arm_midi_learn,
    .debug_request_screenshot = debug_request_screenshot,
    .debug_read_draw_probes = debug_read_draw_probes,
    .reserved = nullptr,
};

} // namespace

const void* debug_extension() {
    return &debug_table;
}
