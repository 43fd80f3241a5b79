// The edit queue: producers (editors of any process) append to a slot's 256-entry ring under a spin
// lock in the slot; the owner drains it without the lock.
//
// Ring arithmetic: read and write indices run free and wrap at 2^32; the number queued is (write - read)
// as a signed 32-bit difference and the entry of index i is i AND 255. Both indices live in memory
// that any process of the user may scribble on, so nothing here trusts them beyond the mask: a count
// outside 0..256 is a corrupt ring, which producers treat as full and the consumer resynchronises.
//
// The ring lock. The lock word in the slot is 0 when free and holds the holder's process id while
// held. Whatever may happen to a holder, three rules keep the ring true:
// - nobody waits unboundedly: a producer that cannot get the lock within EDIT_LOCK_WAIT_NS gives up its
//   event (its value is already in the slot) and asks the owner to resynchronise;
// - a holder is overtaken only when it is dead by the liveness rule, never because it is slow: with
//   lock liveness (POSIX) every producer first takes the slot's ring guard, a kernel lock that dies
//   with its process, so a word found held under the guard was left by a dead holder; on Windows the
//   holder's process id is asked;
// - the write index never moves backwards: it is published by a compare-and-swap from the value read
//   under the lock, and unlock frees the word only when it still holds our own id.
// A producer that held the lock longer than the wait bound (suspended, stopped in a debugger) gives its
// own event up as well when it resumes: producers that gave up meanwhile may have stored later values,
// which a resynchronisation may already have sent, and the older event must not follow them.
//
// Kernel locks do not exclude the threads of one process (they share the descriptor), so the producers
// of this process also take turns on a process-local flag, within the same bounded wait.
#include "edit_queue.h"

#include "lock_wait.h"
#include "platform.h"
#include "registry.h"
#include "shm_port.h"

static constexpr int64_t EDIT_LOCK_WAIT_NS = 250000000; // 250 ms

namespace {

// The producers of this process take turns here (a flag rather than a mutex, so that this wait is
// bounded too).
std::atomic<bool> local_turn{false};

// Set by tests: runs while the lock is held, before the entry is stored (a holder caught inside).
edit_ring_hook held_hook = nullptr;

uint32_t own_token() {
    const int32_t pid = current_process_id();
    return pid > 0 ? static_cast<uint32_t>(pid) : 1u;
}

} // namespace

void edit_ring_set_held_hook(edit_ring_hook hook) {
    held_hook = hook;
}

// Takes the ring lock of `slot`; false when it could not be had in time (nothing is then held).
// `*started` gets the clock_ns time at which the wait began.
static bool ring_lock(shm_slot* slot, int64_t* started) {
    *started = clock_ns();
    const int64_t deadline = *started + EDIT_LOCK_WAIT_NS;
    if (!lock_wait([](bool) { return !local_turn.exchange(true, std::memory_order_acquire); }, *started,
                   deadline))
        return false;
    if (!lock_wait([&](bool) { return shm_ring_guard_try(slot); }, *started, deadline)) {
        local_turn.store(false, std::memory_order_release);
        return false;
    }
    uint32_t& word = slot->edit_lock;
    const uint32_t token = own_token();
    const bool held = lock_wait(
        [&](bool slow) {
            if (shm_compare_exchange(word, 0u, token)) return true;
            if (!slow) return false;
            const uint32_t holder = shm_load(word);
            return holder != 0 && shm_ring_holder_dead(slot, holder) && shm_compare_exchange(word, holder, token);
        },
        *started, deadline);
    if (!held) {
        shm_ring_guard_release(slot);
        local_turn.store(false, std::memory_order_release);
    }
    return held;
}

