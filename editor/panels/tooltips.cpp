// The tooltip bubble of the hovered widget and the two text tables behind it: one help sentence per
// parameter and a title and help per widget kind. [main-thread]
#include <cstdio>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

namespace {

constexpr double TOOLTIP_DELAY_S = 0.55;

constexpr const char* param_help[PARAM_COUNT] = {
    "Input gain.",
    "How hard this stage is pushed (threshold = -gain).",
    "Max true peak out; drive comes from Gain. Red line = last stage's ceiling; dashed = this stage's, when not last.",
    "Recovery time of the transient envelope.",
    "Auto = order taken from the host's processing order.",
    "Chain this instance belongs to. Instances on different buses go in different groups.",
    "0% = channels limited independently, 100% = fully linked.",
    "Catch inter-sample peaks (4x oversampled detection).",
    "Sustained reduction recovers slowly, transients fast.",
    "Attack window. Changes the latency.",
    "Attack ramp and release character. Transparent < Allround < Punchy < Aggressive; Bus glues, Safe never pumps.",
    "TPDF dither to 24 or 16 bit; last stage only.",
    "Where the dither noise goes: flat, high-passed or ear-weighted.",
    "True bypass with a click-free fade. Latency stays constant.",
    "Listen to what limiting removes. Silence = no limiting.",
    "Monitor at input loudness: the static gain is undone at the output.",
    "Parallel blend: 100% the limited signal, 0% the raw input. Latency-aligned, phase-true.",
};

// Title and help of the kinds whose texts take no value.
struct fixed_tip {
    int32_t kind;
    const char* title;
    const char* help;
};
constexpr fixed_tip fixed_tips[] = {
    {WIDGET_CHAIN_MODE, "Chain mode", "Edit every stage at once; the slider becomes the chain total."},
    {WIDGET_PRESET_PREV, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {WIDGET_PRESET_NEXT, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {WIDGET_PRESET_MENU, "Presets",
     "Stage presets apply to the focused stage (or all in chain mode); chain presets to every position."},
    {WIDGET_LOUDNESS_TARGET, "Loudness target", "Reference line on the meter. Custom: wheel over this button."},
    {WIDGET_READOUT_MODE, "Loudness readout", "Short term (3 s), momentary (400 ms) or integrated."},
    {WIDGET_LOUDNESS_RESET, "Reset",
     "Start the integrated (INT) number over on every stage. Reset, play the whole song: INT is the average a "
     "streaming platform sees."},
    {WIDGET_LOUDNESS_PAUSE, "Pause",
     "Freeze the loudness numbers to note them, e.g. before stopping. Metering keeps running; Resume catches up."},
    {WIDGET_INTEGRATED, "Integrated loudness",
     "Gated average since the last Reset - the number streaming platforms check. Always shown here, whatever the "
     "big readout displays."},
    {WIDGET_RESIZE_GRIP, "Resize", "Drag to resize the window. Remembered with the project."},
    {WIDGET_SPREAD, "Spread", "How a chain-total change is shared: Even, Front (first stages more) or Back."},
    {WIDGET_GRID, "Grid", "All stages side by side, editable. Remembered with the project."},
    {WIDGET_MIDI_LEARN, "MIDI learn", "Click, then a control, then move a controller. Click a mapped control to unmap."},
    {WIDGET_CONTROLS, "Controls", "Controls of the focused stage. Remembered with the project."},
    {WIDGET_AB, "A / B", "Compare two settings of the whole chain."},
    {WIDGET_COPY, "Copy", "Copy the current settings to the other slot."},
    {WIDGET_UNDO, "Undo", "Ctrl+Z. Steps back through edits made from this window."},
    {WIDGET_REDO, "Redo", "Ctrl+Y or Ctrl+Shift+Z."},
    {WIDGET_DITHER, "Dither",
     "TPDF dither to 24 or 16 bit. Use it on the last stage only, when rendering to a fixed word length."},
    {WIDGET_SHAPING, "Noise shaping",
     "Pushes the dither noise where the ear is least sensitive. Weighted = 9-tap E-weighted curve."},
    {WIDGET_ABOUT, "Lodrin", "About this plugin."},
    {WIDGET_GAIN_TO_TARGET, "Gain to target",
     "Move the chain's gain so the loudness readout meets the target, shared out by Spread. Limiting is "
     "nonlinear: click again to refine."},
};

// The stage a tooltip speaks of: the listed entry at the widget's index, else the focused record.
const shm_slot* tooltip_stage(const editor_state* e, int32_t index) {
    if (index >= 0 && index < e->group_count) return e->group[index].slot;
    return focused_stage_record(e);
}

double stage_value(const shm_slot* s, int32_t param) {
    return s ? slot_value(s, param) : param_table[param].default_value;
}

} // namespace

const char* param_tooltip_text(int32_t param) {
    return (param >= 0 && param < PARAM_COUNT) ? param_help[param] : "";
}

bool editor_widget_tooltip(const editor_state* e, const hit_entry* w, char* title, size_t title_size, char* help,
                           size_t help_size) {
    char value[32];
    const int32_t kind = w->kind;
    switch (kind) {
        case WIDGET_KNOB:
        case WIDGET_SWITCH:
        case WIDGET_POSITION:
        case WIDGET_GRID_CELL:
        case WIDGET_STYLE: {
            if (w->sub < 0 || w->sub >= PARAM_COUNT) return false;
            const param_spec& spec = param_table[w->sub];
            format_param_value(w->sub, stage_value(tooltip_stage(e, w->index), w->sub), value, sizeof value);
            std::snprintf(title, title_size, "%s  %s", spec.name, value);
            const bool toggle = (spec.flags & PARAM_IS_STEPPED) && spec.max == 1.0;
            // What a press does on this widget: POSITION sets Auto on a double press and STYLE opens
            // its list instead of the typing the other controls offer.
            const char* use = toggle ? "Click toggles." : "Drag, wheel, double-click to type, Shift = fine.";
            if (kind == WIDGET_POSITION) use = "Drag or wheel to choose the place, double-click = Auto.";
            if (kind == WIDGET_STYLE) use = "Click opens the list, wheel steps through it.";
            std::snprintf(help, help_size, "%s  %s", param_help[w->sub], use);
            double runs_ms = 0;
            if (w->sub == PARAM_LOOKAHEAD && stage_lookahead_waits(tooltip_stage(e, w->index), &runs_ms)) {
                char runs[32];
                format_param_value(PARAM_LOOKAHEAD, runs_ms, runs, sizeof runs);
                std::snprintf(title, title_size, "%s  %s, not in force yet", spec.name, value);
                std::snprintf(help, help_size, "The stage still runs %s: the new lookahead takes effect when its host restarts it.",
                              runs);
            }
            return true;
        }
        case WIDGET_GAIN_FADER:
            if (e->chain_mode) {
                std::snprintf(title, title_size, "Chain total  %+.1f dB", chain_total_gain(e));
                std::snprintf(help, help_size, "Drag: the change is shared by every stage (see Spread).");
            } else {
                format_param_value(PARAM_GAIN, stage_value(tooltip_stage(e, w->index), PARAM_GAIN), value,
                                   sizeof value);
                std::snprintf(title, title_size, "Gain  %s", value);
                std::snprintf(help, help_size, "%s  Drag, wheel, double-click to type.", param_help[PARAM_GAIN]);
            }
            return true;
        case WIDGET_STAGE: {
            const bool listed = w->index >= 0 && w->index < e->group_count;
            const int32_t position = listed ? e->group[w->index].position : 0;
            format_param_value(PARAM_GAIN, stage_value(tooltip_stage(e, w->index), PARAM_GAIN), value, sizeof value);
            // 99 stands for a place not learned yet (the card shows 0): no number to name.
            if (position >= 99)
                std::snprintf(title, title_size, "Stage, place not known yet  gain %s", value);
            else
                std::snprintf(title, title_size, "Stage %d  gain %s", position, value);
            std::snprintf(help, help_size,
                          "Click focuses it; drag or wheel changes its gain, double-click to type it, Ctrl+click = 0 dB.");
            return true;
        }
        case WIDGET_GROUP:
            if (w->sub >= 100) {
                std::snprintf(title, title_size, "New group");
                std::snprintf(help, help_size, "Put this instance alone in a chain of its own (group %c).",
                              static_cast<char>('A' + (w->sub - 100) % 26));
            } else {
                std::snprintf(title, title_size, "Group %c", static_cast<char>('A' + (w->sub < 0 ? 0 : w->sub % 26)));
                std::snprintf(help, help_size,
                              "One group = one chain (bus). Click: show its chain. Double-click or Alt+click: move "
                              "this instance into it.");
            }
            return true;
        default:
            break;
    }
    for (const fixed_tip& t : fixed_tips)
        if (t.kind == kind) {
            std::snprintf(title, title_size, "%s", t.title);
            std::snprintf(help, help_size, "%s", t.help);
            return true;
        }
    return false;
}

void draw_tooltip(editor_state* e, double now) {
    if (e->drag_kind != 0 || e->menu_kind != MENU_NONE || e->hover_kind == WIDGET_NONE) return;
    if (now - e->hover_start < TOOLTIP_DELAY_S) return;
    // The about box and its link line are gone once the box closed, and so is their tooltip, even
    // while the pointer has not moved and the hover still names them.
    if (e->hover_kind == WIDGET_ABOUT && e->hover_sub != 0 && !e->about_open) return;
    const hit_entry widget{e->hover_kind, e->hover_index, e->hover_sub, 0, 0, 0, 0};
    char title[96], help[200];
    if (!editor_widget_tooltip(e, &widget, title, sizeof title, help, sizeof help)) return;
    vg_context* vg = e->vg;
    const float tw = panel_text_width(vg, 11, 0, title);
    const float hw = panel_text_width(vg, 9.5f, 0, help);
    const float w = (tw > hw ? tw : hw) + 24.0f;
    // The pointer is kept in view units; the bubble is drawn on the canvas, which the frame centres
    // in the view, so the centring offset comes off first (it is 0 at the 960:600 aspect).
    double scale = 1.0, ox = 0.0, oy = 0.0;
    if (e->width > 0 && e->height > 0) editor_frame_geometry(e->width, e->height, e->host_scale, &scale, &ox, &oy);
    const float px = static_cast<float>(e->pointer_x - ox);
    const float py = static_cast<float>(e->pointer_y - oy);
    float x = px + 14.0f;
    if (x + w > 954.0f) x = 954.0f - w;
    float y = py + 20.0f;
    if (y + 40.0f > 594.0f) y = py - 50.0f;
    draw_drop_shadow(vg, x, y, w, 40, 5, 10, theme_rgba(0, 0, 0, 140));
    draw_fill_rounded(vg, x, y, w, 40, 5, theme_rgba(40, 44, 56, 245));
    draw_stroke_rounded(vg, x, y, w, 40, 5, 1, theme_rgba(255, 255, 255, 45));
    panel_text(vg, x + 12, y + 14, 11, 0, ALIGN_LEFT, colours.text_white, title);
    panel_text(vg, x + 12, y + 28, 9.5f, 0, ALIGN_LEFT, colours.grey, help);
}
