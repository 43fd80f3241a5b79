// Guards chain inference under timing like real hosts' (jittered blocks, tracks in parallel and in
// shuffled order, idle and pausing stages, two host engines, with and without steady times) against
// missing a chain, misordering it, flapping once learned, or losing a paused stage's place.
#include <gtest/gtest.h>

#include <random>

#include "chain_simulation.h"

namespace {

void run_variant(bool steady) {
    chain_test_use_segment("simulation");
    learned_order_clear();
    std::mt19937_64 rng(steady ? 5 : 6);
    std::vector<shm_slot*> s1, s2;
    for (int i = 0; i < SIM_HOST1_STAGES; ++i)
        s1.push_back(chain_test_claim(rng(), 0));
    for (int i = 0; i < SIM_HOST2_STAGES; ++i)
        s2.push_back(chain_test_claim(rng(), 0));
    for (shm_slot* s : s1)
        ASSERT_NE(s, nullptr);
    for (shm_slot* s : s2)
        ASSERT_NE(s, nullptr);

    sim_host h1, h2; // host 2 stands in for a second process here; the posix test forks it
    sim_define_host1(h1, steady, s1);
    sim_define_host2(h2, steady, s2);
    sim_assign_groups(h1);
    sim_assign_groups(h2);
    const int64_t t0 = clock_ns() + 20000000;
    sim_set_timeline(h1, t0);
    sim_set_timeline(h2, t0);

    std::thread run1(sim_run_host, std::cref(h1)), run2(sim_run_host, std::cref(h2));
    std::vector<const sim_track*> tracks;
    for (const sim_host* h : {&h1, &h2})
        for (const sim_track& t : h->tracks)
            tracks.push_back(&t);
    int rounds = 0;
    const std::vector<sim_track_report> rep = sim_list(tracks, t0 + SIM_RUN_NS - 30000000, &rounds);
    run1.join();
    run2.join();

    const std::string summary = sim_summary(steady ? "steady times" : "no steady times", rep, rounds);
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
    for (shm_slot* s : s2)
        chain_test_release(s);
}

TEST(ChainSimulation, WithHostSteadyTimes) {
    run_variant(true);
}
TEST(ChainSimulation, WithoutHostSteadyTimes) {
    run_variant(false);
}

} // namespace
