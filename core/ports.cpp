// The stage's shape for the host: one stereo main input and output, one MIDI input used for MIDI
// learn and CC control, and the latency. [main-thread]
#include <cstdio>
#include <cstring>

#include "plugin_instance.h"

namespace {

uint32_t audio_ports_count(const clap_plugin*, bool) {
    return 1;
}

bool audio_ports_get(const clap_plugin*, uint32_t index, bool is_input, clap_audio_port_info* info) {
    if (index != 0 || !info) return false;
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    std::snprintf(info->name, sizeof info->name, "%s", is_input ? "Input" : "Output");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN; // 32-bit samples only
    info->channel_count = 2;
    info->port_type = CLAP_PORT_STEREO;
    info->in_place_pair = 0; // the host may hand the same buffers in and out
    return true;
}

uint32_t note_ports_count(const clap_plugin*, bool is_input) {
    return is_input ? 1 : 0;
}

bool note_ports_get(const clap_plugin*, uint32_t index, bool is_input, clap_note_port_info* info) {
    if (index != 0 || !is_input || !info) return false;
    std::memset(info, 0, sizeof *info);
    info->id = 0;
    info->supported_dialects = CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    std::snprintf(info->name, sizeof info->name, "%s", "MIDI (learn)");
    return true;
}

// Active: the running engine's delay. Inactive: an estimate at 48 kHz from the slot's Lookahead,
// whatever rate the stage ran at before.
uint32_t latency_get(const clap_plugin* plugin) {
    const plugin_instance* instance = instance_of(plugin);
    if (instance->active) return limiter_latency(&instance->limiter);
    if (!instance->slot) return 0;
    const double ms = slot_setting(instance->slot, PARAM_LOOKAHEAD);
    return static_cast<uint32_t>(static_cast<int32_t>(ms * 0.001 * 48000.0 + 0.5) + LIMITER_EXTRA_DELAY);
}

constexpr clap_plugin_audio_ports audio_ports = {.count = audio_ports_count, .get = audio_ports_get};
constexpr clap_plugin_note_ports note_ports = {.count = note_ports_count, .get = note_ports_get};
constexpr clap_plugin_latency latency = {.get = latency_get};

} // namespace

const clap_plugin_audio_ports* audio_ports_extension() {
    return &audio_ports;
}
const clap_plugin_note_ports* note_ports_extension() {
    return &note_ports;
}
const clap_plugin_latency* latency_extension() {
    return &latency;
}
