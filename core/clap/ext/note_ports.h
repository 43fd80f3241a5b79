// clap.note-ports: the plug-in's note (and MIDI) inputs and outputs.
#pragma once

#include <cstdint>

#include "../id.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_NOTE_PORTS[] = "clap.note-ports";

typedef uint32_t clap_note_dialect;
inline constexpr clap_note_dialect CLAP_NOTE_DIALECT_CLAP = 1u << 0;
inline constexpr clap_note_dialect CLAP_NOTE_DIALECT_MIDI = 1u << 1;
inline constexpr clap_note_dialect CLAP_NOTE_DIALECT_MIDI_MPE = 1u << 2;
inline constexpr clap_note_dialect CLAP_NOTE_DIALECT_MIDI2 = 1u << 3;

// Flags of the host's note-ports rescan.
inline constexpr uint32_t CLAP_NOTE_PORTS_RESCAN_ALL = 1u << 0;
inline constexpr uint32_t CLAP_NOTE_PORTS_RESCAN_NAMES = 1u << 1;

struct clap_note_port_info {
    clap_id id;
    uint32_t supported_dialects; // bit set of clap_note_dialect
    uint32_t preferred_dialect;  // one clap_note_dialect
    char name[CLAP_NAME_SIZE];
};

struct clap_plugin_note_ports {
    // Number of note ports of the given direction. [main-thread]
    uint32_t (*count)(const clap_plugin* plugin, bool is_input);

    // Fills info for port index. Returns false for an index out of range. [main-thread]
    bool (*get)(const clap_plugin* plugin, uint32_t index, bool is_input, clap_note_port_info* info);
};
