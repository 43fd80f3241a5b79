// Guards the edit ring under concurrency: several producer threads and one consumer thread, the ring
// never allowed to fill, and every event must arrive once, in each producer's order, and whole. A
// producer kept from the lock past its wait bound (a busy machine can preempt a holder that long)
// gives its event up, and then only with a resynchronisation request: the gap is allowed then, never
// a repeat, a reordering or a torn event.
#include "edit_queue.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 3;
constexpr uint32_t kEventsEach = 20000;
// Each producer waits while more than this are queued; with three producers at most 203 are ever
// queued, so nothing may be dropped.
constexpr uint32_t kThrottle = 200;

// Event `seq` of producer p: parameter p, kind seq mod 3, value seq.
void produce(shm_slot* slot, int p, std::atomic<int>* done) {
    for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
        while (slot_edit_pending(slot) > kThrottle)
            std::this_thread::yield();
        slot_queue_event(slot, p, seq % 3, static_cast<double>(seq));
    }
    done->fetch_add(1);
}

TEST(EditQueueStress, ThreadsLoseAndTearNothing) {
    test_segment seg("stress-threads");
    registry_lock();
    shm_slot* slot = slot_claim();
    registry_unlock();
    ASSERT_NE(slot, nullptr);

    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back(produce, slot, p, &done);

    // next[p]: the lowest sequence number producer p may still deliver.
    uint32_t next[kProducers] = {};
    uint32_t received = 0, bad = 0;
    for (;;) {
        const bool finished = done.load() == kProducers; // read before the take: nothing comes later
        slot_edit_event e;
        if (!slot_take_edit(slot, &e)) {
            if (finished) break;
            std::this_thread::yield();
            continue;
        }
        const int p = param_index_of_id(e.param_id);
        const uint32_t seq = static_cast<uint32_t>(e.value);
        if (p < 0 || p >= kProducers || e.value != seq || seq < next[p] || seq >= kEventsEach ||
            e.kind != seq % 3) {
            ++bad;
            ADD_FAILURE() << "event id " << e.param_id << " kind " << e.kind << " value " << e.value;
            break;
        }
        next[p] = seq + 1;
        ++received;
    }
    for (std::thread& t : producers)
        t.join();
    EXPECT_EQ(bad, 0u);
    const uint32_t given_up = kProducers * kEventsEach - received;
    std::printf("%u of %u events given up\n", given_up, kProducers * kEventsEach);
    if (bad == 0 && given_up > 0) {
        EXPECT_TRUE(slot_take_resync(slot)) << given_up << " events lost silently";
    }
    EXPECT_EQ(slot_edit_pending(slot), 0u);
    registry_lock();
    slot_release(slot);
    registry_unlock();
}

} // namespace
