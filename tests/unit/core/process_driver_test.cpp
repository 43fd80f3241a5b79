// Guards the process driver: sample-accurate event splitting (a split block must sound exactly like
// the same audio cut into calls at the event times), mono buses, events-only calls, idle-gap columns,
// the timing entry, the published meters and the floating-point mode around the engine run.
#include <cmath>
#include <random>

#include "core_test_support.h"
#include "edit_queue.h"
#include "fp_mode.h"
#include "platform.h"
#include "timing.h"

namespace {

void fill_noise(test_audio& a, uint32_t seed, float amplitude) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-amplitude, amplitude);
    for (int c = 0; c < 2; ++c)
        for (auto& s : a.in[c])
            s = d(rng);
}

struct active_stage : test_stage {
    explicit active_stage(fake_host& host, double rate = 48000.0, uint32_t max_frames = 1024)
        : test_stage(host) {
        EXPECT_TRUE(plugin->activate(plugin, rate, 1, max_frames));
    }
};

} // namespace

TEST(ProcessDriver, EventsSplitTheBlockAtTheirTimes) {
    // One stage gets a 512-frame block with events at 0, 100, 100 and 600; another gets the same
    // audio as calls of 100 and 412 frames with the events applied at the cut. Outputs must agree to
    // the bit, and the event at 600 must only be applied after the last sub-block.
    fake_host host;
    active_stage split(host), reference(host);
    test_audio block(512);
    fill_noise(block, 1, 1.0f);
    test_input_events in;
    in.param(0, 2 /*Gain*/, 6.0);
    in.param(100, 2 /*Gain*/, 18.0);
    in.param(100, 1 /*Input*/, 3.0);
    in.param(600, 2 /*Gain*/, 30.0);
    run_process(split.plugin, &block, &in, nullptr);
    EXPECT_EQ(split.value(PARAM_GAIN), 30.0);
    EXPECT_EQ(split.value(PARAM_INPUT), 3.0);

    test_audio first(100), second(412);
    for (int c = 0; c < 2; ++c) {
        std::copy(block.in[c].begin(), block.in[c].begin() + 100, first.in[c].begin());
        std::copy(block.in[c].begin() + 100, block.in[c].end(), second.in[c].begin());
    }
    reference.set(PARAM_GAIN, 6.0);
    run_process(reference.plugin, &first, nullptr, nullptr);
    reference.set(PARAM_GAIN, 18.0);
    reference.set(PARAM_INPUT, 3.0);
    run_process(reference.plugin, &second, nullptr, nullptr);

    for (int c = 0; c < 2; ++c) {
        for (uint32_t t = 0; t < 512; ++t) {
            const float want = t < 100 ? first.result(c)[t] : second.result(c)[t - 100];
            ASSERT_EQ(block.result(c)[t], want) << "channel " << c << " sample " << t;
        }
    }
    // The test must be able to fail: the limiter has to have reduced something.
    EXPECT_LT(shm_load(split.slot()->min_gain), 0.5f);
}

TEST(ProcessDriver, MonoBuses) {
    fake_host host;
    // Mono in, stereo out: both outputs carry the limited mono signal.
    {
        active_stage stage(host);
        test_audio a(480, 1, 2);
        fill_noise(a, 2, 1.0f);
        stage.set(PARAM_GAIN, 12.0);
        run_process(stage.plugin, &a, nullptr, nullptr);
        for (uint32_t t = 0; t < 480; ++t)
            ASSERT_EQ(a.result(0)[t], a.result(1)[t]) << t;
        EXPECT_LT(shm_load(stage.slot()->min_gain), 1.0f);
    }
    // Mono in and out, in place: the left channel equals the stereo result of a doubled input, and the
    // right side went to the scratch buffer only.
    {
        active_stage mono(host), stereo(host);
        test_audio m(480, 1, 1, true), s(480, 2, 2);
        fill_noise(m, 3, 1.0f);
        s.in[0] = m.in[0];
        s.in[1] = m.in[0];
        mono.set(PARAM_GAIN, 12.0);
        stereo.set(PARAM_GAIN, 12.0);
        std::vector<float> untouched = m.out[1];
        run_process(mono.plugin, &m, nullptr, nullptr);
        run_process(stereo.plugin, &s, nullptr, nullptr);
        for (uint32_t t = 0; t < 480; ++t)
            ASSERT_EQ(m.result(0)[t], s.result(0)[t]) << t;
        EXPECT_EQ(m.out[1], untouched);
        EXPECT_EQ(shm_load(mono.slot()->block_frames), 480u);
    }
    // A mono-output block longer than the scratch buffer stays inside it (run under the sanitizers).
    {
        active_stage stage(host, 48000.0, 512);
        test_audio a(20000, 2, 1);
        fill_noise(a, 4, 1.0f);
        run_process(stage.plugin, &a, nullptr, nullptr);
        EXPECT_EQ(shm_load(stage.slot()->oversize_blocks), 1u);
        EXPECT_EQ(shm_load(stage.slot()->max_block_frames), 20000u);
    }
}

