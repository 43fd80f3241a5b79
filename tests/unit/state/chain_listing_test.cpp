// Guards the chain listing against joining or splitting chains wrongly, mishandling chain serials,
// misplacing manual and unlearned stages, repeating its diagnostic lines, and trusting slot contents.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "chain_test_support.h"

namespace {

constexpr int64_t MS = 1000000;
constexpr int64_t P = 5 * MS; // host block period
constexpr int BLOCKS = 40;

class ChainListing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { chain_test_use_segment("listing"); }
    void SetUp() override {
        learned_order_clear();
        now = clock_ns();
        last_block = now - 5 * MS; // every call of the newest block has ended
    }
    void TearDown() override {
        for (shm_slot* s : claimed)
            chain_test_release(s);
        chain_test_env_unset("LODRIN_REG_DEBUG");
    }
    shm_slot* stage(uint64_t id, int group = 0, int stage_number = 0) {
        shm_slot* s = chain_test_claim(id, group, stage_number);
        EXPECT_NE(s, nullptr);
        claimed.push_back(s);
        return s;
    }
    // The stages run in series, in the order given, in each of BLOCKS host blocks (1 ms apart within
    // a block, 0.5 ms each), with host steady times (256 per block, plus `steady_skew`) or without.
    void series(const std::vector<shm_slot*>& order, bool steady, int64_t offset = 0,
                int64_t steady_skew = 0) {
        for (size_t i = 0; i < order.size(); ++i)
            chain_test_write_calls(order[i], chain_test_calls(BLOCKS, last_block, P,
                                                              offset + static_cast<int64_t>(i) * MS, MS / 2,
                                                              steady ? 256 : 0, steady_skew));
    }
    // A track on another audio thread: its stages (0.2 ms each, 0.25 ms apart) start at a phase that
    // sweeps from -1.5 ms to 3 ms around the host block in steps of 0.37 ms, so each of them overlaps
    // each call of a series() chain at some block and also runs before and after it.
    void swept_track(const std::vector<shm_slot*>& order, bool steady) {
        for (size_t i = 0; i < order.size(); ++i) {
            std::vector<timing_record> calls;
            for (int k = 0; k < BLOCKS; ++k) {
                const int64_t phase = -1500000 + (static_cast<int64_t>(k) * 370000) % 4500000;
                const int64_t t = last_block - static_cast<int64_t>(BLOCKS - 1 - k) * P + phase +
                                  static_cast<int64_t>(i) * 250000;
                calls.push_back({t, t + 200000, steady ? static_cast<int64_t>(k) * 256 : -1});
            }
            chain_test_write_calls(order[i], calls);
        }
    }
    std::vector<chain_member> list(shm_slot* own, uint32_t group = 0, int32_t capacity = 64) {
        std::vector<chain_member> out(64);
        const int32_t n = registry_collect_chain(own, group, out.data(), capacity);
        out.resize(static_cast<size_t>(n < 0 ? 0 : n));
        return out;
    }
    static std::vector<shm_slot*> slots(const std::vector<chain_member>& m) {
        std::vector<shm_slot*> v;
        for (const chain_member& e : m)
            v.push_back(e.slot);
        return v;
    }
    static std::vector<int32_t> positions(const std::vector<chain_member>& m) {
        std::vector<int32_t> v;
        for (const chain_member& e : m)
            v.push_back(e.position);
        return v;
    }
    static uint32_t serial(const shm_slot* s) { return shm_load(s->chain_serial); }

    int64_t now = 0, last_block = 0;
    std::vector<shm_slot*> claimed;
};

TEST_F(ChainListing, ASingleStageIsPlacedFirstOnceItProcesses) {
    shm_slot* idle = stage(1);
    std::vector<chain_member> m = list(idle);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].position, 99) << "never processed: not learned";
    EXPECT_EQ(m[0].live, 0);
    EXPECT_EQ(list(idle)[0].position, 99);

    chain_test_write_calls(idle, chain_test_calls(3, last_block, P, 0, MS / 2));
    m = list(idle);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].position, 1) << "live: learned at once";
    EXPECT_EQ(m[0].manual, 0);
    EXPECT_EQ(m[0].live, 1);
    EXPECT_NE(serial(idle), 0u);
}

