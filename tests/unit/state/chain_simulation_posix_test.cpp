// Guards chain inference across processes: a second host process with tracks of its own (one in the
// same Group) must neither be joined to this process's chains nor split them, with and without steady
// times, while this process's stages pause, idle and run in parallel.
//
// Both processes run on simulated time in lock-step: the other process owns its stages and makes
// their calls itself, but only when this one, which keeps the timeline, tells it how far to go.
#include <gtest/gtest.h>

#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include "chain_simulation.h"

namespace {

bool read_all(int fd, void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n > 0) {
        const ssize_t got = read(fd, b, n);
        if (got <= 0) return false;
        b += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool write_all(int fd, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        const ssize_t put = write(fd, b, n);
        if (put <= 0) return false;
        b += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// The other process: claims the host-2 stages in the shared segment and reports their slot indices
// on `up`; then, for every count n read from `down`, makes its calls up to the n-th on simulated time
// and answers with one byte. A negative count ends it: it gives the slots back and exits.
[[noreturn]] void run_other_process(int down, int up, bool steady, int64_t t0) {
    std::mt19937_64 rng(steady ? 7 : 8);
    std::vector<shm_slot*> slots;
    int32_t index[SIM_HOST2_STAGES];
    for (int i = 0; i < SIM_HOST2_STAGES; ++i) {
        shm_slot* s = chain_test_claim(rng(), 0);
        index[i] = s != nullptr ? slot_shared_index(s) : -1;
        slots.push_back(s);
    }
    if (!write_all(up, index, sizeof index)) _exit(3);
    for (int i = 0; i < SIM_HOST2_STAGES; ++i)
        if (index[i] < 0) _exit(2);
    sim_host h;
    sim_define_host2(h, steady, slots);
    sim_assign_groups(h);
    sim_set_timeline(h, t0);
    std::vector<sim_action> actions;
    sim_schedule_host(h, 1, actions);
    std::sort(actions.begin(), actions.end(), sim_action_before);
    clock_set_source(sim_virtual_clock);
    size_t done = 0;
    for (int64_t n; read_all(down, &n, sizeof n) && n >= 0;) {
        for (; done < static_cast<size_t>(n) && done < actions.size(); ++done)
            sim_do_call(actions[done]);
        const uint8_t ack = 1;
        if (!write_all(up, &ack, 1)) _exit(4);
    }
    clock_set_source(nullptr);
    for (shm_slot* s : slots)
        chain_test_release(s);
    _exit(done == actions.size() ? 0 : 5);
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

    const int64_t t0 = clock_ns() + 100000000;
    int down[2], up[2];
    ASSERT_EQ(pipe(down), 0);
    ASSERT_EQ(pipe(up), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(down[1]);
        close(up[0]);
        run_other_process(down[0], up[1], steady, t0);
    }
    close(down[0]);
    close(up[1]);
    int32_t index[SIM_HOST2_STAGES];
    ASSERT_TRUE(read_all(up[0], index, sizeof index)) << "the other process reported no slots";
    std::vector<shm_slot*> s2;
    for (int32_t i : index) {
        shm_slot* s = slot_by_index(i);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(shm_load(s->owner_pid), static_cast<uint32_t>(child));
        s2.push_back(s);
    }

    sim_host h1, h2; // h2 describes the other process's tracks; its calls are made there
    sim_define_host1(h1, steady, s1);
    sim_define_host2(h2, steady, s2);
    sim_assign_groups(h1);
    sim_set_timeline(h1, t0);
    sim_set_timeline(h2, t0);
    std::vector<sim_action> actions;
    sim_schedule_host(h1, 0, actions);
    sim_schedule_host(h2, 1, actions);
    sim_schedule_listing(t0 - 20000000, t0 + SIM_RUN_NS - 30000000, actions);
    std::vector<const sim_track*> tracks;
    for (const sim_host* h : {&h1, &h2})
        for (const sim_track& t : h->tracks)
            tracks.push_back(&t);
    bool in_step = true;
    const auto remote = [](int32_t source) { return source > 16; };
    const auto run_remote = [&](int64_t n) {
        uint8_t ack = 0;
        in_step = in_step && write_all(down[1], &n, sizeof n) && read_all(up[0], &ack, 1);
    };
    int rounds = 0;
    const std::vector<sim_track_report> rep =
        sim_run_virtual(std::move(actions), tracks, &rounds, remote, run_remote);
    const int64_t end = -1;
    EXPECT_TRUE(write_all(down[1], &end, sizeof end));
    close(down[1]);
    close(up[0]);
    EXPECT_TRUE(in_step) << "the other process stopped answering";
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
