// Guards the learned chain order against reordering on one noisy observation, losing the places of
// idle members, cutting the circle of start times at the wrong gap, and entries colliding in the table.
#include <gtest/gtest.h>

#include <vector>

#include "chain_test_support.h"

namespace {

constexpr int64_t MS = 1000000;

// Stand-ins for stages; only their addresses (and instance ids for the diagnostic line) are used.
shm_slot stages[6];
shm_slot* const A = &stages[0];
shm_slot* const B = &stages[1];
shm_slot* const C = &stages[2];
shm_slot* const D = &stages[3];

chain_candidate cand(shm_slot* s, int64_t start, int64_t period, int64_t steady = -1, int64_t step = 0,
                     bool live = true) {
    return chain_candidate{s, start, period, steady, step, live};
}

std::vector<shm_slot*> order_of(std::vector<chain_candidate> c, bool steady) {
    const int32_t k = order_candidates(c.data(), static_cast<int32_t>(c.size()), steady);
    std::vector<shm_slot*> out;
    for (int32_t i = 0; i < k; ++i)
        out.push_back(c[static_cast<size_t>(i)].slot);
    return out;
}

std::vector<shm_slot*> learned(const learned_order_entry* e) {
    return std::vector<shm_slot*>(e->learned, e->learned + e->learned_count);
}

TEST(LearnedOrder, StartTimeModeCutsTheCircleAtTheLargestGap) {
    const struct {
        const char* what;
        std::vector<chain_candidate> in;
        std::vector<shm_slot*> want;
    } cases[] = {
        {"gaps 1, 1 and 10 - 12 + 3 = 1: the wrap-around gap wins the tie",
         {cand(A, 10 * MS, 3 * MS), cand(B, 11 * MS, 3 * MS), cand(C, 12 * MS, 3 * MS)},
         {A, B, C}},
        {"largest gap 3 before the third: it comes first",
         {cand(A, 10 * MS, 5 * MS), cand(B, 11 * MS, 5 * MS), cand(C, 14 * MS, 5 * MS)},
         {C, A, B}},
        {"input order does not matter: sorted by start first",
         {cand(C, 14 * MS, 5 * MS), cand(A, 10 * MS, 5 * MS), cand(B, 11 * MS, 5 * MS)},
         {C, A, B}},
        {"a stage that is not live is left out",
         {cand(A, 10 * MS, 5 * MS), cand(B, 11 * MS, 5 * MS, -1, 0, false), cand(C, 12 * MS, 5 * MS)},
         {A, C}},
        {"a start more than two median periods before the latest is left out",
         {cand(A, 1 * MS, 3 * MS), cand(B, 10 * MS, 3 * MS), cand(C, 11 * MS, 3 * MS),
          cand(D, 12 * MS, 3 * MS)},
         {B, C, D}},
        {"the median period is element k / 2: periods 2, 2, 6, 6 give 6, so a start 10 ms back stays "
         "(and the 8 ms gap after it puts it last)",
         {cand(A, 2 * MS, 2 * MS), cand(B, 10 * MS, 2 * MS), cand(C, 11 * MS, 6 * MS),
          cand(D, 12 * MS, 6 * MS)},
         {B, C, D, A}},
        {"one live candidate is returned alone",
         {cand(A, 10 * MS, 3 * MS), cand(B, 11 * MS, 3 * MS, -1, 0, false)},
         {A}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(order_of(c.in, false), c.want) << c.what;
    EXPECT_EQ(order_of({}, false).size(), 0u);
}

TEST(LearnedOrder, SteadyModeListsTheNewestBlockFirst) {
    const struct {
        const char* what;
        bool steady;
        std::vector<chain_candidate> in;
        std::vector<shm_slot*> want;
    } cases[] = {
        {"newest block first, within a block by start; one step behind is kept, two are not",
         true,
         {cand(A, 30 * MS, 5 * MS, 768, 256), cand(B, 20 * MS, 5 * MS, 1024, 256),
          cand(C, 21 * MS, 5 * MS, 1024, 256), cand(D, 22 * MS, 5 * MS, 512, 256)},
         {B, C, A}},
        {"a candidate without a steady step turns the call to start times (the 9 ms gap puts A first)",
         true,
         {cand(A, 30 * MS, 5 * MS, 768, 256), cand(B, 20 * MS, 5 * MS, 1024, 0),
          cand(C, 21 * MS, 5 * MS, 1024, 256)},
         {A, B, C}},
        {"a candidate without a steady time likewise",
         true,
         {cand(A, 30 * MS, 5 * MS, 768, 256), cand(B, 31 * MS, 5 * MS, -1, 256),
          cand(C, 32 * MS, 5 * MS, 1024, 256)},
         {A, B, C}},
        {"steady mode off by the caller: start times",
         false,
         {cand(A, 30 * MS, 5 * MS, 768, 256), cand(B, 31 * MS, 5 * MS, 1024, 256),
          cand(C, 32 * MS, 5 * MS, 1024, 256)},
         {A, B, C}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(order_of(c.in, c.steady), c.want) << c.what;
}

class LearnedOrderLearn : public ::testing::Test {
  protected:
    void SetUp() override {
        learned_order_clear();
        e = learned_order_lookup(A);
    }
    // One listing that observed `seen` live, in this order (start times 1 ms apart), with `members`
    // as the chain's members.
    // Members not seen are not live, or (`stale_live`) live but last started 100 ms ago, more than
    // two 10 ms periods before the others.
    void observe(std::vector<shm_slot*> seen, std::vector<shm_slot*> members, int64_t now,
                 bool stale_live = false) {
        std::vector<chain_candidate> c;
        for (shm_slot* m : members) {
            int64_t start = now - 100 * MS;
            bool live = stale_live;
            for (size_t i = 0; i < seen.size(); ++i)
                if (seen[i] == m) {
                    start = now - 5 * MS + static_cast<int64_t>(i) * MS;
                    live = true;
                }
            c.push_back(cand(m, start, 10 * MS, -1, 0, live));
        }
        chain_order_learn(e, c.data(), members.data(), static_cast<int32_t>(members.size()), now, false);
    }
    learned_order_entry* e = nullptr;
};

TEST_F(LearnedOrderLearn, NewcomersJoinAtOnceAndReordersWaitFor3RepeatsAnd150ms) {
    const int64_t t0 = 10000 * MS;
    observe({A, B, C}, {A, B, C}, t0);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C})) << "new members are merged at once";

    observe({A, B, C, D}, {A, B, C, D}, t0 + 16 * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C, D})) << "a joining member is appended at once";

