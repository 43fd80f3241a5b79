// The stage controls: the controls panel (knobs and switches of the focused stage, or of every
// stage in chain mode), the gain fader on the left edge and the stage grid (one column per stage,
// one row per parameter). [main-thread]
#include <cmath>
#include <cstdio>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

namespace {

struct knob_def {
    int32_t param;
    const char* label;
};
constexpr knob_def knob_row[5] = {{PARAM_CEILING, "OUT CEILING"},
                                  {PARAM_RELEASE, "RELEASE"},
                                  {PARAM_STEREO_LINK, "STEREO LINK"},
                                  {PARAM_LOOKAHEAD, "LOOKAHEAD"},
                                  {PARAM_MIX, "MIX"}};

struct grid_row {
    const char* caption;
    int32_t param;
};
constexpr grid_row grid_rows[12] = {
    {"GAIN", PARAM_GAIN},          {"OUT CEILING", PARAM_CEILING}, {"RELEASE", PARAM_RELEASE},
    {"STEREO LINK", PARAM_STEREO_LINK}, {"MIX", PARAM_MIX},       {"LOOKAHEAD", PARAM_LOOKAHEAD},
    {"TRUE PEAK", PARAM_TRUE_PEAK}, {"ADAPTIVE", PARAM_ADAPTIVE_RELEASE}, {"STYLE", PARAM_STYLE},
    {"DITHER", PARAM_DITHER},      {"SHAPING", PARAM_NOISE_SHAPING}, {"GROUP", PARAM_GROUP},
};

bool mapped(const shm_slot* s, int32_t param) {
    return s && shm_load(s->midi_cc[param]) >= 0;
}

double value_of(const shm_slot* s, int32_t param) {
    return s ? slot_value(s, param) : param_table[param].default_value;
}

// The focused entry's position as shown: 0 without a list or without a known position.
int32_t shown_position(const editor_state* e, int32_t index) {
    // The picked stage while it is missing from the list: the place it was last listed at.
    const int32_t p = index == EDITOR_FOCUS_MISSING             ? e->focused_position
                      : index >= 0 && index < e->group_count ? e->group[index].position
                                                             : 0;
    return p >= 99 ? 0 : p;
}

} // namespace

void draw_controls_panel(editor_state* e) {
    if (!e->instance->ui.controls_open) return;
    vg_context* vg = e->vg;
    const int32_t fi = focused_stage_index(e);
    const shm_slot* fr = focused_stage_record(e);
    char text[32];

    draw_header_panel(vg, 62, 466, 620, 94);
    if (e->chain_mode) {
        panel_text(vg, 74, 479, 8.5f, 1.02f, ALIGN_LEFT, colours.orange, "ALL STAGES");
        const uint32_t spread = e->instance->ui.spread;
        std::snprintf(text, sizeof text, "Spread: %s", spread_names[spread < 3 ? spread : 0]);
        draw_button(vg, 578, 470, 92, 18, text, false, e->hover_kind == WIDGET_SPREAD);
        hit_record(e, WIDGET_SPREAD, -1, 0, 578, 470, 92, 18);
    } else {
        std::snprintf(text, sizeof text, "STAGE %d", shown_position(e, fi));
        panel_text(vg, 74, 479, 8.5f, 1.02f, ALIGN_LEFT, colours.grey, text);
    }

    // "To %d LUFS": the target rounded half away from zero (-16.5 reads -17).
    const double target = loudness_target_lufs(e->instance->ui.loudness_target_index,
                                                e->instance->ui.custom_target_lufs);
    std::snprintf(text, sizeof text, "To %d LUFS", static_cast<int32_t>(std::lround(target)));
    const float gx = e->chain_mode ? 474.0f : 578.0f;
    draw_button(vg, gx, 470, 92, 18, text, false, e->hover_kind == WIDGET_GAIN_TO_TARGET);
    hit_record(e, WIDGET_GAIN_TO_TARGET, -1, 0, gx, 470, 92, 18);

    for (int32_t i = 0; i < 5; ++i) {
        const int32_t p = knob_row[i].param;
        const float x = 106.0f + 64.0f * i;
        const double v = value_of(fr, p);
        char value_text[24];
        format_param_value(p, v, value_text, sizeof value_text);
        const bool hot = (e->hover_kind == WIDGET_KNOB && e->hover_sub == p) ||
                         (e->drag_kind == WIDGET_KNOB && e->drag_param == p);
        // A Lookahead that the stage does not run yet is not drawn as one in force.
        const bool waits = p == PARAM_LOOKAHEAD && stage_lookahead_waits(fr, nullptr);
        draw_knob(vg, x, 522, 12, param_to_normalized(p, v), knob_row[i].label, value_text, hot,
                  waits ? &colours.alert : nullptr);
        if (mapped(fr, p)) panel_text(vg, x + 22, 506, 7, 0.84f, ALIGN_CENTRE, colours.orange, "M");
        hit_record(e, WIDGET_KNOB, fi, p, x - 26, 496, 52, 52);
    }

    // TRUE PEAK, ADAPTIVE, POSITION, STYLE.
    for (int32_t i = 0; i < 2; ++i) {
        const int32_t p = i == 0 ? PARAM_TRUE_PEAK : PARAM_ADAPTIVE_RELEASE;
        const float x = 418.0f + 64.0f * i;
        const bool on = value_of(fr, p) >= 0.5;
        panel_text(vg, x + 29, 502, 7.5f, 0.9f, ALIGN_CENTRE, colours.grey, i == 0 ? "TRUE PEAK" : "ADAPTIVE");
        draw_button(vg, x, 514, 58, 20, on ? "On" : "Off", on, e->hover_kind == WIDGET_SWITCH && e->hover_sub == p);
        if (mapped(fr, p)) panel_text(vg, x + 58, 502, 7, 0.84f, ALIGN_LEFT, colours.orange, "M");
        hit_record(e, WIDGET_SWITCH, fi, p, x, 514, 58, 20);
    }
    {
        const double v = value_of(fr, PARAM_STAGE);
        char label[16];
        format_param_value(PARAM_STAGE, v, label, sizeof label);
        panel_text(vg, 546 + 29, 502, 7.5f, 0.9f, ALIGN_CENTRE, colours.grey, "POSITION");
        draw_button(vg, 546, 514, 58, 20, label, v >= 0.5, e->hover_kind == WIDGET_POSITION);
        hit_record(e, WIDGET_POSITION, fi, PARAM_STAGE, 546, 514, 58, 20);
    }
    {
        const double v = value_of(fr, PARAM_STYLE);
        char label[16];
        format_param_value(PARAM_STYLE, v, label, sizeof label);
        panel_text(vg, 610 + 34, 502, 7.5f, 0.9f, ALIGN_CENTRE, colours.grey, "STYLE");
        draw_button(vg, 610, 514, 68, 20, label, v >= 0.5,
                    e->hover_kind == WIDGET_STYLE || e->menu_kind == MENU_STYLE);
        if (mapped(fr, PARAM_STYLE)) panel_text(vg, 610 + 68, 502, 7, 0.84f, ALIGN_LEFT, colours.orange, "M");
        hit_record(e, WIDGET_STYLE, fi, PARAM_STYLE, 610, 514, 68, 20);
    }
}

