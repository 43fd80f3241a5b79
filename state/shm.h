// The shared segment: one named mapping per user session holding a 64-byte header and 64 stage
// slots, so that stages of every host process (and of both module kinds) see each other.
//
// The segment and every slot are an inter-process format: fixed-width little-endian fields at fixed
// offsets, checked below against the layout. Every field is read and written one at a time with a
// sequentially consistent atomic operation (shm_load / shm_store / ...), never as a group, except one
// edit-ring entry under the ring lock. Any process of the user can write the segment, so readers
// treat every value that indexes an array as untrusted and mask or clamp it before use.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "params.h"

inline constexpr uint32_t SHM_MAGIC = 0x534C5348;
inline constexpr uint32_t SHM_VERSION = 3;
inline constexpr int32_t SHM_SLOT_COUNT = 64;
inline constexpr uint32_t SHM_SLOT_SIZE = 137112;
inline constexpr size_t SHM_HEADER_SIZE = 64;
inline constexpr size_t SHM_MAPPING_SIZE = 8775272; // header + 64 slots + 40 unused bytes
inline constexpr uint32_t SHM_STATE_EMPTY = 0, SHM_STATE_INITIALISING = 1, SHM_STATE_READY = 2;

inline constexpr uint32_t EDIT_RING_SIZE = 256; // entries; index i lives at i AND 255
inline constexpr uint32_t HISTORY_SIZE = 8192;  // columns per history ring; entry = counter AND 8191
inline constexpr uint32_t HISTORY_RINGS = 4;
inline constexpr uint32_t TIMING_RING_SIZE = 64; // entry of call c is c AND 63

// Host-request flag bits of a slot. RESYNC says that edit events were given up or dropped (full ring,
// a producer that could not get the ring lock in time, one that was held up inside it): the owner then
// compares the slot's values with what its host last heard and sends the differences. The owner's
// main thread takes FLUSH and DIRTY; the drain takes RESYNC.
inline constexpr uint32_t SLOT_REQUEST_FLUSH = 1u << 0;
inline constexpr uint32_t SLOT_REQUEST_DIRTY = 1u << 1;
inline constexpr uint32_t SLOT_REQUEST_RESYNC = 1u << 2;

// Liveness lock bytes of the segment's file (lock liveness, shm_port.h). Byte i is held by the owner of
// slot i from claim to release, SHM_INIT_LOCK_BYTE by the process writing the header,
// SHM_RING_LOCK_BYTE + i by a producer inside slot i's edit ring, and SHM_IDENTITY_LOCK_BYTE by the
// holder of the identity lock. The locks are advisory and change no data, so these numbers are
// independent of the layout; they only must not overlap.
inline constexpr uint64_t SHM_INIT_LOCK_BYTE = 64;
inline constexpr uint64_t SHM_RING_LOCK_BYTE = 128; // .. 191
inline constexpr uint64_t SHM_IDENTITY_LOCK_BYTE = 192;

// Kinds of an edit-ring entry.
inline constexpr uint32_t EDIT_KIND_VALUE = 0, EDIT_KIND_BEGIN = 1, EDIT_KIND_END = 2;

struct shm_header {
    uint32_t state;           // SHM_STATE_*
    uint32_t magic;           // SHM_MAGIC
    uint32_t version;         // SHM_VERSION
    uint32_t slot_size;       // SHM_SLOT_SIZE
    uint32_t values_per_slot; // PARAM_COUNT
    uint32_t slot_count;      // SHM_SLOT_COUNT
    uint32_t chain_serial;    // see shm_next_chain_serial
    uint32_t identity_lock;   // 0 free, else the holder's process id; see shm_identity_lock
    uint64_t block_sequence;  // see shm_next_block_sequence
    uint8_t reserved1[24];
};

// One entry of a slot's edit ring.
struct slot_edit_event {
    uint32_t param_id; // host id, not the table index
    uint32_t kind;     // EDIT_KIND_*
    double value;      // new value (kind 0) or the value current when queued (kinds 1, 2)
};

// History ring indices.
enum : uint32_t {
    HISTORY_GAIN = 0,       // lowest gain per 64 samples (idle 1.0)
    HISTORY_LEVEL = 1,      // level measure per 64 samples (idle -1.0)
    HISTORY_TRUE_PEAK = 2,  // highest output true peak per 64 samples (idle 0)
    HISTORY_SHORT_TERM = 3, // short-term loudness, LUFS (idle -100)
};

