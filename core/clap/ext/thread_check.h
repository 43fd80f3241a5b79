// clap.thread-check: the host tells which of its threads the caller is on.
#pragma once

#include "../host.h"

inline constexpr char CLAP_EXT_THREAD_CHECK[] = "clap.thread-check";

struct clap_host_thread_check {
    // True when called on the host's main thread. [thread-safe]
    bool (*is_main_thread)(const clap_host* host);

    // True when called on one of the host's audio threads. [thread-safe]
    bool (*is_audio_thread)(const clap_host* host);
};
