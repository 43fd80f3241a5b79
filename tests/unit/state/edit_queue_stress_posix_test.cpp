// Guards the edit ring across processes: two producer processes share one slot of the real segment
// with a consumer in a third, and every event must arrive once, in order, and whole. A producer kept
// from the lock past its wait bound (a busy machine can preempt a holder that long) gives its event
// up, and then only with a resynchronisation request: the gap is allowed then, never a repeat, a
// reordering or a torn event.
#include "edit_queue.h"
#include "platform.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
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

    // next[p]: the lowest sequence number producer p may still deliver.
    uint32_t next[kProducers] = {};
    uint32_t received = 0;
    bool torn = false;
    int running = kProducers;
    const int64_t deadline = clock_ns() + 300 * int64_t{1000000000};
    while (!torn && clock_ns() < deadline) {
        // Children that ended are counted before the take: nothing of theirs comes later.
        for (pid_t& c : children) {
            int status = 0;
            if (c > 0 && waitpid(c, &status, WNOHANG) == c) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                c = 0;
                --running;
            }
        }
        const bool finished = running == 0;
        slot_edit_event e;
        if (!slot_take_edit(slot, &e)) {
            if (finished) break;
            usleep(20);
            continue;
        }
        const int p = param_index_of_id(e.param_id);
        const uint32_t seq = static_cast<uint32_t>(e.value);
        if (p < 0 || p >= kProducers || e.value != seq || seq < next[p] || seq >= kEventsEach ||
            e.kind != seq % 3) {
            torn = true;
            ADD_FAILURE() << "event id " << e.param_id << " kind " << e.kind << " value " << e.value;
            break;
        }
        next[p] = seq + 1;
        ++received;
    }
    EXPECT_EQ(running, 0) << "producers still running after 300 s; " << received << " events taken";
    for (pid_t c : children) {
        if (c <= 0) continue;
        kill(c, SIGKILL);
        waitpid(c, nullptr, 0);
    }
    const uint32_t given_up = kProducers * kEventsEach - received;
    std::printf("%u of %u events given up\n", given_up, kProducers * kEventsEach);
    if (!torn && given_up > 0) {
        EXPECT_TRUE(slot_take_resync(slot)) << given_up << " events lost silently";
    }
    slot_release(slot);
}

} // namespace