TEST_F(ChainListing, StagesInSeriesAreListedInProcessingOrder) {
    for (bool steady : {true, false}) {
        learned_order_clear();
        shm_slot* x = stage(10 + steady);
        shm_slot* y = stage(20 + steady);
        shm_slot* z = stage(30 + steady);
        series({z, x, y}, steady);
        const std::vector<chain_member> m = list(x);
        EXPECT_EQ(slots(m), (std::vector<shm_slot*>{z, x, y})) << "steady " << steady;
        EXPECT_EQ(positions(m), (std::vector<int32_t>{1, 2, 3}));
        for (const chain_member& e : m)
            EXPECT_TRUE(e.live && !e.manual);
        EXPECT_NE(serial(x), 0u);
        EXPECT_TRUE(serial(x) == serial(y) && serial(y) == serial(z));
        for (shm_slot* s : {x, y, z})
            chain_test_release(s);
        claimed.clear();
    }
}

TEST_F(ChainListing, StagesUnderDifferentSteadyClocksAreOrderedByStartTimes) {
    // z's steady times never equal the others' (its host block numbering is skewed by 1), so the
    // listing must not order by steady time: z's would look like the newest block.
    shm_slot* x = stage(1);
    shm_slot* y = stage(2);
    shm_slot* z = stage(3);
    series({x, y}, true);
    chain_test_write_calls(z, chain_test_calls(BLOCKS, last_block, P, 2 * MS, MS / 2, 256, 1));
    EXPECT_EQ(slots(list(x)), (std::vector<shm_slot*>{x, y, z}));
}

TEST_F(ChainListing, ParallelTracksFormSeparateChains) {
    for (bool steady : {true, false}) {
        learned_order_clear();
        shm_slot* other = stage(99, 0); // the asking stage sits in Group 0
        shm_slot* x1 = stage(41, 1);
        shm_slot* y1 = stage(51, 1);
        shm_slot* x2 = stage(42, 1);
        shm_slot* y2 = stage(52, 1);
        shm_slot* x3 = stage(43, 1);
        series({x1, x2, x3}, steady);
        swept_track({y1, y2}, steady);

        EXPECT_EQ(slots(list(other, 1)), (std::vector<shm_slot*>{x1, x2, x3}))
            << "not a member: the largest chain of the Group (steady " << steady << ")";
        EXPECT_EQ(slots(list(y2, 1)), (std::vector<shm_slot*>{y1, y2})) << "a member: its own chain";
        EXPECT_EQ(slots(list(other, 0)), (std::vector<shm_slot*>{other}));
        EXPECT_NE(serial(x1), serial(y1));
        for (shm_slot* s : claimed)
            chain_test_release(s);
        claimed.clear();
    }
}

