// The loudness column on the right: peak bars in and out, the chain's stacked gain reduction,
// short-term and momentary bars against the target, the big readout, the integrated number, the
// readout, target, pause and reset buttons and three switches of the focused stage; and the
// one-click gain to target. [main-thread]
#include <cmath>
#include <cstdio>

#include "edit_queue.h"
#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

namespace {

constexpr theme_colour meter_top = theme_rgb(178, 190, 224);
constexpr theme_colour meter_bottom = theme_rgb(86, 100, 140);
constexpr theme_colour scale_colour = theme_rgb(78, 83, 98);

float level_db(float m) {
    return static_cast<float>(20.0 * std::log10(m > 0.000001f ? static_cast<double>(m) : 0.000001));
}

float clamp01(float v) {
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}

float member_reduction_db(const chain_member& m) {
    if (!m.live) return 0.0f;
    const double g = shm_load(m.slot->min_gain);
    const double r = -20.0 * std::log10(g > 0.000001 ? g : 0.000001);
    return static_cast<float>(r > 0.0 ? r : 0.0);
}

// A peak holds for 1.6 s, then falls 0.3 dB per frame unless a reading reaches it; one second after
// the hold ran out it takes the current reading again.
void hold_step(float& hold, double& hold_until, float v, double now) {
    if (v >= hold || now > hold_until + 1.0) {
        hold = v;
        hold_until = now + 1.6;
    } else if (now > hold_until) {
        hold -= 0.3f;
    }
}

void ballistics_step(meter_ballistics& b, float v, double now) {
    b.level = v > b.level ? v : b.level - 0.3f;
    hold_step(b.hold, b.hold_until, v, now);
}

// The panel's first and last stage: the first and last live entries, else the ends of the list,
// else the own stage.
const shm_slot* first_stage(const editor_state* e) {
    for (int32_t i = 0; i < e->group_count; ++i)
        if (e->group[i].live) return e->group[i].slot;
    return e->group_count > 0 ? e->group[0].slot : e->instance->slot;
}
const shm_slot* last_stage(const editor_state* e) {
    for (int32_t i = e->group_count - 1; i >= 0; --i)
        if (e->group[i].live) return e->group[i].slot;
    return e->group_count > 0 ? e->group[e->group_count - 1].slot : e->instance->slot;
}

double readout_of(const shm_slot* s, uint32_t mode) {
    if (mode == 0) return shm_load(s->short_term_lufs);
    if (mode == 1) return shm_load(s->momentary_lufs);
    return shm_load(s->integrated_lufs);
}

uint32_t target_row(uint32_t index) {
    return index > 4 ? 1u : index;
}

} // namespace

double loudness_target_lufs(uint32_t target_index, double custom_target_lufs) {
    if (target_index == 4) return custom_target_lufs;
    return loudness_targets[target_row(target_index)].lufs;
}

