// clap.tail: how many samples of output follow the end of the input.
#pragma once

#include <cstdint>

#include "../host.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_TAIL[] = "clap.tail";

struct clap_plugin_tail {
    // Tail length in samples; INT32_MAX or more means infinite. [main-thread, audio-thread]
    uint32_t (*get)(const clap_plugin* plugin);
};

struct clap_host_tail {
    // The tail length changed. [audio-thread]
    void (*changed)(const clap_host* host);
};