TEST(ProcessDriver, EventsOnlyCallsKeepValuesEditsAndLearnCurrent) {
    fake_host host;
    test_stage stage(host); // never activated
    shm_slot* slot = stage.slot();
    shm_exchange(slot->midi_learn_param, static_cast<int32_t>(PARAM_MIX));
    slot_set_value(slot, PARAM_CEILING, -3.0);
    const uint32_t count = shm_load(slot->timing_count);
    test_input_events in;
    in.midi(0, 0xB3, 7, 99);
    in.param(5, 1 /*Input*/, 99.0);
    test_output_events out;
    EXPECT_EQ(run_process(stage.plugin, nullptr, &in, &out), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(shm_load(slot->midi_cc[PARAM_MIX]), 7);
    EXPECT_EQ(stage.value(PARAM_INPUT), 24.0);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(out.events[0].param_id, 3u);
    EXPECT_EQ(out.events[0].value, -3.0);
    EXPECT_EQ(out.events[0].size, 56u);
    EXPECT_EQ(shm_load(slot->timing_count), count) << "no audio, no completed timing entry";
    EXPECT_NE(shm_load(slot->start_ns), 0);

    // Active with ports but zero frames: the block counters move, meters and history do not.
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 512));
    test_audio a(512);
    fill_noise(a, 5, 1.0f);
    run_process(stage.plugin, &a, nullptr, nullptr);
    const float peak = shm_load(slot->output_peak);
    const uint32_t columns = shm_load(slot->history_counter);
    test_audio empty(0);
    run_process(stage.plugin, &empty, nullptr, nullptr);
    EXPECT_EQ(shm_load(slot->block_frames), 0u);
    EXPECT_EQ(shm_load(slot->max_block_frames), 512u);
    EXPECT_EQ(shm_load(slot->output_peak), peak);
    EXPECT_EQ(shm_load(slot->history_counter), columns);
}

