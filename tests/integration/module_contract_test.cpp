// Guards the contract a host relies on before any audio runs: the entry, factory and descriptor, the
// exact extension ids, the lifecycle rules, the port and latency reports, the parameter list with
// its texts, and the debug readings, all through the real module.
#include <cstring>

#include "integration.h"

using contract = module_test;

TEST_F(contract, factory_ids_are_exact) {
    const clap_plugin_entry* e = mod.entry;
    EXPECT_EQ(e->clap_version.major, 1u);
    EXPECT_EQ(e->clap_version.minor, 2u);
    EXPECT_EQ(e->clap_version.revision, 10u);
    struct {
        const char* id;
        bool offered;
    } cases[] = {{"clap.plugin-factory", true},
                 {"CLAP.PLUGIN-FACTORY", false},
                 {"clap.plugin-factory ", false},
                 {"clap.plugin-factor", false},
                 {"", false},
                 {"com.tovarin.lodrin", false},
                 {"clap.preset-discovery-factory/2", false}};
    for (auto& c : cases)
        EXPECT_EQ(e->get_factory(c.id) != nullptr, c.offered) << c.id;
    EXPECT_EQ(e->get_factory(CLAP_PLUGIN_FACTORY_ID), mod.factory);
}

TEST_F(contract, descriptor_fields) {
    const clap_plugin_factory* f = mod.factory;
    ASSERT_EQ(f->get_plugin_count(f), 1u);
    EXPECT_EQ(f->get_plugin_descriptor(f, 1), nullptr);
    EXPECT_EQ(f->get_plugin_descriptor(f, 0xFFFFFFFFu), nullptr);
    const clap_plugin_descriptor* d = f->get_plugin_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 2u);
    EXPECT_EQ(d->clap_version.revision, 10u);
    EXPECT_STREQ(d->id, "com.tovarin.lodrin");
    EXPECT_STREQ(d->name, "Lodrin");
    EXPECT_STREQ(d->vendor, "Tovarin");
    EXPECT_STREQ(d->version, "1.0.1");
    EXPECT_STREQ(d->description, "Multi-stage bus limiter: several instances, one user interface");
    ASSERT_NE(d->url, nullptr);
    EXPECT_EQ(std::strncmp(d->url, "https://", 8), 0) << d->url;
    ASSERT_NE(d->manual_url, nullptr);
    EXPECT_STREQ(d->manual_url, "");
    ASSERT_NE(d->support_url, nullptr);
    EXPECT_STREQ(d->support_url, "");
    const char* want[] = {"audio-effect", "limiter", "mastering", "stereo"};
    ASSERT_NE(d->features, nullptr);
    int n = 0;
    while (d->features[n])
        ++n;
    ASSERT_EQ(n, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(d->features[i], want[i]);
}

TEST_F(contract, create_refuses_wrong_ids_and_old_hosts) {
    host_stage* ok = make_stage();
    ASSERT_NE(ok, nullptr);
    const clap_plugin_factory* f = mod.factory;
    const char* wrong[] = {"com.tovarin.lodrin.debug/1",
                           "com.tovarin.lodri",
                           "com.tovarin.lodrinx",
                           "COM.TOVARIN.LODRIN",
                           "",
                           "lodrin"};
    for (const char* id : wrong)
        EXPECT_EQ(f->create_plugin(f, &ok->host, id), nullptr) << id;
    EXPECT_EQ(f->create_plugin(f, &ok->host, nullptr), nullptr);
    clap_host old = ok->host;
    old.clap_version = {0, 9, 0};
    EXPECT_EQ(f->create_plugin(f, &old, LODRIN_ID), nullptr);
}

TEST_F(contract, two_instances_are_distinct) {
    host_stage* a = make_stage();
    host_stage* b = make_stage();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->plugin, b->plugin);
    EXPECT_NE(a->plugin->plugin_data, b->plugin->plugin_data);
    EXPECT_EQ(a->plugin->desc, mod.factory->get_plugin_descriptor(mod.factory, 0));
    EXPECT_EQ(a->plugin->desc, b->plugin->desc);
    // A new stage starts from the table defaults.
    for (uint32_t i = 0; i < b->n_params; ++i) {
        double v = 0;
        ASSERT_TRUE(host_stage_get_value(b, i, &v));
        EXPECT_EQ(v, b->param[i].default_value) << b->param[i].name;
    }
}

