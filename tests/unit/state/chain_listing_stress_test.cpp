// Guards the chain listing against data races and out-of-range reads while stages of other threads
// keep writing their timing rings, a stray writer scribbles on a slot, and stages come and go; and
// against a stage falling out of its chain because its owner wrote on while the listing read.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "chain_test_support.h"

namespace {

TEST(ChainListingStress, ListsWhileStagesWriteAndChurn) {
    chain_test_use_segment("listing-stress");
    std::vector<shm_slot*> stages;
    for (int i = 0; i < 12; ++i)
        stages.push_back(chain_test_claim(static_cast<uint64_t>(100 + i), i % 2));
    for (shm_slot* s : stages)
        ASSERT_NE(s, nullptr);
    std::atomic<bool> stop{false};

    // Four "audio threads", three stages each, in series, as fast as they can (with a short rest).
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([&, w] {
            int64_t steady = 0;
            while (!stop.load()) {
                for (int i = 0; i < 3; ++i) {
                    shm_slot* s = stages[static_cast<size_t>(w * 3 + i)];
                    const uint32_t c = slot_timing_begin(s, clock_ns(), steady);
                    slot_timing_end(s, c, clock_ns());
                }
                steady += 64;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    // A stray writer: any value into one member's timing fields, counts, Group and Stage.
    threads.emplace_back([&] {
        std::mt19937_64 rng(3);
        shm_slot* s = stages[0];
        while (!stop.load()) {
            shm_store(s->timing_count, static_cast<uint32_t>(rng()));
            shm_store(s->timing_start[rng() & 63], static_cast<int64_t>(rng()));
            shm_store(s->timing_end[rng() & 63], static_cast<int64_t>(rng()));
            shm_store(s->timing_steady[rng() & 63], static_cast<int64_t>(rng()));
            shm_store(s->chain_serial, static_cast<uint32_t>(rng() & 7));
            shm_store(s->values[PARAM_STAGE], static_cast<double>(static_cast<int64_t>(rng() % 20) - 5));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    // Stages that come and go in Group 0.
    threads.emplace_back([&] {
        while (!stop.load()) {
            shm_slot* s = chain_test_claim(999, 0);
            if (s != nullptr) {
                const uint32_t c = slot_timing_begin(s, clock_ns(), -1);
                slot_timing_end(s, c, clock_ns());
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                chain_test_release(s);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    // At least 0.4 s and 50 listings: a busy machine (or a race checker) slows the listing down,
    // so the count, not the clock, says when enough has been seen; a minute bounds the wait.
    chain_member out[64];
    const int64_t start = clock_ns();
    constexpr int kListings = 50;
    int listings = 0;
    const auto more = [&] {
        const int64_t t = clock_ns() - start;
        return (t < 400000000 || listings < kListings) && t < 60000000000;
    };
    for (int i = 0; more(); ++i, ++listings) {
        const int32_t n = registry_collect_chain(stages[static_cast<size_t>(i % 12)],
                                                 static_cast<uint32_t>(i % 2), out, 64);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 13);
        for (int32_t j = 0; j < n; ++j) {
            EXPECT_NE(out[j].slot, nullptr);
            if (j > 0) {
                EXPECT_LE(cmp_member_by_position(&out[j - 1], &out[j]), 0);
            }
        }
    }
    stop.store(true);
    for (std::thread& t : threads)
        t.join();
    EXPECT_GE(listings, kListings);
    for (shm_slot* s : stages)
        chain_test_release(s);
}

// Two stages of one track whose owner runs blocks back to back, far faster than a listing reads the
// rings: the owner laps the reader again and again, and a record read half before and half after
// its entry was reused looks like a call that overlaps the other stage. Such a record must never
// split the chain: once listed together, the two stay together in every listing.
TEST(ChainListingStress, AnOwnerThatLapsTheListingNeverSplitsItsChain) {
    chain_test_use_segment("listing-stress");
    shm_slot* first = chain_test_claim(201, 5);
    shm_slot* second = chain_test_claim(202, 5);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        int64_t steady = 0;
        while (!stop.load()) {
            uint32_t c = slot_timing_begin(first, clock_ns(), steady);
            slot_timing_end(first, c, clock_ns());
            c = slot_timing_begin(second, clock_ns(), steady);
            slot_timing_end(second, c, clock_ns());
            steady += 64;
        }
    });
    chain_member out[64];
    int listings = 0, together = 0, split = 0;
    const int64_t start = clock_ns();
    // At least 0.5 s and 2000 listings once the chain was found, at most a minute.
    const auto more = [&] {
        const int64_t t = clock_ns() - start;
        return (t < 500000000 || together < 2000) && t < 60000000000;
    };
    while (more()) {
        const int32_t n = registry_collect_chain(first, 5, out, 64);
        ++listings;
        if (n == 2) ++together;
        else if (together > 0) ++split;
    }
    stop.store(true);
    owner.join();
    EXPECT_GE(together, 2000) << "the chain was never found in " << listings << " listings";
    EXPECT_EQ(split, 0) << "of " << listings << " listings, " << together << " listed both stages";
    chain_test_release(first);
    chain_test_release(second);
}

} // namespace