struct shm_slot {
    uint32_t in_use; // 1 while a stage owns the slot
    uint32_t owner_pid;
    uint32_t generation; // +1 on every claim or take-over
    uint32_t reserved0;
    // --- everything from here on is zeroed by a claim ---
    uint64_t instance_id;
    uint32_t active;  // 1 between activate and deactivate
    uint32_t latency; // samples
    double sample_rate;
    double values[PARAM_COUNT]; // by table index
    slot_edit_event edit_ring[EDIT_RING_SIZE];
    uint32_t edit_read;  // free-running
    uint32_t edit_write; // free-running
    uint32_t edit_lock;  // 0 free, 1 held
    uint32_t reserved1;
    uint32_t request_flags; // SLOT_REQUEST_*
    float min_gain;         // lowest gain of the last process call (linear)
    float input_peak;       // highest input sample peak after the input gain
    float output_peak;      // highest output sample peak
    float detected_peak;    // highest detected input peak (true peak when detection is on)
    float output_true_peak; // highest output true peak
    float detected_peak_l;
    float detected_peak_r;
    float output_true_peak_l;
    float output_true_peak_r;
    uint32_t block_frames;     // frames of the last block
    uint32_t max_block_frames; // largest block seen
    uint32_t oversize_blocks;  // blocks longer than the activation's maximum
    uint32_t reset_count;
    uint32_t activation_count;
    float momentary_lufs; // -100 when none
    float short_term_lufs;
    float integrated_lufs;
    float history[HISTORY_RINGS][HISTORY_SIZE];
    uint32_t history_counter;
    int32_t history_gap_start;    // counter value at which the current idle gap began, -1 none
    int64_t history_time_ns;      // clock_ns of the last history entry
    int32_t midi_cc[PARAM_COUNT]; // CC bound to each parameter index, -1 none
    int32_t midi_learn_param;     // armed parameter index, -1 none
    uint32_t reset_loudness;      // nonzero asks the owner to reset its loudness meter
    uint32_t reserved2;
    int64_t start_ns; // clock_ns at which the current (or last) process call began
    int64_t prev_start_ns;
    uint64_t block_sequence; // of the last process call
    int64_t timing_start[TIMING_RING_SIZE];
    int64_t timing_end[TIMING_RING_SIZE];
    int64_t timing_steady[TIMING_RING_SIZE]; // -1 when the host gives none
    int64_t steady;                          // steady time of the current (last) process call
    int64_t prev_steady;
    uint32_t timing_count; // completed process calls
    uint32_t chain_serial; // chain this stage was last placed in, 0 none
};

// ---- The layout, checked field by field ------------------------------------------------------

