// The built-in demo programme: eight seconds of deterministic stereo material at 120 bpm with
// transients a limiter has to catch (kick, snare, hats) over a bass line and a chord pad, mixed so that
// its peaks reach about +4 dBFS.
#pragma once

#include <cstdint>

inline constexpr double DEMO_SECONDS = 8.0;

// Number of frames of the programme at `rate`. [any-thread]
uint32_t demo_frames(double rate);

// Writes frames [start, start + n) of the programme at `rate` into left/right; frames past the end
// are silence. The same call always gives the same samples. [any-thread]
void demo_render(double rate, uint64_t start, uint32_t n, float* left, float* right);
