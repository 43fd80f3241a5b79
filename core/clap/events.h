// Events of the core event space that a process call or a params flush exchanges, and the input and
// output event lists that carry them. Every event starts with clap_event_header; its size field gives
// the whole event's size in bytes and time the sample offset inside the block.
#pragma once

#include <cstdint>

#include "fixedpoint.h"
#include "id.h"

struct clap_event_header {
    uint32_t size;     // event size including this header
    uint32_t time;     // sample offset within the buffer of this process call
    uint16_t space_id; // event space; CLAP_CORE_EVENT_SPACE_ID for the types below
    uint16_t type;     // CLAP_EVENT_*
    uint32_t flags;    // CLAP_EVENT_IS_LIVE, CLAP_EVENT_DONT_RECORD
};

inline constexpr uint16_t CLAP_CORE_EVENT_SPACE_ID = 0;

// clap_event_header.flags
inline constexpr uint32_t CLAP_EVENT_IS_LIVE = 1u << 0;     // from a live user input, not playback
inline constexpr uint32_t CLAP_EVENT_DONT_RECORD = 1u << 1; // the host should not record it

// clap_event_header.type in the core space
inline constexpr uint16_t CLAP_EVENT_NOTE_ON = 0;
inline constexpr uint16_t CLAP_EVENT_NOTE_OFF = 1;
inline constexpr uint16_t CLAP_EVENT_NOTE_CHOKE = 2;
inline constexpr uint16_t CLAP_EVENT_NOTE_END = 3;
inline constexpr uint16_t CLAP_EVENT_NOTE_EXPRESSION = 4;
inline constexpr uint16_t CLAP_EVENT_PARAM_VALUE = 5;
inline constexpr uint16_t CLAP_EVENT_PARAM_MOD = 6;
inline constexpr uint16_t CLAP_EVENT_PARAM_GESTURE_BEGIN = 7;
inline constexpr uint16_t CLAP_EVENT_PARAM_GESTURE_END = 8;
inline constexpr uint16_t CLAP_EVENT_TRANSPORT = 9;
inline constexpr uint16_t CLAP_EVENT_MIDI = 10;
inline constexpr uint16_t CLAP_EVENT_MIDI_SYSEX = 11;
inline constexpr uint16_t CLAP_EVENT_MIDI2 = 12;

// CLAP_EVENT_NOTE_ON / _OFF / _CHOKE / _END. -1 in note_id, port_index, channel or key is a wildcard.
struct clap_event_note {
    clap_event_header header;
    int32_t note_id;
    int16_t port_index;
    int16_t channel; // 0..15
    int16_t key;     // 0..127
    double velocity; // 0..1
};

// CLAP_EVENT_PARAM_VALUE: the parameter takes value from header.time on.
struct clap_event_param_value {
    clap_event_header header;
    clap_id param_id;
    void* cookie; // clap_param_info.cookie, or null
    int32_t note_id;
    int16_t port_index;
    int16_t channel;
    int16_t key;
    double value;
};

// CLAP_EVENT_PARAM_MOD: a non-destructive offset added to the parameter's value.
struct clap_event_param_mod {
    clap_event_header header;
    clap_id param_id;
    void* cookie;
    int32_t note_id;
    int16_t port_index;
    int16_t channel;
    int16_t key;
    double amount;
};

// CLAP_EVENT_PARAM_GESTURE_BEGIN / _END: the user starts or ends adjusting a parameter.
struct clap_event_param_gesture {
    clap_event_header header;
    clap_id param_id;
};

// clap_event_transport.flags
inline constexpr uint32_t CLAP_TRANSPORT_HAS_TEMPO = 1u << 0;
inline constexpr uint32_t CLAP_TRANSPORT_HAS_BEATS_TIMELINE = 1u << 1;
inline constexpr uint32_t CLAP_TRANSPORT_HAS_SECONDS_TIMELINE = 1u << 2;
inline constexpr uint32_t CLAP_TRANSPORT_HAS_TIME_SIGNATURE = 1u << 3;
inline constexpr uint32_t CLAP_TRANSPORT_IS_PLAYING = 1u << 4;
inline constexpr uint32_t CLAP_TRANSPORT_IS_RECORDING = 1u << 5;
inline constexpr uint32_t CLAP_TRANSPORT_IS_LOOP_ACTIVE = 1u << 6;
inline constexpr uint32_t CLAP_TRANSPORT_IS_WITHIN_PRE_ROLL = 1u << 7;

// CLAP_EVENT_TRANSPORT, also pointed to by clap_process.transport.
struct clap_event_transport {
    clap_event_header header;
    uint32_t flags; // CLAP_TRANSPORT_*
    clap_beattime song_pos_beats;
    clap_sectime song_pos_seconds;
    double tempo;     // beats per minute
    double tempo_inc; // tempo increment per sample until the next transport event
    clap_beattime loop_start_beats;
    clap_beattime loop_end_beats;
    clap_sectime loop_start_seconds;
    clap_sectime loop_end_seconds;
    clap_beattime bar_start;
    int32_t bar_number;
    uint16_t tsig_num;
    uint16_t tsig_denom;
};

// CLAP_EVENT_MIDI: one MIDI 1.0 message of up to three bytes.
struct clap_event_midi {
    clap_event_header header;
    uint16_t port_index;
    uint8_t data[3];
};

// Input events of one call, sorted by time. Owned by the host, valid for the call.
struct clap_input_events {
    void* ctx; // reserved pointer for the list

    // Number of events in the list. [audio-thread, or main-thread in params flush]
    uint32_t (*size)(const clap_input_events* list);

    // The event at index (0 .. size - 1), owned by the host. [same thread as size]
    const clap_event_header* (*get)(const clap_input_events* list, uint32_t index);
};

// Output events of one call. The host copies each pushed event; times must not decrease.
struct clap_output_events {
    void* ctx; // reserved pointer for the list

    // Appends a copy of event. Returns false when the host could not take it (list full).
    bool (*try_push)(const clap_output_events* list, const clap_event_header* event);
};
