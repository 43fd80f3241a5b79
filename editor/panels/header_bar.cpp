// The header bar across the top of the canvas (name, undo/redo, A/B, Copy, presets, MIDI, group
// letters) and the about overlay drawn over everything. [main-thread]
#include <cstdio>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"
#include "registry.h"

namespace {

// The maker's web host as the about box names it (the link itself opens the product's page).
constexpr char maker_host[] = "tovarin.com";

// The credit lines name the only third-party code compiled into this build, with their licences:
// the typeface and its rasteriser everywhere, and on Windows also mingw-w64's thread library, which
// the self-contained Windows binaries link statically.
#if defined(_WIN32)
constexpr const char* credit_lines[] = {"Built with stb_truetype (public domain / MIT),",
                                        "the Roboto typeface (Apache 2.0)", "and mingw-w64's winpthreads (MIT)"};
#else
constexpr const char* credit_lines[] = {"Built with stb_truetype (public domain / MIT)",
                                        "and the Roboto typeface (Apache 2.0)"};
#endif
constexpr int32_t credit_count = static_cast<int32_t>(sizeof credit_lines / sizeof credit_lines[0]);

bool hovered(const editor_state* e, int32_t kind) {
    return e->hover_kind == kind;
}

const char* preset_display_name(const editor_state* e) {
    const int32_t s = e->preset_selection;
    if (s >= PRESET_USER_FIRST && s < PRESET_USER_FIRST + e->user_preset_count && s - PRESET_USER_FIRST < USER_PRESET_MAX)
        return e->user_presets[s - PRESET_USER_FIRST];
    if (s >= 0 && s < PRESET_USER_FIRST) return builtin_preset_name(s);
    return builtin_preset_name(0);
}

// Draws the MIDI button and the group letters at the right end of the header; returns the MIDI
// button's left edge, which the preset selector must keep clear of.
float draw_group_buttons(editor_state* e, vg_context* vg) {
    const shm_slot* own = e->instance->slot;
    const int32_t g = own ? static_cast<int32_t>(slot_value(own, PARAM_GROUP)) : 0;
    const int32_t shown = e->shown_group;
    uint32_t counts[16] = {};
    registry_count_per_group(counts);
    int32_t m = g > shown ? g : shown;
    for (int32_t k = 0; k < 16; ++k)
        if (counts[k] != 0 && k > m) m = k;
    if (m < 0) m = 0;
    if (m > 15) m = 15;
    const int32_t b = m + 1;
    const int32_t n_buttons = b + 1;
    const bool new_group = b < 16;
    const int32_t room = n_buttons <= 5 ? 162 : 300;
    float bw = static_cast<float>(room / n_buttons - 4);
    if (bw < 14) bw = 14;
    if (bw > 26) bw = 26;
    const float x0 = 944.0f - n_buttons * (bw + 4.0f) + 4.0f;

    if (n_buttons <= 4)
        panel_text(vg, x0 - 8.0f, 20.0f, 8.5f, 1.02f, ALIGN_RIGHT, colours.grey, "GROUP");

    // MIDI learn: active while armed or while the focused stage waits for a controller.
    const float xm = x0 - 8.0f - 64.0f - (n_buttons <= 4 ? 52.0f : 0.0f);
    const shm_slot* focused = focused_stage_record(e);
    const bool learning = e->midi_learn_armed || (focused && shm_load(focused->midi_learn_param) >= 0);
    draw_button(vg, xm, 9, 64, 22, "MIDI", learning, hovered(e, WIDGET_MIDI_LEARN));
    hit_record(e, WIDGET_MIDI_LEARN, -1, 0, xm, 9, 64, 22);

    for (int32_t k = 0; k < b; ++k) {
        const float x = x0 + k * (bw + 4.0f);
        const bool hot = e->hover_kind == WIDGET_GROUP && e->hover_sub == k;
        const char letter[2] = {static_cast<char>('A' + k), 0};
        if (k == g) panel_fill_circle(vg, x + bw / 2, 34, 1.8f, colours.orange);
        theme_colour text = hot ? colours.orange : colours.grey;
        if (k == shown) {
            panel_fill_rrect(vg, x, 10, bw, 20, 4, theme_rgba(255, 182, 74, 200));
            text = colours.on_orange;
        } else {
            panel_stroke_rrect(vg, x + 0.5f, 10.5f, bw - 1, 19, 4, 1, hot ? colours.orange : colours.faint);
        }
        panel_text(vg, x + bw / 2, 20, 11, 0, ALIGN_CENTRE, text, letter);
        hit_record(e, WIDGET_GROUP, -1, k, x, 10, bw, 20);
    }

    const float x = x0 + b * (bw + 4.0f);
    const bool hot = e->hover_kind == WIDGET_GROUP && e->hover_sub >= 100;
    panel_stroke_rrect(vg, x + 0.5f, 10.5f, bw - 1, 19, 4, 1, hot ? colours.orange : colours.faint);
    panel_text(vg, x + bw / 2, 20, 12, 0, ALIGN_CENTRE,
               hot ? colours.orange : (new_group ? colours.grey : colours.dim), "+");
    if (new_group) hit_record(e, WIDGET_GROUP, -1, 100 + b, x, 10, bw, 20);
    return xm;
}

} // namespace

