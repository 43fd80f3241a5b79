// Guards the saved state as a host stores it: the byte layout, a reload that is byte-exact through
// streams moving a few bytes per call, the rescan after a load, every refusal and fallback of the
// reader, and damaged or random streams that must neither crash the load nor leave a value out of
// range.
#include <cstring>
#include <random>
#include <vector>

#include "integration.h"

namespace {

using bytes = std::vector<uint8_t>;

struct writer {
    bytes b;
    void tag(const char* t) {
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(t[i]));
    }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
    }
    void f64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        u64(v);
    }
};

uint32_t rd32(const bytes& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(b[at + size_t(i)]) << (8 * i);
    return v;
}
uint64_t rd64(const bytes& b, size_t at) {
    return uint64_t(rd32(b, at)) | (uint64_t(rd32(b, at + 4)) << 32);
}
double rdf64(const bytes& b, size_t at) {
    uint64_t v = rd64(b, at);
    double d;
    std::memcpy(&d, &v, 8);
    return d;
}

} // namespace

class state_format : public module_test {
  protected:
    bytes save(host_stage* s, uint32_t per_call = 0) {
        host_ostream os;
        EXPECT_TRUE(host_stage_save(s, &os, per_call));
        bytes b(os.data, os.data + os.size);
        host_ostream_free(&os);
        return b;
    }

    bool load(host_stage* s, const bytes& b, uint32_t per_call = 0) {
        return host_stage_load(s, b.data(), b.size(), per_call);
    }

    // Binds controllers by learning through an events-only flush.
    void bind(host_stage* s, const char* name, uint8_t cc) {
        s->debug->debug_arm_midi_learn(s->plugin, index_of(s, name));
        static host_input_events ev;
        host_events_init(&ev);
        host_events_push_midi(&ev, 0, 0xB0, cc, 1);
        host_stage_flush(s, &ev);
    }

    // A header chunk with the given entries (id, value).
    static writer header(uint32_t version, uint64_t id,
                         const std::vector<std::pair<uint32_t, double>>& entries,
                         uint32_t n_override = 0xFFFFFFFF) {
        writer w;
        w.tag("SLM1");
        w.u32(version);
        w.u64(id);
        w.u32(n_override != 0xFFFFFFFF ? n_override : uint32_t(entries.size()));
        for (auto& e : entries) {
            w.u32(e.first);
            w.f64(e.second);
        }
        return w;
    }

    static void ui_chunk(writer& w, uint32_t controls, uint32_t grid, uint32_t readout, uint32_t spread,
                         uint32_t target, double zoom, double custom) {
        w.tag("UI01");
        w.u32(controls);
        w.u32(grid);
        w.u32(readout);
        w.u32(spread);
        w.u32(target);
        w.f64(zoom);
        w.f64(custom);
    }
};

TEST_F(state_format, byte_layout_with_bindings_in_table_order) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->state && s->debug);
    set_by_flush(s, "Gain", 7.5);
    bind(s, "Mix", 7);
    bind(s, "Gain", 11);
    bytes b = save(s);
    ASSERT_EQ(b.size(), 272u + 8 * 2);
    if (b.size() != 288) return;
    EXPECT_EQ(std::memcmp(b.data(), "SLM1", 4), 0);
    EXPECT_EQ(rd32(b, 4), 1u);
    EXPECT_NE(rd64(b, 8), 0u) << "a random identity";
    EXPECT_EQ(rd32(b, 16), 17u);
    for (uint32_t i = 0; i < 17; ++i) {
        EXPECT_EQ(rd32(b, 20 + 12 * i), s->param[i].id);
        double v = 0;
        host_stage_get_value(s, i, &v);
        EXPECT_EQ(rdf64(b, 24 + 12 * i), v) << s->param[i].name;
    }
    EXPECT_EQ(std::memcmp(b.data() + 224, "MIDI", 4), 0);
    EXPECT_EQ(rd32(b, 228), 2u);
    EXPECT_EQ(rd32(b, 232), 2u) << "Gain comes first, in table order";
    EXPECT_EQ(rd32(b, 236), 11u);
    EXPECT_EQ(rd32(b, 240), 15u);
    EXPECT_EQ(rd32(b, 244), 7u);
    EXPECT_EQ(std::memcmp(b.data() + 248, "UI01", 4), 0);
    EXPECT_EQ(rd32(b, 252), 1u); // controls open
    EXPECT_EQ(rd32(b, 256), 0u); // grid closed
    EXPECT_EQ(rd32(b, 260), 0u); // short-term readout
    EXPECT_EQ(rd32(b, 264), 0u); // even spread
    EXPECT_EQ(rd32(b, 268), 1u); // -14 LUFS row
    EXPECT_EQ(rdf64(b, 272), 1.0);
    EXPECT_EQ(rdf64(b, 280), -16.0);
}