TEST_F(contract, extension_ids_are_exact_and_case_sensitive) {
    host_stage* s = make_stage();
    ASSERT_NE(s, nullptr);
    const char* offered[] = {"clap.params", "clap.audio-ports", "clap.note-ports",
                             "clap.state",  "clap.latency",     "com.tovarin.lodrin.debug/1"};
    for (const char* id : offered)
        EXPECT_NE(s->plugin->get_extension(s->plugin, id), nullptr) << id;
    const char* refused[] = {"CLAP.PARAMS",        "clap.Params",
                             "clap.params ",       "clap.param",
                             "com.tovarin.lodrin", "",
                             "clap.state.v2",      "com.tovarin.lodrin.debug/2",
                             "clap.thread-check",  "clap.tail"};
    for (const char* id : refused)
        EXPECT_EQ(s->plugin->get_extension(s->plugin, id), nullptr) << id;
    // The gui and its timer table come together.
    EXPECT_EQ(s->plugin->get_extension(s->plugin, "clap.gui") != nullptr,
              s->plugin->get_extension(s->plugin, "clap.timer-support") != nullptr);
}

TEST_F(contract, activate_twice_is_refused) {
    host_stage* s = make_active_stage(48000, 512);
    ASSERT_NE(s, nullptr);
    uint32_t latency = host_stage_read_latency(s);
    EXPECT_FALSE(s->plugin->activate(s->plugin, 96000, 1, 1024));
    EXPECT_EQ(host_stage_read_latency(s), latency);
    // Deactivate twice and destroy while inactive are harmless.
    host_stage_deactivate(s);
    s->plugin->deactivate(s->plugin);
    EXPECT_TRUE(host_stage_activate(s, 96000, 1, 1024));
}

TEST_F(contract, ports) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->audio_ports && s->note_ports);
    const clap_plugin* p = s->plugin;
    for (bool input : {true, false}) {
        EXPECT_EQ(s->audio_ports->count(p, input), 1u);
        clap_audio_port_info info;
        std::memset(&info, 0xAB, sizeof(info));
        EXPECT_FALSE(s->audio_ports->get(p, 1, input, &info));
        unsigned char untouched[sizeof(info)];
        std::memset(untouched, 0xAB, sizeof(untouched));
        EXPECT_EQ(std::memcmp(&info, untouched, sizeof(info)), 0) << "get(1) touched the record";
        ASSERT_TRUE(s->audio_ports->get(p, 0, input, &info));
        EXPECT_EQ(info.id, 0u);
        EXPECT_STREQ(info.name, input ? "Input" : "Output");
        EXPECT_EQ(info.flags, CLAP_AUDIO_PORT_IS_MAIN);
        EXPECT_EQ(info.channel_count, 2u);
        ASSERT_NE(info.port_type, nullptr);
        EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
        EXPECT_EQ(info.in_place_pair, 0u);
    }
    EXPECT_EQ(s->note_ports->count(p, true), 1u);
    EXPECT_EQ(s->note_ports->count(p, false), 0u);
    clap_note_port_info n;
    EXPECT_FALSE(s->note_ports->get(p, 0, false, &n));
    EXPECT_FALSE(s->note_ports->get(p, 1, true, &n));
    ASSERT_TRUE(s->note_ports->get(p, 0, true, &n));
    EXPECT_EQ(n.id, 0u);
    EXPECT_EQ(n.supported_dialects, CLAP_NOTE_DIALECT_MIDI);
    EXPECT_EQ(n.preferred_dialect, CLAP_NOTE_DIALECT_MIDI);
    EXPECT_STREQ(n.name, "MIDI (learn)");
}

TEST_F(contract, latency_active_and_inactive) {
    struct {
        double lookahead_ms;
        double rate;
        bool active;
        uint32_t latency;
    } cases[] = {
        {1.5, 48000, true, 80},  {1.5, 48000, false, 80}, {1.5, 96000, true, 152},
        {1.5, 96000, false, 80}, {0.1, 48000, false, 13}, {10, 44100, true, 449},
    };
    for (auto& c : cases) {
        host_stage* s = make_stage();
        ASSERT_NE(s, nullptr);
        set_by_flush(s, "Lookahead", c.lookahead_ms);
        if (c.active) {
            ASSERT_TRUE(host_stage_activate(s, c.rate, 1, 512));
        } else {
            ASSERT_TRUE(host_stage_activate(s, c.rate, 1, 512));
            host_stage_deactivate(s);
        }
        EXPECT_EQ(host_stage_read_latency(s), c.latency)
            << c.lookahead_ms << " ms at " << c.rate << (c.active ? " active" : " inactive");
    }
}