static_assert(offsetof(shm_header, state) == 0);
static_assert(offsetof(shm_header, magic) == 4);
static_assert(offsetof(shm_header, version) == 8);
static_assert(offsetof(shm_header, slot_size) == 12);
static_assert(offsetof(shm_header, values_per_slot) == 16);
static_assert(offsetof(shm_header, slot_count) == 20);
static_assert(offsetof(shm_header, chain_serial) == 24);
static_assert(offsetof(shm_header, identity_lock) == 28);
static_assert(offsetof(shm_header, block_sequence) == 32);
static_assert(offsetof(shm_header, reserved1) == 40);
static_assert(sizeof(shm_header) == SHM_HEADER_SIZE);
static_assert(offsetof(slot_edit_event, kind) == 4 && offsetof(slot_edit_event, value) == 8);
static_assert(sizeof(slot_edit_event) == 16);
static_assert(offsetof(shm_slot, in_use) == 0);
static_assert(offsetof(shm_slot, owner_pid) == 4);
static_assert(offsetof(shm_slot, generation) == 8);
static_assert(offsetof(shm_slot, reserved0) == 12);
static_assert(offsetof(shm_slot, instance_id) == 16);
static_assert(offsetof(shm_slot, active) == 24);
static_assert(offsetof(shm_slot, latency) == 28);
static_assert(offsetof(shm_slot, sample_rate) == 32);
static_assert(offsetof(shm_slot, values) == 40);
static_assert(offsetof(shm_slot, edit_ring) == 176);
static_assert(offsetof(shm_slot, edit_read) == 4272);
static_assert(offsetof(shm_slot, edit_write) == 4276);
static_assert(offsetof(shm_slot, edit_lock) == 4280);
static_assert(offsetof(shm_slot, reserved1) == 4284);
static_assert(offsetof(shm_slot, request_flags) == 4288);
static_assert(offsetof(shm_slot, min_gain) == 4292);
static_assert(offsetof(shm_slot, input_peak) == 4296);
static_assert(offsetof(shm_slot, output_peak) == 4300);
static_assert(offsetof(shm_slot, detected_peak) == 4304);
static_assert(offsetof(shm_slot, output_true_peak) == 4308);
static_assert(offsetof(shm_slot, detected_peak_l) == 4312);
static_assert(offsetof(shm_slot, detected_peak_r) == 4316);
static_assert(offsetof(shm_slot, output_true_peak_l) == 4320);
static_assert(offsetof(shm_slot, output_true_peak_r) == 4324);
static_assert(offsetof(shm_slot, block_frames) == 4328);
static_assert(offsetof(shm_slot, max_block_frames) == 4332);
static_assert(offsetof(shm_slot, oversize_blocks) == 4336);
static_assert(offsetof(shm_slot, reset_count) == 4340);
static_assert(offsetof(shm_slot, activation_count) == 4344);
static_assert(offsetof(shm_slot, momentary_lufs) == 4348);
static_assert(offsetof(shm_slot, short_term_lufs) == 4352);
static_assert(offsetof(shm_slot, integrated_lufs) == 4356);
static_assert(offsetof(shm_slot, history) == 4360);
static_assert(offsetof(shm_slot, history_counter) == 135432);
static_assert(offsetof(shm_slot, history_gap_start) == 135436);
static_assert(offsetof(shm_slot, history_time_ns) == 135440);
static_assert(offsetof(shm_slot, midi_cc) == 135448);
static_assert(offsetof(shm_slot, midi_learn_param) == 135516);
static_assert(offsetof(shm_slot, reset_loudness) == 135520);
static_assert(offsetof(shm_slot, reserved2) == 135524);
static_assert(offsetof(shm_slot, start_ns) == 135528);
static_assert(offsetof(shm_slot, prev_start_ns) == 135536);
static_assert(offsetof(shm_slot, block_sequence) == 135544);
static_assert(offsetof(shm_slot, timing_start) == 135552);
static_assert(offsetof(shm_slot, timing_end) == 136064);
static_assert(offsetof(shm_slot, timing_steady) == 136576);
static_assert(offsetof(shm_slot, steady) == 137088);
static_assert(offsetof(shm_slot, prev_steady) == 137096);
static_assert(offsetof(shm_slot, timing_count) == 137104);
static_assert(offsetof(shm_slot, chain_serial) == 137108);
static_assert(sizeof(shm_slot) == SHM_SLOT_SIZE);
static_assert(SHM_HEADER_SIZE + SHM_SLOT_COUNT * sizeof(shm_slot) + 40 == SHM_MAPPING_SIZE);

// ---- Atomic access to mapped fields -----------------------------------------------------------
// Fields are plain members of the mirror structs; these helpers reach them as atomics in place.

static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free);
static_assert(std::atomic_ref<double>::is_always_lock_free);
static_assert(std::atomic_ref<float>::is_always_lock_free);

template <typename T>
inline T shm_load(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_seq_cst);
}
template <typename T>
inline void shm_store(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_seq_cst);
}
template <typename T>
inline T shm_exchange(T& field, T value) {
    return std::atomic_ref<T>(field).exchange(value, std::memory_order_seq_cst);
}
template <typename T>
inline bool shm_compare_exchange(T& field, T expected, T desired) {
    return std::atomic_ref<T>(field).compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
}
template <typename T>
inline T shm_fetch_add(T& field, T delta) {
    return std::atomic_ref<T>(field).fetch_add(delta, std::memory_order_seq_cst);
}
template <typename T>
inline T shm_fetch_and(T& field, T bits) {
    return std::atomic_ref<T>(field).fetch_and(bits, std::memory_order_seq_cst);
}
template <typename T>
inline T shm_fetch_or(T& field, T bits) {
    return std::atomic_ref<T>(field).fetch_or(bits, std::memory_order_seq_cst);
}

