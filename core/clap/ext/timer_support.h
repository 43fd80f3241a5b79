// clap.timer-support: periodic callbacks on the host's main thread.
#pragma once

#include <cstdint>

#include "../host.h"
#include "../id.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_TIMER_SUPPORT[] = "clap.timer-support";

struct clap_plugin_timer_support {
    // Timer timer_id fired. [main-thread]
    void (*on_timer)(const clap_plugin* plugin, clap_id timer_id);
};

struct clap_host_timer_support {
    // Registers a timer of about period_ms; its id is written to timer_id. [main-thread]
    bool (*register_timer)(const clap_host* host, uint32_t period_ms, clap_id* timer_id);

    // Stops timer timer_id. [main-thread]
    bool (*unregister_timer)(const clap_host* host, clap_id timer_id);
};
