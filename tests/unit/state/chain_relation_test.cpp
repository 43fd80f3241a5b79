// Guards the pairwise timing test against calling two stages serial or parallel on the wrong
// evidence: the thresholds, the pairing of calls by steady time and by wall clock, and garbage input.
#include <gtest/gtest.h>

#include <algorithm>
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

    // Steady ranges that meet in one value: B's last block is A's first. That one matched block is
    // evidence (undecided), so the wall clock, which would say serial, is not asked.
    steady_pair t = steady_series(40, 0);
    for (size_t k = 0; k < t.a.size(); ++k) {
        t.a[k].steady = 100000 + static_cast<int64_t>(k) * 256;
        t.b[k].steady = 100000 - static_cast<int64_t>(t.b.size() - 1 - k) * 256;
    }
    EXPECT_EQ(rel(t.a, t.b), 0);
    for (timing_record& r : t.b)
        r.steady -= 1; // now they do not meet: the wall clock decides
    EXPECT_EQ(rel(t.a, t.b), 1);
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

// The pairwise test written out step by step, as plainly as possible, to hold the tuned one to.
int64_t wsub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int32_t reference_relation(const std::vector<timing_record>& A, const std::vector<timing_record>& B) {
    const int na = static_cast<int>(A.size()), nb = static_cast<int>(B.size());
    if (na < 2) return 0;
    auto rising = [](const std::vector<timing_record>& h) {
        for (size_t i = 1; i < h.size(); ++i)
            if (h[i].steady < 0 || h[i].steady <= h[i - 1].steady) return false;
        return true;
    };
    if (rising(A) && nb >= 2 && rising(B)) {
        int ab = 0, ba = 0, i = 0;
        for (const timing_record& b : B) {
            while (i < na && A[static_cast<size_t>(i)].steady < b.steady)
                ++i;
            if (i >= na) continue;
            const timing_record& a = A[static_cast<size_t>(i)];
            if (a.steady != b.steady) continue;
            if (a.end > b.start && b.end > a.start) return 2;
            if (a.end > b.start)
                ++ba;
            else
                ++ab;
        }
        if (ab > 0 && ba > 0) return 2;
        if (ab + ba >= 24) return 1;
        if (ab + ba >= 1) return 0;
    }
    std::vector<int64_t> d;
    for (int i = 1; i < na; ++i)
        d.push_back(wsub(A[static_cast<size_t>(i)].start, A[static_cast<size_t>(i - 1)].start));
    std::sort(d.begin(), d.end());
    const int64_t period = d[static_cast<size_t>((na - 1) / 2)];
    if (period < 1 || nb < 2) return 0;
    int ia = -1, ib = -1, a_first = 0, b_first = 0;
    bool overlap = false;
    for (int j = 0; j < nb; ++j) {
        const timing_record& b = B[static_cast<size_t>(j)];
        while (ia + 1 < na && A[static_cast<size_t>(ia + 1)].start <= b.start)
            ++ia;
        if (ia < 0) continue;
        const timing_record& a = A[static_cast<size_t>(ia)];
        while (ib + 1 < nb && B[static_cast<size_t>(ib + 1)].start < a.start)
            ++ib;
        if (wsub(b.start, a.start) >
            static_cast<int64_t>(static_cast<uint64_t>(period) + static_cast<uint64_t>(period / 2)))
            continue;
        if (a.end > b.start) overlap = true;
        if (ib >= 0) {
            const timing_record& bp = B[static_cast<size_t>(ib)];
            if (bp.end > a.start) overlap = true;
            if (wsub(b.start, a.end) < wsub(a.start, bp.end))
                ++a_first;
            else
                ++b_first;
        }
    }
    if (overlap) return 2;
    const int m = std::min(a_first, b_first), t = a_first + b_first;
    if (m >= 2 && 8 * m >= t) return 2;
    if (t - m >= 24) return 1;
    return 0;
}

TEST(ChainRelation, AgreesWithTheStepByStepDefinition) {
    // Histories of every kind the listing meets: one host or two, in series, in parallel, overlapping,
    // with shared, skewed or missing steady times, periods that differ, histories far apart in time,
    // idle gaps, and raw garbage.
    std::mt19937_64 rng(2024);
    auto pick = [&](int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(rng() % static_cast<uint64_t>(hi - lo + 1));
    };
    int verdicts[3] = {0, 0, 0};
    for (int round = 0; round < 20000; ++round) {
        std::vector<timing_record> h[2];
        const int64_t base = pick(0, 1) ? 1000 * MS : pick(0, INT64_MAX / 4);
        for (int w = 0; w < 2; ++w) {
            const int n = static_cast<int>(pick(0, 62));
            const int64_t period = pick(0, 3) == 0 ? pick(1 * MS, 12 * MS) : 5 * MS;
            const int64_t offset =
                pick(-3 * MS, 3 * MS) + (pick(0, 9) == 0 ? pick(-2000 * MS, 2000 * MS) : 0);
            const int64_t dur = pick(1, 2 * MS);
            const int steady_kind =
                static_cast<int>(pick(0, 4)); // shared, skewed, missing, from another host, broken
            const int64_t jitter = pick(0, 1) ? 0 : MS / 2;
            int64_t t = base + offset, k = 0;
            for (int i = 0; i < n; ++i) {
                k += pick(0, 5) == 0 ? pick(2, 4) : 1; // idle blocks now and then
                t = base + offset + k * period + pick(-jitter, jitter);
                int64_t steady = k * 256;
                if (steady_kind == 1) steady += 1;
                if (steady_kind == 2) steady = -1;
                if (steady_kind == 3) steady = 1000000 + k * 384;
                if (steady_kind == 4 && pick(0, 7) == 0) steady = pick(-1, 100000);
                h[w].push_back({t, t + dur, steady});
            }
        }
        if (round % 10 == 9) // garbage now and then
            for (auto& v : h)
                for (timing_record& r : v)
                    if (pick(0, 3) == 0)
                        r = {static_cast<int64_t>(rng()), static_cast<int64_t>(rng()),
                             static_cast<int64_t>(rng())};
        const int32_t want = reference_relation(h[0], h[1]);
        ASSERT_EQ(rel(h[0], h[1]), want) << "round " << round;
        ++verdicts[want];
    }
    // The generator reaches every verdict often enough for the comparison to mean something.
    for (int v : verdicts)
        EXPECT_GT(v, 500) << verdicts[0] << " undecided, " << verdicts[1] << " serial, " << verdicts[2]
                          << " parallel";
}

} // namespace
