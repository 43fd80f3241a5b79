// The shared segment and its stage slots: naming, the creation handshake, claim and take-over,
// liveness, enumeration and release, and the private slots used when there is no segment.
//
// Process-local state below is changed only under the registry lock (open, claim, release, close);
// the pointers and counters that other threads read are atomics so that a reader never races a writer.
#include "shm.h"

#include "lock_wait.h"
#include "platform.h"
#include "shm_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(std::atomic_ref<int32_t>::is_always_lock_free);

static constexpr uint32_t OPEN_WAIT_TRIES = 200; // x 10 ms: how long another process may take to initialise
static constexpr int64_t LIVENESS_CACHE_NS = 1000000000;
static constexpr size_t SLOT_CLEARED_FROM = offsetof(shm_slot, instance_id);

static std::atomic<bool> open_tried{false};
static std::atomic<shm_header*> mapped_header{nullptr};
static std::atomic<shm_slot*> mapped_slots{nullptr};
static platform_mapping mapping = PLATFORM_NO_MAPPING;
// Shared slots this process owns (claimed and not released): own slots are known here, never inferred.
static std::atomic<uint8_t> owned_here[SHM_SLOT_COUNT];
static bool initialised_here = false;
// The process that opened the mapping; a fork() child finds another id and takes its own descriptor
// (and forgets the parent's slots) before it touches a lock.
static std::atomic<int32_t> opened_by{0};

// Private slots, in order of claim. A claim beyond the list's capacity still gets a record, unlisted.
static shm_slot* local_slots[SHM_SLOT_COUNT];
static std::atomic<int32_t> local_count{0};
static std::atomic<uint32_t> local_chain_serial{0};
static std::atomic<uint64_t> local_block_sequence{0};

// One cached liveness answer per shared slot index, with the clock_ns time it was taken (0: never).
static std::atomic<uint8_t> liveness_answer[SHM_SLOT_COUNT];
static std::atomic<int64_t> liveness_time[SHM_SLOT_COUNT];

void shm_segment_name(char* out, size_t capacity) {
    if (capacity == 0) return;
    const char* env = std::getenv("LODRIN_SHM");
    if (env && env[0] != '\0') {
        std::snprintf(out, capacity, "%.127s", env);
    } else {
        std::snprintf(out, capacity, "lodrin-shm-%d", static_cast<int>(SHM_VERSION));
    }
}

static bool header_matches(const shm_header* h) {
    // The slot count is not compared: a peer's count cannot change where our 64 slots lie.
    return shm_load(h->state) == SHM_STATE_READY && shm_load(h->magic) == SHM_MAGIC &&
           shm_load(h->version) == SHM_VERSION && shm_load(h->slot_size) == SHM_SLOT_SIZE &&
           shm_load(h->values_per_slot) == static_cast<uint32_t>(PARAM_COUNT);
}

// Writes the header of this layout and publishes it with the state READY.
static void write_header(shm_header* h) {
    shm_store(h->magic, SHM_MAGIC);
    shm_store(h->version, SHM_VERSION);
    shm_store(h->slot_size, SHM_SLOT_SIZE);
    shm_store(h->values_per_slot, static_cast<uint32_t>(PARAM_COUNT));
    shm_store(h->slot_count, static_cast<uint32_t>(SHM_SLOT_COUNT));
    shm_exchange(h->state, SHM_STATE_READY);
}

