// The process-local instance registry: pairs of (slot, instance) in order of attachment, guarded by
// one lock that the chain-order inference shares.
#include "registry.h"

#include "chain_order.h"

#include <atomic>

struct registry_pair {
    shm_slot* slot;
    plugin_instance* instance;
};

static constexpr int32_t REGISTRY_CAPACITY = 64;

static registry_pair pairs[REGISTRY_CAPACITY];
static int32_t pair_count = 0;
static std::atomic<const registry_host_notify*> host_notify{nullptr};

static platform_lock* registry_lock_object() {
    // Initialised by the first user; function-local statics are initialised exactly once.
    static platform_lock lock = [] {
        platform_lock l;
        lock_init(&l);
        return l;
    }();
    return &lock;
}

void registry_lock() {
    lock_acquire(registry_lock_object());
}
void registry_unlock() {
    lock_release(registry_lock_object());
}

void registry_set_host_notify(const registry_host_notify* notify) {
    host_notify.store(notify);
}

const registry_host_notify* registry_host_notify_table() {
    return host_notify.load();
}

shm_slot* registry_attach(plugin_instance* instance) {
    registry_lock();
    shm_slot* slot = slot_claim();
    // A 65th instance keeps its slot unlisted: edits reach it through the request flags, as for a stage
    // of another process.
    if (slot && pair_count < REGISTRY_CAPACITY) pairs[pair_count++] = registry_pair{slot, instance};
    registry_unlock();
    return slot;
}

void registry_detach(plugin_instance* instance, shm_slot* slot) {
    registry_lock();
    for (int32_t i = 0; i < pair_count; ++i) {
        if (pairs[i].instance != instance) continue;
        for (int32_t j = i; j + 1 < pair_count; ++j)
            pairs[j] = pairs[j + 1];
        --pair_count;
        pairs[pair_count] = registry_pair{nullptr, nullptr};
        break;
    }
    slot_release(slot);
    // Every chain of the process may have lost a member; the next listing learns the orders anew.
    learned_order_clear();
    registry_unlock();
}

plugin_instance* registry_instance_of_slot(const shm_slot* slot) {
    if (!slot) return nullptr;
    for (int32_t i = 0; i < pair_count; ++i) {
        if (pairs[i].slot == slot) return pairs[i].instance;
    }
    return nullptr;
}

bool slot_is_instance(const shm_slot* slot, int64_t id) {
    return slot && slot_owner_alive(slot) && static_cast<int64_t>(shm_load(slot->instance_id)) == id;
}

// True when a live stage other than `own` carries `id`. The owner of a slot that carries it is asked
// now, not through the one-second liveness cache: a slot taken over within that second would still
// pass for its dead previous owner's, and its new stage's id for a free one.
static bool id_carried_elsewhere(const shm_slot* own, uint64_t id) {
    const int32_t n = slot_count();
    for (int32_t i = 0; i < n; ++i) {
        const shm_slot* s = slot_by_index(i);
        if (s && s != own && shm_load(s->instance_id) == id && slot_owner_alive_now(s)) return true;
    }
    return false;
}

bool registry_take_instance_id(shm_slot* slot, uint64_t id) {
    if (!slot || id == 0) return false;
    registry_lock();
    bool taken = false;
    if (shm_identity_lock()) {
        taken = !id_carried_elsewhere(slot, id);
        if (taken) {
            shm_exchange(slot->instance_id, id);
            // The learned orders are keyed by member identities.
            learned_order_clear();
        }
        shm_identity_unlock();
    }
    registry_unlock();
    return taken;
}

void registry_count_per_group(uint32_t out[16]) {
    for (int32_t g = 0; g < 16; ++g)
        out[g] = 0;
    const int32_t n = slot_count();
    for (int32_t i = 0; i < n; ++i) {
        const shm_slot* s = slot_by_index(i);
        if (!s || !slot_owner_alive(s)) continue;
        // Truncation toward zero of a value from shared memory: test the range on the double first, so
        // that NaN and huge values never reach the conversion. (-1, 16) is exactly what truncates into 0..15.
        const double v = slot_value(s, PARAM_GROUP);
        if (!(v > -1.0 && v < 16.0)) continue;
        ++out[static_cast<int32_t>(v)];
    }
}

uint64_t registry_next_sequence() {
    return shm_next_block_sequence();
}