TEST_F(state_format, reload_is_byte_exact_through_small_streams) {
    host_stage* a = make_stage();
    ASSERT_TRUE(a && a->state);
    set_by_flush(a, "Gain", 7.5);
    set_by_flush(a, "Style", 3);
    set_by_flush(a, "Group", 4);
    set_by_flush(a, "Lookahead", 2.2);
    bind(a, "Ceiling", 21);
    bytes whole = save(a);
    for (uint32_t per_call : {1u, 3u, 7u})
        EXPECT_EQ(save(a, per_call), whole) << per_call << " bytes per write";
    // While `a` lives its identity stays its own: a second stage loading its state keeps its own id.
    host_stage* c = make_stage();
    ASSERT_TRUE(load(c, whole));
    bytes got = save(c);
    EXPECT_NE(rd64(got, 8), rd64(whole, 8)) << "two live stages never share an id";
    std::memcpy(got.data() + 8, whole.data() + 8, 8);
    EXPECT_EQ(got, whole) << "everything but the identity";
    drop_stage(c);
    drop_stage(a);
    for (uint32_t per_call : {1u, 2u, 5u, 0u}) {
        host_stage* b = make_stage();
        ASSERT_TRUE(load(b, whole, per_call)) << per_call << " bytes per read";
        EXPECT_EQ(b->n_rescan.load(), 1u) << "a load asks the host to rescan";
        EXPECT_TRUE(b->last_rescan_flags.load() & CLAP_PARAM_RESCAN_VALUES);
        EXPECT_EQ(save(b), whole) << "save, load, save gives the same bytes (" << per_call << " per read)";
        EXPECT_EQ(value_of(b, "Gain"), 7.5);
        drop_stage(b);
    }
}

TEST_F(state_format, refusals_and_fallbacks) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->state);
    auto fresh = [&] {
        drop_stage(s);
        s = make_stage();
        set_by_flush(s, "Gain", 3);
        bind(s, "Mix", 7);
    };
    struct refusal {
        const char* what;
        bytes b;
    };
    writer wrong_tag = header(1, 5, {{2, 9.0}});
    wrong_tag.b[3] = '2';
    writer many = header(1, 5, {}, 1025);
    writer truncated = header(1, 5, {{2, 9.0}, {3, -2.0}});
    truncated.b.resize(truncated.b.size() - 3);
    refusal refused[] = {{"empty", {}},
                         {"wrong tag", wrong_tag.b},
                         {"version 2", header(2, 5, {{2, 9.0}}).b},
                         {"N above 1024", many.b},
                         {"cut inside the first chunk", truncated.b},
                         {"tag only", {'S', 'L', 'M', '1'}}};
    for (auto& c : refused) {
        fresh();
        EXPECT_FALSE(load(s, c.b)) << c.what;
        EXPECT_EQ(s->n_rescan.load(), 0u) << c.what;
        EXPECT_EQ(value_of(s, "Gain"), 3.0) << c.what << ": nothing of a refused state is applied";
        EXPECT_NE(rd64(save(s), 8), 5u) << c.what;
    }

    // Accepted streams and what they leave.
    fresh();
    const uint64_t running = rd64(save(s), 8);
    ASSERT_TRUE(load(s, header(1, 0, {}).b));
    EXPECT_EQ(value_of(s, "Gain"), 3.0);
    EXPECT_EQ(s->n_rescan.load(), 1u);
    bytes after = save(s);
    EXPECT_EQ(rd64(after, 8), running) << "an id of 0 keeps the running identity";
    EXPECT_EQ(rd32(after, 228), 0u) << "every binding is cleared by a load";

    fresh();
    writer odd = header(1, 42, {{3, 250.0}, {100, 2.6}, {16, 5.0}, {4, std::nan("")}, {999, 1.0}});
    odd.tag("MIDI");
    odd.u32(4);
    odd.u32(15);
    odd.u32(7);
    odd.u32(2);
    odd.u32(128);
    odd.u32(3);
    odd.u32(0xFFFFFFFF);
    odd.u32(999);
    odd.u32(9);
    ui_chunk(odd, 0, 1, 3, 1, 7, 3.0, 5.0);
    ASSERT_TRUE(load(s, odd.b));
    EXPECT_EQ(value_of(s, "Ceiling"), 0.0);
    EXPECT_EQ(value_of(s, "Stage"), 3.0);
    EXPECT_EQ(value_of(s, "Release"), 100.0) << "NaN gives the default";
    after = save(s);
    EXPECT_EQ(rd64(after, 8), 42u);
    ASSERT_EQ(rd32(after, 228), 1u) << "only CC 7 for Mix survives";
    EXPECT_EQ(rd32(after, 232), 15u);
    EXPECT_EQ(rd32(after, 236), 7u);
    size_t ui = 240;
    EXPECT_EQ(rd32(after, ui + 4), 0u);
    EXPECT_EQ(rd32(after, ui + 8), 1u);
    EXPECT_EQ(rd32(after, ui + 12), 0u) << "readout 3 falls back to 0";
    EXPECT_EQ(rd32(after, ui + 16), 1u);
    EXPECT_EQ(rd32(after, ui + 20), 1u) << "target 7 falls back to 1";
    EXPECT_EQ(rdf64(after, ui + 24), 1.0) << "zoom 3 falls back to 1";
    EXPECT_EQ(rdf64(after, ui + 32), -16.0) << "custom target 5 falls back to -16";

    // A second chunk other than MIDI: bindings cleared, the UI chunk after it ignored.
    fresh();
    writer no_midi = header(1, 0, {{2, 4.0}});
    ui_chunk(no_midi, 0, 1, 2, 2, 3, 2.0, -20.0);
    ASSERT_TRUE(load(s, no_midi.b));
    after = save(s);
    EXPECT_EQ(rd32(after, 228), 0u);
    EXPECT_EQ(rd32(after, 232 + 4), 1u) << "controls stay open";
    EXPECT_EQ(rd32(after, 232 + 16), 0u);

    // M above 17: no binding, still accepted.
    fresh();
    writer m18 = header(1, 0, {});
    m18.tag("MIDI");
    m18.u32(18);
    ASSERT_TRUE(load(s, m18.b));
    EXPECT_EQ(rd32(save(s), 228), 0u);
}

