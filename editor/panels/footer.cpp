// The footer bar: panel switches, Dither and Noise shaping of the focused stage, the MIDI-learn
// status, the chain latency, the last stage's block counters and the resize grip. [main-thread]
#include <cstdio>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

void draw_footer_bar(editor_state* e) {
    vg_context* vg = e->vg;
    const ui_settings& ui = e->instance->ui;
    char text[64];

    panel_fill_rrect_linear(vg, 0, 572, 960, 28, 0, 0, 572, 0, 600, theme_rgb(22, 24, 31), theme_rgb(15, 16, 22));
    panel_line(vg, 0, 572.5f, 960, 572.5f, 1, theme_rgba(255, 255, 255, 18));

    draw_button(vg, 12, 576, 96, 20, ui.controls_open ? "Controls  v" : "Controls  ^", ui.controls_open != 0,
                e->hover_kind == WIDGET_CONTROLS);
    hit_record(e, WIDGET_CONTROLS, -1, 0, 12, 576, 96, 20);
    draw_button(vg, 116, 576, 76, 20, ui.grid_open ? "Grid  v" : "Grid  ^", ui.grid_open != 0,
                e->hover_kind == WIDGET_GRID);
    hit_record(e, WIDGET_GRID, -1, 0, 116, 576, 76, 20);

    const int32_t fi = focused_stage_index(e);
    const shm_slot* fr = focused_stage_record(e);
    const double dither = fr ? slot_value(fr, PARAM_DITHER) : 0.0;
    const double shaping = fr ? slot_value(fr, PARAM_NOISE_SHAPING) : 2.0;
    char value[32];
    format_param_value(PARAM_DITHER, dither, value, sizeof value);
    std::snprintf(text, sizeof text, "Dither: %s", value);
    draw_button(vg, 212, 576, 104, 20, text, dither >= 0.5, e->hover_kind == WIDGET_DITHER);
    hit_record(e, WIDGET_DITHER, fi, PARAM_DITHER, 212, 576, 104, 20);
    format_param_value(PARAM_NOISE_SHAPING, shaping, value, sizeof value);
    std::snprintf(text, sizeof text, "Shaping: %s", value);
    draw_button(vg, 324, 576, 128, 20, text, false, e->hover_kind == WIDGET_SHAPING);
    hit_record(e, WIDGET_SHAPING, fi, PARAM_NOISE_SHAPING, 324, 576, 128, 20);

    const bool target_set = fr && shm_load(fr->midi_learn_param) >= 0;
    if (e->midi_learn_armed || target_set)
        panel_text(vg, 464, 586, 9.5f, 0, ALIGN_LEFT, colours.orange,
                   e->midi_learn_armed ? "MIDI learn: click a control" : "MIDI learn: move a controller...");

    // Chain latency: only stages that are processing, active and know their rate count.
    float latency_ms = 0.0f;
    for (int32_t i = 0; i < e->group_count; ++i) {
        const chain_member& m = e->group[i];
        if (!m.live || shm_load(m.slot->active) == 0) continue;
        const double rate = shm_load(m.slot->sample_rate);
        if (!(rate > 0.0)) continue;
        latency_ms += static_cast<float>(shm_load(m.slot->latency) * 1000.0 / rate);
    }
    std::snprintf(text, sizeof text, "%.1f ms chain latency", latency_ms);
    panel_text(vg, 934, 586, 9, 0, ALIGN_RIGHT, colours.grey, text);

    const shm_slot* last = e->group_count > 0 ? e->group[e->group_count - 1].slot : e->instance->slot;
    if (last) {
        std::snprintf(text, sizeof text, "blk %d  max %d  over %d  rst %d  act %d",
                      static_cast<int32_t>(shm_load(last->block_frames)),
                      static_cast<int32_t>(shm_load(last->max_block_frames)),
                      static_cast<int32_t>(shm_load(last->oversize_blocks)),
                      static_cast<int32_t>(shm_load(last->reset_count)),
                      static_cast<int32_t>(shm_load(last->activation_count)));
        panel_text(vg, 760, 586, 8, 0, ALIGN_RIGHT, colours.dim, text);
    }

    const theme_colour grip = e->hover_kind == WIDGET_RESIZE_GRIP ? colours.orange : colours.dim;
    for (int32_t i = 0; i <= 8; i += 4) panel_line(vg, 956, 586.0f + i, 946.0f + i, 596, 1.2f, grip);
    hit_record(e, WIDGET_RESIZE_GRIP, -1, 0, 940, 580, 20, 20);
}