TEST_F(ChainListing, SharedSerialsJoinQuietStagesButNotParallelOnes) {
    const uint32_t S = 0x7000000; // above any serial the counter hands out in this test
    struct set_up {
        const char* what;
        int first_size, second_size;
        bool first_confirmed, second_confirmed; // a set of one stage has no confirmed pair
        int loser;                              // 1 or 2
    };
    const set_up cases[] = {
        {"confirmed pair against an unconfirmed stage", 2, 1, true, false, 2},
        {"unconfirmed stage first, confirmed pair second", 1, 2, false, true, 1},
        {"two single stages: the later member index loses", 1, 1, false, false, 2},
        {"both confirmed: the smaller set loses", 3, 2, true, true, 2},
    };
    for (const set_up& c : cases) {
        learned_order_clear();
        std::vector<shm_slot*> first, second;
        for (int i = 0; i < c.first_size; ++i)
            first.push_back(stage(100 + i));
        for (int i = 0; i < c.second_size; ++i)
            second.push_back(stage(200 + i));
        series(first, true);
        swept_track(second, true); // in series too, on another audio thread
        for (shm_slot* s : claimed)
            shm_store(s->chain_serial, S);

        list(first[0]);
        const std::vector<shm_slot*>& lost = c.loser == 1 ? first : second;
        const std::vector<shm_slot*>& kept = c.loser == 1 ? second : first;
        for (shm_slot* s : kept)
            EXPECT_EQ(serial(s), S) << c.what;
        for (shm_slot* s : lost) {
            EXPECT_NE(serial(s), S) << c.what;
            EXPECT_NE(serial(s), 0u) << c.what << ": a new serial in the same listing";
            EXPECT_EQ(serial(s), serial(lost[0])) << c.what;
        }
        EXPECT_EQ(slots(list(first[0])), first) << c.what;
        for (shm_slot* s : claimed)
            chain_test_release(s);
        claimed.clear();
    }

    // A stage that stopped long ago shares no timing with the chain, but carries its serial: joined.
    learned_order_clear();
    shm_slot* a = stage(1);
    shm_slot* quiet = stage(2);
    shm_slot* b = stage(3);
    // Its steady times are those of host blocks long past.
    series({a, b}, true, 0, 256 * 1000);
    chain_test_write_calls(quiet, chain_test_calls(BLOCKS, last_block - 600 * MS, P, 2 * MS, MS / 2, 256));
    const std::vector<chain_member> alone = list(a);
    EXPECT_EQ(slots(alone), (std::vector<shm_slot*>{a, b}));
    shm_store(quiet->chain_serial, serial(a));
    const std::vector<chain_member> joined = list(a);
    ASSERT_EQ(joined.size(), 3u);
    EXPECT_EQ(joined[2].slot, quiet);
    EXPECT_EQ(joined[2].position, 99) << "never learned while live";
    EXPECT_EQ(joined[2].live, 0);
    EXPECT_EQ(serial(quiet), serial(a));
}

TEST_F(ChainListing, ManualStageNumbersOverrideTheLearnedPlace) {
    shm_slot* x = stage(1);
    shm_slot* y = stage(2);
    shm_slot* z = stage(3, 0, 3);
    series({z, x, y}, true); // learned: z 1, x 2, y 3
    std::vector<chain_member> m = list(x);
    EXPECT_EQ(slots(m), (std::vector<shm_slot*>{x, z, y})) << "z manual 3 before y learned 3";
    EXPECT_EQ(positions(m), (std::vector<int32_t>{2, 3, 3}));
    EXPECT_EQ(m[1].manual, 1);
    EXPECT_EQ(m[2].manual, 0);

    shm_store(x->values[PARAM_STAGE], 2.0);
    shm_store(y->values[PARAM_STAGE], 2.9); // truncated toward zero
    m = list(x);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(positions(m), (std::vector<int32_t>{2, 2, 3}));
    EXPECT_TRUE(m[0].manual && m[1].manual && m[2].manual);
}

TEST_F(ChainListing, BadArgumentsAndCapacity) {
    shm_slot* x = stage(1);
    shm_slot* y = stage(2);
    series({x, y}, true);
    chain_member out[2];
    EXPECT_EQ(registry_collect_chain(x, 16, out, 2), 0);
    EXPECT_EQ(registry_collect_chain(x, 0, out, 0), 0);
    EXPECT_EQ(registry_collect_chain(x, 5, out, 2), 0) << "no stage in Group 5";
    EXPECT_EQ(registry_collect_chain(x, 0, out, 1), 1);
    EXPECT_EQ(list(nullptr).size(), 2u);
}

