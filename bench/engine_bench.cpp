// Cost of one stage's audio path per stereo frame at 48 kHz in 512-frame blocks, in the order the
// process driver runs it: limiter, dither (not in bypass), loudness meter; denormals flushed as
// during a process call. The "per frame" counter is the time per stereo frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "dither.h"
#include "limiter.h"
#include "loudness.h"

namespace {

constexpr double fs = 48000.0;
constexpr uint32_t block = 512;
constexpr double pi = 3.14159265358979323846;

enum bench_case { FULL, LIMITER_ONLY, DITHER_ONLY, LOUDNESS_ONLY };

struct bench_stage {
    limiter_state lim{};
    dither_state dit{};
    loudness_meter loud{};
    std::vector<float> src_l, src_r; // one second of programme
    std::vector<float> l, r;
    size_t at = 0;

    bench_stage(uint8_t true_peak, bool bypass, bool silence, bool apart = false) {
        limiter_init(&lim, fs, 1.5);
        limiter_set_style(&lim, 0);
        // Two tones peaking near 0 dBFS against a threshold of -6 dB: a steady ~6 dB of reduction.
        limiter_set_levels(&lim, 0.0, -6.0, -0.3, 100.0, 1.0, true_peak, 1, 1.0);
        limiter_set_switches(&lim, bypass ? 1 : 0, 0, 0);
        limiter_reset(&lim);
        dither_seed(&dit, 0x1234567887654321ull);
        loudness_init(&loud, fs);
        const size_t n = static_cast<size_t>(fs);
        src_l.resize(n);
        src_r.resize(n);
        std::mt19937 rng(1);
        std::normal_distribution<double> g(0.0, 0.02);
        for (size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / fs;
            const double a = 0.6 * std::sin(2 * pi * 100 * t) + 0.38 * std::sin(2 * pi * 1300 * t);
            src_l[i] = silence ? 0.0f : static_cast<float>(a + g(rng));
            // apart: the right channel carries other tones, so the linked gain computers part
            const double b = 0.6 * std::sin(2 * pi * 140 * t) + 0.38 * std::sin(2 * pi * 1700 * t);
            src_r[i] = silence ? 0.0f : static_cast<float>((apart ? b : 0.95 * a) + g(rng));
        }
        l.resize(block);
        r.resize(block);
    }
    ~bench_stage() { limiter_free(&lim); }

    void next_block() {
        if (at + block > src_l.size()) at = 0;
        std::memcpy(l.data(), src_l.data() + at, block * sizeof(float));
        std::memcpy(r.data(), src_r.data() + at, block * sizeof(float));
        at += block;
    }
};

void run_case(benchmark::State& state, bench_case what, uint8_t true_peak, bool bypass, bool silence,
              int32_t dither_mode, int32_t shaping, bool apart = false) {
#if defined(__SSE2__)
    const unsigned int csr = _mm_getcsr();
    _mm_setcsr(csr | 0x8040); // flush to zero, denormals are zero
#endif
    bench_stage s(true_peak, bypass, silence, apart);
    // let the reduction settle
    for (int i = 0; i < 200; ++i) {
        s.next_block();
        limiter_process_stereo(&s.lim, s.l.data(), s.r.data(), block);
    }
    float min_gain = 1.0f;
    for (auto _ : state) {
        s.next_block();
        if (what == FULL || what == LIMITER_ONLY) {
            limiter_process_stereo(&s.lim, s.l.data(), s.r.data(), block);
            min_gain = std::min(min_gain, s.lim.min_gain);
        }
        if ((what == FULL && !bypass && dither_mode > 0) || what == DITHER_ONLY)
            apply_dither_stereo(&s.dit, s.l.data(), s.r.data(), block, dither_mode, shaping);
        if (what == FULL || what == LOUDNESS_ONLY) loudness_process(&s.loud, s.l.data(), s.r.data(), block);
        benchmark::DoNotOptimize(s.l.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_frame"] = benchmark::Counter(block, benchmark::Counter::kIsIterationInvariantRate |
                                                                benchmark::Counter::kInvert);
    if (what == FULL || what == LIMITER_ONLY) state.counters["gr_db"] = -20.0 * std::log10(min_gain);
#if defined(__SSE2__)
    _mm_setcsr(csr);
#endif
}

} // namespace

// The headline figures.
static void BM_StageTruePeakOn(benchmark::State& st) {
    run_case(st, FULL, 1, false, false, 1, 2);
}
static void BM_StageTruePeakOff(benchmark::State& st) {
    run_case(st, FULL, 0, false, false, 1, 2);
}
static void BM_StageBypass(benchmark::State& st) {
    run_case(st, FULL, 1, true, false, 1, 2);
}
static void BM_StageSilence(benchmark::State& st) {
    run_case(st, FULL, 1, false, true, 1, 2);
}
BENCHMARK(BM_StageTruePeakOn);
BENCHMARK(BM_StageTruePeakOff);
BENCHMARK(BM_StageBypass);
BENCHMARK(BM_StageSilence);

// Where the time goes.
static void BM_StageNoDither(benchmark::State& st) {
    run_case(st, FULL, 1, false, false, 0, 0);
}
static void BM_LimiterTruePeakOn(benchmark::State& st) {
    run_case(st, LIMITER_ONLY, 1, false, false, 0, 0);
}
static void BM_DitherWeighted(benchmark::State& st) {
    run_case(st, DITHER_ONLY, 1, false, false, 1, 2);
}
static void BM_DitherLight(benchmark::State& st) {
    run_case(st, DITHER_ONLY, 1, false, false, 1, 1);
}
static void BM_DitherNone(benchmark::State& st) {
    run_case(st, DITHER_ONLY, 1, false, false, 1, 0);
}
static void BM_Loudness(benchmark::State& st) {
    run_case(st, LOUDNESS_ONLY, 1, false, false, 0, 0);
}
// The headline case with channels whose gain computers part (no shared run).
static void BM_StageTruePeakOnApart(benchmark::State& st) {
    run_case(st, FULL, 1, false, false, 1, 2, true);
}
BENCHMARK(BM_StageTruePeakOnApart);
BENCHMARK(BM_StageNoDither);
BENCHMARK(BM_LimiterTruePeakOn);
BENCHMARK(BM_DitherWeighted);
BENCHMARK(BM_DitherLight);
BENCHMARK(BM_DitherNone);
BENCHMARK(BM_Loudness);

BENCHMARK_MAIN();
