// Identifiers and fixed string sizes shared by the whole interface.
#pragma once

#include <cstdint>

typedef uint32_t clap_id;
inline constexpr clap_id CLAP_INVALID_ID = UINT32_MAX;

// Capacity, terminator included, of the fixed name and path buffers in info records.
inline constexpr uint32_t CLAP_NAME_SIZE = 256;
inline constexpr uint32_t CLAP_PATH_SIZE = 1024;
