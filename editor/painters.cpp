// The editor's shared drawing routines (see painters.h). Canvas units throughout; angles in radians,
// 0 along +x and growing clockwise on screen (y grows downwards).
#include <cmath>

#include "painters.h"
#include "vg.h"

namespace {

vg_color to_vg(theme_colour c) {
    return vg_rgba(c.r, c.g, c.b, c.a);
}

constexpr float KNOB_START = 2.3561945f; // 135 degrees: lower left
constexpr float KNOB_SWEEP = 4.712389f;  // 270 degrees, over the top to lower right
constexpr float KNOB_END = 7.0685835f;   // 405 degrees

} // namespace

void draw_drop_shadow(vg_context* vg, float x, float y, float w, float h, float radius, float feather,
                      theme_colour colour) {
    const vg_paint paint =
        vg_box_gradient(vg, x, y, w, h, radius, feather, to_vg(colour), vg_rgba(0, 0, 0, 0));
    vg_begin_path(vg);
    vg_rect(vg, x - feather, y - feather, w + 2 * feather, h + 2 * feather);
    vg_rounded_rect(vg, x, y, w, h, radius);
    vg_path_winding(vg, VG_WINDING_HOLE);
    vg_fill_paint(vg, paint);
    vg_fill(vg);
}

void draw_knob(vg_context* vg, float cx, float cy, float r, double value, const char* label,
               const char* value_text, bool hot, const theme_colour* value_colour) {
    const float a = KNOB_START + static_cast<float>(value) * KNOB_SWEEP;

    vg_begin_path(vg);
    vg_circle(vg, cx, cy + 2, 1.5f * r);
    vg_fill_paint(vg, vg_radial_gradient(vg, cx, cy + 2, 0.8f * r, 1.5f * r, vg_rgba(0, 0, 0, 120),
                                         vg_rgba(0, 0, 0, 0)));
    vg_fill(vg);

    vg_begin_path(vg);
    vg_circle(vg, cx, cy, r);
    vg_fill_paint(vg, vg_radial_gradient(vg, cx - 0.4f * r, cy - 0.5f * r, 0.2f * r, 1.2f * r,
                                         vg_rgb(58, 62, 74), vg_rgb(24, 26, 33)));
    vg_fill(vg);

    vg_begin_path(vg);
    vg_circle(vg, cx, cy, r - 0.5f);
    vg_stroke_width(vg, 1.0f);
    vg_stroke_color(vg, hot ? vg_rgba(255, 255, 255, 40) : vg_rgba(255, 255, 255, 18));
    vg_stroke(vg);

    vg_line_cap(vg, VG_CAP_ROUND);
    vg_begin_path(vg);
    vg_arc(vg, cx, cy, r + 5, KNOB_START, KNOB_END, VG_DIR_CW);
    vg_stroke_width(vg, 2.5f);
    vg_stroke_color(vg, vg_rgba(255, 255, 255, 22));
    vg_stroke(vg);

    if (value > 0.002) {
        vg_begin_path(vg);
        vg_arc(vg, cx, cy, r + 5, KNOB_START, a, VG_DIR_CW);
        vg_stroke_width(vg, 5.0f);
        vg_stroke_color(vg, vg_rgba(255, 182, 74, 45));
        vg_stroke(vg);
        vg_stroke_width(vg, 2.5f);
        vg_stroke_color(vg, to_vg(colours.orange));
        vg_stroke(vg);
    }

    const float ca = std::cos(a), sa = std::sin(a);
    vg_begin_path(vg);
    vg_move_to(vg, cx + 0.45f * r * ca, cy + 0.45f * r * sa);
    vg_line_to(vg, cx + (r - 3) * ca, cy + (r - 3) * sa);
    vg_stroke_width(vg, 2.0f);
    vg_stroke_color(vg, to_vg(hot ? colours.orange : colours.text_white));
    vg_stroke(vg);
    vg_line_cap(vg, VG_CAP_BUTT);

    // The caption keeps to the knob's column (2r + 28 wide, its hit box): a caption wider than that
    // at the spaced style loses the letter spacing, so that neighbouring captions stay apart.
    vg_font_size(vg, fonts.knob_label.size);
    vg_letter_spacing(vg, fonts.knob_label.spacing);
    vg_text_align(vg, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE);
    vg_fill_color(vg, to_vg(colours.grey));
    if (label && vg_text_bounds(vg, 0, 0, label, nullptr, nullptr) > 2.0f * r + 28.0f) vg_letter_spacing(vg, 0.0f);
    if (label) vg_text(vg, cx, cy - r - 13, label, nullptr);
    vg_letter_spacing(vg, 0.0f);

    vg_font_size(vg, fonts.label.size);
    vg_fill_color(vg, to_vg(value_colour ? *value_colour : hot ? colours.orange : colours.text_white));
    if (value_text) vg_text(vg, cx, cy + r + 11, value_text, nullptr);
}

