// The slot of a stage that another process owns, as an editor in this process finds it.
#pragma once

#include <cstdint>

#include "registry.h"
#include "shm.h"

// Maps this process's view of the segment and returns the first shared slot that process `pid`
// owns, or null (also when there is no shared segment).
inline shm_slot* shared_slot_of(unsigned pid) {
    registry_lock();
    shm_open();
    registry_unlock();
    if (!shm_is_shared()) return nullptr;
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        shm_slot* s = slot_by_index(i);
        if (s && shm_load(s->owner_pid) == pid) return s;
    }
    return nullptr;
}
