// Guards slot bookkeeping within one process: the segment's name, enumeration over shared and private
// slots, the cap on listed private slots, release, and the machine-wide counters.
#include "shm.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SegmentName, ComesFromLodrinShmWhenSetAndNotEmpty) {
    struct name_case {
        const char* env; // null: unset
        std::string expected;
    };
    const std::string long_name(200, 'a');
    const name_case cases[] = {
        {nullptr, "lodrin-shm-3"},
        {"", "lodrin-shm-3"},
        {"x", "x"},
        {long_name.c_str(), std::string(127, 'a')},
    };
    for (const name_case& c : cases) {
        if (c.env) {
            test_setenv("LODRIN_SHM", c.env);
        } else {
            test_unsetenv("LODRIN_SHM");
        }
        char out[160];
        shm_segment_name(out, sizeof out);
        EXPECT_EQ(std::string(out), c.expected);
    }
    test_unsetenv("LODRIN_SHM");
}

TEST(Slots, EnumerationCoversSharedThenListedPrivateSlots) {
    test_segment seg("enum");
    std::vector<shm_slot*> shared;
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        shared.push_back(slot_claim());
    ASSERT_TRUE(shm_is_shared());
    EXPECT_EQ(slot_count(), 64);
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        EXPECT_EQ(slot_by_index(i), shared[i]);

    std::vector<shm_slot*> local;
    for (int i = 0; i < SHM_SLOT_COUNT + 1; ++i) {
        local.push_back(slot_claim());
        ASSERT_NE(local.back(), nullptr);
        EXPECT_FALSE(slot_is_shared(local.back()));
        EXPECT_EQ(slot_shared_index(local.back()), -1);
    }
    // The 65th private slot works but is never listed.
    shm_slot* unlisted = local.back();
    EXPECT_EQ(unlisted->in_use, 1u);
    EXPECT_EQ(unlisted->generation, 1u);
    EXPECT_EQ(unlisted->history_gap_start, -1);
    shm_store(unlisted->values[PARAM_MIX], 50.0);
    EXPECT_EQ(slot_value(unlisted, PARAM_MIX), 50.0);
    EXPECT_EQ(slot_count(), 128);
    EXPECT_EQ(slot_by_index(64), local[0]);
    EXPECT_EQ(slot_by_index(127), local[63]);
    for (int bad : {-1, 128, 1000})
        EXPECT_EQ(slot_by_index(bad), nullptr) << bad;

    // A free shared slot is not enumerated; a released private slot closes the gap in the list.
    slot_release(shared[5]);
    EXPECT_EQ(slot_by_index(5), nullptr);
    slot_release(local[0]);
    EXPECT_EQ(slot_by_index(64), local[1]);
    EXPECT_EQ(slot_count(), 127);
    slot_release(unlisted);
    EXPECT_EQ(slot_count(), 127);
    slot_release(nullptr);

    // The freed shared slot comes back with its generation advanced and its contents cleared.
    shm_store(shared[5]->instance_id, uint64_t{77});
    const uint32_t generation = shared[5]->generation;
    EXPECT_EQ(slot_claim(), shared[5]);
    EXPECT_EQ(shared[5]->generation, generation + 1);
    EXPECT_EQ(shared[5]->instance_id, 0u);

    for (int i = 1; i < SHM_SLOT_COUNT; ++i)
        slot_release(local[i]);
    for (shm_slot* s : shared)
        slot_release(s);
    EXPECT_EQ(slot_count(), 64);
}

TEST(Slots, CountersAreSharedThroughTheHeader) {
    test_segment seg("counters");
    EXPECT_EQ(shm_next_block_sequence(), 1u);
    EXPECT_EQ(shm_next_block_sequence(), 2u);
    EXPECT_EQ(shm_next_chain_serial(), 1u);
    ASSERT_NE(shm_header_ptr(), nullptr);
    EXPECT_EQ(shm_load(shm_header_ptr()->block_sequence), 2u);
    shm_store(shm_header_ptr()->chain_serial, 0xFFFFFFFFu);
    EXPECT_EQ(shm_next_chain_serial(), 0u); // wraps, as the counter is 32 bits
}

} // namespace