TEST_F(contract, param_list) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->params);
    const char* names[] = {"Input",         "Gain",      "Ceiling",          "Release",    "Stage", "Group",
                           "Stereo link",   "True peak", "Adaptive release", "Lookahead",  "Style", "Dither",
                           "Noise shaping", "Bypass",    "Delta listen",     "Unity gain", "Mix"};
    const uint32_t ids[] = {1, 2, 3, 4, 100, 101, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_EQ(s->params->count(s->plugin), 17u);
    for (uint32_t i = 0; i < 17; ++i) {
        EXPECT_STREQ(s->param[i].name, names[i]);
        EXPECT_EQ(s->param[i].id, ids[i]) << names[i];
        EXPECT_STREQ(s->param[i].module, "");
        EXPECT_EQ(s->param[i].cookie, nullptr);
    }
    clap_param_info info;
    std::memset(&info, 0x5A, sizeof(info));
    EXPECT_FALSE(s->params->get_info(s->plugin, 17, &info));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&info)[0], 0x5A);
    ASSERT_TRUE(s->params->get_info(s->plugin, 4, &info));
    EXPECT_EQ(info.id, 100u);
    EXPECT_STREQ(info.name, "Stage");
    EXPECT_EQ(info.flags, CLAP_PARAM_IS_STEPPED);
    EXPECT_EQ(info.min_value, 0.0);
    EXPECT_EQ(info.max_value, 8.0);
    EXPECT_EQ(info.default_value, 0.0);
    EXPECT_EQ(s->param[13].flags, CLAP_PARAM_IS_STEPPED | CLAP_PARAM_IS_BYPASS | CLAP_PARAM_IS_AUTOMATABLE);
    EXPECT_EQ(s->param[9].flags, 0u) << "Lookahead must not be automatable";
    double v = 0;
    EXPECT_FALSE(s->params->get_value(s->plugin, 16, &v));
    EXPECT_FALSE(s->params->get_value(s->plugin, 0, &v));
    ASSERT_TRUE(s->params->get_value(s->plugin, 15, &v));
    EXPECT_EQ(v, 100.0);
}

TEST_F(contract, texts_both_ways) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->params);
    struct {
        uint32_t id;
        double value;
        const char* text;
    } to_text[] = {{3, -0.3, "-0.3 dB"}, {4, 99.5, "100 ms"}, {5, 100, "100 %"}, {8, 1.5, "1.5 ms"},
                   {100, 0, "Auto"},     {100, 0.49, "Auto"}, {100, 3, "3"},     {101, 15, "P"},
                   {10, 1, "24 bit"},    {9, 9, "Safe"},      {9, 2, "Punchy"},  {12, 1, "On"},
                   {12, 0, "Off"},       {11, 2, "Weighted"}, {2, 12, "12.0 dB"}};
    for (auto& c : to_text) {
        char buf[64];
        ASSERT_TRUE(s->params->value_to_text(s->plugin, c.id, c.value, buf, sizeof(buf))) << c.id;
        EXPECT_STREQ(buf, c.text) << "id " << c.id << " value " << c.value;
    }
    struct {
        uint32_t id;
        const char* text;
        bool ok;
        double value;
    } to_value[] = {
        {3, "-1 dB", true, -1}, {3, "abc", false, 0}, {3, "-99", true, -12},   {100, "  a", true, 0},
        {101, "b", true, 1},    {101, "q", false, 0}, {12, "off", true, 0},    {12, "ON", true, 1},
        {9, "p", true, 2},      {9, "ag", true, 3},   {10, "16 bit", true, 2}, {11, "weigh", true, 2},
        {4, "nan", true, 100},  {3, "", false, 0},    {3, "   ", false, 0},    {100, "2.6", true, 3}};
    for (auto& c : to_value) {
        double v = -777;
        EXPECT_EQ(s->params->text_to_value(s->plugin, c.id, c.text, &v), c.ok)
            << "id " << c.id << " '" << c.text << "'";
        if (c.ok) {
            EXPECT_EQ(v, c.value) << "id " << c.id << " '" << c.text << "'";
        } else {
            EXPECT_EQ(v, -777) << "a refused text must leave the value alone";
        }
    }
    double v = 0;
    char buf[8];
    EXPECT_FALSE(s->params->value_to_text(s->plugin, 16, 1.0, buf, sizeof(buf)));
    EXPECT_FALSE(s->params->text_to_value(s->plugin, 16, "1", &v));
    // A short buffer gets a terminated, cut text.
    char tiny[4];
    std::memset(tiny, 'x', sizeof(tiny));
    ASSERT_TRUE(s->params->value_to_text(s->plugin, 3, -0.3, tiny, sizeof(tiny)));
    EXPECT_NE(std::memchr(tiny, 0, sizeof(tiny)), nullptr);
}

// Every value shown can be typed back: the text of the value read back from a text is that text.
TEST_F(contract, value_text_round_trips) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->params);
    for (uint32_t i = 0; i < s->n_params; ++i) {
        const clap_param_info& p = s->param[i];
        for (int k = 0; k <= 16; ++k) {
            double v = p.min_value + (p.max_value - p.min_value) * k / 16.0;
            char t1[128], t2[128];
            ASSERT_TRUE(s->params->value_to_text(s->plugin, p.id, v, t1, sizeof(t1)));
            double back = 0;
            ASSERT_TRUE(s->params->text_to_value(s->plugin, p.id, t1, &back)) << p.name << " '" << t1 << "'";
            EXPECT_GE(back, p.min_value);
            EXPECT_LE(back, p.max_value);
            ASSERT_TRUE(s->params->value_to_text(s->plugin, p.id, back, t2, sizeof(t2)));
            EXPECT_STREQ(t1, t2) << p.name << " value " << v;
        }
    }
}

