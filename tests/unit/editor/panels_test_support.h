// A display-free editor for panel tests: an editor record and its instance, stage slots held in
// the test's own memory (listed directly in the group list, as the chain listing would), and a
// canvas over the recording back end so that texts and paints can be checked.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../state/shm_test_support.h"
#include "editor.h"
#include "plugin_instance.h"
#include "resources.h"
#include "theme.h"
#include "vg/vg.h"
#include "vg/vg_record.h"

// A slot as a freshly claimed stage has it: default values, no MIDI map, no history yet.
inline shm_slot* new_test_slot() {
    auto* s = static_cast<shm_slot*>(std::calloc(1, sizeof(shm_slot)));
    s->in_use = 1;
    s->instance_id = reinterpret_cast<uintptr_t>(s);
    for (int32_t p = 0; p < PARAM_COUNT; ++p) s->values[p] = param_table[p].default_value;
    for (int32_t p = 0; p < PARAM_COUNT; ++p) s->midi_cc[p] = -1;
    s->midi_learn_param = -1;
    s->history_gap_start = -1;
    s->min_gain = 1.0f;
    s->momentary_lufs = s->short_term_lufs = s->integrated_lufs = -100.0f;
    return s;
}

struct panel_fixture {
    test_segment segment{"panels"};
    vg_recorder* rec = nullptr;
    vg_context* vg = nullptr;
    int32_t font = -1;
    plugin_instance* inst = nullptr;
    editor_state* e = nullptr;
    std::vector<shm_slot*> slots;

    // n listed stages, all live, positions 1..n; the own stage is the first.
    explicit panel_fixture(int32_t n) {
        rec = vg_record_new();
        vg = vg_create(vg_record_backend(), rec, VG_ANTIALIAS);
        font = vg_create_font_mem(vg, "sans", lodrin_font_data, static_cast<int32_t>(lodrin_font_size), 0);
        inst = static_cast<plugin_instance*>(std::calloc(1, sizeof(plugin_instance)));
        inst->ui.loudness_target_index = 1;
        inst->ui.custom_target_lufs = -16.0;
        inst->ui.controls_open = 1;
        inst->ui.zoom = 1.0;
        e = static_cast<editor_state*>(std::calloc(1, sizeof(editor_state)));
        e->instance = inst;
        e->vg = vg;
        e->width = 960;
        e->height = 600;
        e->focused_index = -1;
        e->hover_index = -1;
        e->hover_sub = -1;
        e->input_readout.hold = e->output_readout.hold = -100.0f;
        for (int32_t i = 0; i < n; ++i) add_stage(i + 1, true);
        inst->slot = n > 0 ? slots[0] : new_test_slot();
        if (n == 0) slots.push_back(inst->slot);
    }
    ~panel_fixture() {
        vg_delete(vg);
        vg_record_free(rec);
        for (shm_slot* s : slots) std::free(s);
        std::free(e);
        std::free(inst);
    }
    panel_fixture(const panel_fixture&) = delete;
    panel_fixture& operator=(const panel_fixture&) = delete;

    shm_slot* add_stage(int32_t position, bool live) {
        shm_slot* s = new_test_slot();
        slots.push_back(s);
        e->group[e->group_count++] = chain_member{s, position, 0, static_cast<uint8_t>(live ? 1 : 0)};
        return s;
    }

    // One frame of every panel in the frame's order, on the recording canvas (`ratio` device pixels
    // per canvas unit: the zoom times the host scale).
    void frame(double now_s = 10.0, int64_t now_ns = 10000000000LL, float ratio = 1.0f) {
        vg_begin_frame(vg, 960, 600, ratio);
        vg_font_face_id(vg, font);
        e->hit_count = 0;
        draw_header_bar(e);
        draw_chain_panel(e);
        draw_history_graph(e, now_ns);
        draw_loudness_panel(e, now_s);
        draw_stage_grid(e);
        draw_controls_panel(e);
        draw_gain_fader(e);
        draw_footer_bar(e);
        draw_popup_menu(e);
        draw_tooltip(e, now_s);
        draw_text_entry_box(e);
        draw_about_overlay(e);
        vg_end_frame(vg);
    }

    std::vector<hit_entry> hits(int32_t kind) const {
        std::vector<hit_entry> out;
        for (int32_t i = 0; i < e->hit_count; ++i)
            if (e->hits[i].kind == kind) out.push_back(e->hits[i]);
        return out;
    }

    bool has_text(const char* text) const {
        return vg_record_find_text(rec, text, 0) >= 0;
    }

    // The recorded text call showing `text` at (x, y) (the position given to the text call), or null.
    const vg_record_call* text_at(const char* text, float x, float y) const {
        for (int32_t i = vg_record_find_text(rec, text, 0); i >= 0; i = vg_record_find_text(rec, text, i + 1)) {
            const vg_record_call* call = vg_record_call_at(rec, i);
            if (std::abs(call->run.x - x) < 0.01f && std::abs(call->run.y - y) < 0.01f) return call;
        }
        return nullptr;
    }

    // The fill colour of the first text call showing `text` (as bytes), or all 0 when none.
    theme_colour text_colour(const char* text) const {
        const int32_t i = vg_record_find_text(rec, text, 0);
        if (i < 0) return theme_colour{0, 0, 0, 0};
        const vg_color c = vg_record_call_at(rec, i)->paint.inner;
        const auto byte = [](float v) { return static_cast<uint8_t>(v * 255.0f + 0.5f); };
        return theme_colour{byte(c.r), byte(c.g), byte(c.b), byte(c.a)};
    }
};

inline theme_colour call_colour(const vg_record_call* call) {
    const auto byte = [](float v) { return static_cast<uint8_t>(v * 255.0f + 0.5f); };
    const vg_color c = call->paint.inner;
    return theme_colour{byte(c.r), byte(c.g), byte(c.b), byte(c.a)};
}

inline bool same_colour(theme_colour a, theme_colour b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

#define EXPECT_RECT(entry, X, Y, W, H)                     \
    do {                                                   \
        EXPECT_NEAR((entry).x, (X), 0.01) << "x";          \
        EXPECT_NEAR((entry).y, (Y), 0.01) << "y";          \
        EXPECT_NEAR((entry).w, (W), 0.01) << "w";          \
        EXPECT_NEAR((entry).h, (H), 0.01) << "h";          \
    } while (0)