void draw_gain_fader(editor_state* e) {
    vg_context* vg = e->vg;
    const shm_slot* fr = focused_stage_record(e);
    double shown = value_of(fr, PARAM_GAIN);
    double f = shown / 30.0;
    if (e->chain_mode && e->group_count >= 1) {
        shown = chain_total_gain(e);
        f = shown / (e->group_count * 30.0);
    }
    const bool hot = e->hover_kind == WIDGET_GAIN_FADER || e->drag_kind == WIDGET_GAIN_FADER;

    panel_fill_rrect(vg, 16, 100, 40, 464, 6, theme_rgba(14, 16, 22, 150));
    panel_stroke_rrect(vg, 16.5f, 100.5f, 39, 463, 6, 1, theme_rgba(255, 255, 255, 18));
    panel_fill_rrect(vg, 33, 114, 6, 424, 3, theme_rgba(0, 0, 0, 160));

    const float ty = static_cast<float>((1.0 - f) * 424.0 + 114.0);
    if (f > 0.001) {
        panel_fill_rrect_linear(vg, 33, ty, 6, 538 - ty, 3, 0, ty, 0, 538, theme_rgba(255, 182, 74, 230),
                                theme_rgba(236, 86, 74, 40));
        draw_drop_shadow(vg, 33, ty, 6, 538 - ty, 3, 8, theme_rgba(255, 150, 60, 50));
    }
    panel_fill_rrect_linear(vg, 22, ty - 8, 28, 16, 4, 0, ty - 8, 0, ty + 8, theme_rgb(70, 74, 88),
                            theme_rgb(34, 37, 46));
    panel_stroke_rrect(vg, 22.5f, ty - 7.5f, 27, 15, 4, 1, hot ? colours.orange : theme_rgba(255, 255, 255, 40));
    panel_line(vg, 28, ty, 44, ty, 1, hot ? colours.orange : colours.text_white);

    char text[24];
    std::snprintf(text, sizeof text, "%+.1f", shown);
    const float by = ty - 30.0f < 102.0f ? ty + 12.0f : ty - 30.0f;
    panel_fill_rrect(vg, 16, by, 40, 18, 4, theme_rgba(40, 44, 56, 235));
    panel_stroke_rrect(vg, 16.5f, by + 0.5f, 39, 17, 4, 1, theme_rgba(255, 255, 255, 30));
    panel_text(vg, 36, by + 9, 11, 0, ALIGN_CENTRE, colours.text_white, text);

    if (e->chain_mode)
        panel_text(vg, 36, 552, 8, 0.96f, ALIGN_CENTRE, colours.orange, "TOTAL");
    else
        panel_text(vg, 36, 552, 8, 0.96f, ALIGN_CENTRE, colours.grey, "GAIN");
    hit_record(e, WIDGET_GAIN_FADER, focused_stage_index(e), PARAM_GAIN, 16, 100, 40, 464);
}

