// Guards the edit ring under concurrency: several producer threads and one consumer thread, the ring
// never allowed to fill, and every event must arrive once, in each producer's order, and whole.
#include "edit_queue.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 3;
constexpr uint32_t kEventsEach = 20000;
// Each producer waits while more than this are queued; with three producers at most 203 are ever
// queued, so nothing may be dropped.
constexpr uint32_t kThrottle = 200;

// Event `seq` of producer p: parameter p, kind seq mod 3, value seq.
void produce(shm_slot* slot, int p) {
    for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
        while (slot_edit_pending(slot) > kThrottle)
            std::this_thread::yield();
        slot_queue_event(slot, p, seq % 3, static_cast<double>(seq));
    }
}

TEST(EditQueueStress, ThreadsLoseAndTearNothing) {
    test_segment seg("stress-threads");
    registry_lock();
    shm_slot* slot = slot_claim();
    registry_unlock();
    ASSERT_NE(slot, nullptr);

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back(produce, slot, p);

    uint32_t next[kProducers] = {};
    uint32_t received = 0, bad = 0;
    while (received < kProducers * kEventsEach && bad == 0) {
        slot_edit_event e;
        if (!slot_take_edit(slot, &e)) {
            std::this_thread::yield();
            continue;
        }
        const int p = param_index_of_id(e.param_id);
        if (p < 0 || p >= kProducers || e.value != next[p] || e.kind != next[p] % 3) {
            ++bad;
            ADD_FAILURE() << "event id " << e.param_id << " kind " << e.kind << " value " << e.value;
            break;
        }
        ++next[p];
        ++received;
    }
    for (std::thread& t : producers)
        t.join();
    EXPECT_EQ(bad, 0u);
    for (int p = 0; p < kProducers; ++p)
        EXPECT_EQ(next[p], kEventsEach) << p;
    EXPECT_EQ(slot_edit_pending(slot), 0u);
    registry_lock();
    slot_release(slot);
    registry_unlock();
}

} // namespace
