// Guards what the host reads about the stage's shape and parameters: port records, the latency
// active and inactive, parameter infos in table order, values from the shared slot, texts both
// ways, and the flush that applies host events and delivers queued edits.
#include <cmath>

#include "core_test_support.h"
#include "edit_queue.h"

TEST(Ports, AudioAndNotePortRecords) {
    fake_host host;
    test_stage stage(host);
    const auto* audio = stage.ext<clap_plugin_audio_ports>(CLAP_EXT_AUDIO_PORTS);
    EXPECT_EQ(audio->count(stage.plugin, true), 1u);
    EXPECT_EQ(audio->count(stage.plugin, false), 1u);
    clap_audio_port_info info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_FALSE(audio->get(stage.plugin, 1, false, &info));
    EXPECT_EQ(info.id, 0x5A5A5A5Au) << "untouched";
    for (bool is_input : {true, false}) {
        ASSERT_TRUE(audio->get(stage.plugin, 0, is_input, &info));
        EXPECT_EQ(info.id, 0u);
        EXPECT_STREQ(info.name, is_input ? "Input" : "Output");
        EXPECT_EQ(info.name[sizeof info.name - 1], 0);
        EXPECT_EQ(info.flags, CLAP_AUDIO_PORT_IS_MAIN);
        EXPECT_EQ(info.channel_count, 2u);
        EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
        EXPECT_EQ(info.in_place_pair, 0u);
    }
    const auto* notes = stage.ext<clap_plugin_note_ports>(CLAP_EXT_NOTE_PORTS);
    EXPECT_EQ(notes->count(stage.plugin, true), 1u);
    EXPECT_EQ(notes->count(stage.plugin, false), 0u);
    clap_note_port_info note;
    std::memset(&note, 0x5A, sizeof note);
    EXPECT_FALSE(notes->get(stage.plugin, 0, false, &note));
    EXPECT_FALSE(notes->get(stage.plugin, 1, true, &note));
    EXPECT_EQ(note.id, 0x5A5A5A5Au);
    ASSERT_TRUE(notes->get(stage.plugin, 0, true, &note));
    EXPECT_EQ(note.id, 0u);
    EXPECT_EQ(note.supported_dialects, CLAP_NOTE_DIALECT_MIDI);
    EXPECT_EQ(note.preferred_dialect, CLAP_NOTE_DIALECT_MIDI);
    EXPECT_STREQ(note.name, "MIDI (learn)");
}

TEST(Ports, LatencyActiveAndInactive) {
    struct row {
        double lookahead_ms, rate;
        uint32_t active, inactive;
    };
    for (const row& r : {row{1.5, 48000.0, 80, 80}, row{1.5, 96000.0, 152, 80}, row{0.1, 48000.0, 13, 13},
                         row{10.0, 44100.0, 449, 488}}) {
        fake_host host;
        test_stage stage(host);
        const auto* latency = stage.ext<clap_plugin_latency>(CLAP_EXT_LATENCY);
        stage.set(PARAM_LOOKAHEAD, r.lookahead_ms);
        EXPECT_EQ(latency->get(stage.plugin), r.inactive);
        ASSERT_TRUE(stage.plugin->activate(stage.plugin, r.rate, 1, 512));
        EXPECT_EQ(latency->get(stage.plugin), r.active) << r.lookahead_ms << " ms at " << r.rate;
        stage.plugin->deactivate(stage.plugin);
        EXPECT_EQ(latency->get(stage.plugin), r.inactive);
    }
}

TEST(Params, InfosInTableOrder) {
    fake_host host;
    test_stage stage(host);
    const auto* params = stage.ext<clap_plugin_params>(CLAP_EXT_PARAMS);
    ASSERT_EQ(params->count(stage.plugin), 17u);
    clap_param_info info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_FALSE(params->get_info(stage.plugin, 17, &info));
    EXPECT_EQ(info.id, 0x5A5A5A5Au);
    ASSERT_TRUE(params->get_info(stage.plugin, 4, &info));
    EXPECT_EQ(info.id, 100u);
    EXPECT_STREQ(info.name, "Stage");
    EXPECT_EQ(info.flags, CLAP_PARAM_IS_STEPPED);
    EXPECT_EQ(info.min_value, 0.0);
    EXPECT_EQ(info.max_value, 8.0);
    EXPECT_EQ(info.default_value, 0.0);
    EXPECT_STREQ(info.module, "");
    EXPECT_EQ(info.cookie, nullptr);
    const char* names[] = {"Input",         "Gain",      "Ceiling",          "Release",    "Stage", "Group",
                           "Stereo link",   "True peak", "Adaptive release", "Lookahead",  "Style", "Dither",
                           "Noise shaping", "Bypass",    "Delta listen",     "Unity gain", "Mix"};
    for (uint32_t i = 0; i < 17; ++i) {
        ASSERT_TRUE(params->get_info(stage.plugin, i, &info));
        EXPECT_STREQ(info.name, names[i]);
    }
    ASSERT_TRUE(params->get_info(stage.plugin, 13, &info));
    EXPECT_EQ(info.flags, CLAP_PARAM_IS_STEPPED | CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_BYPASS);
    ASSERT_TRUE(params->get_info(stage.plugin, 9, &info));
    EXPECT_EQ(info.flags & CLAP_PARAM_IS_AUTOMATABLE, 0u) << "Lookahead is not automatable";
}

