// The timing ring writer; see timing.h for the protocol. [audio-thread]
#include "timing.h"

uint32_t slot_timing_begin(shm_slot* slot, int64_t start_ns, int64_t steady) {
    shm_exchange(slot->prev_start_ns, shm_load(slot->start_ns));
    shm_exchange(slot->start_ns, start_ns);
    const uint32_t c = shm_load(slot->timing_count);
    const uint32_t e = c & (TIMING_RING_SIZE - 1);
    shm_exchange(slot->timing_start[e], start_ns);
    shm_exchange(slot->timing_steady[e], steady);
    shm_exchange(slot->prev_steady, shm_load(slot->steady));
    shm_exchange(slot->steady, steady);
    return c;
}

void slot_timing_end(shm_slot* slot, uint32_t c, int64_t end_ns) {
    shm_exchange(slot->timing_end[c & (TIMING_RING_SIZE - 1)], end_ns);
    shm_exchange(slot->timing_count, c + 1);
}