void draw_header_bar(editor_state* e) {
    vg_context* vg = e->vg;
    const plugin_instance* inst = e->instance;

    panel_fill_rrect_linear(vg, 0, 0, 960, 40, 0, 0, 0, 0, 40, theme_rgb(28, 31, 40), theme_rgb(18, 20, 27));
    panel_line(vg, 0, 39.5f, 960, 39.5f, 1, theme_rgba(0, 0, 0, 160));

    panel_text(vg, 18, 20, 17, 2.04f, ALIGN_LEFT, colours.orange, "LODRIN");
    panel_text(vg, 110, 21, 9.5f, 0, ALIGN_LEFT, colours.grey, "stacked limiter");
    hit_record(e, WIDGET_ABOUT, -1, 0, 12, 4, 168, 32);

    const auto icon_colour = [e](uint32_t count, int32_t kind) {
        if (count == 0) return colours.dim;
        return hovered(e, kind) ? colours.orange : colours.text_white;
    };
    draw_circular_arrow(vg, 199, 20, false, icon_colour(inst->undo_count, WIDGET_UNDO));
    draw_circular_arrow(vg, 224, 20, true, icon_colour(inst->redo_count, WIDGET_REDO));
    hit_record(e, WIDGET_UNDO, -1, 0, 188, 9, 22, 22);
    hit_record(e, WIDGET_REDO, -1, 0, 213, 9, 22, 22);

    draw_button(vg, 241, 9, 52, 22, inst->ab_current == 0 ? "A | b" : "a | B", true, hovered(e, WIDGET_AB));
    hit_record(e, WIDGET_AB, -1, 0, 241, 9, 52, 22);
    draw_button(vg, 297, 9, 42, 22, "Copy", false, hovered(e, WIDGET_COPY));
    hit_record(e, WIDGET_COPY, -1, 0, 297, 9, 42, 22);

    // The preset selector runs from 350 to 610, or to 4 short of the MIDI button when many group
    // letters push that button further left (from 8 groups on).
    const float midi_x = draw_group_buttons(e, vg);
    const float right = midi_x - 4.0f < 610.0f ? midi_x - 4.0f : 610.0f;
    const float pw = right - 350.0f;
    panel_fill_rrect(vg, 350, 9, pw, 22, 4, theme_rgba(0, 0, 0, 70));
    panel_stroke_rrect(vg, 350.5f, 9.5f, pw - 1, 21, 4, 1, colours.faint);
    panel_text(vg, 364, 20, 12, 0, ALIGN_CENTRE, hovered(e, WIDGET_PRESET_PREV) ? colours.orange : colours.grey, "<");
    panel_text(vg, right - 14, 20, 12, 0, ALIGN_CENTRE, hovered(e, WIDGET_PRESET_NEXT) ? colours.orange : colours.grey,
               ">");
    panel_text_fit(vg, 350 + pw / 2, 20, 11.5f, 0, ALIGN_CENTRE,
                   hovered(e, WIDGET_PRESET_MENU) ? colours.orange : colours.text_white, preset_display_name(e),
                   pw - 64);
    hit_record(e, WIDGET_PRESET_PREV, -1, 0, 350, 9, 28, 22);
    hit_record(e, WIDGET_PRESET_NEXT, -1, 0, right - 28, 9, 28, 22);
    hit_record(e, WIDGET_PRESET_MENU, -1, 0, 378, 9, pw - 56, 22);
}

void draw_about_overlay(editor_state* e) {
    if (!e->about_open) return;
    vg_context* vg = e->vg;
    panel_fill_rect(vg, 0, 0, 960, 600, theme_rgba(6, 7, 10, 170));
    panel_fill_rrect(vg, 280, 160, 400, 280, 10, theme_rgb(24, 26, 34));
    panel_stroke_rrect(vg, 280.5f, 160.5f, 399, 279, 10, 1, theme_rgba(255, 255, 255, 30));

    panel_logo(vg, 480, 204);

    panel_text(vg, 480, 244, 20, 2.4f, ALIGN_CENTRE, colours.orange, "LODRIN");
    panel_text(vg, 480, 268, 10.5f, 0, ALIGN_CENTRE, colours.text_white, "Stacked limiter - version 1.0.1");
    char maker[64];
    std::snprintf(maker, sizeof maker, "por Tovarin - %s", maker_host);
    panel_text(vg, 480, 288, 10.5f, 0, ALIGN_CENTRE, colours.orange, maker);
    panel_line(vg, 310, 336, 650, 336, 1, theme_rgba(255, 255, 255, 24));

    // What this build really holds: its two plug-in formats and its third-party code.
    panel_text(vg, 480, 356, 9.5f, 0, ALIGN_CENTRE, colours.grey, "CLAP - VST3");
    for (int32_t i = 0; i < credit_count; ++i)
        panel_text(vg, 480, 374.0f + 14.0f * i, 9, 0, ALIGN_CENTRE, colours.grey, credit_lines[i]);
    panel_text(vg, 480, 386.0f + 14.0f * credit_count, 9, 0, ALIGN_CENTRE, colours.dim, "Click anywhere to close");

    hit_record(e, WIDGET_ABOUT, -1, 1, 280, 160, 400, 280);
    hit_record(e, WIDGET_ABOUT, -1, 2, 385, 279, 190, 18);
}
