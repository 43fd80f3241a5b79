// clap.latency: the plug-in's delay in samples; the host's notice of a change.
#pragma once

#include <cstdint>

#include "../host.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_LATENCY[] = "clap.latency";

struct clap_plugin_latency {
    // The latency in samples. [main-thread & (being-activated | active)]
    uint32_t (*get)(const clap_plugin* plugin);
};

struct clap_host_latency {
    // The latency changed; only valid while the plug-in is being activated. [main-thread & being-activated]
    void (*changed)(const clap_host* host);
};
