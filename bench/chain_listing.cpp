// The chain listing runs on the editor's thread once per frame for the shown Group. Figures: time per
// listing for 64 live members of one Group with 62 timing records each, and for 8 members, in four
// timing layouts (one chain with and without host steady times, parallel tracks whose calls overlap,
// and stages whose histories never pair so that every pair is tested both ways to the end); and the
// number of heap allocations per listing (counted by interposing the C allocator), which must be 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "chain_order.h"
#include "platform.h"
#include "registry.h"
#include "shm.h"
#include "shm_port.h"
#include "timing.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

static std::atomic<long> allocations{0};

void* malloc(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(size_t a, size_t b) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
void* realloc(void* p, size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void* p) {
    __libc_free(p);
}
}

namespace {

constexpr int64_t PERIOD = 5333333; // 256 frames at 48 kHz
constexpr int RECORDS = 62;

enum layout : int64_t { SERIES_STEADY, SERIES_WALL_CLOCK, PARALLEL_OVERLAP, NEVER_PAIRED };
const char* const layout_names[] = {"one chain, steady times", "one chain, wall clock only",
                                    "parallel tracks, overlapping", "histories that never pair"};

struct bench_group {
    std::vector<shm_slot*> slots;
    int64_t block = 0; // index of the next block written
};

void open_segment() {
    static bool done = false;
    if (done) return;
    done = true;
    char name[64];
    std::snprintf(name, sizeof name, "lodrin-bench-%d", static_cast<int>(current_process_id()));
    setenv("LODRIN_SHM", name, 1);
}

// One host block for every member at time t: in series (20 us apart) or all at once, 15 us each.
void write_block(bench_group& g, layout l, int64_t t) {
    const int64_t k = g.block++;
    for (size_t i = 0; i < g.slots.size(); ++i) {
        shm_slot* s = g.slots[i];
        const int64_t steady =
            l == SERIES_WALL_CLOCK ? -1 : k * 256 + (l == NEVER_PAIRED ? static_cast<int64_t>(i) : 0);
        const int64_t start = t + (l == PARALLEL_OVERLAP ? static_cast<int64_t>(i % 4) * 3000
                                                         : static_cast<int64_t>(i) * 20000);
        const uint32_t c = slot_timing_begin(s, start, steady);
        slot_timing_end(s, c, start + 15000);
    }
}

void set_up(bench_group& g, int members, layout l) {
    open_segment();
    for (int i = 0; i < members; ++i) {
        registry_lock();
        shm_slot* s = slot_claim();
        registry_unlock();
        shm_store(s->instance_id, static_cast<uint64_t>(1000 + (i * 37) % members));
        shm_store(s->values[PARAM_GROUP], 0.0);
        g.slots.push_back(s);
    }
    const int64_t now = clock_ns();
    if (l == NEVER_PAIRED) {
        // Member i's history lies i x 62 blocks further back than member 0's, so no call of one has a
        // partner among another's: every relation runs both tests in both directions and stays undecided.
        for (size_t i = 0; i < g.slots.size(); ++i) {
            for (int k = 0; k < RECORDS; ++k) {
                const int64_t t = now - (static_cast<int64_t>(i + 1) * RECORDS - k) * PERIOD;
                const uint32_t c =
                    slot_timing_begin(g.slots[i], t, k * 256 + static_cast<int64_t>(i) * 100000);
                slot_timing_end(g.slots[i], c, t + 15000);
            }
        }
        return;
    }
    for (int k = 0; k < RECORDS; ++k)
        write_block(g, l, now - (RECORDS - k) * PERIOD);
}

// Keeps every member live: one more block now (an events-only call for the never-paired histories).
void refresh(bench_group& g, layout l) {
    if (l == NEVER_PAIRED) {
        for (shm_slot* s : g.slots)
            slot_timing_begin(s, clock_ns(), -1);
        return;
    }
    write_block(g, l, clock_ns());
}

void tear_down(bench_group& g) {
    registry_lock();
    for (shm_slot* s : g.slots)
        slot_release(s);
    registry_unlock();
    learned_order_clear();
}

void BM_collect_chain(benchmark::State& state) {
    const int members = static_cast<int>(state.range(0));
    const layout l = static_cast<layout>(state.range(1));
    bench_group g;
    set_up(g, members, l);
    chain_member out[64];
    int32_t listed = registry_collect_chain(g.slots[0], 0, out, 64); // first listing learns the order
    long allocs = 0;
    int64_t n = 0;
    for (auto _ : state) {
        if ((n & 63) == 63) {
            state.PauseTiming();
            refresh(g, l);
            state.ResumeTiming();
        }
        const long before = allocations.load(std::memory_order_relaxed);
        listed = registry_collect_chain(g.slots[0], 0, out, 64);
        allocs += allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(listed);
        ++n;
    }
    state.counters["listed"] = listed;
    state.counters["allocs_per_listing"] = n > 0 ? static_cast<double>(allocs) / static_cast<double>(n) : 0.0;
    state.SetLabel(layout_names[l]);
    tear_down(g);
}

BENCHMARK(BM_collect_chain)
    ->ArgsProduct({{64, 8}, {SERIES_STEADY, SERIES_WALL_CLOCK, PARALLEL_OVERLAP, NEVER_PAIRED}})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
