// The bounded wait of the segment's cross-process locks (the edit rings' and the identity lock):
// nobody waits unboundedly for a holder that may have died or been stopped. Internal to state/.
#pragma once

#include <cstdint>

#include "platform.h"

inline constexpr uint32_t LOCK_SPINS_BEFORE_CLOCK = 1024;
inline constexpr int64_t LOCK_SPIN_NS = 5000000; // 5 ms

inline void lock_cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Tries `attempt` until it succeeds or the deadline passes; true on success. After the first
// LOCK_SPINS_BEFORE_CLOCK tries `attempt` is told it may ask the system (slow). For the first
// LOCK_SPIN_NS it tries back to back (a real hold is a handful of stores, and a waiter that slept would
// lose every race to a busy peer); after that 1 ms passes between tries, so a long wait costs no CPU.
// [main-thread; never on the audio thread]
template <typename F>
bool lock_wait(F attempt, int64_t started, int64_t deadline) {
    for (uint32_t spins = 0;; ++spins) {
        if (attempt(spins >= LOCK_SPINS_BEFORE_CLOCK)) return true;
        lock_cpu_relax();
        if (spins < LOCK_SPINS_BEFORE_CLOCK) continue;
        const int64_t now = clock_ns();
        if (now > deadline) return false;
        if (now - started > LOCK_SPIN_NS) sleep_ms(1);
    }
}