void shm_open() {
    // A plain load first: the block-sequence call runs this on every process call.
    if (open_tried.load() || open_tried.exchange(true)) return;

    char name[128];
    shm_segment_name(name, sizeof name);
    platform_mapping m;
    if (!platform_open_mapping(name, SHM_MAPPING_SIZE, &m)) return;
    shm_header* h = static_cast<shm_header*>(m.base);

    // The creation handshake. Exactly one process moves the state 0 -> 1 and writes the header; a fresh
    // mapping is all zero, so the slots are already free (in_use 0). Everyone else waits for 2.
    //
    // With lock liveness the initialiser holds the initialiser lock from before its 0 -> 1 until after
    // 1 -> 2. Whoever gets that lock and still finds 1 knows the initialiser died half-way (nothing else
    // leaves 1 behind with the lock free) and initialises again instead of leaving every later process
    // on private slots. Without lock liveness (Windows) the lock always succeeds, a stuck 1 is never
    // taken over, and the loop is the plain wait of 200 x 10 ms.
    for (uint32_t tries = 0;; ++tries) {
        if (shm_load(h->state) == SHM_STATE_READY) break;
        if (platform_byte_lock(&m, SHM_INIT_LOCK_BYTE)) {
            bool mine = shm_compare_exchange(h->state, SHM_STATE_EMPTY, SHM_STATE_INITIALISING);
            if (!mine && PLATFORM_LOCK_LIVENESS)
                mine = shm_compare_exchange(h->state, SHM_STATE_INITIALISING, SHM_STATE_INITIALISING);
            if (mine) {
                write_header(h);
                initialised_here = true;
            }
            platform_byte_unlock(&m, SHM_INIT_LOCK_BYTE);
            if (mine) break;
        }
        if (tries >= OPEN_WAIT_TRIES) break;
        sleep_ms(10);
    }

    if (!header_matches(h)) {
        platform_close_mapping(&m);
        initialised_here = false;
        return;
    }
    mapping = m;
    opened_by.store(current_process_id());
    mapped_slots.store(reinterpret_cast<shm_slot*>(static_cast<uint8_t*>(m.base) + SHM_HEADER_SIZE));
    mapped_header.store(h);
}

// Lock liveness after fork(): the child shares the parent's open file description, whose locks are the
// parent's. Before the child takes or tests a lock it opens the object anew, and the slots it inherited
// as "owned here" are the parent's, not its own.
static void own_descriptor_after_fork() {
    if (!PLATFORM_LOCK_LIVENESS || !mapped_header.load()) return;
    const int32_t pid = current_process_id();
    if (opened_by.load() == pid) return;
    if (!platform_mapping_own_descriptor(&mapping)) return;
    for (std::atomic<uint8_t>& owned : owned_here)
        owned.store(0);
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i)
        liveness_time[i].store(0, std::memory_order_relaxed);
    opened_by.store(pid);
}

void shm_close() {
    mapped_header.store(nullptr);
    mapped_slots.store(nullptr);
    platform_close_mapping(&mapping);
    initialised_here = false;
    const int32_t n = local_count.exchange(0);
    for (int32_t i = 0; i < n; ++i) {
        std::free(local_slots[i]);
        local_slots[i] = nullptr;
    }
    local_chain_serial.store(0);
    local_block_sequence.store(0);
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        liveness_answer[i].store(0, std::memory_order_relaxed);
        liveness_time[i].store(0, std::memory_order_relaxed);
        owned_here[i].store(0);
    }
    open_tried.store(false);
}

bool shm_is_shared() {
    return mapped_header.load() != nullptr;
}

bool shm_initialised_here() {
    return shm_is_shared() && initialised_here;
}

shm_header* shm_header_ptr() {
    return mapped_header.load();
}

int32_t slot_shared_index(const shm_slot* slot) {
    const shm_slot* first = mapped_slots.load();
    if (!first || !slot) return -1;
    const uintptr_t p = reinterpret_cast<uintptr_t>(slot), base = reinterpret_cast<uintptr_t>(first);
    if (p < base || p >= base + SHM_SLOT_COUNT * sizeof(shm_slot)) return -1;
    return static_cast<int32_t>((p - base) / sizeof(shm_slot));
}

bool slot_is_shared(const shm_slot* slot) {
    return slot_shared_index(slot) >= 0;
}

