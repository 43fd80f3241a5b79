// The edit queue: producers (editors of any process) append to a slot's 256-entry ring under a spin
// lock in the slot; the owner drains it without the lock.
//
// Ring arithmetic: read and write indices run free and wrap at 2^32; the number queued is (write - read)
// as a signed 32-bit difference and the entry of index i is i AND 255. Both indices live in memory
// that any process of the user may scribble on, so nothing here trusts them beyond the mask: a count
// outside 0..256 is a corrupt ring, which producers treat as full and the consumer resynchronises.
//
// The lock word is 0 when free and nonzero while held. A producer that died inside the few stores it
// holds the lock for would leave it held for ever; a waiter that sees the same nonzero word for longer
// than EDIT_LOCK_TIMEOUT_NS takes the lock over by a compare-and-swap from that value to the next
// nonzero one, so that of several waiters timing out together exactly one takes it over and the others
// start their wait anew on the new value. The timeout is far above any real hold time (a handful of
// stores), so only a dead or long-suspended holder is overtaken; the price of a dead holder is one
// wait of that length for the next edit of the slot.
#include "edit_queue.h"

#include "platform.h"
#include "registry.h"

static constexpr uint32_t LOCK_SPINS_BEFORE_CLOCK = 1024;
static constexpr int64_t EDIT_LOCK_TIMEOUT_NS = 250000000; // 250 ms

static inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

static void ring_lock(shm_slot* slot) {
    uint32_t& word = slot->edit_lock;
    uint32_t seen = 0;
    int64_t seen_since = 0; // 0: no held value under watch
    for (uint32_t spins = 0;; ++spins) {
        if (shm_compare_exchange(word, 0u, 1u)) return;
        cpu_relax();
        if (spins < LOCK_SPINS_BEFORE_CLOCK) continue;
        const uint32_t held = shm_load(word);
        if (held == 0) {
            seen_since = 0; // the holder let go: whoever holds it next gets a full timeout
            continue;
        }
        const int64_t now = clock_ns();
        if (seen_since == 0 || held != seen) {
            seen = held;
            seen_since = now;
            continue;
        }
        if (now - seen_since > EDIT_LOCK_TIMEOUT_NS) {
            const uint32_t next = held + 1 == 0 ? 1 : held + 1;
            if (shm_compare_exchange(word, held, next)) return;
            seen_since = 0;
        }
    }
}

static void ring_unlock(shm_slot* slot) {
    shm_exchange(slot->edit_lock, 0u);
}

static int32_t ring_count(const shm_slot* slot) {
    const uint32_t w = shm_load(slot->edit_write);
    const uint32_t r = shm_load(slot->edit_read);
    return static_cast<int32_t>(w - r);
}

static void ask_flush(shm_slot* slot, plugin_instance* owner) {
    if (!owner) {
        shm_fetch_or(slot->request_flags, SLOT_REQUEST_FLUSH);
        return;
    }
    const registry_host_notify* host = registry_host_notify_table();
    if (host && host->request_flush) host->request_flush(owner);
}

void slot_queue_event(shm_slot* slot, int32_t index, uint32_t kind, double value) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    const uint32_t id = param_table[index].id;
    plugin_instance* owner = registry_instance_of_slot(slot);

    ring_lock(slot);
    const uint32_t w = shm_load(slot->edit_write);
    const uint32_t r = shm_load(slot->edit_read);
    const int32_t queued = static_cast<int32_t>(w - r);
    if (queued < 0 || queued >= static_cast<int32_t>(EDIT_RING_SIZE)) {
        ring_unlock(slot);
        if (owner) {
            const registry_host_notify* host = registry_host_notify_table();
            if (host && host->log_warning)
                host->log_warning(owner, "edit queue full, host will miss an event");
        }
        ask_flush(slot, owner);
        return;
    }
    slot_edit_event& e = slot->edit_ring[w & (EDIT_RING_SIZE - 1)];
    shm_store(e.param_id, id);
    shm_store(e.kind, kind);
    shm_store(e.value, value);
    // The exchange is a full barrier: the consumer that sees the new write index sees the entry.
    shm_exchange(slot->edit_write, w + 1);
    ring_unlock(slot);
    ask_flush(slot, owner);
}

void slot_begin_gesture(shm_slot* slot, int32_t index) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    slot_queue_event(slot, index, EDIT_KIND_BEGIN, shm_load(slot->values[index]));
}

void slot_end_gesture(shm_slot* slot, int32_t index) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    slot_queue_event(slot, index, EDIT_KIND_END, shm_load(slot->values[index]));
}

void slot_set_value(shm_slot* slot, int32_t index, double value) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    const double v = clamp_param_value(index, value);
    // Stored before the event is queued, so that the value holds even when the ring is full.
    shm_exchange(slot->values[index], v);
    slot_queue_event(slot, index, EDIT_KIND_VALUE, v);
    plugin_instance* owner = registry_instance_of_slot(slot);
    if (!owner) {
        shm_fetch_or(slot->request_flags, SLOT_REQUEST_DIRTY);
        return;
    }
    const registry_host_notify* host = registry_host_notify_table();
    if (host && host->mark_dirty) host->mark_dirty(owner);
}

uint32_t slot_edit_pending(const shm_slot* slot) {
    if (!slot) return 0;
    const int32_t d = ring_count(slot);
    if (d <= 0) return 0;
    return d > static_cast<int32_t>(EDIT_RING_SIZE) ? EDIT_RING_SIZE : static_cast<uint32_t>(d);
}

bool slot_take_edit(shm_slot* slot, slot_edit_event* out) {
    if (!slot) return false;
    const uint32_t r = shm_load(slot->edit_read);
    const uint32_t w = shm_load(slot->edit_write);
    const int32_t queued = static_cast<int32_t>(w - r);
    if (queued == 0) return false;
    if (queued < 0 || queued > static_cast<int32_t>(EDIT_RING_SIZE)) {
        // No producer ever gets more than 256 ahead, so these indices were written by something else.
        // Whatever the entries hold is not a queue any more: drop it and start again at the writer.
        shm_exchange(slot->edit_read, w);
        return false;
    }
    const slot_edit_event& e = slot->edit_ring[r & (EDIT_RING_SIZE - 1)];
    out->param_id = shm_load(e.param_id);
    out->kind = shm_load(e.kind);
    out->value = shm_load(e.value);
    // Read before released: the slot of the entry is handed back to producers only now.
    shm_exchange(slot->edit_read, r + 1);
    return true;
}

uint32_t slot_take_requests(shm_slot* slot) {
    if (!slot) return 0;
    return shm_exchange(slot->request_flags, 0u);
}
