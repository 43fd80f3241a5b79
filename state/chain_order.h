// Chain-order inference: which live stages of a Group run in series on one track, and in which
// order, learned from the timing rings their process calls leave in the slots. Nothing runs in the
// background: every listing recomputes the chains under the registry lock.
#pragma once

#include <cstdint>

#include "shm.h"

// One entry of a chain listing.
struct chain_member {
    shm_slot* slot;
    int32_t position; // manual Stage number, else the 1-based learned place, else 99
    uint8_t manual;   // 1 when the position is a manual Stage number
    uint8_t live;     // the stage's last process call began less than 500 ms ago
};

// One collected member's timing summary (input of the order learning).
struct chain_candidate {
    shm_slot* slot;
    int64_t last_start;  // clock_ns start of the current or last process call
    int64_t period;      // last start minus the start of the call before it
    int64_t steady;      // host steady time of the current or last call
    int64_t steady_step; // steady minus the previous steady when both >= 0 and rising, else 0
    bool live;
};

struct timing_record {
    int64_t start;
    int64_t end;
    int64_t steady;
};

inline constexpr int32_t CHAIN_MAX_MEMBERS = 64;
inline constexpr int32_t CHAIN_HISTORY_MAX = 62;
inline constexpr int32_t LEARNED_ORDER_ENTRIES = 64;

// The learned order of one chain, keyed by the slot of the chain's root. Process-local, used under
// the registry lock.
struct learned_order_entry {
    shm_slot* key; // null marks an unused entry
    shm_slot* learned[CHAIN_MAX_MEMBERS];
    int32_t learned_count;
    shm_slot* last_candidate[CHAIN_MAX_MEMBERS];
    int32_t last_candidate_count;
    int32_t repeat_count;
    int64_t change_time;
};

// The process's table of learned orders (64 entries). Under the registry lock. [main-thread]
learned_order_entry* learned_order_table();

// Empties every learned-order entry (keys to null). Under the registry lock. [main-thread]
void learned_order_clear();