// Zeroes everything from the instance id on, one aligned word at a time, so that a reader in another
// thread or process sees each field either old or zero, never half of each. Slots start 8-aligned
// (64 + i x 137112, both multiples of 8) and the cleared range is whole words. The sequentially
// consistent stores of the -1 fields that follow order the whole clearing before anything later.
static void slot_clear_contents(shm_slot* slot) {
    static_assert(SLOT_CLEARED_FROM % 8 == 0 && sizeof(shm_slot) % 8 == 0 && SHM_HEADER_SIZE % 8 == 0);
    uint64_t* words = reinterpret_cast<uint64_t*>(reinterpret_cast<uint8_t*>(slot) + SLOT_CLEARED_FROM);
    const size_t n = (sizeof(shm_slot) - SLOT_CLEARED_FROM) / 8;
    for (size_t i = 0; i < n; ++i)
        std::atomic_ref<uint64_t>(words[i]).store(0, std::memory_order_release);
}

// The three fields whose "nothing" is -1 rather than 0.
static void slot_set_defaults(shm_slot* slot) {
    shm_store(slot->history_gap_start, int32_t{-1});
    shm_store(slot->midi_learn_param, int32_t{-1});
    for (int32_t& cc : slot->midi_cc)
        shm_store(cc, int32_t{-1});
}

static void slot_take(shm_slot* slot) {
    shm_fetch_add(slot->generation, 1u);
    slot_clear_contents(slot);
    slot_set_defaults(slot);
}

static shm_slot* take_shared(shm_slot* s, int32_t index) {
    owned_here[index].store(1);
    slot_take(s);
    return s;
}

// Lock liveness. A slot is taken only with its owner lock in hand, and the kernel hands that lock to
// one process at a time, so the lock itself arbitrates: no process id is compared. Pass 1 wants a free
// slot; pass 2 takes a slot in use whose lock was free (its owner is dead: it held the lock from claim
// to release). A live owner, in any PID namespace, keeps its lock, so its slot is never taken.
static shm_slot* claim_by_lock(shm_slot* shared, uint32_t pid) {
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        shm_slot* s = &shared[i];
        if (shm_load(s->in_use) != 0 || owned_here[i].load()) continue;
        if (!platform_byte_lock(&mapping, static_cast<uint64_t>(i))) continue;
        if (!shm_compare_exchange(s->in_use, 0u, 1u)) {
            // In use with its lock free: a dead owner's slot, for pass 2 if nothing is free.
            platform_byte_unlock(&mapping, static_cast<uint64_t>(i));
            continue;
        }
        shm_exchange(s->owner_pid, pid);
        return take_shared(s, i);
    }
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        shm_slot* s = &shared[i];
        if (owned_here[i].load() || shm_load(s->in_use) == 0) continue;
        if (!platform_byte_lock(&mapping, static_cast<uint64_t>(i))) continue;
        shm_exchange(s->in_use, 1u);
        shm_exchange(s->owner_pid, pid);
        return take_shared(s, i);
    }
    return nullptr;
}

// Process-id liveness (Windows): the process id stored in a slot is asked.
static shm_slot* claim_by_process_id(shm_slot* shared, uint32_t pid) {
    // Pass 1: a free slot. Between our in_use 0 -> 1 and our owner store, another process's pass 2
    // sees in_use 1 with the previous (dead, or 0 on a fresh slot) owner and may take the slot over by
    // a compare-and-swap on the owner. Our owner store is a compare-and-swap from the owner seen before
    // in_use was taken, so exactly one of the two gets the slot; losing, we move on.
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        shm_slot* s = &shared[i];
        const uint32_t previous_owner = shm_load(s->owner_pid);
        if (!shm_compare_exchange(s->in_use, 0u, 1u)) continue;
        if (!shm_compare_exchange(s->owner_pid, previous_owner, pid)) continue;
        return take_shared(s, i);
    }
    // Pass 2: a slot whose owner died without releasing it. The compare-and-swap on the owner
    // arbitrates between processes that find the same dead owner.
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        shm_slot* s = &shared[i];
        if (shm_load(s->in_use) == 0) continue;
        const uint32_t owner = shm_load(s->owner_pid);
        if (owner == pid || process_is_alive(static_cast<int32_t>(owner))) continue;
        if (shm_compare_exchange(s->owner_pid, owner, pid)) return take_shared(s, i);
    }
    return nullptr;
}

