// "clap.params": the 17 parameters from the one parameter table, their current values from the
// stage's shared slot (the last value any writer stored), texts both ways, and the flush that
// exchanges events while the stage does not process.
#include <cstdio>
#include <cstring>

#include "plugin_instance.h"

namespace {

static_assert(PARAM_IS_STEPPED == CLAP_PARAM_IS_STEPPED);
static_assert(PARAM_IS_BYPASS == CLAP_PARAM_IS_BYPASS);
static_assert(PARAM_IS_AUTOMATABLE == CLAP_PARAM_IS_AUTOMATABLE);

uint32_t params_count(const clap_plugin*) {
    return PARAM_COUNT;
}

bool params_get_info(const clap_plugin*, uint32_t index, clap_param_info* info) {
    if (index >= static_cast<uint32_t>(PARAM_COUNT) || !info) return false;
    const param_spec& row = param_table[index];
    std::memset(info, 0, sizeof *info);
    info->id = row.id;
    info->flags = row.flags;
    info->cookie = nullptr;
    std::snprintf(info->name, sizeof info->name, "%s", row.name);
    info->min_value = row.min;
    info->max_value = row.max;
    info->default_value = row.default_value;
    return true;
}

bool params_get_value(const clap_plugin* plugin, clap_id id, double* value) {
    const plugin_instance* instance = instance_of(plugin);
    const int32_t index = param_index_of_id(id);
    if (index < 0 || !value || !instance->slot) return false;
    *value = slot_setting(instance->slot, index);
    return true;
}

bool params_value_to_text(const clap_plugin*, clap_id id, double value, char* out, uint32_t capacity) {
    const int32_t index = param_index_of_id(id);
    if (index < 0 || !out || capacity == 0) return false;
    format_param_value(index, value, out, capacity);
    return true;
}

bool params_text_to_value(const clap_plugin*, clap_id id, const char* text, double* value) {
    const int32_t index = param_index_of_id(id);
    if (index < 0 || !text || !value) return false;
    return param_text_to_value(index, text, value) != 0;
}

// Queued editor edits go out first; the input events are then applied as in process. No event is
// echoed for applied values: the audio path picks them up from the slot at its next block.
void params_flush(const clap_plugin* plugin, const clap_input_events* in, const clap_output_events* out) {
    plugin_instance* instance = instance_of(plugin);
    if (!instance->slot) return;
    drain_param_event_queue(instance, out);
    if (!in || !in->size || !in->get) return;
    const uint32_t n = in->size(in);
    for (uint32_t i = 0; i < n; ++i)
        apply_input_event(instance, in->get(in, i), out);
}

constexpr clap_plugin_params params = {
    .count = params_count,
    .get_info = params_get_info,
    .get_value = params_get_value,
    .value_to_text = params_value_to_text,
    .text_to_value = params_text_to_value,
    .flush = params_flush,
};

} // namespace

const clap_plugin_params* params_extension() {
    return &params;
}
