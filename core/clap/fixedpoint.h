// Musical and wall-clock positions of the transport in 32.31 fixed point.
#pragma once

#include <cstdint>

typedef int64_t clap_beattime;
typedef int64_t clap_sectime;

inline constexpr int64_t CLAP_BEATTIME_FACTOR = 1ll << 31;
inline constexpr int64_t CLAP_SECTIME_FACTOR = 1ll << 31;