shm_slot* slot_claim() {
    shm_open();
    own_descriptor_after_fork();
    const int32_t pid = current_process_id();
    if (shm_slot* shared = mapped_slots.load()) {
        shm_slot* s = PLATFORM_LOCK_LIVENESS ? claim_by_lock(shared, static_cast<uint32_t>(pid))
                                             : claim_by_process_id(shared, static_cast<uint32_t>(pid));
        if (s) return s;
    }

    shm_slot* s = static_cast<shm_slot*>(std::calloc(1, sizeof(shm_slot)));
    if (!s) return nullptr;
    shm_store(s->in_use, 1u);
    shm_store(s->owner_pid, static_cast<uint32_t>(pid));
    shm_store(s->generation, 1u);
    slot_set_defaults(s);
    const int32_t n = local_count.load();
    if (n < SHM_SLOT_COUNT) {
        local_slots[n] = s;
        local_count.store(n + 1);
    }
    return s;
}

// The liveness question itself, uncached.
static bool shared_owner_alive(int32_t index, int32_t owner) {
    if (PLATFORM_LOCK_LIVENESS) return platform_byte_locked_elsewhere(&mapping, static_cast<uint64_t>(index));
    return process_is_alive(owner);
}

// The part of the owner test that needs nobody asked: 1 or 0 when the answer is known here, -1 when the
// OS must be asked about `*owner` of shared slot `*index` (both filled then).
static int owner_known_here(const shm_slot* slot, int32_t* index, int32_t* owner) {
    if (!slot || shm_load(slot->in_use) == 0) return 0;
    *index = slot_shared_index(slot);
    // A private slot is a record of this process.
    if (*index < 0) return 1;
    *owner = static_cast<int32_t>(shm_load(slot->owner_pid));
    if (PLATFORM_LOCK_LIVENESS) {
        // Own slots are known here; process ids mean nothing across PID namespaces.
        own_descriptor_after_fork();
        if (owned_here[*index].load()) return 1;
    } else if (*owner == current_process_id()) {
        return 1;
    }
    return -1;
}

bool slot_owner_alive_now(const shm_slot* slot) {
    int32_t index = -1, owner = 0;
    const int known = owner_known_here(slot, &index, &owner);
    if (known >= 0) return known == 1;
    return shared_owner_alive(index, owner);
}

bool slot_owner_alive(const shm_slot* slot) {
    int32_t index = -1, owner = 0;
    const int known = owner_known_here(slot, &index, &owner);
    if (known >= 0) return known == 1;

    // The cache is keyed by slot index, not by owner: a slot that changed hands within the second may
    // report the previous owner's answer until the entry ages.
    const int64_t now = clock_ns();
    const int64_t taken = liveness_time[index].load(std::memory_order_relaxed);
    if (taken != 0 && now - taken <= LIVENESS_CACHE_NS)
        return liveness_answer[index].load(std::memory_order_relaxed);
    liveness_time[index].store(now, std::memory_order_relaxed);
    const bool alive = shared_owner_alive(index, owner);
    liveness_answer[index].store(alive ? 1 : 0, std::memory_order_relaxed);
    return alive;
}

shm_slot* slot_by_index(int32_t index) {
    if (index < 0) return nullptr;
    shm_slot* shared = mapped_slots.load();
    if (shared) {
        if (index < SHM_SLOT_COUNT) return shm_load(shared[index].in_use) != 0 ? &shared[index] : nullptr;
        index -= SHM_SLOT_COUNT;
    }
    return index < local_count.load() ? local_slots[index] : nullptr;
}

int32_t slot_count() {
    shm_open();
    return (mapped_slots.load() ? SHM_SLOT_COUNT : 0) + local_count.load();
}

