// Guards the edit ring against a producer process caught inside the ring lock: stopped (SIGSTOP, a
// debugger) it is waited for only up to the bound and never overtaken, and when it resumes its stale
// event is given up rather than published behind newer values; killed there, the next producer takes
// the lock over at once.
#include "edit_queue.h"
#include "platform.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum class caught { stopped, killed };
caught fate = caught::stopped;

void caught_inside(shm_slot*) {
    if (fate == caught::stopped)
        raise(SIGSTOP);
    else
        _exit(3); // dies holding the lock
}

TEST(EditRingHolder, StoppedHolderIsNeverOvertakenAndKilledHolderIs) {
    for (const caught c : {caught::stopped, caught::killed}) {
        SCOPED_TRACE(c == caught::stopped ? "stopped" : "killed");
        test_segment seg("holder");
        shm_slot* slot = slot_claim(); // this process owns the stage; the producer is elsewhere
        ASSERT_TRUE(slot_is_shared(slot));
        fate = c;
        const pid_t producer = fork();
        if (producer == 0) {
            edit_ring_set_held_hook(caught_inside);
            slot_set_value(slot, PARAM_GAIN, 25.0);
            _exit(0);
        }
        ASSERT_GT(producer, 0);
        int status = 0;
        ASSERT_EQ(waitpid(producer, &status, WUNTRACED), producer);
        ASSERT_TRUE(c == caught::stopped ? WIFSTOPPED(status) : WIFEXITED(status));
        EXPECT_EQ(shm_load(slot->edit_lock), static_cast<uint32_t>(producer)); // held inside

        const uint32_t w0 = shm_load(slot->edit_write);
        (void)slot_take_resync(slot);
        const int64_t t0 = clock_ns();
        slot_set_value(slot, PARAM_MIX, 29.0);
        const int64_t waited = clock_ns() - t0;
        EXPECT_EQ(slot_value(slot, PARAM_MIX), 29.0);
        EXPECT_EQ(slot_value(slot, PARAM_GAIN), 25.0);
        if (c == caught::stopped) {
            // Given up at the bound: not queued, the owner asked to resynchronise, the holder untouched.
            EXPECT_GE(waited, 240000000);
            EXPECT_LT(waited, 1000000000);
            EXPECT_EQ(shm_load(slot->edit_write), w0);
            EXPECT_TRUE(slot_take_resync(slot));
            EXPECT_EQ(shm_load(slot->edit_lock), static_cast<uint32_t>(producer));
            kill(producer, SIGCONT);
            ASSERT_EQ(waitpid(producer, &status, 0), producer);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            // Resumed past the bound, it gives its older event up too (a resynchronisation carries
            // the slot's values), and the write index never moved.
            EXPECT_EQ(shm_load(slot->edit_write), w0);
            EXPECT_TRUE(slot_take_resync(slot));
            slot_edit_event e;
            EXPECT_FALSE(slot_take_edit(slot, &e));
        } else {
            // Dead by the liveness rule: taken over without waiting out the bound.
            EXPECT_LT(waited, 200000000);
            EXPECT_EQ(shm_load(slot->edit_write), w0 + 1);
            slot_edit_event e;
            ASSERT_TRUE(slot_take_edit(slot, &e));
            EXPECT_EQ(e.param_id, param_table[PARAM_MIX].id);
        }
        EXPECT_EQ(shm_load(slot->edit_lock), 0u);
        slot_release(slot);
    }
}

} // namespace