TEST(Params, ValuesAndTexts) {
    fake_host host;
    test_stage stage(host);
    const auto* params = stage.ext<clap_plugin_params>(CLAP_EXT_PARAMS);
    double v = 12345.0;
    EXPECT_FALSE(params->get_value(stage.plugin, 16, &v));
    EXPECT_EQ(v, 12345.0);
    stage.set(PARAM_MIX, 42.0);
    ASSERT_TRUE(params->get_value(stage.plugin, 15, &v));
    EXPECT_EQ(v, 42.0);

    EXPECT_FALSE(params->text_to_value(stage.plugin, 3, "abc", &v));
    ASSERT_TRUE(params->text_to_value(stage.plugin, 3, "-1 dB", &v));
    EXPECT_EQ(v, -1.0);
    EXPECT_FALSE(params->text_to_value(stage.plugin, 16, "1", &v));

    char text[64];
    EXPECT_FALSE(params->value_to_text(stage.plugin, 16, 0.0, text, sizeof text));
    // Every parameter's text of its default reads back to the default.
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        const param_spec& row = param_table[i];
        ASSERT_TRUE(params->value_to_text(stage.plugin, row.id, row.default_value, text, sizeof text));
        double back = -999.0;
        ASSERT_TRUE(params->text_to_value(stage.plugin, row.id, text, &back))
            << row.name << " '" << text << "'";
        EXPECT_NEAR(back, row.default_value, 1e-9) << row.name << " '" << text << "'";
    }
    // Across each range the text is a fixed point: text -> value -> text gives the same text.
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        const param_spec& row = param_table[i];
        for (int k = 0; k <= 20; ++k) {
            const double value = row.min + (row.max - row.min) * k / 20.0;
            char first[64], second[64];
            ASSERT_TRUE(params->value_to_text(stage.plugin, row.id, value, first, sizeof first));
            double back = -999.0;
            ASSERT_TRUE(params->text_to_value(stage.plugin, row.id, first, &back))
                << row.name << " '" << first << "'";
            EXPECT_GE(back, row.min);
            EXPECT_LE(back, row.max);
            ASSERT_TRUE(params->value_to_text(stage.plugin, row.id, back, second, sizeof second));
            EXPECT_STREQ(first, second) << row.name << " " << value;
        }
    }
    char tiny[4];
    ASSERT_TRUE(params->value_to_text(stage.plugin, 4, 2000.0, tiny, sizeof tiny));
    EXPECT_LT(std::strlen(tiny), sizeof tiny);
}

TEST(Params, FlushAppliesEventsAndDeliversEdits) {
    fake_host host;
    test_stage stage(host);
    const auto* params = stage.ext<clap_plugin_params>(CLAP_EXT_PARAMS);
    slot_set_value(stage.slot(), PARAM_GAIN, 3.0);
    test_output_events out;
    params->flush(stage.plugin, nullptr, &out.list);
    ASSERT_EQ(out.events.size(), 1u);
    EXPECT_EQ(out.events[0].param_id, 2u);

    test_input_events in;
    in.param(0, 3, 250.0); // Ceiling clamps to 0
    in.param(0, 100, 2.6); // Stage rounds to 3
    in.param(0, 16, 1.0);  // no such id
    in.param(0, 1, NAN);   // NaN gives the default
    clap_event_param_value foreign{};
    foreign.header = {sizeof foreign, 0, 1, CLAP_EVENT_PARAM_VALUE, 0};
    foreign.param_id = 2;
    foreign.value = 29.0;
    in.add(foreign); // another event space is ignored
    in.midi(0, 0xB0, 1, 0);
    shm_exchange(stage.slot()->midi_learn_param, static_cast<int32_t>(PARAM_MIX));
    stage.set(PARAM_INPUT, 5.0);
    out.events.clear();
    params->flush(stage.plugin, &in.list, &out.list);
    EXPECT_EQ(stage.value(PARAM_CEILING), 0.0);
    EXPECT_EQ(stage.value(PARAM_STAGE), 3.0);
    EXPECT_EQ(stage.value(PARAM_INPUT), 0.0);
    EXPECT_EQ(stage.value(PARAM_GAIN), 3.0);
    EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_MIX]), 1);
    EXPECT_TRUE(out.events.empty()) << "applied values are not echoed";
    EXPECT_EQ(host.dirty_marks, 1) << "only the edit marked the state dirty";
}
