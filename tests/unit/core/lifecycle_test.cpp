// Guards the stage's lifecycle: defaults in a reused slot, activation that refuses twice, history
// kept across a re-activation at the same rate and reset at another, scratch sizing, reset counting,
// the main-thread callback turning slot flags and restart requests into host calls, and calls in the
// wrong order or from a host without extensions failing cleanly.
#include <cmath>

#include "core_test_support.h"
#include "registry.h"

TEST(Lifecycle, InitWritesTableDefaultsIntoTheSlot) {
    fake_host host;
    test_stage stage(host);
    plugin_instance* inst = stage.instance();
    ASSERT_NE(stage.slot(), nullptr);
    EXPECT_EQ(inst->timer_id, CLAP_INVALID_ID);
    EXPECT_EQ(shm_load(stage.slot()->instance_id), inst->instance_id);
    EXPECT_NE(inst->host_params, nullptr);
    EXPECT_EQ(inst->host_gui, nullptr);
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        EXPECT_EQ(stage.value(i), param_table[i].default_value) << i;
    EXPECT_EQ(inst->ui.loudness_target_index, 1u);
    EXPECT_EQ(inst->ui.custom_target_lufs, -16.0);
    EXPECT_EQ(inst->ui.controls_open, 1u);
    EXPECT_EQ(inst->ui.grid_open, 0u);
    EXPECT_EQ(inst->ui.zoom, 1.0);
}

TEST(Lifecycle, ActivatePublishesAndRefusesWhileActive) {
    fake_host host;
    test_stage stage(host);
    shm_slot* slot = stage.slot();
    const uint32_t activations = shm_load(slot->activation_count);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 32, 512));
    EXPECT_EQ(shm_load(slot->active), 1u);
    EXPECT_EQ(shm_load(slot->sample_rate), 48000.0);
    EXPECT_EQ(shm_load(slot->latency), 80u); // 1.5 ms = 72 samples + 8
    EXPECT_EQ(shm_load(slot->activation_count), activations + 1);
    EXPECT_EQ(stage.instance()->scratch_frames, 16384u);

    EXPECT_FALSE(stage.plugin->activate(stage.plugin, 96000.0, 32, 1024));
    EXPECT_EQ(stage.instance()->sample_rate, 48000.0);
    EXPECT_EQ(shm_load(slot->activation_count), activations + 1);

    stage.plugin->deactivate(stage.plugin);
    EXPECT_EQ(shm_load(slot->active), 0u);
    EXPECT_EQ(shm_load(slot->latency), 80u);
    stage.plugin->deactivate(stage.plugin); // harmless when inactive

    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 32, 32768));
    EXPECT_EQ(stage.instance()->scratch_frames, 32768u);
    stage.plugin->deactivate(stage.plugin);

    // Rates that are no positive number are refused without a trace.
    for (double rate : {0.0, -48000.0, double(NAN), double(INFINITY)}) {
        EXPECT_FALSE(stage.plugin->activate(stage.plugin, rate, 32, 512)) << rate;
        EXPECT_EQ(shm_load(slot->active), 0u);
    }
    EXPECT_EQ(shm_load(slot->activation_count), activations + 2);
}

TEST(Lifecycle, HistoryIsResetOnlyByANewRate) {
    fake_host host;
    test_stage stage(host);
    shm_slot* slot = stage.slot();
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 512));
    EXPECT_EQ(shm_load(slot->history_counter), 0u);
    EXPECT_EQ(shm_load(slot->history_gap_start), -1);
    test_audio audio(512);
    for (auto& s : audio.in[0])
        s = 0.5f;
    run_process(stage.plugin, &audio, nullptr, nullptr);
    ASSERT_EQ(shm_load(slot->history_counter), 8u);
    const float level = shm_load(slot->history[HISTORY_LEVEL][0]);
    EXPECT_GT(level, 0.0f);

    stage.plugin->deactivate(stage.plugin);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 512));
    EXPECT_EQ(shm_load(slot->history_counter), 8u);
    EXPECT_EQ(shm_load(slot->history[HISTORY_LEVEL][0]), level);

    stage.plugin->deactivate(stage.plugin);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 44100.0, 1, 512));
    EXPECT_EQ(shm_load(slot->history_counter), 0u);
    EXPECT_EQ(shm_load(slot->history_gap_start), -1);
    for (uint32_t e : {0u, 7u, HISTORY_SIZE - 1}) {
        EXPECT_EQ(shm_load(slot->history[HISTORY_GAIN][e]), 1.0f);
        EXPECT_EQ(shm_load(slot->history[HISTORY_LEVEL][e]), 0.0f);
        EXPECT_EQ(shm_load(slot->history[HISTORY_TRUE_PEAK][e]), 0.0f);
        EXPECT_EQ(shm_load(slot->history[HISTORY_SHORT_TERM][e]), -100.0f);
    }
    EXPECT_EQ(stage.instance()->prev_call_clock, 0);
}

TEST(Lifecycle, ResetCountsEvenWhileInactive) {
    fake_host host;
    test_stage stage(host);
    const uint32_t before = shm_load(stage.slot()->reset_count);
    stage.plugin->reset(stage.plugin);
    EXPECT_EQ(shm_load(stage.slot()->reset_count), before + 1);
    EXPECT_EQ(shm_load(stage.slot()->active), 0u);
    EXPECT_TRUE(stage.plugin->start_processing(stage.plugin));
    stage.plugin->stop_processing(stage.plugin);
}

