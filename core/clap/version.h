// CLAP interface version: the version a plug-in declares in its entry and descriptor, and the
// compatibility rule a host applies to it (any 1.x is compatible with any other 1.x).
#pragma once

#include <cstdint>

struct clap_version {
    uint32_t major;
    uint32_t minor;
    uint32_t revision;
};
// Members named clap_version need the type under a second name.
typedef clap_version clap_version_t;

inline constexpr uint32_t CLAP_VERSION_MAJOR = 1;
inline constexpr uint32_t CLAP_VERSION_MINOR = 2;
inline constexpr uint32_t CLAP_VERSION_REVISION = 10;

#define CLAP_VERSION_INIT                                                                                    \
    { CLAP_VERSION_MAJOR, CLAP_VERSION_MINOR, CLAP_VERSION_REVISION }
inline constexpr clap_version CLAP_VERSION = CLAP_VERSION_INIT;

// Versions before 1.0 were drafts with a different ABI; from 1.0 on, one major version is one ABI.
inline constexpr bool clap_version_is_compatible(const clap_version v) {
    return v.major >= 1;
}