    // B A C D observed three times within 100 ms: not yet.
    for (int64_t t : {0, 40, 80}) {
        observe({B, A, C, D}, {A, B, C, D}, t0 + (100 + t) * MS);
        EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C, D})) << t;
    }
    observe({B, A, C, D}, {A, B, C, D}, t0 + (100 + 149) * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C, D})) << "149 ms after it was first seen";
    observe({B, A, C, D}, {A, B, C, D}, t0 + (100 + 150) * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{B, A, C, D})) << "150 ms: accepted";

    // A different observation in between restarts the count and the clock.
    const int64_t t1 = t0 + 1000 * MS;
    observe({A, B, C, D}, {A, B, C, D}, t1);
    observe({A, B, C, D}, {A, B, C, D}, t1 + 10 * MS);
    observe({B, A, C, D}, {A, B, C, D}, t1 + 20 * MS);
    observe({A, B, C, D}, {A, B, C, D}, t1 + 200 * MS);
    observe({A, B, C, D}, {A, B, C, D}, t1 + 300 * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{B, A, C, D})) << "only two in a row since the change";
    observe({A, B, C, D}, {A, B, C, D}, t1 + 349 * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{B, A, C, D}))
        << "third in a row but 149 ms after first seen";
    observe({A, B, C, D}, {A, B, C, D}, t1 + 351 * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C, D}));
}

TEST_F(LearnedOrderLearn, IdleMembersKeepTheirPlacesAndDepartedOnesVanish) {
    const int64_t t0 = 20000 * MS;
    observe({A, B, C}, {A, B, C}, t0);
    // C A observed with B idle: the places of A and C are refilled as C, A: C B A.
    for (int64_t t : {0, 50, 100, 150})
        observe({C, A}, {A, B, C}, t0 + (100 + t) * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{C, B, A}));
    // A C with B live but its last start too far back: left out of the observation, kept in place.
    for (int64_t t : {0, 50, 100, 150})
        observe({A, C}, {A, B, C}, t0 + (300 + t) * MS, true);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{A, B, C}));

    // B leaves the chain; the next accepted observation drops it.
    for (int64_t t : {0, 50, 100, 150})
        observe({C, A}, {A, C}, t0 + (500 + t) * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{C, A}));

    // An observation with nobody live changes nothing until accepted, and an accepted empty one keeps
    // the members that remain.
    for (int64_t t : {0, 50, 100, 150})
        observe({}, {A, C}, t0 + (700 + t) * MS);
    EXPECT_EQ(learned(e), (std::vector<shm_slot*>{C, A}));
}

TEST(LearnedOrderTable, SixtyFifthRootReusesEntryZero) {
    learned_order_clear();
    static shm_slot roots[65];
    learned_order_entry* first = learned_order_lookup(&roots[0]);
    EXPECT_EQ(first, &learned_order_table()[0]);
    first->learned[0] = &roots[0];
    first->learned_count = 1;
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(learned_order_lookup(&roots[i]), &learned_order_table()[i]);
    EXPECT_EQ(learned_order_lookup(&roots[0]), first) << "a known root finds its entry";
    EXPECT_EQ(first->learned_count, 1);

    learned_order_entry* reused = learned_order_lookup(&roots[64]);
    EXPECT_EQ(reused, first);
    EXPECT_EQ(reused->key, &roots[64]);
    EXPECT_EQ(reused->learned_count, 0);
    EXPECT_EQ(reused->repeat_count, 0);
    EXPECT_EQ(reused->last_candidate_count, 0);

    learned_order_clear();
    for (int i = 0; i < LEARNED_ORDER_ENTRIES; ++i)
        EXPECT_EQ(learned_order_table()[i].key, nullptr);
    EXPECT_EQ(learned_order_lookup(&roots[5]), &learned_order_table()[0]) << "the first unused entry";
}

} // namespace
