// The process-local registry: which instance of this process owns which slot, the attach/detach
// of instances, and small queries over all slots. Its lock also guards the chain-order tables.
//
// The plug-in instance type belongs to the plug-in core; the registry stores its pointer only and
// reaches the instance's host through the notification table the core installs.
#pragma once

#include <cstdint>

#include "platform.h"
#include "shm.h"

struct plugin_instance;

// Host services the edit queue calls for an owner living in this process. Each entry may be null;
// each implementation calls the host only when the host offered the extension. [main-thread]
struct registry_host_notify {
    void (*log_warning)(plugin_instance* instance, const char* text); // host log, severity warning
    void (*request_flush)(plugin_instance* instance);                  // params request_flush
    void (*mark_dirty)(plugin_instance* instance);                     // state mark_dirty
};

// Installs the notification table (a static table owned by the caller; null removes it). [main-thread]
void registry_set_host_notify(const registry_host_notify* notify);

// The installed table, or null. [main-thread]
const registry_host_notify* registry_host_notify_table();

// Claims a slot for `instance` and lists the pair (up to 64 pairs). Returns the slot, which the
// instance keeps until registry_detach, or null when none could be had. [main-thread]
shm_slot* registry_attach(plugin_instance* instance);

// Removes the instance's pair, releases `slot` (may be null) and forgets every learned chain order
// of the process. The caller clears its slot pointer. [main-thread]
void registry_detach(plugin_instance* instance, shm_slot* slot);

// The attached instance of this process owning `slot`, or null. No lock. [main-thread]
plugin_instance* registry_instance_of_slot(const shm_slot* slot);

// True when the slot is non-null, its owner lives and its instance id equals `id`. [main-thread]
bool slot_is_instance(const shm_slot* slot, int64_t id);

// Gives `slot` the instance id `id` unless another live stage (of any process on the segment, or of
// this one) already carries it: two stages of one id would be one member to the chain order. The
// check and the store are one step across processes (the identity lock, shm.h). Returns true when
// the slot now carries `id`; false keeps the slot's id: taken elsewhere, a null slot, an id of 0, or
// the identity lock not had within its bound (a process stopped inside it). A taken id forgets the
// learned chain orders of the process. Takes the registry lock. [main-thread; never on the audio thread]
bool registry_take_instance_id(shm_slot* slot, uint64_t id);

// Live stages per Group (0..15) over every slot of the segment and of this process. [main-thread]
void registry_count_per_group(uint32_t out[16]);

// The next machine-wide block sequence number: one atomic add. [audio-thread]
uint64_t registry_next_sequence();

// The registry lock (initialised on first use); held by attach, detach and the chain listing.
// [main-thread]
void registry_lock();
void registry_unlock();
