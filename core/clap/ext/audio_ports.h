// clap.audio-ports: the plug-in's audio inputs and outputs.
#pragma once

#include <cstdint>

#include "../id.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_AUDIO_PORTS[] = "clap.audio-ports";
inline constexpr char CLAP_PORT_MONO[] = "mono";
inline constexpr char CLAP_PORT_STEREO[] = "stereo";
inline constexpr char CLAP_PORT_SURROUND[] = "surround";
inline constexpr char CLAP_PORT_AMBISONIC[] = "ambisonic";

// clap_audio_port_info.flags
inline constexpr uint32_t CLAP_AUDIO_PORT_IS_MAIN = 1u << 0;
inline constexpr uint32_t CLAP_AUDIO_PORT_SUPPORTS_64BITS = 1u << 1;
inline constexpr uint32_t CLAP_AUDIO_PORT_PREFERS_64BITS = 1u << 2;
inline constexpr uint32_t CLAP_AUDIO_PORT_REQUIRES_COMMON_SAMPLE_SIZE = 1u << 3;

// Flags of the host's audio-ports rescan.
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_NAMES = 1u << 0;
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_FLAGS = 1u << 1;
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_CHANNEL_COUNT = 1u << 2;
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_PORT_TYPE = 1u << 3;
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_IN_PLACE_PAIR = 1u << 4;
inline constexpr uint32_t CLAP_AUDIO_PORTS_RESCAN_LIST = 1u << 5;

struct clap_audio_port_info {
    clap_id id; // stable, unique among ports of one direction
    char name[CLAP_NAME_SIZE];
    uint32_t flags; // CLAP_AUDIO_PORT_*
    uint32_t channel_count;
    const char* port_type; // CLAP_PORT_*, or null when unspecified
    clap_id in_place_pair; // id of the opposite-direction port that may share buffers, or CLAP_INVALID_ID
};

struct clap_plugin_audio_ports {
    // Number of input or output ports. [main-thread]
    uint32_t (*count)(const clap_plugin* plugin, bool is_input);

    // Fills info for port index of the given direction. Returns false for an index out of range.
    // [main-thread]
    bool (*get)(const clap_plugin* plugin, uint32_t index, bool is_input, clap_audio_port_info* info);
};
