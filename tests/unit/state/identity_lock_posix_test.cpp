// Guards the identity lock against what real processes do to it: one stopped inside it (SIGSTOP, a
// debugger) is waited for only up to the bound and never overtaken, one killed inside it is overtaken
// at once, and an id carried by a stage that took a dead owner's slot over counts as carried even while
// the liveness cache still remembers that slot's dead owner.
#include "platform.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

enum class caught { stopped, killed };

TEST(IdentityLock, StoppedHolderIsWaitedForOnlyToTheBoundAndKilledHolderIsOvertaken) {
    for (const caught c : {caught::stopped, caught::killed}) {
        SCOPED_TRACE(c == caught::stopped ? "stopped" : "killed");
        test_segment seg("identity");
        shm_slot* slot = slot_claim();
        ASSERT_TRUE(slot_is_shared(slot));
        shm_store(slot->instance_id, uint64_t{0x1111});
        const pid_t holder = fork();
        if (holder == 0) {
            if (!shm_identity_lock()) _exit(2);
            if (c == caught::killed) _exit(3); // dies holding the lock
            raise(SIGSTOP);
            shm_identity_unlock();
            _exit(0);
        }
        ASSERT_GT(holder, 0);
        int status = 0;
        ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
        ASSERT_TRUE(c == caught::stopped ? WIFSTOPPED(status)
                                         : WIFEXITED(status) && WEXITSTATUS(status) == 3);
        shm_header* h = shm_header_ptr();
        EXPECT_EQ(shm_load(h->identity_lock), static_cast<uint32_t>(holder)); // held inside

        const int64_t t0 = clock_ns();
        const bool taken = registry_take_instance_id(slot, 0x2222);
        const int64_t waited = clock_ns() - t0;
        if (c == caught::stopped) {
            // Given up at the bound: the stage keeps its id and the holder its lock.
            EXPECT_FALSE(taken);
            EXPECT_GE(waited, SHM_IDENTITY_WAIT_NS);
            EXPECT_LT(waited, int64_t{10000000000}); // bounded, with room for a busy machine
            EXPECT_EQ(shm_load(slot->instance_id), 0x1111u);
            EXPECT_EQ(shm_load(h->identity_lock), static_cast<uint32_t>(holder));
            kill(holder, SIGCONT);
            ASSERT_EQ(waitpid(holder, &status, 0), holder);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            EXPECT_EQ(shm_load(h->identity_lock), 0u) << "the resumed holder let go";
            EXPECT_TRUE(registry_take_instance_id(slot, 0x2222));
        } else {
            // Dead by the liveness rule: its lock was taken over, or the id could never have been had.
            EXPECT_TRUE(taken);
        }
        EXPECT_EQ(shm_load(slot->instance_id), 0x2222u);
        EXPECT_EQ(shm_load(h->identity_lock), 0u);
        slot_release(slot);
    }
}

TEST(IdentityLock, IdOfAStageThatTookADeadOwnersSlotIsCarriedWhileTheCacheRemembersTheDeadOwner) {
    test_segment seg("identity-cache");
    shm_slot* dead = test_slot_of_dead_owner();
    ASSERT_NE(dead, nullptr);
    std::vector<shm_slot*> ours;
    for (int i = 1; i < SHM_SLOT_COUNT; ++i) {
        ours.push_back(slot_claim());
        ASSERT_TRUE(slot_is_shared(ours.back()));
    }
    EXPECT_FALSE(slot_owner_alive(dead)); // cached for the next second

    // A new process's stage takes the dead owner's slot (no other is free) and the id 0x77.
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t other = fork();
    if (other == 0) {
        close(hold[1]);
        shm_slot* s = slot_claim();
        if (s != dead) _exit(1);
        shm_store(s->instance_id, uint64_t{0x77});
        char c = 'r';
        if (write(ready[1], &c, 1) != 1) _exit(1);
        (void)read(hold[0], &c, 1); // lives until the parent closes the pipe
        _exit(0);
    }
    ASSERT_GT(other, 0);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    EXPECT_FALSE(registry_take_instance_id(ours[0], 0x77)) << "two live stages would carry one id";
    EXPECT_NE(shm_load(ours[0]->instance_id), 0x77u);

    close(hold[1]);
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    for (int fd : {ready[0], ready[1], hold[0]})
        close(fd);
    for (shm_slot* s : ours)
        slot_release(s);
}

} // namespace
