// The module entry: the one exported symbol clap_entry through which a host reaches everything.
#pragma once

#include "version.h"

struct clap_plugin_entry {
    clap_version_t clap_version; // the interface version the module implements

    // Called once after loading, with the module's path. Returns false when the module cannot be used.
    // [thread-safe]
    bool (*init)(const char* plugin_path);

    // Called once before unloading, after every plug-in is destroyed. [thread-safe]
    void (*deinit)(void);

    // Returns the factory for factory_id (e.g. CLAP_PLUGIN_FACTORY_ID), owned by the module, or null.
    // [thread-safe]
    const void* (*get_factory)(const char* factory_id);
};

extern "C" {
// Defined by the module and exported under this name.
extern const clap_plugin_entry clap_entry;
}