void draw_loudness_panel(editor_state* e, double now) {
    vg_context* vg = e->vg;
    const ui_settings& ui = e->instance->ui;
    const shm_slot* first = first_stage(e);
    const shm_slot* last = last_stage(e);
    char text[40];

    // Readings and ballistics, once per frame.
    const float in_l = level_db(shm_load(first->detected_peak_l));
    const float in_r = level_db(shm_load(first->detected_peak_r));
    const float out_l = level_db(shm_load(last->output_true_peak_l));
    const float out_r = level_db(shm_load(last->output_true_peak_r));
    ballistics_step(e->input_channels[0], in_l, now);
    ballistics_step(e->input_channels[1], in_r, now);
    ballistics_step(e->output_channels[0], out_l, now);
    ballistics_step(e->output_channels[1], out_r, now);
    hold_step(e->input_readout.hold, e->input_readout.hold_until, level_db(shm_load(first->detected_peak)), now);
    hold_step(e->output_readout.hold, e->output_readout.hold_until, level_db(shm_load(last->output_true_peak)),
              now);
    float total_gr = 0.0f;
    for (int32_t i = 0; i < e->group_count; ++i) total_gr += member_reduction_db(e->group[i]);
    e->chain_gr_shown = total_gr > e->chain_gr_shown - 0.5f ? total_gr : e->chain_gr_shown - 0.5f;

    panel_fill_rrect(vg, 716, 100, 236, 464, 6, theme_rgba(255, 255, 255, 6));
    panel_stroke_rrect(vg, 716.5f, 100.5f, 235, 463, 6, 1, colours.faint);

    // IN.
    panel_text(vg, 738, 112, 8, 0.96f, ALIGN_CENTRE, colours.grey, "IN");
    draw_meter_bar(vg, 728, 126, 9, 288, e->input_channels[0].level, e->input_channels[0].hold, -60, meter_top,
                   meter_bottom, false);
    draw_meter_bar(vg, 739, 126, 9, 288, e->input_channels[1].level, e->input_channels[1].hold, -60, meter_top,
                   meter_bottom, false);
    std::snprintf(text, sizeof text, "%.1f", e->input_readout.hold);
    panel_text(vg, 738, 426, 9, 0, ALIGN_CENTRE, colours.text_white, text);

    // OUT with the last stage's ceiling.
    panel_text(vg, 770, 112, 8, 0.96f, ALIGN_CENTRE, colours.grey, "OUT");
    const float ceiling = static_cast<float>(slot_value(last, PARAM_CEILING));
    for (int32_t ch = 0; ch < 2; ++ch)
        draw_meter_bar(vg, ch == 0 ? 760.0f : 771.0f, 126, 9, 288, e->output_channels[ch].level,
                       e->output_channels[ch].hold, -60, meter_top, meter_bottom,
                       e->output_channels[ch].hold > ceiling + 0.05f);
    const float cy = 126.0f + 288.0f * clamp01(-ceiling / 60.0f);
    panel_line(vg, 757, cy, 783, cy, 1, theme_rgba(236, 86, 74, 200));
    std::snprintf(text, sizeof text, "%.1f", e->output_readout.hold);
    panel_text(vg, 770, 426, 9, 0, ALIGN_CENTRE,
               e->output_readout.hold > ceiling + 0.05f ? colours.alert : colours.text_white, text);
    for (int32_t v = 0; v >= -60; v -= 12) {
        std::snprintf(text, sizeof text, "%d", v);
        panel_text(vg, 785, 126.0f + 288.0f * (-v / 60.0f), 7, 0, ALIGN_LEFT, scale_colour, text);
    }

    // GR: the stages' reductions stacked from the top, 24 dB for the full bar.
    panel_text(vg, 816, 112, 8, 0.96f, ALIGN_CENTRE, colours.grey, "GR");
    panel_fill_rrect(vg, 806, 126, 20, 288, 2, theme_rgba(0, 0, 0, 110));
    float y = 126.0f;
    const int32_t stacked = e->group_count < 8 ? e->group_count : 8;
    for (int32_t i = 0; i < stacked; ++i) {
        const float h = clamp01(member_reduction_db(e->group[i]) / 24.0f) * 288.0f;
        if (h > 0.5f) {
            const theme_colour c = stage_colour(i);
            panel_fill_rrect_linear(vg, 806, y, 20, h, 1.5f, 0, y, 0, y + h, c, theme_with_alpha(c, 178));
            y += h;
        }
    }
    for (int32_t t = 3; t <= 24; t += 3) {
        const float ty = 126.0f + 288.0f * t / 24.0f;
        panel_line(vg, 806, ty, 826, ty, 1, theme_rgba(0, 0, 0, 100));
    }
    for (int32_t v = 0; v <= 24; v += 6) {
        std::snprintf(text, sizeof text, "%d", v);
        panel_text(vg, 830, 126.0f + 288.0f * v / 24.0f, 7, 0, ALIGN_LEFT, scale_colour, text);
    }
    std::snprintf(text, sizeof text, "-%.1f", e->chain_gr_shown);
    panel_text(vg, 816, 426, 9, 0, ALIGN_CENTRE, e->chain_gr_shown > 0.05f ? colours.alert : colours.text_white,
               text);

    // Loudness bars, -36..0 LUFS.
    panel_text(vg, 872, 112, 8, 0.96f, ALIGN_CENTRE, colours.grey, "LOUDNESS");
    const float lm = shm_load(last->momentary_lufs);
    const float ls = shm_load(last->short_term_lufs);
    const float li = shm_load(last->integrated_lufs);
    const double target_d = loudness_target_lufs(ui.loudness_target_index, ui.custom_target_lufs);
    const float target = static_cast<float>(target_d);
    panel_fill_rrect(vg, 852, 126, 40, 288, 2, theme_rgba(0, 0, 0, 110));
    const float fs = clamp01((ls + 36.0f) / 36.0f);
    const float fm = clamp01((lm + 36.0f) / 36.0f);
    if (fs > 0.002f)
        panel_fill_rrect_linear(vg, 852, 414 - 288 * fs, 26, 288 * fs, 1.5f, 0, 126, 0, 414, theme_rgb(255, 205, 96),
                                theme_rgb(150, 110, 40));
    if (fm > 0.002f)
        panel_fill_rrect_linear(vg, 881, 414 - 288 * fm, 11, 288 * fm, 1.5f, 0, 126, 0, 414, theme_rgb(255, 205, 96),
                                theme_rgb(150, 110, 40));
    for (float sy = 406.0f; sy > 126.0f; sy -= 8.0f) panel_line(vg, 852, sy, 892, sy, 1, theme_rgba(0, 0, 0, 90));
    if (li > -36.0f) {
        const float fi = (li + 36.0f) / 36.0f < 1.0f ? (li + 36.0f) / 36.0f : 1.0f;
        panel_fill_rrect(vg, 849, 414 - 288 * fi - 1, 46, 2, 1, theme_rgba(255, 255, 255, 220));
    }
    const float yt = 414.0f - 288.0f * clamp01((target + 36.0f) / 36.0f);
    panel_line(vg, 848, yt, 896, yt, 1.5f, theme_rgba(255, 182, 74, 220));
    for (int32_t v = 0; v >= -36; v -= 6) {
        std::snprintf(text, sizeof text, "%d", v);
        panel_text(vg, 898, 414.0f - 288.0f * (v + 36) / 36.0f, 7, 0, ALIGN_LEFT, scale_colour, text);
    }
    std::snprintf(text, sizeof text, "%d %s", static_cast<int32_t>(target),
                  loudness_targets[target_row(ui.loudness_target_index)].short_label);
    const float tag_w = panel_text_width(vg, 7.5f, 0, text) + 6.0f;
    panel_fill_rrect(vg, 896, yt - 14, tag_w, 12, 2, theme_rgba(14, 16, 22, 230));
    panel_text(vg, 899, yt - 8, 7.5f, 0, ALIGN_LEFT, colours.orange, text);
    panel_text(vg, 865, 426, 7, 0.84f, ALIGN_CENTRE, colours.grey, "S");
    panel_text(vg, 886, 426, 7, 0.84f, ALIGN_CENTRE, colours.grey, "M");

    // The big number (frozen while paused) and its distance to the target.
    float readout = static_cast<float>(readout_of(last, ui.readout_mode));
    if (e->loudness_paused)
        readout = e->frozen_readout;
    else
        e->frozen_readout = readout;
    if (readout > -99.0f)
        std::snprintf(text, sizeof text, "%.1f", readout);
    else
        std::snprintf(text, sizeof text, "-inf");
    panel_text(vg, 826, 462, 26, 0, ALIGN_RIGHT, readout > target + 0.5f ? colours.alert : colours.text_white, text);
    panel_text(vg, 832, 458, 8, 0.96f, ALIGN_LEFT, colours.grey,
               ui.readout_mode == 0 ? "LUFS S" : (ui.readout_mode == 1 ? "LUFS M" : "LUFS I"));
    std::snprintf(text, sizeof text, "%+.1f LU", readout > -99.0f ? readout - target : 0.0f);
    panel_text(vg, 832, 472, 9, 0, ALIGN_LEFT, colours.grey, text);

    draw_button(vg, 728, 490, 82, 20, readout_mode_names[ui.readout_mode < 3 ? ui.readout_mode : 2], false,
                e->hover_kind == WIDGET_READOUT_MODE);
    hit_record(e, WIDGET_READOUT_MODE, -1, 0, 728, 490, 82, 20);
    draw_button(vg, 816, 490, 124, 20, loudness_targets[target_row(ui.loudness_target_index)].label, false,
                e->hover_kind == WIDGET_LOUDNESS_TARGET);
    hit_record(e, WIDGET_LOUDNESS_TARGET, -1, 0, 816, 490, 124, 20);
    draw_button(vg, 728, 516, 60, 20, e->loudness_paused ? "Resume" : "Pause", e->loudness_paused != 0,
                e->hover_kind == WIDGET_LOUDNESS_PAUSE);
    hit_record(e, WIDGET_LOUDNESS_PAUSE, -1, 0, 728, 516, 60, 20);
    draw_button(vg, 794, 516, 56, 20, "Reset", false, e->hover_kind == WIDGET_LOUDNESS_RESET);
    hit_record(e, WIDGET_LOUDNESS_RESET, -1, 0, 794, 516, 56, 20);

    float integrated = li;
    if (e->loudness_paused)
        integrated = e->frozen_integrated;
    else
        e->frozen_integrated = li;
    if (integrated > -99.0f)
        std::snprintf(text, sizeof text, "INT  %.1f", integrated);
    else
        std::snprintf(text, sizeof text, "INT  -inf");
    const float tw = panel_text_width(vg, 10, 0, text);
    panel_text(vg, 940, 526, 10, 0, ALIGN_RIGHT,
               e->hover_kind == WIDGET_INTEGRATED ? theme_rgb(240, 244, 255) : colours.text_white, text);
    hit_record(e, WIDGET_INTEGRATED, -1, 0, 936 - tw, 516, tw + 8, 20);

    // Switches of the focused stage.
    const shm_slot* fr = focused_stage_record(e);
    const int32_t fi = focused_stage_index(e);
    struct {
        const char* label;
        int32_t param;
        float x, w;
    } const switches[3] = {
        {"Delta", PARAM_DELTA_LISTEN, 728, 64}, {"Unity", PARAM_UNITY_GAIN, 798, 64}, {"Bypass", PARAM_BYPASS, 868, 72}};
    for (const auto& s : switches) {
        draw_button(vg, s.x, 542, s.w, 20, s.label, fr && slot_value(fr, s.param) >= 0.5,
                    e->hover_kind == WIDGET_SWITCH && e->hover_sub == s.param);
        hit_record(e, WIDGET_SWITCH, fi, s.param, s.x, 542, s.w, 20);
    }
}

