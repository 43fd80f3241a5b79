// One editor frame: clear, the 960 x 600 design canvas scaled to the window and centred in it, the
// panels in their fixed order (later ones lie on top and win the hit test), the hit list moved into
// view units, then the one-time pixel probe with its report line for the host log and a pending
// screenshot.
//
// Geometry: with the window w x h pixels the scale is s = min(w / 960, h / 600) (the host scale, or
// 1, while the size is unknown); the canvas is drawn in view units (pixels / s) shifted by the
// centring offset ((w / s - 960) / 2, (h / s - 600) / 2), so a window wider than 16:10 gets bands
// left and right and a taller one bands above and below.
//
// Threads: the host's main thread, inside the window layer's expose event with the view's OpenGL
// context current. The frame allocates nothing but the screenshot buffer on request.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "editor.h"
#include "gl_table.h"
#include "panels/panel_draw.h"
#include "plugin_instance.h"
#include "platform.h"
#include "theme.h"
#include "vg.h"

void editor_frame_geometry(uint32_t width, uint32_t height, double host_scale, double* scale,
                           double* offset_x, double* offset_y) {
    double s = 1.0;
    if (width > 0 && height > 0) {
        const double sx = width / EDITOR_CANVAS_W;
        const double sy = height / EDITOR_CANVAS_H;
        s = sx < sy ? sx : sy;
    } else if (host_scale > 0.0) {
        s = host_scale;
    }
    *scale = s;
    *offset_x = (width / s - EDITOR_CANVAS_W) * 0.5;
    *offset_y = (height / s - EDITOR_CANVAS_H) * 0.5;
}

const hit_entry* editor_hit_test(const editor_state* editor, double x, double y) {
    const float px = static_cast<float>(x);
    const float py = static_cast<float>(y);
    int32_t count = editor->hit_count;
    if (count > HIT_LIST_CAPACITY) count = HIT_LIST_CAPACITY;
    for (int32_t i = count - 1; i >= 0; --i) {
        const hit_entry& e = editor->hits[i];
        if (px >= e.x && px < e.x + e.w && py >= e.y && py < e.y + e.h) return &e;
    }
    return nullptr;
}

namespace {

// The first drawn frame reads one pixel near the top-left corner back and reports the GL version,
// the pixel and the error state to the host log: a blank or black editor in a user's report is
// then told apart from a missing context at a glance.
void take_probe(editor_state* editor, uint32_t h) {
    editor->probe_taken = 1;
    uint8_t px[4] = {0, 0, 0, 0};
    gl_table.glReadPixels(10, static_cast<GLint>(h) - 10, 1, 1, glc::RGBA, glc::UNSIGNED_BYTE, px);
    std::memcpy(editor->probe_rgb, px, 3);
    const GLenum error = gl_table.glGetError();
    const GLubyte* version = gl_table.glGetString(glc::VERSION);
    char line[160];
    std::snprintf(line, sizeof line, "Lodrin editor: GL %s; first frame pixel(10,10) = %u,%u,%u; glGetError %u",
                  version ? reinterpret_cast<const char*>(version) : "", px[0], px[1], px[2], error);
    instance_log(editor->instance, CLAP_LOG_DEBUG, line);
}

// Binary PPM of the back buffer, top row first (OpenGL returns the bottom row first).
void write_screenshot(editor_state* editor, uint32_t w, uint32_t h) {
    editor->dump_requested = 0;
    const size_t row = static_cast<size_t>(w) * 3;
    auto* pixels = static_cast<uint8_t*>(std::malloc(row * h > 0 ? row * h : 1));
    if (!pixels) return;
    gl_table.glPixelStorei(glc::PACK_ALIGNMENT, 1);
    gl_table.glReadPixels(0, 0, static_cast<GLsizei>(w), static_cast<GLsizei>(h), glc::RGB, glc::UNSIGNED_BYTE,
                          pixels);
    if (FILE* f = std::fopen(editor->dump_path, "wb")) {
        std::fprintf(f, "P6\n%u %u\n255\n", w, h);
        for (uint32_t i = 0; i < h; ++i) std::fwrite(pixels + row * (h - 1 - i), 1, row, f);
        std::fclose(f);
    }
    std::free(pixels);
}

} // namespace

void editor_draw_canvas(editor_state* editor) {
    vg_context* vg = editor->vg;
    if (!vg) return;
    const uint32_t w = editor->width;
    const uint32_t h = editor->height;
    double s = 1.0, ox = 0.0, oy = 0.0;
    editor_frame_geometry(w, h, editor->host_scale, &s, &ox, &oy);

    editor_refresh_group(editor);
    const double t = editor_world_time();
    editor->hit_count = 0;

    vg_begin_frame(vg, static_cast<float>(w / s), static_cast<float>(h / s), static_cast<float>(s));
    vg_font_face_id(vg, editor->font_id);
    vg_translate(vg, static_cast<float>(ox), static_cast<float>(oy));

    vg_begin_path(vg);
    vg_rounded_rect(vg, 0, 0, 960, 600, 0);
    const theme_colour top = colours.background_top, bottom = colours.background_bottom;
    vg_fill_paint(vg, vg_linear_gradient(vg, 0, 0, 0, 600, vg_rgb(top.r, top.g, top.b),
                                         vg_rgb(bottom.r, bottom.g, bottom.b)));
    // The history graph's opaque ground covers its box but for the rounded corners and the edge
    // pixels; the background is not drawn under it.
    const float canvas[4] = {0, 0, 960, 600};
    float covered[4];
    history_graph_covered(covered);
    panel_fill_around(vg, canvas, covered);

    draw_header_bar(editor);
    draw_chain_panel(editor);
    draw_history_graph(editor, clock_ns());
    draw_loudness_panel(editor, t);
    draw_stage_grid(editor);
    draw_controls_panel(editor);
    draw_gain_fader(editor);
    draw_footer_bar(editor);
    draw_popup_menu(editor);
    draw_tooltip(editor, t);
    draw_text_entry_box(editor);
    draw_about_overlay(editor);

    const float fx = static_cast<float>(ox), fy = static_cast<float>(oy);
    for (int32_t i = 0; i < editor->hit_count; ++i) {
        editor->hits[i].x += fx;
        editor->hits[i].y += fy;
    }
    vg_end_frame(vg);
}

void editor_render_frame(editor_state* editor) {
    const uint32_t w = editor->width;
    const uint32_t h = editor->height;
    gl_table.glViewport(0, 0, static_cast<GLsizei>(w), static_cast<GLsizei>(h));
    gl_table.glClearColor(12 / 255.0f, 13 / 255.0f, 18 / 255.0f, 1.0f);
    gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::DEPTH_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
    if (!editor->vg) return;
    editor_draw_canvas(editor);
    if (!editor->probe_taken) take_probe(editor, h);
    if (editor->dump_requested) write_screenshot(editor, w, h);
}
