// Guards against trusting the shared segment: any process of the user can write it, so every reader
// and writer of a slot must stay inside its arrays (and terminate) whatever bytes the slot and the
// header hold. Meant to run in the address/undefined-behaviour sanitizer tree as well.
#include "edit_queue.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

void fill_random(void* p, size_t n, std::mt19937_64& rng) {
    uint8_t* bytes = static_cast<uint8_t*>(p);
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t r = rng();
        std::memcpy(bytes + i, &r, n - i < 8 ? n - i : 8);
    }
}

// Every reader this subsystem has, run on a slot of unknown contents.
void run_every_reader(shm_slot* s) {
    (void)slot_edit_pending(s);
    slot_edit_event e;
    int taken = 0;
    while (slot_take_edit(s, &e))
        ASSERT_LE(++taken, 256);
    EXPECT_EQ(slot_edit_pending(s), 0u);
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        slot_begin_gesture(s, i);
        slot_set_value(s, i, slot_value(s, i));
        slot_end_gesture(s, i);
    }
    (void)slot_take_requests(s);
    (void)slot_owner_alive(s);
    (void)slot_is_instance(s, 1);
    (void)registry_instance_of_slot(s);
    uint32_t groups[16];
    registry_count_per_group(groups);
    uint32_t total = 0;
    for (uint32_t g : groups)
        total += g;
    EXPECT_LE(total, static_cast<uint32_t>(slot_count()));
    for (int32_t i = 0; i < slot_count(); ++i) {
        const shm_slot* t = slot_by_index(i);
        if (t) (void)slot_owner_alive(t);
    }
    // Whatever came before, the queue works afterwards.
    while (slot_take_edit(s, &e)) {}
    slot_queue_event(s, PARAM_MIX, EDIT_KIND_VALUE, 50.0);
    ASSERT_TRUE(slot_take_edit(s, &e));
    EXPECT_EQ(e.param_id, param_table[PARAM_MIX].id);
    EXPECT_EQ(e.value, 50.0);
}

TEST(SlotGarbage, EveryReaderStaysInBoundsOnRandomSlotsAndHeader) {
    test_segment seg("garbage");
    int tag = 0;
    plugin_instance* instance = reinterpret_cast<plugin_instance*>(&tag);
    shm_slot* local = registry_attach(instance);
    registry_lock();
    shm_slot* remote = slot_claim();
    shm_slot* other = slot_claim(); // a neighbour seen only through enumeration
    registry_unlock();
    ASSERT_TRUE(slot_is_shared(local) && slot_is_shared(remote));
    std::mt19937_64 rng(20261210);

    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        for (shm_slot* s : {local, remote, other})
            fill_random(s, sizeof(shm_slot), rng);
        fill_random(shm_header_ptr(), sizeof(shm_header), rng);
        // A random lock word is a held lock: each round would wait out the take-over. Keep a few.
        if (round % 8 != 0) {
            for (shm_slot* s : {local, remote})
                shm_store(s->edit_lock, 0u);
        }
        run_every_reader(local);
        run_every_reader(remote);
        (void)shm_next_block_sequence();
        (void)shm_next_chain_serial();
    }

    // Garbage in a private slot is read the same way.
    shm_slot* priv = static_cast<shm_slot*>(std::calloc(1, sizeof(shm_slot)));
    ASSERT_NE(priv, nullptr);
    fill_random(priv, sizeof(shm_slot), rng);
    shm_store(priv->edit_lock, 0u);
    run_every_reader(priv);
    std::free(priv);

    registry_detach(instance, local);
    registry_lock();
    slot_release(remote);
    slot_release(other);
    registry_unlock();
}

} // namespace
