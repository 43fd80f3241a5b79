// Guards the private debug extension: meter and history readings by index and age (with their
// out-of-range answers), MIDI learn arming without an editor, the editor-side operations answering 0
// while no editor exists, and the chain count and place of a stage alone in its group.
#include "core_test_support.h"

namespace {
const lodrin_plugin_debug* debug_of(const test_stage& stage) {
    return stage.ext<lodrin_plugin_debug>(LODRIN_EXT_DEBUG);
}
} // namespace

TEST(DebugExtension, TableEndsWithANullEntry) {
    fake_host host;
    test_stage stage(host);
    const lodrin_plugin_debug* d = debug_of(stage);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->reserved, nullptr);
    static_assert(sizeof(lodrin_plugin_debug) == 10 * sizeof(void*));
}

TEST(DebugExtension, MetersAndHistory) {
    fake_host host;
    test_stage stage(host);
    const lodrin_plugin_debug* d = debug_of(stage);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 256));
    test_audio a(640);
    for (uint32_t t = 0; t < 640; ++t)
        a.in[0][t] = a.in[1][t] = (t % 2 ? 0.5f : -0.5f);
    clap_process_status st = run_process(stage.plugin, &a, nullptr, nullptr);
    EXPECT_EQ(st, CLAP_PROCESS_CONTINUE);
    shm_slot* slot = stage.slot();
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 0), shm_load(slot->min_gain));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 1), shm_load(slot->input_peak));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 2), shm_load(slot->detected_peak));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 3), shm_load(slot->output_peak));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 4), shm_load(slot->output_true_peak));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 5), shm_load(slot->momentary_lufs));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 6), shm_load(slot->short_term_lufs));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 7), shm_load(slot->integrated_lufs));
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 8), 1.0) << "one block above the promised 256";
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 9), 640.0);
    EXPECT_EQ(d->debug_get_meter(stage.plugin, 10), 0.0);
    EXPECT_EQ(d->debug_get_meter(stage.plugin, UINT32_MAX), 0.0);

    const uint32_t count = shm_load(slot->history_counter);
    ASSERT_EQ(count, 10u);
    shm_store(slot->history[HISTORY_SHORT_TERM][9], -23.0f);
    shm_store(slot->history[HISTORY_GAIN][0], 0.25f);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 3, 0), -23.0);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 7, 0), -23.0) << "other ring numbers read ring 3";
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, -1, 0), -23.0);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 0, 9), 0.25);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 0, 10), -1000.0);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 0, -1), -1000.0);
    shm_store(slot->history_counter, 100000u);
    EXPECT_EQ(d->debug_get_history_value(stage.plugin, 0, 8192), -1000.0);
    EXPECT_NE(d->debug_get_history_value(stage.plugin, 0, 8191), -1000.0);
}

TEST(DebugExtension, EditorSideOperationsAnswerZeroAndLearnArms) {
    fake_host host;
    test_stage stage(host);
    const lodrin_plugin_debug* d = debug_of(stage);
    uint8_t rgb[3] = {1, 2, 3};
    float rect[4] = {1, 2, 3, 4};
    unsigned char header[DEBUG_PROBE_HEADER_SIZE];
    unsigned char records[4 * DEBUG_PROBE_RECORD_SIZE];
    EXPECT_EQ(d->debug_get_probe_pixel(stage.plugin, rgb), 0u);
    EXPECT_EQ(d->debug_find_widget_rect(stage.plugin, 1, 0, rect), 0u);
    EXPECT_EQ(d->debug_request_screenshot(stage.plugin, "/tmp/x.ppm"), 0u);
    EXPECT_EQ(d->debug_read_draw_probes(stage.plugin, header, records, 4), 0);
    EXPECT_EQ(rgb[0], 1);
    EXPECT_EQ(rect[0], 1.0f);

    d->debug_arm_midi_learn(stage.plugin, PARAM_RELEASE);
    EXPECT_EQ(shm_load(stage.slot()->midi_learn_param), static_cast<int32_t>(PARAM_RELEASE));
    test_input_events in;
    in.midi(0, 0xB2, 21, 0);
    run_process(stage.plugin, nullptr, &in, nullptr);
    EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_RELEASE]), 21);
    d->debug_arm_midi_learn(stage.plugin, -1);
    EXPECT_EQ(shm_load(stage.slot()->midi_learn_param), -1);
}

TEST(DebugExtension, AStageAloneIsCountOnePositionOne) {
    fake_host host;
    test_stage stage(host);
    stage.set(PARAM_GROUP, 9.0); // a group no other test stage uses
    const lodrin_plugin_debug* d = debug_of(stage);
    ASSERT_TRUE(stage.plugin->activate(stage.plugin, 48000.0, 1, 256));
    test_audio a(256);
    run_process(stage.plugin, &a, nullptr, nullptr);
    EXPECT_EQ(d->debug_group_instance_count(stage.plugin), 1u);
    EXPECT_EQ(d->debug_group_position(stage.plugin), 1u);
    // A garbage Group value in the slot must not select anything outside 0..15.
    stage.set(PARAM_GROUP, 1e300);
    EXPECT_LE(d->debug_group_instance_count(stage.plugin), 64u);
}