void draw_meter_bar(vg_context* vg, float x, float y, float w, float h, float value, float peak,
                    float floor_db, theme_colour top, theme_colour bottom, bool alert) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, 2.0f);
    vg_fill_color(vg, vg_rgba(0, 0, 0, 110));
    vg_fill(vg);

    const float range = 0.0f - floor_db;
    float f = (value - floor_db) / range;
    if (!(f > 0.0f)) f = 0.0f; // NaN reads as empty
    if (f > 1.0f) f = 1.0f;
    const float filled = h * f;
    const float t = y + h - filled;
    if (filled > 0.5f) {
        vg_begin_path(vg);
        vg_rounded_rect(vg, x, t, w, filled, 1.5f);
        vg_fill_paint(vg, vg_linear_gradient(vg, x, y, x, y + h, to_vg(top), to_vg(bottom)));
        vg_fill(vg);
    }

    // One line every 1.5 dB of the scale, only inside the fill (strictly below its top edge).
    const float step = 1.5f * h / range;
    if (step > 0.0f) {
        vg_begin_path(vg);
        bool any = false;
        for (float ly = y + h - step; ly > t; ly -= step) {
            vg_move_to(vg, x, ly);
            vg_line_to(vg, x + w, ly);
            any = true;
        }
        if (any) {
            vg_stroke_width(vg, 1.0f);
            vg_stroke_color(vg, vg_rgba(0, 0, 0, 90));
            vg_stroke(vg);
        }
    }

    if (peak > floor_db) {
        float p = (peak - floor_db) / range;
        if (p > 1.0f) p = 1.0f;
        const float py = y + (1.0f - p) * h;
        vg_begin_path(vg);
        vg_rounded_rect(vg, x, py - 1, w, 2, 0.5f);
        vg_fill_color(vg, to_vg(alert ? colours.alert : colours.peak_hold));
        vg_fill(vg);
    }
}

void draw_header_panel(vg_context* vg, float x, float y, float w, float h) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, 5.0f);
    vg_fill_paint(vg, vg_linear_gradient(vg, 0, y, 0, y + h, vg_rgba(20, 23, 31, 205), vg_rgba(14, 16, 22, 232)));
    vg_fill(vg);

    vg_begin_path(vg);
    vg_move_to(vg, x + 6, y + 0.5f);
    vg_line_to(vg, x + w - 6, y + 0.5f);
    vg_stroke_width(vg, 1.0f);
    vg_stroke_color(vg, vg_rgba(255, 255, 255, 40));
    vg_stroke(vg);

    vg_begin_path(vg);
    vg_rounded_rect(vg, x + 0.5f, y + 0.5f, w - 1, h - 1, 5.0f);
    vg_stroke_color(vg, vg_rgba(255, 255, 255, 16));
    vg_stroke(vg);
}

void draw_button(vg_context* vg, float x, float y, float w, float h, const char* label, bool active,
                 bool highlighted) {
    const float r = h * 0.5f;
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, r);
    vg_fill_paint(vg, active ? vg_linear_gradient(vg, x, y, x, y + h, vg_rgb(64, 58, 44), vg_rgb(46, 42, 34))
                             : vg_linear_gradient(vg, x, y, x, y + h, vg_rgb(38, 41, 50), vg_rgb(26, 28, 35)));
    vg_fill(vg);

    vg_begin_path(vg);
    vg_rounded_rect(vg, x + 0.5f, y + 0.5f, w - 1, h - 1, r);
    vg_stroke_width(vg, 1.0f);
    vg_stroke_color(vg, highlighted ? to_vg(colours.orange)
                                    : (active ? vg_rgba(255, 182, 74, 120) : to_vg(colours.faint)));
    vg_stroke(vg);

    vg_font_size(vg, fonts.label.size);
    vg_letter_spacing(vg, 0.0f);
    vg_text_align(vg, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE);
    vg_fill_color(vg, to_vg(active ? colours.orange : colours.text_white));
    if (label) vg_text(vg, x + w * 0.5f, y + h * 0.5f, label, nullptr);
}

void draw_fill_rounded(vg_context* vg, float x, float y, float w, float h, float radius, theme_colour colour) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, radius);
    vg_fill_color(vg, to_vg(colour));
    vg_fill(vg);
}

void draw_stroke_rounded(vg_context* vg, float x, float y, float w, float h, float radius, float width,
                         theme_colour colour) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x + 0.5f, y + 0.5f, w - 1, h - 1, radius);
    vg_stroke_width(vg, width);
    vg_stroke_color(vg, to_vg(colour));
    vg_stroke(vg);
}

void draw_circular_arrow(vg_context* vg, float cx, float cy, bool mirrored, theme_colour colour) {
    constexpr float R = 5.5f;
    constexpr float END = 2.670354f; // 153 degrees
    vg_save(vg);
    vg_translate(vg, cx, cy);
    if (mirrored) vg_scale(vg, -1.0f, 1.0f);

    // Counter-clockwise from 0 to 153 degrees is the long way: 207 degrees over the top.
    vg_begin_path(vg);
    vg_arc(vg, 0, 0, R, 0.0f, END, VG_DIR_CCW);
    vg_stroke_width(vg, 1.6f);
    vg_line_cap(vg, VG_CAP_ROUND);
    vg_stroke_color(vg, to_vg(colour));
    vg_stroke(vg);

    // Arrow head at the arc's end: the tip 2.2 further along the direction of travel (which, going
    // counter-clockwise, is (sin, -cos)), the base 2 behind and 2.8 to either side along the radius.
    const float c = std::cos(END), s = std::sin(END);
    const float ex = R * c, ey = R * s;
    vg_begin_path(vg);
    vg_move_to(vg, ex + 2.2f * s, ey - 2.2f * c);
    vg_line_to(vg, ex - 2.0f * s + 2.8f * c, ey + 2.0f * c + 2.8f * s);
    vg_line_to(vg, ex - 2.0f * s - 2.8f * c, ey + 2.0f * c - 2.8f * s);
    vg_close_path(vg);
    vg_fill_color(vg, to_vg(colour));
    vg_fill(vg);

    vg_restore(vg);
}
