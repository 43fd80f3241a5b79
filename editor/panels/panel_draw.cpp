// The panels' single-path drawing steps on the vector layer. [main-thread]
#include "panel_draw.h"

#include <cmath>
#include <cstring>

#include "vg/vg.h"

namespace {

vg_color to_vg(theme_colour c) {
    return vg_rgba(c.r, c.g, c.b, c.a);
}

} // namespace

void panel_fill_rect(vg_context* vg, float x, float y, float w, float h, theme_colour c) {
    vg_begin_path(vg);
    vg_rect(vg, x, y, w, h);
    vg_fill_color(vg, to_vg(c));
    vg_fill(vg);
}

void panel_fill_rrect(vg_context* vg, float x, float y, float w, float h, float r, theme_colour c) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, r);
    vg_fill_color(vg, to_vg(c));
    vg_fill(vg);
}

void panel_fill_around(vg_context* vg, const float outer[4], const float hole[4]) {
    float t[6];
    vg_current_transform(vg, t);
    const double d = vg_device_pixel_ratio(vg);
    const auto px = [&](double canvas, int32_t axis) { return (t[4 + axis] + canvas) * d; };
    const double hx0 = std::ceil(px(hole[0], 0)), hy0 = std::ceil(px(hole[1], 1));
    const double hx1 = std::floor(px(hole[2], 0)), hy1 = std::floor(px(hole[3], 1));
    const double ox0 = std::floor(px(outer[0], 0)) - 2, oy0 = std::floor(px(outer[1], 1)) - 2;
    const double ox1 = std::ceil(px(outer[2], 0)) + 2, oy1 = std::ceil(px(outer[3], 1)) + 2;
    const bool upright = t[0] == 1.0f && t[3] == 1.0f && t[1] == 0.0f && t[2] == 0.0f;
    if (!upright || hx1 <= hx0 || hy1 <= hy0 || hx0 <= ox0 || hy0 <= oy0 || hx1 >= ox1 || hy1 >= oy1) {
        vg_reset_scissor(vg);
        vg_fill(vg);
        return;
    }
    const double bands[4][4] = {{ox0, oy0, ox1, hy0}, {ox0, hy1, ox1, oy1}, {ox0, hy0, hx0, hy1}, {hx1, hy0, ox1, hy1}};
    for (const auto& b : bands) {
        vg_scissor(vg, static_cast<float>(b[0] / d - t[4]), static_cast<float>(b[1] / d - t[5]),
                   static_cast<float>((b[2] - b[0]) / d), static_cast<float>((b[3] - b[1]) / d));
        vg_fill(vg);
    }
    vg_reset_scissor(vg);
}

void panel_fill_rrect_linear(vg_context* vg, float x, float y, float w, float h, float r, float x0, float y0,
                             float x1, float y1, theme_colour c0, theme_colour c1) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, r);
    vg_fill_paint(vg, vg_linear_gradient(vg, x0, y0, x1, y1, to_vg(c0), to_vg(c1)));
    vg_fill(vg);
}

void panel_stroke_rrect(vg_context* vg, float x, float y, float w, float h, float r, float width,
                        theme_colour c) {
    vg_begin_path(vg);
    vg_rounded_rect(vg, x, y, w, h, r);
    vg_stroke_width(vg, width);
    vg_stroke_color(vg, to_vg(c));
    vg_stroke(vg);
}

void panel_line(vg_context* vg, float x0, float y0, float x1, float y1, float width, theme_colour c) {
    vg_begin_path(vg);
    vg_move_to(vg, x0, y0);
    vg_line_to(vg, x1, y1);
    vg_line_cap(vg, VG_CAP_BUTT);
    vg_stroke_width(vg, width);
    vg_stroke_color(vg, to_vg(c));
    vg_stroke(vg);
}