TEST(ProcessDriver, DrainedEditsBecomeGestureFramedEventsAtTimeZero) {
    fake_host host;
    active_stage stage(host);
    slot_begin_gesture(stage.slot(), PARAM_GAIN);
    slot_set_value(stage.slot(), PARAM_GAIN, 4.5);
    slot_end_gesture(stage.slot(), PARAM_GAIN);
    test_audio a(64);
    test_output_events out;
    run_process(stage.plugin, &a, nullptr, &out);
    ASSERT_EQ(out.events.size(), 3u);
    EXPECT_EQ(out.events[0].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.events[0].size, 20u);
    EXPECT_EQ(out.events[1].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(out.events[1].value, 4.5);
    EXPECT_EQ(out.events[2].type, CLAP_EVENT_PARAM_GESTURE_END);
    for (const recorded_event& e : out.events) {
        EXPECT_EQ(e.param_id, 2u);
        EXPECT_EQ(e.time, 0u);
    }
    // A local owner's host hears of the edit at once through the registry's notification table.
    EXPECT_EQ(host.flushes, 3);
    EXPECT_EQ(host.dirty_marks, 1);
    EXPECT_EQ(host.callbacks, 0);
    // Flags raised by another process ask for a main-thread callback and stay for it.
    shm_fetch_or(stage.slot()->request_flags, SLOT_REQUEST_DIRTY);
    run_process(stage.plugin, &a, nullptr, &out);
    EXPECT_EQ(host.callbacks, 1);
    EXPECT_EQ(shm_load(stage.slot()->request_flags), SLOT_REQUEST_DIRTY);
    // Without an output list the edits are still consumed.
    slot_set_value(stage.slot(), PARAM_GAIN, 5.0);
    run_process(stage.plugin, &a, nullptr, nullptr);
    EXPECT_EQ(slot_edit_pending(stage.slot()), 0u);
}

TEST(ProcessDriver, PausesBecomeIdleColumns) {
    struct row {
        double pause_s;
        bool steady;
        uint32_t columns;
        bool wrapped = false; // a confused host's steady time jumps back from the top of its range
    };
    for (const row& r :
         {row{2.0, true, 1500}, row{2.0, false, 1500}, row{0.25, true, 0}, row{2.0, true, 1500, true}}) {
        fake_host host;
        active_stage stage(host);
        shm_slot* slot = stage.slot();
        test_audio a(480);
        const int64_t steady0 = r.wrapped ? INT64_MAX : r.steady ? 1000 : -1;
        run_process(stage.plugin, &a, nullptr, nullptr, steady0);
        const uint32_t before = shm_load(slot->history_counter);
        // Pretend the previous call began pause + its own audio ago.
        stage.instance()->prev_call_clock = clock_ns() - static_cast<int64_t>((r.pause_s + 0.01) * 1e9);
        const int64_t steady1 = r.wrapped  ? 0
                                : r.steady ? steady0 + 480 + static_cast<int64_t>(r.pause_s * 48000.0)
                                           : -1;
        run_process(stage.plugin, &a, nullptr, nullptr, steady1);
        const uint32_t pushed = shm_load(slot->history_counter) - before;
        if (r.columns == 0) {
            EXPECT_EQ(pushed, 8u) << "the block's own columns only (960 samples, 15 columns in all)";
            continue;
        }
        // The clock count may differ by a column or so; with steady times the host's count wins.
        if (r.steady && !r.wrapped)
            EXPECT_EQ(pushed, r.columns + 7u);
        else
            EXPECT_NEAR(static_cast<double>(pushed), r.columns + 7.0, 3.0);
        EXPECT_EQ(shm_load(slot->history_gap_start), static_cast<int32_t>(before));
        EXPECT_EQ(shm_load(slot->history[HISTORY_LEVEL][before & (HISTORY_SIZE - 1)]), -1.0f);
        EXPECT_EQ(shm_load(slot->history[HISTORY_SHORT_TERM][before & (HISTORY_SIZE - 1)]), -100.0f);
    }
}

TEST(ProcessDriver, TimingEntryAndMetersArePublished) {
    fake_host host;
    active_stage stage(host);
    shm_slot* slot = stage.slot();
    const uint32_t c = shm_load(slot->timing_count);
    test_audio a(256);
    fill_noise(a, 6, 0.25f);
    run_process(stage.plugin, &a, nullptr, nullptr, 4096);
    EXPECT_EQ(shm_load(slot->timing_count), c + 1);
    const uint32_t e = c & (TIMING_RING_SIZE - 1);
    EXPECT_LE(shm_load(slot->timing_start[e]), shm_load(slot->timing_end[e]));
    EXPECT_EQ(shm_load(slot->timing_steady[e]), 4096);
    EXPECT_EQ(shm_load(slot->steady), 4096);
    EXPECT_NE(shm_load(slot->block_sequence), 0u);
    EXPECT_EQ(shm_load(slot->min_gain), 1.0f);
    EXPECT_GT(shm_load(slot->input_peak), 0.2f);
    EXPECT_LE(shm_load(slot->input_peak), 0.25f);
    EXPECT_GT(shm_load(slot->output_true_peak), 0.0f);
}

TEST(ProcessDriver, DenormalInputGivesNoSubnormalOutputAndTheModeIsRestored) {
    fake_host host;
    active_stage stage(host);
    test_audio a(1024);
    for (int c = 0; c < 2; ++c)
        for (uint32_t t = 0; t < 1024; ++t)
            a.in[c][t] = (t & 1 ? -1.0f : 1.0f) * 1e-40f;
#if defined(__x86_64__) || defined(_M_X64)
    const uint32_t mxcsr = _mm_getcsr();
#endif
    for (int k = 0; k < 8; ++k)
        run_process(stage.plugin, &a, nullptr, nullptr);
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_EQ(_mm_getcsr(), mxcsr);
#endif
    for (int c = 0; c < 2; ++c)
        for (uint32_t t = 0; t < 1024; ++t)
            ASSERT_NE(std::fpclassify(a.result(c)[t]), FP_SUBNORMAL) << t;
}

TEST(ProcessDriver, HistoryColumnsFollowSubBlocks) {
    fake_host host;
    active_stage stage(host);
    shm_slot* slot = stage.slot();
    test_audio one(1), two_hundred(200);
    fill_noise(two_hundred, 7, 0.5f);
    run_process(stage.plugin, &one, nullptr, nullptr);
    EXPECT_EQ(shm_load(slot->history_counter), 0u);
    EXPECT_EQ(stage.instance()->col_samples, 1);
    stage.instance()->col_samples = 0;
    run_process(stage.plugin, &two_hundred, nullptr, nullptr);
    ASSERT_EQ(shm_load(slot->history_counter), 3u);
    EXPECT_EQ(stage.instance()->col_samples, 8);
    for (int ring = 0; ring < 4; ++ring) {
        EXPECT_EQ(shm_load(slot->history[ring][0]), shm_load(slot->history[ring][1]));
        EXPECT_EQ(shm_load(slot->history[ring][1]), shm_load(slot->history[ring][2]));
    }
    EXPECT_GT(shm_load(slot->history_time_ns), 0);
}

TEST(ProcessDriver, BypassNeverDithersAndMixZeroKeepsUnityGainColumns) {
    fake_host host;
    active_stage stage(host);
    stage.set(PARAM_BYPASS, 1.0);
    stage.set(PARAM_DITHER, 1.0); // 24 bit
    stage.set(PARAM_NOISE_SHAPING, 0.0);
    test_audio a(4800);
    fill_noise(a, 8, 0.1f);
    for (int k = 0; k < 20; ++k)
        run_process(stage.plugin, &a, nullptr, nullptr);
    // Fully faded into bypass: the delayed input comes out untouched, off the 24-bit grid.
    const uint32_t delay = 80;
    for (uint32_t t = delay; t < 4800; ++t)
        ASSERT_EQ(a.result(0)[t], a.in[0][t - delay]) << t;
    // Bypassed, the level column meets the true-peak column.
    const uint32_t last = (shm_load(stage.slot()->history_counter) - 1) & (HISTORY_SIZE - 1);
    EXPECT_NEAR(shm_load(stage.slot()->history[HISTORY_LEVEL][last]),
                shm_load(stage.slot()->history[HISTORY_TRUE_PEAK][last]), 1e-4);

    stage.set(PARAM_BYPASS, 0.0);
    stage.set(PARAM_MIX, 0.0);
    stage.set(PARAM_GAIN, 20.0);
    for (int k = 0; k < 20; ++k)
        run_process(stage.plugin, &a, nullptr, nullptr);
    bool off_grid = false;
    for (uint32_t t = 0; t < 4800; ++t) {
        const double scaled = static_cast<double>(a.result(0)[t]) * 8388608.0;
        off_grid |= std::fabs(scaled - std::round(scaled)) > 1e-3;
    }
    EXPECT_FALSE(off_grid) << "dither quantises to the 24-bit grid once bypass is off";
    const uint32_t newest = (shm_load(stage.slot()->history_counter) - 1) & (HISTORY_SIZE - 1);
    EXPECT_EQ(shm_load(stage.slot()->history[HISTORY_GAIN][newest]), 1.0f);
}

TEST(ProcessDriver, GarbageInTheSlotStaysHarmless) {
    // Any process of the user can write the segment: values the parameter table would never let in
    // must not reach the engine, the latency or the host.
    fake_host host;
    active_stage stage(host);
    test_audio a(512);
    fill_noise(a, 9, 1.0f);
    for (double garbage : {double(NAN), 1e300, -1e300, double(INFINITY), -double(INFINITY)}) {
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            stage.set(i, garbage);
        run_process(stage.plugin, &a, nullptr, nullptr);
        for (int c = 0; c < 2; ++c)
            for (uint32_t t = 0; t < 512; ++t)
                ASSERT_TRUE(std::isfinite(a.result(c)[t])) << garbage;
        const uint32_t latency = stage.ext<clap_plugin_latency>(CLAP_EXT_LATENCY)->get(stage.plugin);
        EXPECT_EQ(latency, 80u);
        const auto* params = stage.ext<clap_plugin_params>(CLAP_EXT_PARAMS);
        for (int32_t i = 0; i < PARAM_COUNT; ++i) {
            double v;
            ASSERT_TRUE(params->get_value(stage.plugin, param_table[i].id, &v));
            EXPECT_TRUE(v >= param_table[i].min && v <= param_table[i].max) << i << " " << garbage;
        }
    }
    stage.plugin->deactivate(stage.plugin);
    EXPECT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 512));
    EXPECT_GE(stage.instance()->limiter.lookahead, 2);
}