TEST_F(contract, flush_clamps_and_rounds) {
    host_stage* s = make_stage();
    ASSERT_NE(s, nullptr);
    struct {
        const char* name;
        double sent, stored;
    } cases[] = {
        {"Ceiling", 250, 0}, {"Stage", 2.6, 3}, {"Release", -5, 5}, {"Mix", 50.5, 50.5}, {"Group", 15.4, 15}};
    for (auto& c : cases) {
        set_by_flush(s, c.name, c.sent);
        EXPECT_EQ(value_of(s, c.name), c.stored) << c.name;
    }
    // A flush answers no event for values it applied.
    EXPECT_TRUE(take_records(s).empty());
}

TEST_F(contract, debug_readings_alone) {
    host_stage* s = make_active_stage();
    ASSERT_TRUE(s && s->debug);
    const lodrin_plugin_debug* d = s->debug;
    std::vector<float> l(512), r(512);
    float* io[2] = {l.data(), r.data()};
    test_signal(l.data(), r.data(), 512, 0, 48000, 0.5);
    process(s, io, 2, io, 2, 512);
    EXPECT_EQ(d->debug_group_instance_count(s->plugin), 1u);
    EXPECT_EQ(d->debug_group_position(s->plugin), 1u);
    EXPECT_EQ(d->debug_get_meter(s->plugin, 10), 0.0);
    EXPECT_EQ(d->debug_get_meter(s->plugin, 8), 0.0);
    EXPECT_EQ(d->debug_get_meter(s->plugin, 9), 512.0);
    EXPECT_GT(d->debug_get_meter(s->plugin, DEBUG_METER_INPUT_PEAK), 0.3);
    // 512 samples are eight history columns.
    EXPECT_NE(d->debug_get_history_value(s->plugin, 0, 0), DEBUG_HISTORY_NONE);
    EXPECT_NE(d->debug_get_history_value(s->plugin, 0, 7), DEBUG_HISTORY_NONE);
    EXPECT_EQ(d->debug_get_history_value(s->plugin, 0, 8), DEBUG_HISTORY_NONE);
    EXPECT_EQ(d->debug_get_history_value(s->plugin, 0, 8192), DEBUG_HISTORY_NONE);
    EXPECT_EQ(d->debug_get_history_value(s->plugin, 7, 0), d->debug_get_history_value(s->plugin, 3, 0));
    // A block longer than the promised maximum is processed and counted.
    std::vector<float> bl(1024), br(1024);
    float* big[2] = {bl.data(), br.data()};
    process(s, big, 2, big, 2, 1024);
    EXPECT_EQ(d->debug_get_meter(s->plugin, 8), 1.0);
    EXPECT_EQ(d->debug_get_meter(s->plugin, 9), 1024.0);
    // Editor-side operations answer 0 without an editor.
    uint8_t rgb[3];
    float rect[4];
    EXPECT_EQ(d->debug_get_probe_pixel(s->plugin, rgb), 0u);
    EXPECT_EQ(d->debug_find_widget_rect(s->plugin, 1, 0, rect), 0u);
    EXPECT_EQ(d->debug_request_screenshot(s->plugin, "/tmp/never.ppm"), 0u);
    EXPECT_EQ(d->debug_read_draw_probes(s->plugin, nullptr, nullptr, 4), 0);
}

TEST_F(contract, history_reset_only_on_a_new_rate) {
    host_stage* s = make_active_stage(48000, 512);
    ASSERT_TRUE(s && s->debug);
    std::vector<float> l(512), r(512);
    float* io[2] = {l.data(), r.data()};
    test_signal(l.data(), r.data(), 512, 0, 48000, 0.5);
    process(s, io, 2, io, 2, 512);
    double newest = s->debug->debug_get_history_value(s->plugin, 2, 0);
    ASSERT_NE(newest, DEBUG_HISTORY_NONE);
    stop_processing(s);
    host_stage_deactivate(s);
    ASSERT_TRUE(host_stage_activate(s, 48000, 1, 512));
    EXPECT_EQ(s->debug->debug_get_history_value(s->plugin, 2, 0), newest) << "same rate keeps the history";
    host_stage_deactivate(s);
    ASSERT_TRUE(host_stage_activate(s, 44100, 1, 512));
    EXPECT_EQ(s->debug->debug_get_history_value(s->plugin, 2, 0), DEBUG_HISTORY_NONE) << "new rate resets it";
}
