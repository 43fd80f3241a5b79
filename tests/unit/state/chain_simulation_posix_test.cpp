// Guards chain inference across processes: a second host process with tracks of its own (one in the
// same Group) must neither be joined to this process's chains nor split them, with and without steady
// times, while this process's stages pause, idle and run in parallel.
#include <gtest/gtest.h>

#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "chain_simulation.h"

namespace {

// The other process: claims the host-2 stages in the shared segment, reports their slot indices
// through `fd`, runs its host until the end of the timeline, gives the slots back and exits.
[[noreturn]] void run_other_process(int fd, bool steady, int64_t t0) {
    std::mt19937_64 rng(steady ? 7 : 8);
    std::vector<shm_slot*> slots;
    int32_t index[SIM_HOST2_STAGES];
    for (int i = 0; i < SIM_HOST2_STAGES; ++i) {
        shm_slot* s = chain_test_claim(rng(), 0);
        index[i] = s != nullptr ? slot_shared_index(s) : -1;
        slots.push_back(s);
    }
    const bool ok = write(fd, index, sizeof index) == static_cast<ssize_t>(sizeof index);
    close(fd);
    for (int i = 0; i < SIM_HOST2_STAGES; ++i)
        if (index[i] < 0) _exit(2);
    if (!ok) _exit(3);
    sim_host h;
    sim_define_host2(h, steady, slots);
    sim_assign_groups(h);
    sim_set_timeline(h, t0);
    sim_run_host(h);
    for (shm_slot* s : slots)
        chain_test_release(s);
    _exit(0);
}

void run_variant(bool steady) {
    chain_test_use_segment("simulation-fork");
    learned_order_clear();
    std::mt19937_64 rng(steady ? 5 : 6);
    std::vector<shm_slot*> s1;
    for (int i = 0; i < SIM_HOST1_STAGES; ++i)
        s1.push_back(chain_test_claim(rng(), 0));
    for (shm_slot* s : s1)
        ASSERT_NE(s, nullptr);
    ASSERT_TRUE(shm_is_shared()) << "the simulation needs the shared segment";

    const int64_t t0 = clock_ns() + 100000000; // time for the other process to claim its slots
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        run_other_process(fds[1], steady, t0);
    }
    close(fds[1]);
    int32_t index[SIM_HOST2_STAGES];
    const ssize_t got = read(fds[0], index, sizeof index);
    close(fds[0]);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof index));
    std::vector<shm_slot*> s2;
    for (int32_t i : index) {
        shm_slot* s = slot_by_index(i);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(shm_load(s->owner_pid), static_cast<uint32_t>(child));
        s2.push_back(s);
    }

    sim_host h1, h2; // h2 describes the other process's tracks; it runs there
    sim_define_host1(h1, steady, s1);
    sim_define_host2(h2, steady, s2);
    sim_assign_groups(h1);
    sim_set_timeline(h1, t0);
    std::thread run1(sim_run_host, std::cref(h1));
    std::vector<const sim_track*> tracks;
    for (const sim_host* h : {&h1, &h2})
        for (const sim_track& t : h->tracks)
            tracks.push_back(&t);
    sim_sleep_until(t0 - 20000000);
    int rounds = 0;
    const std::vector<sim_track_report> rep = sim_list(tracks, t0 + SIM_RUN_NS - 30000000, &rounds);
    run1.join();
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::string summary =
        sim_summary(steady ? "two processes, steady times" : "two processes, no steady times", rep, rounds);
    std::printf("%s\n", summary.c_str());
    ::testing::Test::RecordProperty(steady ? "steady" : "no_steady", summary);
    for (size_t i = 0; i < rep.size(); ++i) {
        EXPECT_GE(rep[i].first_ok, 0) << "track " << i << " never found";
        EXPECT_LE(rep[i].first_ok, SIM_CONVERGENCE_BOUND) << "track " << i;
        EXPECT_EQ(rep[i].flaps, 0) << "track " << i << " " << rep[i].first_flap;
        EXPECT_EQ(rep[i].serial_changes, 0) << "track " << i;
    }
    EXPECT_GT(rep[2].paused_ok, 0) << "the paused stage was listed in its place while not live";
    for (shm_slot* s : s1)
        chain_test_release(s);
}

TEST(ChainSimulationTwoProcesses, WithHostSteadyTimes) {
    run_variant(true);
}
TEST(ChainSimulationTwoProcesses, WithoutHostSteadyTimes) {
    run_variant(false);
}

} // namespace