void slot_release(shm_slot* slot) {
    if (!slot) return;
    const int32_t index = slot_shared_index(slot);
    if (index >= 0) {
        own_descriptor_after_fork();
        shm_exchange(slot->in_use, 0u);
        // The owner lock goes last: whoever gets it next finds the slot already free.
        owned_here[index].store(0);
        platform_byte_unlock(&mapping, static_cast<uint64_t>(index));
        return;
    }
    const int32_t n = local_count.load();
    for (int32_t i = 0; i < n; ++i) {
        if (local_slots[i] != slot) continue;
        for (int32_t j = i; j + 1 < n; ++j)
            local_slots[j] = local_slots[j + 1];
        local_slots[n - 1] = nullptr;
        local_count.store(n - 1);
        break;
    }
    std::free(slot);
}

uint64_t shm_next_block_sequence() {
    shm_open();
    shm_header* h = mapped_header.load();
    if (h) return shm_fetch_add(h->block_sequence, uint64_t{1}) + 1;
    return local_block_sequence.fetch_add(1) + 1;
}

uint32_t shm_next_chain_serial() {
    shm_open();
    shm_header* h = mapped_header.load();
    if (h) return shm_fetch_add(h->chain_serial, 1u) + 1;
    return local_chain_serial.fetch_add(1) + 1;
}

bool shm_ring_guard_try(const shm_slot* slot) {
    const int32_t index = slot_shared_index(slot);
    if (index < 0) return true;
    own_descriptor_after_fork();
    return platform_byte_lock(&mapping, SHM_RING_LOCK_BYTE + static_cast<uint64_t>(index));
}

void shm_ring_guard_release(const shm_slot* slot) {
    const int32_t index = slot_shared_index(slot);
    if (index >= 0) platform_byte_unlock(&mapping, SHM_RING_LOCK_BYTE + static_cast<uint64_t>(index));
}

// Whether the process recorded as `holder` in a lock word of the segment may be overtaken, asked by a
// caller that holds the word's kernel guard. Under the guard a live holder is impossible, unless this
// is a fork() child still sharing its parent's descriptor (it could not open its own): then the guard
// proves nothing. Windows asks the process; our own id counts as alive, since the holder may be another
// copy of the module loaded into this process (both deliverables in one host), whose threads our
// registry lock does not hold back.
static bool lock_holder_dead(uint32_t holder) {
    if (PLATFORM_LOCK_LIVENESS) return opened_by.load() == current_process_id();
    return holder != static_cast<uint32_t>(current_process_id()) &&
           !process_is_alive(static_cast<int32_t>(holder));
}

bool shm_ring_holder_dead(const shm_slot* slot, uint32_t holder) {
    // A private ring is reached by this process only, whose producers take turns.
    if (!slot_is_shared(slot)) return true;
    return lock_holder_dead(holder);
}

bool shm_identity_lock() {
    shm_header* h = mapped_header.load();
    if (!h) return true;
    own_descriptor_after_fork();
    const int64_t started = clock_ns();
    const int64_t deadline = started + SHM_IDENTITY_WAIT_NS;
    if (!lock_wait([](bool) { return platform_byte_lock(&mapping, SHM_IDENTITY_LOCK_BYTE); }, started,
                   deadline))
        return false;
    const int32_t pid = current_process_id();
    const uint32_t token = pid > 0 ? static_cast<uint32_t>(pid) : 1u;
    const bool held = lock_wait(
        [&](bool slow) {
            if (shm_compare_exchange(h->identity_lock, 0u, token)) return true;
            if (!slow) return false;
            const uint32_t holder = shm_load(h->identity_lock);
            return holder != 0 && lock_holder_dead(holder) &&
                   shm_compare_exchange(h->identity_lock, holder, token);
        },
        started, deadline);
    if (!held) platform_byte_unlock(&mapping, SHM_IDENTITY_LOCK_BYTE);
    return held;
}

void shm_identity_unlock() {
    shm_header* h = mapped_header.load();
    if (!h) return;
    const int32_t pid = current_process_id();
    // Only our own hold is freed: a word that names another process is not ours to clear.
    shm_compare_exchange(h->identity_lock, pid > 0 ? static_cast<uint32_t>(pid) : 1u, 0u);
    // The kernel lock goes last, so that whoever gets it next finds the word free.
    platform_byte_unlock(&mapping, SHM_IDENTITY_LOCK_BYTE);
}
