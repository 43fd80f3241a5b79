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

// Relation of two stages, from relation_between.
inline constexpr int32_t CHAIN_RELATION_UNDECIDED = 0;
inline constexpr int32_t CHAIN_RELATION_SERIAL = 1;   // same chain: never simultaneous, one order
inline constexpr int32_t CHAIN_RELATION_PARALLEL = 2; // different chains: overlapping or both orders

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

// Finds the learned-order entry keyed by `root` (the slot of a chain's root). When none matches it
// takes the first unused entry, or entry 0 when all 64 are in use, keys it to `root` and empties its
// learned and candidate orders. Never null. Under the registry lock. [main-thread]
learned_order_entry* learned_order_lookup(shm_slot* root);

// Turns one observation of a chain's members into a candidate order: keeps the live candidates that
// took part in the newest host block (or, by start times, the last two periods), reorders them in
// place into chain order and returns how many were kept (the first entries of `c`). `steady` says
// whether host steady times may be used; candidates without usable steady times turn it off.
// [main-thread]
int32_t order_candidates(chain_candidate* c, int32_t n, bool steady);

// Folds one observation into `entry`'s learned order. `c` holds the n candidates of the chain's
// members and `slots` their n slots (both borrowed for the call); `now` is clock_ns. A member new to
// the learned order joins at once; a different order replaces the learned one only when it has been
// observed three times in a row and was first seen at least 150 ms ago. Under the registry lock.
// [main-thread]
void chain_order_learn(learned_order_entry* entry, const chain_candidate* c, shm_slot* const* slots,
                       int32_t n, int64_t now, bool steady);

// The pairwise test of two stages from their timing histories (oldest first, `n_a` and `n_b`
// records): CHAIN_RELATION_SERIAL, _PARALLEL or _UNDECIDED. Not symmetric: callers that get
// undecided ask again with the roles swapped. The histories are borrowed; a history longer than
// CHAIN_HISTORY_MAX records is cut to its newest CHAIN_HISTORY_MAX. [any-thread]
int32_t relation_between(const timing_record* a, int32_t n_a, const timing_record* b, int32_t n_b);

// Lists the chain of `own` (its slot; may be null or of another Group) among the live stages of
// `group` (0..15) of every process: infers the chains from timing, keeps the chain serials in the
// slots, updates the chain's learned order and writes up to `capacity` members into `out` (owned by
// the caller), sorted by position. When `own` is not a member the largest chain of the Group is
// listed. Returns the number written; 0 for a bad group or capacity or when the Group has no stage.
// Takes the registry lock; allocates nothing. [main-thread]
int32_t registry_collect_chain(shm_slot* own, uint32_t group, chain_member* out, int32_t capacity);

// Comparators in the C library's style (negative, 0, positive), on pointers to the named records.
// cmp_member_by_position: position ascending, a manual entry before a non-manual one at equal
// positions. cmp_candidate_by_start: last start ascending. cmp_candidate_by_steady_desc: steady
// descending, then last start ascending. cmp_i64_asc: signed 64-bit ascending. [any-thread]
int cmp_member_by_position(const void* a, const void* b);
int cmp_candidate_by_start(const void* a, const void* b);
int cmp_candidate_by_steady_desc(const void* a, const void* b);
int cmp_i64_asc(const void* a, const void* b);
