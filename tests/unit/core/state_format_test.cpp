// Guards the saved state: its exact byte layout, byte-exact reloads through streams that move a few
// bytes per call, every load failure and fallback, and that no stream, however damaged, crashes the
// reader or leaves a value, binding or editor setting out of range.
#include <cmath>
#include <random>

#include "core_test_support.h"

namespace {

std::vector<uint8_t> save(const test_stage& stage, size_t chunk = SIZE_MAX) {
    test_ostream out;
    out.chunk = chunk;
    EXPECT_TRUE(stage.ext<clap_plugin_state>(CLAP_EXT_STATE)->save(stage.plugin, &out.stream));
    return out.bytes;
}

bool load(const test_stage& stage, std::vector<uint8_t> bytes, size_t chunk = SIZE_MAX) {
    test_istream in(std::move(bytes), chunk);
    return stage.ext<clap_plugin_state>(CLAP_EXT_STATE)->load(stage.plugin, &in.stream);
}

// The first chunk of a hand-made stream.
std::vector<uint8_t> slm1(uint64_t id, const std::vector<std::pair<uint32_t, double>>& entries,
                          uint32_t version = 1) {
    std::vector<uint8_t> b(0);
    b.reserve(2048);
    put_bytes(b, "SLM1");
    put_u32(b, version);
    put_u64(b, id);
    put_u32(b, static_cast<uint32_t>(entries.size()));
    for (const auto& [pid, v] : entries) {
        put_u32(b, pid);
        put_f64(b, v);
    }
    return b;
}

void put_ui(std::vector<uint8_t>& b, uint32_t controls, uint32_t grid, uint32_t readout, uint32_t spread,
            uint32_t target, double zoom, double custom) {
    put_bytes(b, "UI01");
    for (uint32_t v : {controls, grid, readout, spread, target})
        put_u32(b, v);
    put_f64(b, zoom);
    put_f64(b, custom);
}

void expect_everything_in_range(const test_stage& stage) {
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        const double v = stage.value(i);
        ASSERT_FALSE(std::isnan(v)) << i;
        ASSERT_GE(v, param_table[i].min) << i;
        ASSERT_LE(v, param_table[i].max) << i;
        if (param_table[i].flags & PARAM_IS_STEPPED) {
            ASSERT_EQ(v, std::floor(v)) << i;
        }
        const int32_t cc = shm_load(stage.slot()->midi_cc[i]);
        ASSERT_TRUE(cc >= -1 && cc <= 127) << i;
    }
    const ui_settings& ui = stage.instance()->ui;
    ASSERT_LE(ui.controls_open, 1u);
    ASSERT_LE(ui.grid_open, 1u);
    ASSERT_LT(ui.readout_mode, 3u);
    ASSERT_LT(ui.spread, 3u);
    ASSERT_LT(ui.loudness_target_index, 5u);
    ASSERT_TRUE(ui.zoom >= 0.6 && ui.zoom <= 2.5);
    ASSERT_TRUE(ui.custom_target_lufs >= -40.0 && ui.custom_target_lufs <= 0.0);
}

} // namespace