void gain_to_target(editor_state* e) {
    const ui_settings& ui = e->instance->ui;
    const int32_t n = e->group_count;
    shm_slot* measured = e->instance->slot;
    for (int32_t i = n - 1; i >= 0; --i)
        if (e->group[i].live) {
            measured = e->group[i].slot;
            break;
        }
    if (!measured) return;
    const double level = e->loudness_paused ? static_cast<double>(e->frozen_readout)
                                            : readout_of(measured, ui.readout_mode);
    if (level <= -60.0) return;
    const double d = loudness_target_lufs(ui.loudness_target_index, ui.custom_target_lufs) - level;
    if (std::fabs(d) < 0.05) return;
    history_push(e, 0);
    if (n == 0) {
        shm_slot* own = e->instance->slot;
        slot_begin_gesture(own, PARAM_GAIN);
        slot_set_value(own, PARAM_GAIN, slot_value(own, PARAM_GAIN) + d);
        slot_end_gesture(own, PARAM_GAIN);
        return;
    }
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* s = e->group[i].slot;
        slot_begin_gesture(s, PARAM_GAIN);
        slot_set_value(s, PARAM_GAIN, slot_value(s, PARAM_GAIN) + gain_share_weight(e, i, n) * d);
        slot_end_gesture(s, PARAM_GAIN);
    }
}
