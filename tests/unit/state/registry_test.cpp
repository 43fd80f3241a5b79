// Guards the instance registry: slots given and taken back with attach and detach, the owner lookup the
// edit queue relies on (including the unlisted 65th instance), learned orders forgotten on every detach,
// the per-group count and identity test reading only live owners' slots, and an instance id given to a
// slot only while no other live stage carries it.
#include "chain_order.h"
#include "edit_queue.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

int host_calls = 0;
const registry_host_notify counting_host = {
    [](plugin_instance*, const char*) { ++host_calls; },
    [](plugin_instance*) { ++host_calls; },
    [](plugin_instance*) { ++host_calls; },
};

class Registry : public ::testing::Test {
  protected:
    test_segment seg{"registry"};
    int tags[80] = {};
    struct attached {
        plugin_instance* instance;
        shm_slot* slot;
    };
    std::vector<attached> live;

    plugin_instance* instance(int i) { return reinterpret_cast<plugin_instance*>(&tags[i]); }
    shm_slot* attach(int i) {
        shm_slot* s = registry_attach(instance(i));
        live.push_back({instance(i), s});
        return s;
    }
    void detach(int i) {
        for (size_t k = 0; k < live.size(); ++k) {
            if (live[k].instance != instance(i)) continue;
            registry_detach(live[k].instance, live[k].slot);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
            return;
        }
    }
    void SetUp() override {
        host_calls = 0;
        registry_set_host_notify(&counting_host);
    }
    void TearDown() override {
        for (const attached& a : live)
            registry_detach(a.instance, a.slot);
        registry_set_host_notify(nullptr);
    }
};

TEST_F(Registry, AttachDetachAttachReturnsTheSlotWithTheNextGeneration) {
    shm_slot* s = attach(0);
    ASSERT_TRUE(slot_is_shared(s));
    EXPECT_EQ(registry_instance_of_slot(s), instance(0));
    const uint32_t generation = s->generation;
    detach(0);
    EXPECT_EQ(registry_instance_of_slot(s), nullptr);
    EXPECT_EQ(s->in_use, 0u);
    EXPECT_EQ(attach(0), s);
    EXPECT_EQ(s->generation, generation + 1);
}

TEST_F(Registry, DetachRemovesOnlyItsPairAndForgetsEveryLearnedOrder) {
    shm_slot* a = attach(0);
    shm_slot* b = attach(1);
    shm_slot* c = attach(2);
    learned_order_entry* table = learned_order_table();
    for (int e : {0, 7, 63})
        table[e].key = (e == 7) ? c : a; // orders of several chains
    detach(1);
    for (int e = 0; e < LEARNED_ORDER_ENTRIES; ++e)
        EXPECT_EQ(table[e].key, nullptr) << e;
    EXPECT_EQ(registry_instance_of_slot(a), instance(0));
    EXPECT_EQ(registry_instance_of_slot(b), nullptr);
    EXPECT_EQ(registry_instance_of_slot(c), instance(2));
    EXPECT_EQ(registry_instance_of_slot(nullptr), nullptr);
}

TEST_F(Registry, SixtyFifthInstanceKeepsItsSlotButIsSignalledThroughFlags) {
    for (int i = 0; i < 64; ++i)
        ASSERT_NE(attach(i), nullptr);
    shm_slot* extra = attach(64);
    ASSERT_NE(extra, nullptr);
    EXPECT_FALSE(slot_is_shared(extra)); // the segment's 64 slots are all ours
    EXPECT_EQ(registry_instance_of_slot(extra), nullptr);
    slot_set_value(extra, PARAM_GAIN, 3.0);
    EXPECT_EQ(slot_take_requests(extra), SLOT_REQUEST_FLUSH | SLOT_REQUEST_DIRTY);
    EXPECT_EQ(host_calls, 0);
    // A listed one is told through its host instead.
    slot_set_value(live[10].slot, PARAM_GAIN, 3.0);
    EXPECT_EQ(host_calls, 2);
    EXPECT_EQ(slot_take_requests(live[10].slot), 0u);
}

