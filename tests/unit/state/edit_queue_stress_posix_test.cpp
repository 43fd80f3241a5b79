// Guards the edit ring across processes: two producer processes share one slot of the real segment
// with a consumer in a third, and every event must arrive once, in order, and whole.
#include "edit_queue.h"
#include "platform.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kProducers = 2;
constexpr uint32_t kEventsEach = 20000;
constexpr uint32_t kThrottle = 200; // at most 201 queued with two producers: the ring never fills

TEST(EditQueueStress, ProcessesLoseAndTearNothing) {
    test_segment seg("stress-procs");
    shm_slot* slot = slot_claim();
    ASSERT_TRUE(slot_is_shared(slot));

    pid_t children[kProducers];
    for (int p = 0; p < kProducers; ++p) {
        children[p] = fork();
        if (children[p] == 0) {
            // The child shares the parent's view of the segment (MAP_SHARED survives fork).
            for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
                while (slot_edit_pending(slot) > kThrottle)
                    usleep(50);
                slot_queue_event(slot, p, seq % 3, static_cast<double>(seq));
            }
            _exit(0);
        }
        ASSERT_GT(children[p], 0);
    }

    uint32_t next[kProducers] = {};
    uint32_t received = 0;
    bool torn = false;
    const int64_t deadline = clock_ns() + 60 * int64_t{1000000000};
    while (received < kProducers * kEventsEach && !torn && clock_ns() < deadline) {
        slot_edit_event e;
        if (!slot_take_edit(slot, &e)) {
            usleep(20);
            continue;
        }
        const int p = param_index_of_id(e.param_id);
        if (p < 0 || p >= kProducers || e.value != next[p] || e.kind != next[p] % 3) {
            torn = true;
            ADD_FAILURE() << "event id " << e.param_id << " kind " << e.kind << " value " << e.value;
            break;
        }
        ++next[p];
        ++received;
    }
    for (pid_t c : children) {
        int status = 0;
        if (torn) kill(c, SIGKILL);
        waitpid(c, &status, 0);
    }
    for (int p = 0; p < kProducers; ++p)
        EXPECT_EQ(next[p], kEventsEach) << p;
    slot_release(slot);
}

} // namespace