static void ring_unlock(shm_slot* slot) {
    shm_compare_exchange(slot->edit_lock, own_token(), 0u);
    shm_ring_guard_release(slot);
    local_turn.store(false, std::memory_order_release);
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

// The event could not be queued: its value is in the slot already, so the owner is asked to compare
// and send what its host has not heard, and to flush soon.
static void give_up_event(shm_slot* slot, plugin_instance* owner, const char* warning) {
    shm_fetch_or(slot->request_flags, SLOT_REQUEST_RESYNC);
    if (owner && warning) {
        const registry_host_notify* host = registry_host_notify_table();
        if (host && host->log_warning) host->log_warning(owner, warning);
    }
    ask_flush(slot, owner);
}

void slot_queue_event(shm_slot* slot, int32_t index, uint32_t kind, double value) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    const uint32_t id = param_table[index].id;
    plugin_instance* owner = registry_instance_of_slot(slot);

    int64_t started = 0;
    if (!ring_lock(slot, &started)) {
        give_up_event(slot, owner, nullptr);
        return;
    }
    if (held_hook) held_hook(slot);
    const uint32_t w = shm_load(slot->edit_write);
    const uint32_t r = shm_load(slot->edit_read);
    const int32_t queued = static_cast<int32_t>(w - r);
    if (queued < 0 || queued >= static_cast<int32_t>(EDIT_RING_SIZE)) {
        ring_unlock(slot);
        give_up_event(slot, owner, "edit queue full, host will miss an event");
        return;
    }
    slot_edit_event& e = slot->edit_ring[w & (EDIT_RING_SIZE - 1)];
    shm_store(e.param_id, id);
    shm_store(e.kind, kind);
    shm_store(e.value, value);
    // Held up past the wait bound (suspended, stopped in a debugger): producers that waited meanwhile
    // gave their events up and their later values may already have reached the host through a
    // resynchronisation, so this older event would take the host back. It is given up too; the
    // resynchronisation sends whatever the slot holds.
    bool published = clock_ns() - started <= EDIT_LOCK_WAIT_NS;
    // A full barrier: the consumer that sees the new write index sees the entry. A compare-and-swap,
    // so that nothing can move the index backwards over events published since we read it.
    if (published) published = shm_compare_exchange(slot->edit_write, w, w + 1);
    ring_unlock(slot);
    if (!published) {
        give_up_event(slot, owner, nullptr);
        return;
    }
    ask_flush(slot, owner);
}

void slot_begin_gesture(shm_slot* slot, int32_t index) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    slot_queue_event(slot, index, EDIT_KIND_BEGIN, shm_load(slot->values[index]));
}

uint32_t edit_producer_tag(const shm_slot* producer) {
    const int32_t index = slot_shared_index(producer);
    if (index < 0) return 0;
    return static_cast<uint32_t>(index + 1) | ((shm_load(producer->generation) & 0xFFFFu) << 8);
}

bool edit_producer_alive(uint32_t tag) {
    if (tag == 0) return true;
    const int32_t index = static_cast<int32_t>(tag & 0xFFu) - 1;
    if (index < 0 || index >= SHM_SLOT_COUNT) return false;
    const shm_slot* producer = slot_by_index(index);
    return producer != nullptr && (shm_load(producer->generation) & 0xFFFFu) == ((tag >> 8) & 0xFFFFu) &&
           slot_owner_alive_now(producer);
}

void slot_begin_held_gesture(shm_slot* slot, int32_t index, const shm_slot* producer) {
    if (!slot || index < 0 || index >= PARAM_COUNT) return;
    const uint32_t tag = registry_instance_of_slot(slot) == nullptr ? edit_producer_tag(producer) : 0;
    slot_queue_event(slot, index, EDIT_KIND_BEGIN | (tag << 8), shm_load(slot->values[index]));
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

bool slot_take_edit(shm_slot* slot, slot_edit_event* out, bool* lost) {
    if (!slot) return false;
    const uint32_t r = shm_load(slot->edit_read);
    const uint32_t w = shm_load(slot->edit_write);
    const int32_t queued = static_cast<int32_t>(w - r);
    if (queued == 0) return false;
    if (queued < 0 || queued > static_cast<int32_t>(EDIT_RING_SIZE)) {
        // No producer ever gets more than 256 ahead, so these indices were written by something else.
        // Whatever the entries hold is not a queue any more: drop it and start again at the writer.
        shm_exchange(slot->edit_read, w);
        if (lost) *lost = true;
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
    // The resynchronisation request stays for the drain, which runs where the host's view is known.
    constexpr uint32_t taken = SLOT_REQUEST_FLUSH | SLOT_REQUEST_DIRTY;
    return shm_fetch_and(slot->request_flags, ~taken) & taken;
}

bool slot_take_resync(shm_slot* slot) {
    if (!slot || (shm_load(slot->request_flags) & SLOT_REQUEST_RESYNC) == 0) return false;
    return (shm_fetch_and(slot->request_flags, ~SLOT_REQUEST_RESYNC) & SLOT_REQUEST_RESYNC) != 0;
}
