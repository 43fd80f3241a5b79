// clap.log: the host's message log.
#pragma once

#include <cstdint>

#include "../host.h"

inline constexpr char CLAP_EXT_LOG[] = "clap.log";

typedef int32_t clap_log_severity;
inline constexpr clap_log_severity CLAP_LOG_DEBUG = 0;
inline constexpr clap_log_severity CLAP_LOG_INFO = 1;
inline constexpr clap_log_severity CLAP_LOG_WARNING = 2;
inline constexpr clap_log_severity CLAP_LOG_ERROR = 3;
inline constexpr clap_log_severity CLAP_LOG_FATAL = 4;
inline constexpr clap_log_severity CLAP_LOG_HOST_MISBEHAVING = 5;   // the host broke a rule
inline constexpr clap_log_severity CLAP_LOG_PLUGIN_MISBEHAVING = 6; // the plug-in broke a rule

struct clap_host_log {
    // Logs msg (copied by the host) with a severity. [thread-safe]
    void (*log)(const clap_host* host, clap_log_severity severity, const char* msg);
};