void panel_fill_circle(vg_context* vg, float cx, float cy, float r, theme_colour c) {
    vg_begin_path(vg);
    vg_circle(vg, cx, cy, r);
    vg_fill_color(vg, to_vg(c));
    vg_fill(vg);
}

static int32_t vg_alignment(panel_align align) {
    const int32_t h = align == ALIGN_LEFT ? VG_ALIGN_LEFT : (align == ALIGN_RIGHT ? VG_ALIGN_RIGHT : VG_ALIGN_CENTER);
    return h | VG_ALIGN_MIDDLE;
}

void panel_text(vg_context* vg, float x, float y, float size, float spacing, panel_align align, theme_colour c,
                const char* text) {
    vg_font_size(vg, size);
    vg_letter_spacing(vg, spacing);
    vg_text_align(vg, vg_alignment(align));
    vg_fill_color(vg, to_vg(c));
    vg_text(vg, x, y, text, nullptr);
    if (spacing != 0.0f) vg_letter_spacing(vg, 0.0f);
}

float panel_text_width(vg_context* vg, float size, float spacing, const char* text) {
    vg_font_size(vg, size);
    vg_letter_spacing(vg, spacing);
    const float w = vg_text_bounds(vg, 0, 0, text, nullptr, nullptr);
    if (spacing != 0.0f) vg_letter_spacing(vg, 0.0f);
    return w;
}

float panel_fit_text(vg_context* vg, float size, float spacing, const char* text, float max_width, char* out,
                     int32_t out_size) {
    static constexpr char ellipsis[] = "\xE2\x80\xA6";
    out[0] = '\0';
    if (out_size < 4 || !text) return 0.0f;
    int32_t len = 0;
    while (text[len] != '\0' && len < out_size - 1) ++len;
    std::memcpy(out, text, static_cast<size_t>(len));
    out[len] = '\0';
    float w = panel_text_width(vg, size, spacing, out);
    if (w <= max_width && text[len] == '\0') return w;
    // Drop whole characters from the end (and the spaces before the cut) until the rest and the
    // ellipsis fit.
    while (len > 0) {
        do {
            --len;
        } while (len > 0 && (static_cast<uint8_t>(text[len]) & 0xC0) == 0x80);
        int32_t keep = len;
        while (keep > 0 && text[keep - 1] == ' ') --keep;
        if (keep + 4 > out_size) continue;
        std::memcpy(out, text, static_cast<size_t>(keep));
        std::memcpy(out + keep, ellipsis, 4);
        w = panel_text_width(vg, size, spacing, out);
        if (w <= max_width) return w;
    }
    std::memcpy(out, ellipsis, 4);
    w = panel_text_width(vg, size, spacing, out);
    if (w <= max_width) return w;
    out[0] = '\0';
    return 0.0f;
}

void panel_text_fit(vg_context* vg, float x, float y, float size, float spacing, panel_align align, theme_colour c,
                    const char* text, float max_width) {
    char fitted[160];
    if (panel_fit_text(vg, size, spacing, text, max_width, fitted, sizeof fitted) > 0.0f)
        panel_text(vg, x, y, size, spacing, align, c, fitted);
}

void panel_logo(vg_context* vg, float cx, float cy) {
    panel_fill_circle(vg, cx, cy, 6.154f, theme_rgb(255, 182, 74));
    vg_line_cap(vg, VG_CAP_ROUND);
    vg_stroke_width(vg, 3.791f);
    vg_stroke_color(vg, vg_rgbaf(255 / 255.0f, 182 / 255.0f, 74 / 255.0f, 0.85f));
    vg_begin_path(vg);
    vg_arc(vg, cx, cy, 17, -1.5708f, -0.3247f, VG_DIR_CW);
    vg_stroke(vg);
    vg_begin_path(vg);
    vg_arc(vg, cx, cy, 17, 1.5708f, 2.8169f, VG_DIR_CW);
    vg_stroke(vg);
    vg_line_cap(vg, VG_CAP_BUTT);
}
