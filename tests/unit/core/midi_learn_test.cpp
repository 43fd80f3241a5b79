// Guards MIDI learn and CC mapping: learning moves a controller to one parameter without applying
// its value, and mapped values land on the parameter's range (switches split at 64, stepped rows
// round) with one host event each.
#include "core_test_support.h"

namespace {
void send_cc(const test_stage& stage, uint8_t status, uint8_t cc, uint8_t value, test_output_events* out) {
    clap_event_midi e{};
    e.header = {sizeof e, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
    e.data[0] = status;
    e.data[1] = cc;
    e.data[2] = value;
    handle_midi_cc_event(stage.instance(), &e, out ? &out->list : nullptr);
}
} // namespace

TEST(MidiLearn, MappedValuesFollowTheParameterRange) {
    struct row {
        int32_t index;
        uint8_t value;
        double expected;
    };
    fake_host host;
    test_stage stage(host);
    for (const row& r :
         {row{PARAM_MIX, 127, 100.0}, row{PARAM_MIX, 0, 0.0}, row{PARAM_MIX, 64, 64 * 100.0 / 127.0},
          row{PARAM_BYPASS, 63, 0.0}, row{PARAM_BYPASS, 64, 1.0}, row{PARAM_BYPASS, 127, 1.0},
          row{PARAM_STYLE, 64, 3.0}, row{PARAM_RELEASE, 127, 2000.0}, row{PARAM_LOOKAHEAD, 0, 0.1},
          row{PARAM_INPUT, 127, 24.0}}) {
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            shm_exchange(stage.slot()->midi_cc[i], -1);
        shm_exchange(stage.slot()->midi_cc[r.index], 7);
        test_output_events out;
        send_cc(stage, 0xB0, 7, r.value, &out);
        EXPECT_DOUBLE_EQ(stage.value(r.index), r.expected) << r.index << " " << int(r.value);
        ASSERT_EQ(out.events.size(), 1u);
        EXPECT_EQ(out.events[0].param_id, param_table[r.index].id);
        EXPECT_EQ(out.events[0].value, stage.value(r.index));
        EXPECT_EQ(out.events[0].time, 0u);
    }
}

TEST(MidiLearn, LearningRebindsWithoutApplyingTheValue) {
    fake_host host;
    test_stage stage(host);
    shm_slot* slot = stage.slot();
    shm_exchange(slot->midi_cc[PARAM_MIX], 7);
    shm_exchange(slot->midi_learn_param, static_cast<int32_t>(PARAM_GAIN));
    test_output_events out;
    send_cc(stage, 0xB5, 7, 127, &out);
    EXPECT_EQ(shm_load(slot->midi_cc[PARAM_GAIN]), 7);
    EXPECT_EQ(shm_load(slot->midi_cc[PARAM_MIX]), -1);
    EXPECT_EQ(shm_load(slot->midi_learn_param), -1);
    EXPECT_EQ(stage.value(PARAM_GAIN), 0.0);
    EXPECT_TRUE(out.events.empty());
    // Any channel maps the same; other messages never count, armed or not.
    send_cc(stage, 0xBF, 7, 127, &out);
    EXPECT_EQ(stage.value(PARAM_GAIN), 30.0);
    shm_exchange(slot->midi_learn_param, static_cast<int32_t>(PARAM_MIX));
    send_cc(stage, 0x90, 7, 127, &out); // note-on
    send_cc(stage, 0xE0, 7, 127, &out); // pitch bend
    EXPECT_EQ(shm_load(slot->midi_learn_param), static_cast<int32_t>(PARAM_MIX));
    EXPECT_EQ(shm_load(slot->midi_cc[PARAM_GAIN]), 7);
}

TEST(MidiLearn, TargetsOutsideTheTableAreNotArmed) {
    fake_host host;
    test_stage stage(host);
    shm_slot* slot = stage.slot();
    shm_exchange(slot->midi_cc[PARAM_MIX], 11);
    for (int32_t target : {17, 1000, -1, INT32_MIN}) {
        shm_exchange(slot->midi_learn_param, target);
        shm_exchange(slot->values[PARAM_MIX], 100.0);
        send_cc(stage, 0xB0, 11, 0, nullptr);
        EXPECT_EQ(stage.value(PARAM_MIX), 0.0) << target;
        EXPECT_EQ(shm_load(slot->midi_learn_param), target);
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            EXPECT_EQ(shm_load(slot->midi_cc[i]), i == PARAM_MIX ? 11 : -1);
    }
    // A controller given to several parameters (by a loaded state) sets each of them.
    shm_exchange(slot->midi_learn_param, -1);
    shm_exchange(slot->midi_cc[PARAM_GAIN], 11);
    test_output_events out;
    send_cc(stage, 0xB0, 11, 127, &out);
    EXPECT_EQ(stage.value(PARAM_GAIN), 30.0);
    EXPECT_EQ(stage.value(PARAM_MIX), 100.0);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[0].param_id, 2u);
    EXPECT_EQ(out.events[1].param_id, 15u);
}
