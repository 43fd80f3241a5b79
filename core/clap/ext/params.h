// clap.params: the plug-in's parameter list, values and texts; the host's rescan, clear and flush.
#pragma once

#include <cstdint>

#include "../events.h"
#include "../host.h"
#include "../id.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_PARAMS[] = "clap.params";

// clap_param_info.flags
typedef uint32_t clap_param_info_flags;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_STEPPED = 1u << 0;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_PERIODIC = 1u << 1;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_HIDDEN = 1u << 2;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_READONLY = 1u << 3;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_BYPASS = 1u << 4;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_AUTOMATABLE = 1u << 5;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_AUTOMATABLE_PER_NOTE_ID = 1u << 6;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_AUTOMATABLE_PER_KEY = 1u << 7;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_AUTOMATABLE_PER_CHANNEL = 1u << 8;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_AUTOMATABLE_PER_PORT = 1u << 9;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_MODULATABLE = 1u << 10;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_MODULATABLE_PER_NOTE_ID = 1u << 11;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_MODULATABLE_PER_KEY = 1u << 12;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_MODULATABLE_PER_CHANNEL = 1u << 13;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_MODULATABLE_PER_PORT = 1u << 14;
inline constexpr clap_param_info_flags CLAP_PARAM_REQUIRES_PROCESS = 1u << 15;
inline constexpr clap_param_info_flags CLAP_PARAM_IS_ENUM = 1u << 16;

struct clap_param_info {
    clap_id id; // stable across versions; saved in projects and automation
    clap_param_info_flags flags;
    void* cookie;                // handed back in parameter events, or null
    char name[CLAP_NAME_SIZE];   // shown to the user
    char module[CLAP_PATH_SIZE]; // "/"-separated group path, may be empty
    double min_value;
    double max_value;
    double default_value;
};

struct clap_plugin_params {
    // Number of parameters. [main-thread]
    uint32_t (*count)(const clap_plugin* plugin);

    // Fills param_info for the parameter at param_index. Returns false for an index out of range.
    // [main-thread]
    bool (*get_info)(const clap_plugin* plugin, uint32_t param_index, clap_param_info* param_info);

    // Writes the parameter's current value to out_value. Returns false for an unknown id. [main-thread]
    bool (*get_value)(const clap_plugin* plugin, clap_id param_id, double* out_value);

    // Writes the text for value into out_buffer (capacity out_buffer_capacity, terminator included).
    // [main-thread]
    bool (*value_to_text)(const clap_plugin* plugin, clap_id param_id, double value, char* out_buffer,
                          uint32_t out_buffer_capacity);

    // Parses param_value_text into out_value. Returns false when the text is not understood. [main-thread]
    bool (*text_to_value)(const clap_plugin* plugin, clap_id param_id, const char* param_value_text,
                          double* out_value);

    // Applies in's parameter events and sends the plug-in's own to out, outside process.
    // [active ? audio-thread : main-thread]
    void (*flush)(const clap_plugin* plugin, const clap_input_events* in, const clap_output_events* out);
};

// clap_host_params.rescan flags
typedef uint32_t clap_param_rescan_flags;
inline constexpr clap_param_rescan_flags CLAP_PARAM_RESCAN_VALUES = 1u << 0;
inline constexpr clap_param_rescan_flags CLAP_PARAM_RESCAN_TEXT = 1u << 1;
inline constexpr clap_param_rescan_flags CLAP_PARAM_RESCAN_INFO = 1u << 2;
inline constexpr clap_param_rescan_flags CLAP_PARAM_RESCAN_ALL = 1u << 3;

// clap_host_params.clear flags
typedef uint32_t clap_param_clear_flags;
inline constexpr clap_param_clear_flags CLAP_PARAM_CLEAR_ALL = 1u << 0;
inline constexpr clap_param_clear_flags CLAP_PARAM_CLEAR_AUTOMATIONS = 1u << 1;
inline constexpr clap_param_clear_flags CLAP_PARAM_CLEAR_MODULATIONS = 1u << 2;

struct clap_host_params {
    // Re-reads values, texts or the whole list, as flags say. [main-thread]
    void (*rescan)(const clap_host* host, clap_param_rescan_flags flags);

    // Drops the host's references (automation, modulation) to param_id. [main-thread]
    void (*clear)(const clap_host* host, clap_id param_id, clap_param_clear_flags flags);

    // Asks for a params flush (or a process call) soon, so that queued parameter changes reach the
    // host. [thread-safe, not from the audio thread]
    void (*request_flush)(const clap_host* host);
};