TEST(StateFormat, SavedBytesFollowTheLayout) {
    fake_host host;
    test_stage stage(host);
    stage.set(PARAM_GAIN, 7.5);
    shm_exchange(stage.slot()->midi_cc[PARAM_MIX], 7);
    shm_exchange(stage.slot()->midi_cc[PARAM_GAIN], 11);
    stage.instance()->ui.zoom = 1.25;
    stage.instance()->ui.spread = 2;
    const std::vector<uint8_t> b = save(stage);
    ASSERT_EQ(b.size(), 272u + 8u * 2);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "SLM1");
    EXPECT_EQ(get_u32(b, 4), 1u);
    uint64_t id = 0;
    for (int i = 7; i >= 0; --i)
        id = id << 8 | b[8 + i];
    EXPECT_EQ(id, stage.instance()->instance_id);
    EXPECT_EQ(get_u32(b, 16), 17u);
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        EXPECT_EQ(get_u32(b, 20 + 12 * i), param_table[i].id);
        double v;
        std::memcpy(&v, &b[24 + 12 * i], 8); // little-endian host
        EXPECT_EQ(v, stage.value(i));
    }
    EXPECT_EQ(std::string(b.begin() + 224, b.begin() + 228), "MIDI");
    EXPECT_EQ(get_u32(b, 228), 2u);
    // Table order: Gain (id 2) before Mix (id 15).
    EXPECT_EQ(get_u32(b, 232), 2u);
    EXPECT_EQ(get_u32(b, 236), 11u);
    EXPECT_EQ(get_u32(b, 240), 15u);
    EXPECT_EQ(get_u32(b, 244), 7u);
    EXPECT_EQ(std::string(b.begin() + 248, b.begin() + 252), "UI01");
    const uint32_t ui[5] = {1, 0, 0, 2, 1};
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(get_u32(b, 252 + 4 * k), ui[k]) << k;
    double zoom, custom;
    std::memcpy(&zoom, &b[272], 8);
    std::memcpy(&custom, &b[280], 8);
    EXPECT_EQ(zoom, 1.25);
    EXPECT_EQ(custom, -16.0);

    // Bindings no MIDI controller has, written into the shared slot by something else, are not saved.
    shm_exchange(stage.slot()->midi_cc[PARAM_STYLE], 500);
    shm_exchange(stage.slot()->midi_cc[PARAM_DITHER], INT32_MAX);
    const std::vector<uint8_t> again = save(stage);
    EXPECT_EQ(again, b);
}

TEST(StateFormat, ReloadIsByteExactThroughTrickleStreams) {
    fake_host host;
    std::vector<uint8_t> saved;
    uint64_t a_id = 0;
    {
        test_stage a(host);
        a.set(PARAM_CEILING, -1.7);
        a.set(PARAM_STYLE, 4.0);
        a.set(PARAM_GROUP, 3.0);
        shm_exchange(a.slot()->midi_cc[PARAM_BYPASS], 64);
        a.instance()->ui.readout_mode = 2;
        a.instance()->ui.custom_target_lufs = -23.5;
        saved = save(a, 3);
        EXPECT_EQ(saved, save(a));
        a_id = a.instance()->instance_id;
    }
    test_stage b(host);
    for (size_t chunk : {1u, 2u, 5u, 4096u}) {
        host.rescans.clear();
        ASSERT_TRUE(load(b, saved, chunk)) << chunk;
        EXPECT_EQ(save(b, chunk), saved) << chunk;
        ASSERT_EQ(host.rescans.size(), 1u);
        EXPECT_EQ(host.rescans[0], CLAP_PARAM_RESCAN_VALUES);
    }
    // Identities travel with the state, even within one process.
    EXPECT_EQ(b.instance()->instance_id, a_id);
    EXPECT_EQ(shm_load(b.slot()->instance_id), a_id);
}

// A state whose identity another live stage carries (a copied track, one preset loaded into several
// stages) gives its values, never its identity: two stages of one id would be one member to the
// chain order.
TEST(StateFormat, ALiveStagesIdentityIsNeverTakenTwice) {
    fake_host host;
    test_stage a(host), b(host);
    a.set(PARAM_GAIN, 7.0);
    const uint64_t b_id = b.instance()->instance_id;
    ASSERT_TRUE(load(b, save(a)));
    EXPECT_EQ(b.value(PARAM_GAIN), 7.0);
    EXPECT_EQ(b.instance()->instance_id, b_id);
    EXPECT_EQ(shm_load(b.slot()->instance_id), b_id);
    EXPECT_NE(b_id, a.instance()->instance_id);
    // Its own identity, or one no live stage has, is taken as saved.
    ASSERT_TRUE(load(b, slm1(77, {})));
    EXPECT_EQ(b.instance()->instance_id, 77u);
    ASSERT_TRUE(load(a, slm1(77, {})));
    EXPECT_NE(a.instance()->instance_id, 77u);
}