TEST_F(Registry, SlotIsInstanceNeedsALiveOwnerAndTheSameId) {
    shm_slot* s = attach(0);
    shm_store(s->instance_id, static_cast<uint64_t>(int64_t{-5}));
    EXPECT_TRUE(slot_is_instance(s, -5));
    EXPECT_FALSE(slot_is_instance(s, 5));
    EXPECT_FALSE(slot_is_instance(nullptr, -5));

    shm_slot* dead = test_slot_of_dead_owner();
    ASSERT_NE(dead, nullptr);
    shm_store(dead->instance_id, uint64_t{9});
    EXPECT_FALSE(slot_is_instance(dead, 9));

    detach(0); // released: in_use 0, though the id is still in the slot
    EXPECT_FALSE(slot_is_instance(s, -5));
}

TEST_F(Registry, CountPerGroupTruncatesAndSkipsOutOfRangeAndDeadStages) {
    struct group_case {
        double value;
        int group; // -1: not counted
    };
    const group_case cases[] = {{0.0, 0},   {15.9, 15}, {3.0, 3},    {3.5, 3},       {16.0, -1},
                                {-1.0, -1}, {NAN, -1},  {1e300, -1}, {-INFINITY, -1}};
    uint32_t expected[16] = {};
    int i = 0;
    for (const group_case& c : cases) {
        shm_store(attach(i++)->values[PARAM_GROUP], c.value);
        if (c.group >= 0) ++expected[c.group];
    }
    shm_slot* dead = test_slot_of_dead_owner();
    ASSERT_NE(dead, nullptr);
    shm_store(dead->values[PARAM_GROUP], 7.0);

    uint32_t out[16];
    for (uint32_t& o : out)
        o = 12345;
    registry_count_per_group(out);
    for (int g = 0; g < 16; ++g)
        EXPECT_EQ(out[g], expected[g]) << g;
}

TEST_F(Registry, InstanceIdIsTakenOnlyWhenNoLiveStageCarriesIt) {
    shm_slot* a = attach(0);
    shm_slot* b = attach(1);
    shm_store(a->instance_id, uint64_t{5});
    shm_store(b->instance_id, uint64_t{6});
    shm_slot* dead = test_slot_of_dead_owner();
    ASSERT_NE(dead, nullptr);
    shm_store(dead->instance_id, uint64_t{7});
    struct take_case {
        uint64_t id;
        bool taken;
    };
    // A live stage's id is refused, a dead one's is free, 0 is no identity; the slot's own is kept.
    for (const take_case& c :
         {take_case{5, false}, take_case{0, false}, take_case{7, true}, take_case{7, true}}) {
        EXPECT_EQ(registry_take_instance_id(b, c.id), c.taken) << c.id;
        EXPECT_EQ(shm_load(b->instance_id), c.taken ? c.id : 6u) << c.id;
        shm_store(b->instance_id, uint64_t{6});
    }
    EXPECT_FALSE(registry_take_instance_id(nullptr, 8));

    // A taken id forgets the learned orders, which are keyed by the members' identities.
    learned_order_table()[3].key = a;
    EXPECT_TRUE(registry_take_instance_id(b, 8));
    EXPECT_EQ(learned_order_table()[3].key, nullptr);

    // An identity lock left by a process that died inside it does not keep anyone waiting.
    shm_store(shm_header_ptr()->identity_lock, 0x7FFFFFFFu);
    EXPECT_TRUE(registry_take_instance_id(b, 9));
    EXPECT_EQ(shm_load(b->instance_id), 9u);
    EXPECT_EQ(shm_load(shm_header_ptr()->identity_lock), 0u);
}

TEST_F(Registry, NextSequenceIsTheMachineWideCounter) {
    attach(0);
    const uint64_t a = registry_next_sequence();
    EXPECT_EQ(registry_next_sequence(), a + 1);
    EXPECT_EQ(shm_load(shm_header_ptr()->block_sequence), a + 1);
}

} // namespace