TEST(ProcessDriver, InPlaceAndOutOfPlaceAgreeAtAnyRateAndBlockSize) {
    fake_host host;
    for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
        for (uint32_t block : {1u, 17u, 64u, 512u, 4096u}) {
            active_stage in_place(host, rate, block), out_of_place(host, rate, block);
            in_place.set(PARAM_GAIN, 9.0);
            out_of_place.set(PARAM_GAIN, 9.0);
            const uint32_t total = 8192;
            uint32_t done = 0;
            for (uint32_t seed = 10; done < total; ++seed) {
                test_audio a(block, 2, 2, true), b(block, 2, 2, false);
                fill_noise(b, seed, 1.0f);
                a.in[0] = b.in[0];
                a.in[1] = b.in[1];
                run_process(in_place.plugin, &a, nullptr, nullptr);
                run_process(out_of_place.plugin, &b, nullptr, nullptr);
                for (int c = 0; c < 2; ++c)
                    for (uint32_t t = 0; t < block; ++t)
                        ASSERT_EQ(a.result(c)[t], b.result(c)[t]) << rate << " Hz, block " << block;
                done += block;
            }
            EXPECT_LT(shm_load(in_place.slot()->min_gain), 1.0f);
        }
    }
}

namespace {
// Writes one entry into a slot's edit ring the way a foreign process could, bypassing the edit calls.
void queue_raw(shm_slot* slot, uint32_t param_id, uint32_t kind, double value) {
    const uint32_t w = shm_load(slot->edit_write);
    slot_edit_event& e = slot->edit_ring[w & (EDIT_RING_SIZE - 1)];
    shm_store(e.param_id, param_id);
    shm_store(e.kind, kind);
    shm_store(e.value, value);
    shm_exchange(slot->edit_write, w + 1);
}
} // namespace