TEST(StateFormat, SaveStopsAtAFailingStream) {
    fake_host host;
    test_stage stage(host);
    for (int64_t accepted : {0, 1, 5, 40}) {
        test_ostream out;
        out.fail_after = accepted;
        EXPECT_FALSE(stage.ext<clap_plugin_state>(CLAP_EXT_STATE)->save(stage.plugin, &out.stream))
            << accepted;
    }
}

TEST(StateFormat, LoadFailuresAndFallbacks) {
    fake_host host;
    test_stage stage(host);
    auto reset = [&] {
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            stage.set(i, param_table[i].default_value);
        shm_exchange(stage.slot()->midi_cc[PARAM_MIX], 7);
        stage.instance()->ui.zoom = 2.0;
        host.rescans.clear();
    };

    // First-chunk failures: false, no rescan, bindings kept.
    struct bad {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> n_too_big = slm1(5, {});
    n_too_big[16] = 0x01;
    n_too_big[17] = 0x04; // N = 1025
    std::vector<uint8_t> wrong_tag = slm1(5, {{2, 9.0}});
    wrong_tag[3] = '2';
    std::vector<uint8_t> truncated = slm1(5, {{2, 9.0}, {15, 50.0}});
    truncated.resize(truncated.size() - 3);
    for (const bad& c : {bad{"empty", {}}, bad{"tag only", {'S', 'L', 'M', '1'}}, bad{"wrong tag", wrong_tag},
                         bad{"version 2", slm1(5, {{2, 9.0}}, 2)}, bad{"N > 1024", n_too_big},
                         bad{"short entry", truncated}}) {
        reset();
        EXPECT_FALSE(load(stage, c.bytes)) << c.what;
        EXPECT_TRUE(host.rescans.empty()) << c.what;
        EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_MIX]), 7) << c.what;
        EXPECT_EQ(stage.value(PARAM_GAIN), 0.0) << c.what;
        EXPECT_EQ(stage.instance()->ui.zoom, 2.0) << c.what;
    }
    // Nothing of a refused state reaches the stage, its identity neither.
    const uint64_t own = stage.instance()->instance_id;
    EXPECT_NE(own, 5u);

    // N = 0: success, nothing changes, every binding cleared, identity kept for id 0.
    reset();
    ASSERT_TRUE(load(stage, slm1(0, {})));
    EXPECT_EQ(stage.instance()->instance_id, own);
    EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_MIX]), -1);
    EXPECT_EQ(host.rescans.size(), 1u);
    EXPECT_EQ(stage.instance()->ui.zoom, 2.0);

    // Unknown ids skipped, values clamped, NaN the default.
    reset();
    ASSERT_TRUE(
        load(stage, slm1(0, {{16, 1.0}, {3, 250.0}, {9, 7.0}, {100, 2.6}, {1, NAN}, {2, -INFINITY}})));
    EXPECT_EQ(stage.value(PARAM_CEILING), 0.0);
    EXPECT_EQ(stage.value(PARAM_STYLE), 5.0);
    EXPECT_EQ(stage.value(PARAM_STAGE), 3.0);
    EXPECT_EQ(stage.value(PARAM_INPUT), 0.0);
    EXPECT_EQ(stage.value(PARAM_GAIN), 0.0);

    // MIDI entries: known ids with CC 0..127 bind; the rest is dropped. M > 17 skips the UI chunk.
    reset();
    std::vector<uint8_t> midi = slm1(0, {});
    put_bytes(midi, "MIDI");
    put_u32(midi, 4);
    for (auto [pid, cc] : {std::pair<uint32_t, uint32_t>{2, 11}, {16, 5}, {15, 128}, {4, 0xFFFFFFFFu}}) {
        put_u32(midi, pid);
        put_u32(midi, cc);
    }
    put_ui(midi, 0, 1, 3, 1, 7, 3.0, 5.0);
    ASSERT_TRUE(load(stage, midi));
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        EXPECT_EQ(shm_load(stage.slot()->midi_cc[i]), i == PARAM_GAIN ? 11 : -1);
    const ui_settings& ui = stage.instance()->ui;
    EXPECT_EQ(ui.controls_open, 0u);
    EXPECT_EQ(ui.grid_open, 1u);
    EXPECT_EQ(ui.readout_mode, 0u);
    EXPECT_EQ(ui.spread, 1u);
    EXPECT_EQ(ui.loudness_target_index, 1u);
    EXPECT_EQ(ui.zoom, 1.0);
    EXPECT_EQ(ui.custom_target_lufs, -16.0);

    struct tail {
        const char* what;
        std::vector<uint8_t> bytes;
        double zoom_after;
    };
    std::vector<uint8_t> m_too_big = slm1(0, {});
    put_bytes(m_too_big, "MIDI");
    put_u32(m_too_big, 18);
    put_ui(m_too_big, 1, 0, 0, 0, 1, 1.5, -16.0);
    std::vector<uint8_t> no_midi = slm1(0, {});
    put_ui(no_midi, 1, 0, 0, 0, 1, 1.5, -16.0);
    std::vector<uint8_t> short_ui = slm1(0, {});
    put_bytes(short_ui, "MIDI");
    put_u32(short_ui, 0);
    put_ui(short_ui, 1, 0, 0, 0, 1, 1.5, -16.0);
    short_ui.pop_back();
    std::vector<uint8_t> short_midi = slm1(0, {});
    put_bytes(short_midi, "MIDI");
    put_u32(short_midi, 2);
    put_u32(short_midi, 15);
    put_u32(short_midi, 7); // the second entry is missing: the UI chunk follows directly
    put_ui(short_midi, 1, 0, 0, 0, 1, 1.5, -16.0);
    std::vector<uint8_t> nan_zoom = slm1(0, {});
    put_bytes(nan_zoom, "MIDI");
    put_u32(nan_zoom, 0);
    put_ui(nan_zoom, 1, 0, 0, 0, 1, NAN, -16.0);
    for (const tail& c : {tail{"M > 17", m_too_big, 2.0}, tail{"UI without MIDI", no_midi, 2.0},
                          tail{"short UI", short_ui, 2.0}, tail{"NaN zoom", nan_zoom, 1.0}}) {
        reset();
        EXPECT_TRUE(load(stage, c.bytes)) << c.what;
        EXPECT_EQ(host.rescans.size(), 1u) << c.what;
        EXPECT_EQ(stage.instance()->ui.zoom, c.zoom_after) << c.what;
        EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_MIX]), -1) << c.what;
    }
    // A short MIDI entry list goes on with the UI chunk at the current position: the bytes meant as
    // the second entry are the UI tag and its first field, so the UI chunk itself is not found.
    reset();
    EXPECT_TRUE(load(stage, short_midi));
    EXPECT_EQ(shm_load(stage.slot()->midi_cc[PARAM_MIX]), 7);
}

