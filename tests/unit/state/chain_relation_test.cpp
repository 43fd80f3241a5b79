// Guards the pairwise timing test against calling two stages serial or parallel on the wrong
// evidence: the thresholds, the pairing of calls by steady time and by wall clock, and garbage input.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "chain_test_support.h"

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t P = 10 * MS; // host block period of the synthetic histories

int32_t rel(const std::vector<timing_record>& a, const std::vector<timing_record>& b) {
    return relation_between(a.data(), static_cast<int32_t>(a.size()), b.data(),
                            static_cast<int32_t>(b.size()));
}

// k blocks where A runs first (0..1 ms into the block) and B second (2..3 ms), both carrying the
// block's steady time; `extra_a` more blocks of A alone come first, so A keeps at least 2 records.
struct steady_pair {
    std::vector<timing_record> a, b;
};
steady_pair steady_series(int matched, int extra_a) {
    steady_pair p;
    for (int k = 0; k < extra_a + matched; ++k) {
        const int64_t t = 1000 * MS + k * P;
        p.a.push_back({t, t + 1 * MS, 512 * k});
        if (k >= extra_a) p.b.push_back({t + 2 * MS, t + 3 * MS, 512 * k});
    }
    return p;
}

TEST(ChainRelation, SteadyEvidenceNeeds24MatchedBlocks) {
    // matched blocks -> relation of (A, B); 1 matched block leaves B with one record (no steady test).
    const struct {
        int matched;
        int32_t want;
    } cases[] = {{1, 0}, {2, 0}, {12, 0}, {23, 0}, {24, 1}, {31, 1}, {40, 1}};
    for (const auto& c : cases) {
        const steady_pair p = steady_series(c.matched, 62 - c.matched);
        ASSERT_EQ(p.a.size(), 62u);
        EXPECT_EQ(rel(p.a, p.b), c.want) << c.matched << " matched blocks";
    }
}

TEST(ChainRelation, SteadyBlocksThatOverlapOrSwapAreParallel) {
    steady_pair p = steady_series(40, 2);
    ASSERT_EQ(rel(p.a, p.b), 1);

    steady_pair overlap = p;
    overlap.b[17].start = overlap.a[19].end - 1; // B starts 1 ns before A's call of that block ends
    EXPECT_EQ(rel(overlap.a, overlap.b), 2);

    steady_pair swapped = p;
    swapped.b[30].start = swapped.a[32].start - 2 * MS; // B ran before A in one block
    swapped.b[30].end = swapped.a[32].start - 1 * MS;
    EXPECT_EQ(rel(swapped.a, swapped.b), 2);

    // B entirely before A in every block is also one order only: serial, with B first.
    steady_pair reversed = p;
    for (timing_record& r : reversed.b) {
        r.start -= 4 * MS;
        r.end -= 4 * MS;
    }
    EXPECT_EQ(rel(reversed.a, reversed.b), 1);
}

TEST(ChainRelation, UnmatchedSteadyClocksFallBackToTheWallClock) {
    // Rising steady times that never coincide (two hosts' clocks): no block matches, so the wall clock
    // decides, and A then B within each period is serial.
    steady_pair p = steady_series(40, 0);
    for (timing_record& r : p.b)
        r.steady += 1;
    EXPECT_EQ(rel(p.a, p.b), 1);

    // A steady time that does not rise (or -1, no host time) also means the wall clock.
    steady_pair q = steady_series(40, 0);
    q.a[10].steady = q.a[9].steady;
    EXPECT_EQ(rel(q.a, q.b), 1);
    q.b[3].steady = -1;
    EXPECT_EQ(rel(q.a, q.b), 1);
}