TEST_F(state_format, loaded_identity_is_taken_over) {
    host_stage* a = make_stage();
    host_stage* b = make_stage();
    ASSERT_TRUE(a && b);
    bytes sa = save(a);
    ASSERT_TRUE(load(b, sa));
    EXPECT_NE(rd64(save(b), 8), rd64(sa, 8)) << "not while the stage that carries it lives";
    drop_stage(a);
    ASSERT_TRUE(load(b, sa));
    EXPECT_EQ(rd64(save(b), 8), rd64(sa, 8)) << "a reloaded session's identity";
}

TEST_F(state_format, random_bytes_are_refused) {
    host_stage* s = make_stage();
    ASSERT_TRUE(s && s->state);
    std::mt19937_64 rng(20261210);
    for (int k = 0; k < 2000; ++k) {
        bytes b(rng() % 600);
        for (auto& x : b)
            x = uint8_t(rng());
        if (b.size() >= 4 && std::memcmp(b.data(), "SLM1", 4) == 0) b[0] = 'X';
        ASSERT_FALSE(load(s, b, uint32_t(1 + rng() % 9))) << "random stream " << k;
    }
    EXPECT_EQ(s->n_rescan.load(), 0u);
}

// Truncated and bit-flipped copies of a real state: whatever the load answers, no value leaves its
// range (host_stage_get_value reports a rule error for that) and the stage keeps working.
TEST_F(state_format, damaged_streams_keep_values_in_range) {
    host_stage* a = make_stage();
    set_by_flush(a, "Gain", 12);
    bind(a, "Mix", 7);
    bind(a, "Gain", 8);
    bytes good = save(a);
    host_stage* s = make_stage();
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        bytes b(good.begin(), good.begin() + long(cut));
        load(s, b, 3);
        for (uint32_t i = 0; i < s->n_params; ++i) {
            double v;
            host_stage_get_value(s, i, &v);
        }
    }
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        bytes b = good;
        b[bit / 8] ^= uint8_t(1u << (bit % 8));
        load(s, b);
        for (uint32_t i = 0; i < s->n_params; ++i) {
            double v;
            host_stage_get_value(s, i, &v);
        }
    }
    EXPECT_TRUE(host_stage_activate(s, 48000, 1, 256));
    std::vector<float> l(256, 0.5f), r(256, -0.5f);
    float* io[2] = {l.data(), r.data()};
    EXPECT_EQ(process(s, io, 2, io, 2, 256), CLAP_PROCESS_CONTINUE);
}
