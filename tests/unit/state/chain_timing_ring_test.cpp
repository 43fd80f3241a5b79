// Guards the timing ring writer that every process call uses against breaking the protocol the chain
// inference relies on: entry order, the count published last, events-only calls, untrusted counts.
#include <gtest/gtest.h>

#include <memory>

#include "chain_test_support.h"

namespace {

TEST(ChainTimingRing, CallsFillTheRingsInOrderAndPublishTheCountLast) {
    auto slot = std::make_unique<shm_slot>(); // zeroed
    shm_slot& s = *slot;

    uint32_t c = slot_timing_begin(&s, 1000, 512);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(s.timing_start[0], 1000);
    EXPECT_EQ(s.timing_steady[0], 512);
    EXPECT_EQ(s.start_ns, 1000);
    EXPECT_EQ(s.prev_start_ns, 0);
    EXPECT_EQ(s.steady, 512);
    EXPECT_EQ(s.timing_count, 0u) << "not complete before its end";
    slot_timing_end(&s, c, 1100);
    EXPECT_EQ(s.timing_end[0], 1100);
    EXPECT_EQ(s.timing_count, 1u);

    // An events-only call (no audio) stamps its start but never ends: the next call overwrites it.
    c = slot_timing_begin(&s, 2000, -1);
    EXPECT_EQ(c, 1u);
    EXPECT_EQ(s.prev_start_ns, 1000);
    EXPECT_EQ(s.prev_steady, 512);
    EXPECT_EQ(s.steady, -1);
    c = slot_timing_begin(&s, 3000, 1024);
    EXPECT_EQ(c, 1u);
    EXPECT_EQ(s.timing_start[1], 3000);
    EXPECT_EQ(s.timing_steady[1], 1024);
    EXPECT_EQ(s.prev_start_ns, 2000) << "the start pair follows every call";
    EXPECT_EQ(s.prev_steady, -1);
    slot_timing_end(&s, c, 3100);
    EXPECT_EQ(s.timing_count, 2u);
    EXPECT_EQ(s.timing_end[1], 3100);
}

TEST(ChainTimingRing, ACountFromAnywhereIsMaskedAndWraps) {
    auto slot = std::make_unique<shm_slot>(); // zeroed
    shm_slot& s = *slot;
    for (uint32_t count : {63u, 64u, 0xFFFFFFFFu, 0x80000041u}) {
        s.timing_count = count;
        const uint32_t c = slot_timing_begin(&s, 7, 8);
        slot_timing_end(&s, c, 9);
        const uint32_t e = count & 63u;
        EXPECT_EQ(s.timing_start[e], 7);
        EXPECT_EQ(s.timing_end[e], 9);
        EXPECT_EQ(s.timing_steady[e], 8);
        EXPECT_EQ(s.timing_count, count + 1u);
        s.timing_start[e] = s.timing_end[e] = s.timing_steady[e] = 0;
    }
}

} // namespace