TEST_F(ChainListing, DiagnosticLinesPrintOnlyWhenTheirTextChanges) {
    shm_slot* a = stage(0x101);
    shm_slot* b = stage(0x202);
    series({a, b}, true);
    chain_test_env_set("LODRIN_REG_DEBUG", "1");
    std::string text;
    {
        stderr_capture cap;
        for (int i = 0; i < 4; ++i)
            list(a);
        text = cap.text();
    }
    EXPECT_EQ(chain_test_count_lines(text, "[reg2] "), 1) << text;
    // The learned order ("acc") changes once, after the first listing.
    EXPECT_EQ(chain_test_count_lines(text, "[reg] "), 2) << text;
    const std::string s = std::to_string(static_cast<int32_t>(serial(a)));
    EXPECT_NE(text.find("[reg2] rel: 12=S | root: 1>2 2>2 | serial: " + s + " " + s + " | live:11\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[reg] n=2 cand: 1 2 | acc: | t: "), std::string::npos) << text;
    EXPECT_NE(text.find("[reg] n=2 cand: 1 2 | acc: 1 2 | t: "), std::string::npos) << text;

    {
        stderr_capture cap;
        chain_test_write_calls(a, chain_test_calls(1, now, P, 0, MS / 2, 256, 256 * BLOCKS));
        list(a);
        text = cap.text();
    }
    EXPECT_EQ(chain_test_count_lines(text, "[reg] "), 1) << "a new call moves the times: " << text;

    // The steady-time test reports serial verdicts reached on thin evidence (24..31 blocks).
    for (shm_slot* s : claimed)
        chain_test_release(s);
    claimed.clear();
    learned_order_clear();
    shm_slot* c = stage(3);
    shm_slot* d = stage(4);
    for (shm_slot* s : {c, d}) {
        std::vector<timing_record> calls =
            chain_test_calls(26, last_block, P, s == c ? 0 : MS, MS / 2, 256, 0);
        chain_test_write_calls(s, calls);
    }
    {
        stderr_capture cap;
        list(c);
        list(c);
        text = cap.text();
    }
    EXPECT_EQ(
        chain_test_count_lines(text, "[rel] serial by clock: na 26 nb 26 ab 26 ba 0, a 0..6400 b 0..6400"), 2)
        << text;
}

TEST_F(ChainListing, GarbageInSlotsIsHarmless) {
    // Any process of the user may write anything into the segment: counts, times, Group and Stage
    // values. The listing must stay in bounds (checked by the sanitizer tree) and list sane entries.
    std::mt19937_64 rng(777);
    std::vector<shm_slot*> v;
    for (int i = 0; i < 6; ++i)
        v.push_back(stage(static_cast<uint64_t>(i + 1)));
    const double groups[] = {0.0, 0.5, -0.5, 1e300, -1e300, 15.999, 0.0 / 0.0, 1.0 / 0.0};
    const double stage_values[] = {0.0, 1e300, -1e300, 3.5, -7.0, 0.0 / 0.0, 2147483648.0, 8.0};
    for (int round = 0; round < 300; ++round) {
        for (shm_slot* s : v) {
            shm_store(s->timing_count, static_cast<uint32_t>(rng()));
            for (uint32_t e = 0; e < TIMING_RING_SIZE; ++e) {
                shm_store(s->timing_start[e], static_cast<int64_t>(rng()));
                shm_store(s->timing_end[e], (rng() & 1) ? static_cast<int64_t>(rng()) : INT64_MAX);
                shm_store(s->timing_steady[e],
                          (rng() & 1) ? static_cast<int64_t>(rng()) : static_cast<int64_t>(e) * 7);
            }
            shm_store(s->start_ns, (rng() & 1) ? now - static_cast<int64_t>(rng() % 1000000)
                                               : static_cast<int64_t>(rng()));
            shm_store(s->prev_start_ns, (rng() & 3) ? INT64_MIN : static_cast<int64_t>(rng()));
            shm_store(s->steady, static_cast<int64_t>(rng()));
            shm_store(s->prev_steady, (rng() & 1) ? INT64_MIN : static_cast<int64_t>(rng()));
            shm_store(s->chain_serial, static_cast<uint32_t>(rng() % 4));
            shm_store(s->values[PARAM_GROUP], groups[rng() % 8]);
            shm_store(s->values[PARAM_STAGE], stage_values[rng() % 8]);
            shm_store(s->instance_id, static_cast<uint64_t>(rng() % 3));
        }
        const std::vector<chain_member> m = list(v[rng() % v.size()], static_cast<uint32_t>(rng() % 2));
        ASSERT_LE(m.size(), v.size());
        for (size_t i = 0; i < m.size(); ++i) {
            EXPECT_NE(std::find(v.begin(), v.end(), m[i].slot), v.end());
            EXPECT_GE(m[i].position, 1);
            if (i > 0) {
                EXPECT_LE(cmp_member_by_position(&m[i - 1], &m[i]), 0);
            }
        }
    }
}

} // namespace