void draw_stage_grid(editor_state* e) {
    if (!e->instance->ui.grid_open) return;
    vg_context* vg = e->vg;
    // The panel holds what the grid draws: 6 above the column heads, the heads (22) and 12 rows of 17,
    // and 6 below. It ends where the controls panel ends (560), or 4 above the controls panel (466)
    // while that is open, so that no row lies under it or takes presses meant for it.
    constexpr float panel_h = 6.0f + 22.0f + 12 * 17.0f + 6.0f;
    const float top = (e->instance->ui.controls_open ? 462.0f : 560.0f) - panel_h;
    draw_header_panel(vg, 62, top, 620, panel_h);
    const float y0 = top + 6.0f;

    int32_t own = -1;
    for (int32_t c = 0; c < e->group_count; ++c)
        if (e->group[c].slot == e->instance->slot) own = c;

    for (int32_t r = 0; r < 12; ++r)
        panel_text(vg, 72, y0 + 22 + 17.0f * r + 8.5f, 7.5f, 0.9f, ALIGN_LEFT, colours.grey, grid_rows[r].caption);

    const int32_t n = e->group_count;
    if (n == 0) return;
    const float pitch = 526.0f / n < 170.0f ? 526.0f / n : 170.0f;
    const float cw = pitch - 6.0f;
    const int32_t fi = focused_stage_index(e);
    char text[32];

    for (int32_t c = 0; c < n; ++c) {
        const chain_member& m = e->group[c];
        const float x = 144.0f + c * pitch;
        if (c == fi) panel_fill_rrect(vg, x - 2, y0, cw + 4, 226, 5, theme_rgba(255, 182, 74, 18));
        std::snprintf(text, sizeof text, "%d", m.position >= 99 ? 0 : m.position);
        panel_text_fit(vg, x + cw / 2, y0 + 11, 13, 0, ALIGN_CENTRE,
                       c == fi ? colours.orange : (m.live ? colours.text_white : colours.dim), text, cw);
        if (c == own) panel_fill_circle(vg, x + cw - 6, y0 + 7, 2.2f, colours.orange);
        hit_record(e, WIDGET_STAGE, c, 0, x, y0, cw, 22);

        for (int32_t r = 0; r < 12; ++r) {
            const int32_t p = grid_rows[r].param;
            const float ry = y0 + 22.0f + 17.0f * r;
            const bool hot = e->hover_kind == WIDGET_GRID_CELL && e->hover_index == c && e->hover_sub == p;
            const bool dragged = e->drag_kind == WIDGET_GRID_CELL && e->drag_param == p &&
                                 (e->chain_mode || e->drag_stage == c);
            panel_fill_rrect(vg, x, ry + 2, cw, 13, 3, theme_rgba(0, 0, 0, (hot || dragged) ? 140 : 70));
            if (hot || dragged) panel_stroke_rrect(vg, x + 0.5f, ry + 2.5f, cw - 1, 12, 3, 1, colours.orange);

            const param_spec& spec = param_table[p];
            const double v = slot_value(m.slot, p);
            theme_colour text_colour = colours.text_white;
            if ((spec.flags & PARAM_IS_STEPPED) && spec.max == 1.0) {
                if (v >= 0.5) text_colour = colours.orange;
            } else {
                if (p == PARAM_LOOKAHEAD && stage_lookahead_waits(m.slot, nullptr)) text_colour = colours.alert;
                double g = (p == PARAM_RELEASE || p == PARAM_LOOKAHEAD)
                               ? std::log(v / spec.min) / std::log(spec.max / spec.min)
                               : (v - spec.min) / (spec.max - spec.min);
                if (!(g >= 0.0)) g = 0.0; // a corrupt value never draws a bar out of its cell
                if (g > 1.0) g = 1.0;
                panel_fill_rrect(vg, x + 2, ry + 12, (cw - 4) * static_cast<float>(g), 2, 1,
                                 theme_rgba(255, 182, 74, 140));
            }
            // The value keeps 2 clear of its cell's sides, shortened when the cells are narrow.
            format_param_value(p, v, text, sizeof text);
            panel_text_fit(vg, x + cw / 2, ry + 7.5f, 10.5f, 0, ALIGN_CENTRE, text_colour, text, cw - 4);
            if (mapped(m.slot, p)) panel_text(vg, x + 6, ry + 8.5f, 6.5f, 0.78f, ALIGN_LEFT, colours.orange, "M");
            hit_record(e, WIDGET_GRID_CELL, c, p, x, ry, cw, 17);
        }
    }
}
