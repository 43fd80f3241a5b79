// The edit queue: how an editor in any process changes a stage and makes sure the stage's host
// hears of it. The value goes straight into the slot; an event goes into the slot's 256-entry ring,
// which the owner drains into host parameter events on its next process call or flush.
//
// Producers are editors on their host's main thread, in any process; the ring lock serialises them
// and is held for the few stores of one entry. The single consumer (the owner) takes no lock.
#pragma once

#include <cstdint>

#include "shm.h"

// Queues a gesture-begin event carrying the parameter's current value. [main-thread]
void slot_begin_gesture(shm_slot* slot, int32_t index);

// A gesture-begin event may name the editor that holds the gesture open (a drag), so that the owner
// can close it when that editor's process dies before it does. The name rides in the kind word above
// the kind (EDIT_KIND_MASK): bits 8..15 the shared slot index + 1 of the editor's own stage, whose
// liveness lock the editing process holds, bits 16..31 the low 16 bits of that slot's generation.
// A tag of 0 names nobody. Owners read kind & EDIT_KIND_MASK; a reader that does not know the tag
// takes the event for a lost one and resynchronises its host from the slot.
inline constexpr uint32_t EDIT_KIND_MASK = 0xFFu;

// The tag (kind >> 8) naming `producer`: 0 for a null or private slot. [main-thread]
uint32_t edit_producer_tag(const shm_slot* producer);

// True while the stage a tag names is still held by the process that took it (its slot is in use,
// its owner alive by the liveness rule, asked now, and its generation the tagged one); true for tag
// 0. [main-thread]
bool edit_producer_alive(uint32_t tag);

// slot_begin_gesture for a gesture held open by the editor of stage `producer`: the event names the
// producer when the slot's owner lives in another process (a local owner dies with its editor).
// [main-thread]
void slot_begin_held_gesture(shm_slot* slot, int32_t index, const shm_slot* producer);

// Queues a gesture-end event carrying the parameter's current value. [main-thread]
void slot_end_gesture(shm_slot* slot, int32_t index);

// Clamps `value`, stores it in the slot, queues a value event and marks the owner's state dirty.
// The value holds even when the event cannot be queued. [main-thread]
void slot_set_value(shm_slot* slot, int32_t index, double value);

// The common producer: queues one event (EDIT_KIND_*) for parameter `index` of `slot` and asks the
// owner for a flush. Waits for the ring lock at most 250 ms. An event that cannot be queued (full
// ring, logged for a local owner; lock not had in time) is given up and the owner is asked to
// resynchronise its host from the slot's values. [main-thread]
void slot_queue_event(shm_slot* slot, int32_t index, uint32_t kind, double value);

// Number of queued events of a slot, 0..256, from indices clamped against a corrupt segment.
// [any-thread]
uint32_t slot_edit_pending(const shm_slot* slot);

// Consumer side: takes the oldest queued event into `*out` and advances the read index. False when the
// ring is empty; indices that cannot belong to a real queue (more than 256 or fewer than 0 queued) are
// resynchronised to an empty ring, also returning false, and set `*lost` (when given) because events
// were lost. The entry's id and kind come from shared memory unchecked: map the id with
// param_index_of_id and treat unknown kinds as lost events. Only the slot's owner calls this; no lock,
// no system call. [audio-thread or owner's flush]
bool slot_take_edit(shm_slot* slot, slot_edit_event* out, bool* lost = nullptr);

// Takes the slot's FLUSH and DIRTY request bits (SLOT_REQUEST_*), leaving RESYNC for the drain.
// [main-thread of the owner]
uint32_t slot_take_requests(shm_slot* slot);

// Takes the RESYNC request bit: true when events were given up or dropped since the last take. One
// atomic operation on the slot, audio-thread safe. [audio-thread or owner's flush]
bool slot_take_resync(shm_slot* slot);

// For tests: a function run by every producer while it holds a ring lock, before it stores its entry
// (null: none). Lets a test catch a holder inside the lock. [main-thread, set before producers run]
using edit_ring_hook = void (*)(shm_slot* slot);
void edit_ring_set_held_hook(edit_ring_hook hook);
