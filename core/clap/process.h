// The argument and result of clap_plugin.process.
#pragma once

#include <cstdint>

#include "audio_buffer.h"
#include "events.h"

typedef int32_t clap_process_status;

inline constexpr clap_process_status CLAP_PROCESS_ERROR = 0;
inline constexpr clap_process_status CLAP_PROCESS_CONTINUE = 1;
inline constexpr clap_process_status CLAP_PROCESS_CONTINUE_IF_NOT_QUIET = 2;
inline constexpr clap_process_status CLAP_PROCESS_TAIL = 3;
inline constexpr clap_process_status CLAP_PROCESS_SLEEP = 4;

struct clap_process {
    // Sample count since an arbitrary origin, increasing by frames_count per call; -1 when unknown.
    int64_t steady_time;
    uint32_t frames_count;                 // frames in every buffer of this call
    const clap_event_transport* transport; // null when the host has no transport
    const clap_audio_buffer* audio_inputs;
    clap_audio_buffer* audio_outputs;
    uint32_t audio_inputs_count;
    uint32_t audio_outputs_count;
    const clap_input_events* in_events;
    const clap_output_events* out_events;
};
