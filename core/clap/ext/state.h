// clap.state: saving and restoring the plug-in's state as a byte stream; the host's dirty mark.
#pragma once

#include "../host.h"
#include "../plugin.h"
#include "../stream.h"

inline constexpr char CLAP_EXT_STATE[] = "clap.state";

struct clap_plugin_state {
    // Writes the whole state to stream. Returns true on success. [main-thread]
    bool (*save)(const clap_plugin* plugin, const clap_ostream* stream);

    // Restores the state from stream. Returns true on success. [main-thread]
    bool (*load)(const clap_plugin* plugin, const clap_istream* stream);
};

struct clap_host_state {
    // Tells the host the state changed and the project needs saving. [main-thread]
    void (*mark_dirty)(const clap_host* host);
};
