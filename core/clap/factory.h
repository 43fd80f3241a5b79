// The plug-in factory returned by clap_plugin_entry.get_factory(CLAP_PLUGIN_FACTORY_ID).
#pragma once

#include <cstdint>

#include "host.h"
#include "plugin.h"

inline constexpr char CLAP_PLUGIN_FACTORY_ID[] = "clap.plugin-factory";

struct clap_plugin_factory {
    // Number of plug-ins this factory can create. [thread-safe]
    uint32_t (*get_plugin_count)(const clap_plugin_factory* factory);

    // Descriptor of plug-in index, owned by the factory, or null for an index out of range. [thread-safe]
    const clap_plugin_descriptor* (*get_plugin_descriptor)(const clap_plugin_factory* factory,
                                                           uint32_t index);

    // Creates the plug-in whose descriptor id equals plugin_id, or returns null. The host must call
    // clap_plugin.init before anything else. [thread-safe]
    const clap_plugin* (*create_plugin)(const clap_plugin_factory* factory, const clap_host* host,
                                        const char* plugin_id);
};
