// One audio port's buffers in a process call: per-channel sample pointers in 32 or 64 bits.
#pragma once

#include <cstdint>

struct clap_audio_buffer {
    float** data32;  // channel_count pointers to frames_count samples, or null
    double** data64; // the same in double precision, or null
    uint32_t channel_count;
    uint32_t latency;       // latency from/to the audio interface, in samples
    uint64_t constant_mask; // bit c set: channel c holds one value in every sample
};