TEST(ProcessDriver, QueuedEntriesAreCheckedBeforeTheyReachTheHost) {
    fake_host host;
    active_stage stage(host);
    shm_slot* slot = stage.slot();
    queue_raw(slot, 999, EDIT_KIND_VALUE, 1.0); // no such parameter
    queue_raw(slot, 2, EDIT_KIND_VALUE, NAN);   // Gain: the default
    queue_raw(slot, 3, EDIT_KIND_VALUE, 1e300); // Ceiling: its maximum
    queue_raw(slot, 77, EDIT_KIND_BEGIN, 0.0);  // no such parameter
    queue_raw(slot, 15, EDIT_KIND_BEGIN, 0.0);  // Mix
    test_audio a(64);
    test_output_events out;
    run_process(stage.plugin, &a, nullptr, &out);
    ASSERT_EQ(out.events.size(), 7u);
    EXPECT_EQ(out.events[0].param_id, 2u);
    EXPECT_EQ(out.events[0].value, 0.0);
    EXPECT_EQ(out.events[1].param_id, 3u);
    EXPECT_EQ(out.events[1].value, 0.0);
    EXPECT_EQ(out.events[2].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.events[2].param_id, 15u);
    // The entries naming no parameter were lost events: the host is brought back to the slot, where
    // Ceiling never left its default, inside a gesture, and the gesture left open on Mix is closed.
    const double ceiling = stage.value(PARAM_CEILING);
    EXPECT_EQ(out.events[3].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.events[4].param_id, 3u);
    EXPECT_EQ(out.events[4].value, ceiling);
    EXPECT_EQ(out.events[5].type, CLAP_EVENT_PARAM_GESTURE_END);
    EXPECT_EQ(out.events[6].type, CLAP_EVENT_PARAM_GESTURE_END);
    EXPECT_EQ(out.events[6].param_id, 15u);

    // A writer that refills the ring as fast as it drains cannot keep one call draining.
    struct refilling {
        clap_output_events list;
        shm_slot* slot;
        uint32_t pushes;
    } r{};
    r.slot = slot;
    r.list.ctx = &r;
    r.list.try_push = [](const clap_output_events* l, const clap_event_header*) {
        auto* self = static_cast<refilling*>(l->ctx);
        if (++self->pushes < 100000) queue_raw(self->slot, 2, EDIT_KIND_VALUE, 1.0);
        return true;
    };
    queue_raw(slot, 2, EDIT_KIND_VALUE, 1.0);
    clap_process p{};
    p.steady_time = -1;
    p.out_events = &r.list;
    stage.plugin->process(stage.plugin, &p);
    EXPECT_LE(r.pushes, EDIT_RING_SIZE);
    EXPECT_GT(r.pushes, 0u);
}