// Reads a parameter value of a slot; `index` is trusted (0..16). [any-thread]
inline double slot_value(const shm_slot* slot, int32_t index) {
    return shm_load(slot->values[index]);
}

// ---- Segment and slots ------------------------------------------------------------------------

// Opens or creates the segment once per process (later calls do nothing) and accepts it only when
// its header matches this layout. Called lazily by the first claim, count or counter call.
// Must be called under the registry lock. [main-thread]
void shm_open();

// Forgets the segment and the private slot list of this process, so that the next call opens it anew.
// For module unload and tests; no stage of the process may hold a slot. [main-thread]
void shm_close();

// True when this process runs on the shared segment (after the first open). [any-thread]
bool shm_is_shared();

// True when this process found the segment empty and wrote its header (diagnostics and tests).
// [any-thread]
bool shm_initialised_here();

// The header of the mapped segment, or null without one. [any-thread]
shm_header* shm_header_ptr();

// Builds the segment's name (LODRIN_SHM when set and not empty, cut to 127 characters, else
// "lodrin-shm-3") into `out`. [any-thread]
void shm_segment_name(char* out, size_t capacity);

// Claims a slot: a free shared slot, else one left by a dead process, else a zeroed private record.
// Null only when a private record cannot be allocated. Run under the registry lock. [main-thread]
shm_slot* slot_claim();

// True when the slot is in use and its owner process lives: this process's own slots are known here;
// for another process's shared slot the answer (cached for one second) is whether its owner lock is
// held (lock liveness) or whether the recorded process runs (Windows). [main-thread]
bool slot_owner_alive(const shm_slot* slot);

// The same question asked now, without the one-second cache. [main-thread]
bool slot_owner_alive_now(const shm_slot* slot);

// Shared slots 0..63 (null unless in use), then the private list; without a segment the private list
// from 0. Null out of range. [main-thread]
shm_slot* slot_by_index(int32_t index);

// 64 + private slots listed with a segment, else the private slots listed. [main-thread]
int32_t slot_count();

// Gives a slot back (null does nothing). Run under the registry lock. [main-thread]
void slot_release(shm_slot* slot);

// True when `slot` lies inside the mapped segment. [any-thread]
bool slot_is_shared(const shm_slot* slot);

// Index 0..63 of a shared slot, or -1 for a private one. [any-thread]
int32_t slot_shared_index(const shm_slot* slot);

// The cross-process guard of a slot's edit ring (lock liveness: the lock on SHM_RING_LOCK_BYTE + index;
// otherwise, and for private slots, nothing to take). Try answers false while another process holds
// it. [main-thread]
bool shm_ring_guard_try(const shm_slot* slot);
void shm_ring_guard_release(const shm_slot* slot);

// Whether the producer recorded in a slot's ring lock word (`holder`, its process id) may be
// overtaken: it must be dead by the liveness rule. Lock liveness: true, because the caller holds the
// ring guard and a live holder would still hold it. Windows: the holder is another process that no
// longer runs. [main-thread]
bool shm_ring_holder_dead(const shm_slot* slot, uint32_t holder);

// The identity lock: makes "no other live stage carries this instance id" and the store of that id
// into a slot one step across every process on the segment (without it two processes may both find
// an id free and both store it). A word in the header, 0 when free and the holder's process id while
// held, kept by the rules of the edit-ring lock:
// - nobody waits unboundedly: the lock is given up after SHM_IDENTITY_WAIT_NS;
// - a holder is overtaken only when it is dead by the liveness rule, never because it is slow: with
//   lock liveness every taker first holds the kernel lock on SHM_IDENTITY_LOCK_BYTE, so a word found
//   held under it was left by a dead holder; on Windows the holder's process id is asked.
// Threads of one process are not told apart (the token is the process id): callers hold the registry
// lock. Without a segment there is nothing to take and the lock answers true at once.
// shm_identity_lock answers false when the lock was not had in time (a holder stopped inside it);
// nothing is held then. Never on the audio thread. [main-thread, under the registry lock]
inline constexpr int64_t SHM_IDENTITY_WAIT_NS = 250000000; // 250 ms
bool shm_identity_lock();
void shm_identity_unlock();

// Machine-wide counters in the header (process-local without a segment): old value + 1.
// shm_next_block_sequence is one atomic add. [any-thread; block sequence: audio-thread safe]
uint64_t shm_next_block_sequence();
uint32_t shm_next_chain_serial();
