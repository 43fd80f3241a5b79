// Floating-point mode of the engine run: denormal results flushed to zero (FTZ) and denormal operands
// read as zero (DAZ), so that decaying envelopes and filter states never fall into the slow subnormal
// range. The previous mode is saved and restored around the run. [audio-thread]
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>

struct fp_mode_saved {
    uint32_t mxcsr;
};

inline fp_mode_saved fp_mode_flush_denormals() {
    const fp_mode_saved saved{_mm_getcsr()};
    // MXCSR bit 15 is FTZ, bit 6 DAZ.
    _mm_setcsr(saved.mxcsr | 0x8040u);
    return saved;
}

inline void fp_mode_restore(fp_mode_saved saved) {
    _mm_setcsr(saved.mxcsr);
}
#else
struct fp_mode_saved {
    uint32_t unused;
};
inline fp_mode_saved fp_mode_flush_denormals() {
    return {0};
}
inline void fp_mode_restore(fp_mode_saved) {}
#endif