// Wall-clock histories: block k is "A first" (A at 0..1 ms, B at 2..3 ms) or "B first" (the reverse).
// Block 0 is never counted (B has no earlier call to compare with), so `a_first` and `b_first` count
// blocks 1.. of each kind; the B-first blocks are spread evenly.
steady_pair wall_clock(int a_first, int b_first) {
    steady_pair p;
    const int counted = a_first + b_first;
    std::vector<bool> b_before(static_cast<size_t>(counted + 1), false);
    for (int i = 0; i < b_first; ++i)
        b_before[static_cast<size_t>(1 + (2 * i + 1) * counted / (2 * b_first))] = true;
    for (int k = 0; k <= counted; ++k) {
        const int64_t t = 1000 * MS + k * P;
        const bool swap = b_before[static_cast<size_t>(k)];
        const int64_t a0 = swap ? t + 2 * MS : t, b0 = swap ? t : t + 2 * MS;
        p.a.push_back({a0, a0 + 1 * MS, -1});
        p.b.push_back({b0, b0 + 1 * MS, -1});
    }
    return p;
}

TEST(ChainRelation, WallClockThresholds) {
    const struct {
        int a_first, b_first;
        int32_t want;
    } cases[] = {
        {20, 3, 2},  // 3 x 8 = 24 >= 23: the rarer order is frequent enough: parallel
        {22, 2, 0},  // 2 x 8 = 16 < 24, and 22 one-way pairings are not yet enough
        {30, 2, 1},  // 16 < 32, 30 one-way pairings: serial
        {23, 0, 0},  // 23 pairings: undecided
        {24, 0, 1},  // 24: serial
        {40, 1, 1},  // a single swap (fewer than 2) never means parallel
        {10, 10, 2}, // both orders equally
    };
    for (const auto& c : cases) {
        const steady_pair p = wall_clock(c.a_first, c.b_first);
        int bf = 0;
        for (size_t k = 1; k < p.a.size(); ++k)
            bf += p.b[k].start < p.a[k].start;
        ASSERT_EQ(bf, c.b_first);
        EXPECT_EQ(rel(p.a, p.b), c.want) << c.a_first << " / " << c.b_first;
    }
}

TEST(ChainRelation, WallClockOverlapAndPairingReach) {
    steady_pair p = wall_clock(40, 0);
    ASSERT_EQ(rel(p.a, p.b), 1);
    steady_pair overlap = p;
    overlap.a[20].end = overlap.b[20].start + 1; // A's call still running when B starts
    EXPECT_EQ(rel(overlap.a, overlap.b), 2);

    // B calls more than 1.5 periods after the last A call are not paired: with A gone quiet after
    // 10 blocks, too few pairings remain.
    steady_pair late = p;
    late.a.resize(10);
    EXPECT_EQ(rel(late.a, late.b), 0);

    // Fewer than two records, or a period below 1 ns, decide nothing.
    EXPECT_EQ(rel({p.a[0]}, p.b), 0);
    EXPECT_EQ(rel(p.a, {p.b[0]}), 0);
    std::vector<timing_record> same_start(30, timing_record{5 * MS, 6 * MS, -1});
    EXPECT_EQ(rel(same_start, p.b), 0);
}

TEST(ChainRelation, GarbageHistoriesAreHarmless) {
    // Any bit pattern may sit in a slot; the test must not overflow or read out of range (checked by
    // the sanitizer tree) and must still answer 0, 1 or 2.
    std::mt19937_64 rng(12345);
    const int64_t specials[] = {INT64_MIN, INT64_MAX, -1, 0, 1, INT64_MIN + 1, INT64_MAX - 1};
    for (int round = 0; round < 2000; ++round) {
        std::vector<timing_record> a(rng() % 63), b(rng() % 63);
        for (auto* v : {&a, &b})
            for (timing_record& r : *v) {
                for (int64_t* f : {&r.start, &r.end, &r.steady})
                    *f = (rng() & 3) == 0 ? specials[rng() % 7] : static_cast<int64_t>(rng());
            }
        if (round & 1) // rising steady times, so that the steady-time walk runs on garbage too
            for (auto* v : {&a, &b})
                for (size_t i = 0; i < v->size(); ++i)
                    (*v)[i].steady = static_cast<int64_t>(i) * 512 + (rng() & 511);
        const int32_t r = rel(a, b);
        EXPECT_TRUE(r >= 0 && r <= 2);
    }
    EXPECT_EQ(relation_between(nullptr, 5, nullptr, 5), 0);
}

} // namespace