TEST(Lifecycle, MainThreadCallbackTurnsFlagsIntoHostCalls) {
    struct row {
        uint32_t flags;
        bool offer_state, offer_params;
        int dirty, flushes;
    };
    for (const row& r : {row{SLOT_REQUEST_DIRTY | SLOT_REQUEST_FLUSH, true, true, 1, 1},
                         row{SLOT_REQUEST_DIRTY, false, true, 0, 0},
                         row{SLOT_REQUEST_FLUSH, true, false, 0, 0}, row{0, true, true, 0, 0}}) {
        fake_host host;
        host.offer_state = r.offer_state;
        host.offer_params = r.offer_params;
        test_stage stage(host);
        shm_exchange(stage.slot()->request_flags, r.flags);
        stage.plugin->on_main_thread(stage.plugin);
        EXPECT_EQ(host.dirty_marks, r.dirty) << r.flags;
        EXPECT_EQ(host.flushes, r.flushes) << r.flags;
        EXPECT_EQ(shm_load(stage.slot()->request_flags), 0u) << "flags are consumed";
        EXPECT_EQ(host.restarts, 0);
    }
}

TEST(Lifecycle, LookaheadChangeAsksForOneRestartUntilReactivated) {
    fake_host host;
    test_stage stage(host);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 256));
    test_audio audio(256);
    run_process(stage.plugin, &audio, nullptr, nullptr);
    EXPECT_EQ(host.callbacks, 0);

    test_input_events in;
    in.param(10, param_table[PARAM_LOOKAHEAD].id, 3.0);
    run_process(stage.plugin, &audio, &in, nullptr);
    // The event lands mid-block, after this call's latency check: the next call notices.
    run_process(stage.plugin, &audio, nullptr, nullptr);
    run_process(stage.plugin, &audio, nullptr, nullptr);
    EXPECT_EQ(host.callbacks, 1);
    EXPECT_EQ(stage.instance()->limiter.lookahead, 72);

    stage.plugin->on_main_thread(stage.plugin);
    stage.plugin->on_main_thread(stage.plugin);
    EXPECT_EQ(host.restarts, 2) << "the request repeats until the restart runs";

    stage.plugin->deactivate(stage.plugin);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 256));
    EXPECT_EQ(stage.instance()->limiter.lookahead, 144);
    EXPECT_EQ(shm_load(stage.slot()->latency), 152u);
    const auto* latency = stage.ext<clap_plugin_latency>(CLAP_EXT_LATENCY);
    EXPECT_EQ(latency->get(stage.plugin), 152u);
    stage.plugin->on_main_thread(stage.plugin);
    EXPECT_EQ(host.restarts, 2);
    run_process(stage.plugin, &audio, nullptr, nullptr);
    EXPECT_EQ(host.callbacks, 1);
}

TEST(Lifecycle, CallsInTheWrongOrderFailCleanly) {
    fake_host host;
    const clap_plugin_factory* f = test_factory();
    const clap_plugin* p = f->create_plugin(f, &host.host, "com.tovarin.lodrin");
    ASSERT_NE(p, nullptr);
    test_audio a(64);
    test_input_events in;
    in.param(0, 2 /*Gain*/, 6.0);

    // Before init there is no slot: refusals and no-ops.
    EXPECT_FALSE(p->activate(p, 48000.0, 1, 512));
    EXPECT_EQ(run_process(p, &a, &in, nullptr), CLAP_PROCESS_CONTINUE);
    p->reset(p);
    p->on_main_thread(p);
    p->deactivate(p);

    // A second init changes nothing: same slot, values kept, the instance listed once.
    ASSERT_TRUE(p->init(p));
    shm_slot* slot = instance_of(p)->slot;
    shm_exchange(slot->values[PARAM_MIX], 40.0);
    EXPECT_FALSE(p->init(p));
    EXPECT_EQ(instance_of(p)->slot, slot);
    EXPECT_EQ(slot_value(slot, PARAM_MIX), 40.0);

    // Process before activate applies events and leaves the host's buffers alone.
    a.out[0][0] = 0.75f;
    run_process(p, &a, &in, nullptr);
    EXPECT_EQ(slot_value(slot, PARAM_GAIN), 6.0);
    EXPECT_EQ(a.out[0][0], 0.75f);

    // Destroy while active releases the engine and the slot.
    ASSERT_TRUE(p->activate(p, 48000.0, 1, 512));
    run_process(p, &a, nullptr, nullptr);
    p->destroy(p);
    EXPECT_EQ(registry_instance_of_slot(slot), nullptr);
    if (shm_is_shared()) {
        EXPECT_EQ(shm_load(slot->in_use), 0u);
    }
}

TEST(Lifecycle, AHostWithoutExtensionsOrCallbacksIsServed) {
    fake_host host;
    host.host.get_extension = nullptr;
    host.host.request_callback = nullptr;
    host.host.request_restart = nullptr;
    test_stage stage(host);
    ASSERT_NE(stage.slot(), nullptr);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 256));
    stage.set(PARAM_LOOKAHEAD, 5.0);
    shm_fetch_or(stage.slot()->request_flags, SLOT_REQUEST_DIRTY | SLOT_REQUEST_FLUSH);
    test_audio a(256);
    run_process(stage.plugin, &a, nullptr, nullptr);
    EXPECT_EQ(stage.instance()->restart_requested, 1u);
    stage.plugin->on_main_thread(stage.plugin);
    EXPECT_EQ(shm_load(stage.slot()->request_flags), 0u);
}
