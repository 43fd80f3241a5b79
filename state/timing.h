// The timing ring writer: what every process call leaves in its slot for the chain-order inference.
//
// Protocol, per call c (c = the slot's timing ring count when the call begins):
//   begin: the current start time moves to the previous one and the call's start becomes current;
//          start ring[c AND 63] and steady ring[c AND 63] take the call's start and host steady time;
//          the current steady time moves to the previous one and the call's becomes current.
//   end:   end ring[c AND 63] takes the end time, and only then the count becomes c + 1.
// So entries 0..count-1 (mod 64) are complete, and the entry at count AND 63 may be half written.
// A call that processes no audio runs begin only: it overwrites the start and steady entries at
// c AND 63 and leaves the count and the end ring as they were.
//
// Every store is one sequentially consistent atomic operation on one field; nothing allocates, locks
// or calls the system. The count is read from shared memory and may be garbage, so it is masked
// before it indexes a ring. [audio-thread]
#pragma once

#include <cstdint>

#include "shm.h"

// Stamps the beginning of a process call: `start_ns` is its clock_ns start, `steady` the host's
// steady time of the block (-1 when the host gives none). Returns the ring count c the call uses,
// to be handed to slot_timing_end. The caller stores the block sequence number itself (nothing
// reads it back, so its place among these stores does not matter). `slot` is borrowed. [audio-thread]
uint32_t slot_timing_begin(shm_slot* slot, int64_t start_ns, int64_t steady);

// Completes the timing entry of call `c` (the value slot_timing_begin returned) with its clock_ns end
// time, then publishes it by setting the count to c + 1. Only calls that processed audio end.
// [audio-thread]
void slot_timing_end(shm_slot* slot, uint32_t c, int64_t end_ns);
