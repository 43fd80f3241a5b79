// The host object handed to create_plugin: identity, extension lookup and the three requests.
#pragma once

#include "version.h"

struct clap_host {
    clap_version_t clap_version; // the interface version the host implements
    void* host_data;             // reserved pointer for the host
    const char* name;            // mandatory
    const char* vendor;          // may be null
    const char* url;             // may be null
    const char* version;         // mandatory

    // Returns the host's table for extension_id, or null when it has none. [thread-safe]
    const void* (*get_extension)(const clap_host* host, const char* extension_id);

    // Asks the host to deactivate and reactivate the plug-in (e.g. after a latency change). [thread-safe]
    void (*request_restart)(const clap_host* host);

    // Asks the host to activate and start processing. [thread-safe]
    void (*request_process)(const clap_host* host);

    // Asks the host to call clap_plugin.on_main_thread soon. [thread-safe]
    void (*request_callback)(const clap_host* host);
};