TEST(StateFormat, DamagedStreamsNeverCrashOrLeaveValuesOutOfRange) {
    fake_host host;
    test_stage source(host), target(host);
    source.set(PARAM_GAIN, 12.0);
    shm_exchange(source.slot()->midi_cc[PARAM_MIX], 1);
    const std::vector<uint8_t> good = save(source);
    std::mt19937 rng(20251210);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> b = good;
        switch (round % 4) {
            case 0:
                b.resize(rng() % (good.size() + 1));
                break;
            case 1:
                for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k)
                    b[rng() % b.size()] ^= 1u << (rng() % 8);
                break;
            case 2:
                b.resize(rng() % 600);
                for (auto& x : b)
                    x = static_cast<uint8_t>(rng());
                break;
            case 3:
                // Random values in valid framing: every value field garbage.
                for (size_t at = 24; at < 224; at += 12)
                    for (size_t k = 0; k < 8; ++k)
                        b[at + k] = static_cast<uint8_t>(rng());
                for (size_t at = 252; at < b.size(); ++at)
                    b[at] = static_cast<uint8_t>(rng());
                break;
        }
        load(target, b, 1 + rng() % 7);
        expect_everything_in_range(target);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
    // Random bytes are refused as state.
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> b(rng() % 400);
        for (auto& x : b)
            x = static_cast<uint8_t>(rng());
        if (b.size() >= 4 && std::memcmp(b.data(), "SLM1", 4) == 0) continue;
        EXPECT_FALSE(load(target, b));
    }
}
