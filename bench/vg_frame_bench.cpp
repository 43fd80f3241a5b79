// Frame cost of the drawing layer on OpenGL: a 960 x 600 scene in the editor's manner (about 300
// paths: gradients, rounded boxes, knobs with arcs, meter bars, long polylines; about 100 text
// runs at small sizes), drawn repeatedly. Prints the median per frame over 300 frames of
//   - the drawing thread's CPU time (building, tessellating, submitting; glFinish excluded),
//   - the wall time including glFinish (the rasteriser's work too),
//   - the process CPU time including glFinish (with a software rasteriser, its threads too).
// Run under an X server (tests/gui/with_xvfb.sh). Optional argument: a PPM file for one frame.
#include <math.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "gl_table.h"
#include "gl_test_context.h"
#include "resources.h"
#include "vg_gl3.h"

namespace {

constexpr int32_t kW = 960, kH = 600;

double now(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int32_t g_paths, g_texts;

void fill(vg_context* v) {
    vg_fill(v);
    g_paths++;
}
void stroke(vg_context* v) {
    vg_stroke(v);
    g_paths++;
}
void text(vg_context* v, float x, float y, const char* s) {
    vg_text(v, x, y, s, nullptr);
    g_texts++;
}

void button(vg_context* v, float x, float y, float w, float h, const char* label, bool active) {
    vg_begin_path(v);
    vg_rounded_rect(v, x, y, w, h, h / 2);
    vg_fill_paint(v, vg_linear_gradient(v, x, y, x, y + h, active ? vg_rgb(64, 58, 44) : vg_rgb(38, 41, 50),
                                        active ? vg_rgb(46, 42, 34) : vg_rgb(26, 28, 35)));
    fill(v);
    vg_begin_path(v);
    vg_rounded_rect(v, x + 0.5f, y + 0.5f, w - 1, h - 1, h / 2);
    vg_stroke_width(v, 1);
    vg_stroke_color(v, active ? vg_rgba(255, 182, 74, 120) : vg_rgba(255, 255, 255, 14));
    stroke(v);
    vg_font_size(v, 11);
    vg_text_align(v, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE);
    vg_fill_color(v, active ? vg_rgb(255, 182, 74) : vg_rgb(226, 229, 237));
    text(v, x + w / 2, y + h / 2, label);
}

void knob(vg_context* v, float cx, float cy, float r, float value, const char* label, const char* value_text) {
    float a = 2.3561945f + value * 4.712389f;
    vg_begin_path(v);
    vg_circle(v, cx, cy + 2, 1.5f * r);
    vg_fill_paint(v, vg_radial_gradient(v, cx, cy + 2, 0.8f * r, 1.5f * r, vg_rgba(0, 0, 0, 120), vg_rgba(0, 0, 0, 0)));
    fill(v);
    vg_begin_path(v);
    vg_circle(v, cx, cy, r);
    vg_fill_paint(v, vg_radial_gradient(v, cx - 0.4f * r, cy - 0.5f * r, 0.2f * r, 1.2f * r, vg_rgb(58, 62, 74),
                                        vg_rgb(24, 26, 33)));
    fill(v);
    vg_begin_path(v);
    vg_circle(v, cx, cy, r - 0.5f);
    vg_stroke_width(v, 1);
    vg_stroke_color(v, vg_rgba(255, 255, 255, 18));
    stroke(v);
    vg_line_cap(v, VG_CAP_ROUND);
    vg_begin_path(v);
    vg_arc(v, cx, cy, r + 5, 2.3561945f, 7.0685835f, VG_DIR_CW);
    vg_stroke_width(v, 2.5f);
    vg_stroke_color(v, vg_rgba(255, 255, 255, 22));
    stroke(v);
    vg_begin_path(v);
    vg_arc(v, cx, cy, r + 5, 2.3561945f, a, VG_DIR_CW);
    vg_stroke_width(v, 5);
    vg_stroke_color(v, vg_rgba(255, 182, 74, 45));
    stroke(v);
    vg_stroke_width(v, 2.5f);
    vg_stroke_color(v, vg_rgb(255, 182, 74));
    stroke(v);
    vg_begin_path(v);
    vg_move_to(v, cx + 0.45f * r * cosf(a), cy + 0.45f * r * sinf(a));
    vg_line_to(v, cx + (r - 3) * cosf(a), cy + (r - 3) * sinf(a));
    vg_stroke_width(v, 2);
    vg_stroke_color(v, vg_rgb(226, 229, 237));
    stroke(v);
    vg_line_cap(v, VG_CAP_BUTT);
    vg_font_size(v, 8.5f);
    vg_letter_spacing(v, 1.02f);
    vg_text_align(v, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE);
    vg_fill_color(v, vg_rgb(124, 130, 148));
    text(v, cx, cy - r - 13, label);
    vg_letter_spacing(v, 0);
    vg_font_size(v, 11);
    vg_fill_color(v, vg_rgb(226, 229, 237));
    text(v, cx, cy + r + 11, value_text);
}

void meter(vg_context* v, float x, float y, float w, float h, float f) {
    vg_begin_path(v);
    vg_rounded_rect(v, x, y, w, h, 2);
    vg_fill_color(v, vg_rgba(0, 0, 0, 110));
    fill(v);
    float hh = h * f;
    vg_begin_path(v);
    vg_rounded_rect(v, x, y + h - hh, w, hh, 1.5f);
    vg_fill_paint(v, vg_linear_gradient(v, x, y, x, y + h, vg_rgb(255, 182, 74), vg_rgb(80, 200, 120)));
    fill(v);
    for (float ly = y + h - 9; ly > y + h - hh; ly -= 9) {
        vg_begin_path(v);
        vg_move_to(v, x, ly);
        vg_line_to(v, x + w, ly);
        vg_stroke_width(v, 1);
        vg_stroke_color(v, vg_rgba(0, 0, 0, 90));
        stroke(v);
    }
}

void scene(vg_context* v, int32_t font, int32_t frame_no) {
    g_paths = g_texts = 0;
    vg_font_face_id(v, font);
    vg_begin_path(v);
    vg_rect(v, 0, 0, 960, 600);
    vg_fill_paint(v, vg_linear_gradient(v, 0, 0, 0, 600, vg_rgb(12, 13, 18), vg_rgb(21, 23, 30)));
    fill(v);
    // Header.
    vg_begin_path(v);
    vg_rect(v, 0, 0, 960, 40);
    vg_fill_paint(v, vg_linear_gradient(v, 0, 0, 0, 40, vg_rgb(28, 31, 40), vg_rgb(18, 20, 27)));
    fill(v);
    vg_font_size(v, 17);
    vg_letter_spacing(v, 2.04f);
    vg_text_align(v, VG_ALIGN_LEFT | VG_ALIGN_MIDDLE);
    vg_fill_color(v, vg_rgb(255, 182, 74));
    text(v, 18, 20, "LODRIN");
    vg_letter_spacing(v, 0);
    vg_font_size(v, 9.5f);
    vg_fill_color(v, vg_rgb(124, 130, 148));
    text(v, 110, 21, "stacked limiter");
    const char* labels[] = {"A/B", "Copy", "MIDI", "Grid", "Controls", "Reset", "Pause", "Spread"};
    for (int32_t i = 0; i < 8; ++i) button(v, 250.0f + 60.0f * float(i), 9, 54, 22, labels[i], i == frame_no % 8);
    // History graph: background, box shadow, grid, three long polylines, labels.
    vg_begin_path(v);
    vg_rounded_rect(v, 10, 100, 676, 464, 6);
    vg_fill_color(v, vg_rgb(8, 9, 12));
    fill(v);
    vg_begin_path(v);
    vg_rounded_rect(v, 10, 100, 676, 464, 6);
    vg_fill_paint(v, vg_box_gradient(v, 10, 100, 676, 464, 6, 40, vg_rgba(0, 0, 0, 0), vg_rgba(0, 0, 0, 140)));
    fill(v);
    vg_scissor(v, 10, 100, 676, 464);
    for (int32_t d = 0; d <= 10; ++d) {
        vg_begin_path(v);
        vg_move_to(v, 10, 100 + 46.4f * float(d));
        vg_line_to(v, 686, 100 + 46.4f * float(d));
        vg_stroke_width(v, 1);
        vg_stroke_color(v, vg_rgba(255, 255, 255, d % 4 == 0 ? 22 : 10));
        stroke(v);
    }
    float t = float(frame_no) * 0.05f;
    vg_shape_anti_alias(v, 0);
    vg_begin_path(v);
    vg_move_to(v, 10, 564);
    for (int32_t i = 0; i <= 338; ++i) vg_line_to(v, 10 + 2.0f * float(i), 300 + 80 * sinf(float(i) * 0.05f + t) * sinf(float(i) * 0.013f));
    vg_line_to(v, 686, 564);
    vg_close_path(v);
    vg_fill_paint(v, vg_linear_gradient(v, 0, 100, 0, 564, vg_rgba(172, 182, 212, 230), vg_rgba(72, 82, 116, 60)));
    fill(v);
    vg_shape_anti_alias(v, 1);
    vg_line_join(v, VG_JOIN_ROUND);
    vg_line_cap(v, VG_CAP_ROUND);
    for (int32_t k = 0; k < 3; ++k) {
        vg_begin_path(v);
        for (int32_t i = 0; i <= 338; ++i) {
            float y = 280 + 30.0f * float(k) + 80 * sinf(float(i) * 0.05f + t + float(k)) * sinf(float(i) * 0.013f);
            if (i == 0)
                vg_move_to(v, 10, y);
            else
                vg_line_to(v, 10 + 2.0f * float(i), y);
        }
        vg_stroke_width(v, k == 2 ? 2.0f : 1.3f);
        vg_stroke_color(v, k == 2 ? vg_rgba(255, 220, 150, 240) : vg_rgba(222, 230, 250, 235));
        stroke(v);
    }
    vg_line_cap(v, VG_CAP_BUTT);
    vg_line_join(v, VG_JOIN_MITER);
    vg_reset_scissor(v);
    vg_font_size(v, 8.5f);
    vg_text_align(v, VG_ALIGN_LEFT | VG_ALIGN_MIDDLE);
    vg_fill_color(v, vg_rgb(124, 130, 148));
    char buf[32];
    for (int32_t d = 0; d <= 30; d += 6) {
        snprintf(buf, sizeof(buf), "%d", -d);
        text(v, 692, 100 + 464.0f * float(d) / 30.0f, buf);
    }
    // Chain cards.
    for (int32_t i = 0; i < 8; ++i) {
        float x = 10 + 84.0f * float(i);
        vg_begin_path(v);
        vg_rounded_rect(v, x, 48, 78, 44, 4);
        vg_fill_color(v, vg_rgba(255, 255, 255, 8));
        fill(v);
        vg_begin_path(v);
        vg_rounded_rect(v, x + 0.5f, 48.5f, 77, 43, 4);
        vg_stroke_width(v, 1);
        vg_stroke_color(v, vg_rgba(255, 255, 255, 14));
        stroke(v);
        vg_font_size(v, 10);
        vg_text_align(v, VG_ALIGN_LEFT | VG_ALIGN_MIDDLE);
        vg_fill_color(v, vg_rgb(226, 229, 237));
        snprintf(buf, sizeof(buf), "Stage %d", i + 1);
        text(v, x + 8, 60, buf);
        snprintf(buf, sizeof(buf), "-%.1f dB", 0.1 * double((frame_no + 7 * i) % 60));
        vg_fill_color(v, vg_rgb(236, 86, 74));
        text(v, x + 8, 78, buf);
    }
    // Controls: 12 knobs.
    for (int32_t i = 0; i < 12; ++i) {
        float cx = 730.0f + 70.0f * float(i % 3), cy = 140.0f + 90.0f * float(i / 3);
        snprintf(buf, sizeof(buf), "%.1f dB", -12.0 + 0.1 * double((frame_no + i * 13) % 240));
        knob(v, cx, cy, 18, float((frame_no + 17 * i) % 100) / 100.0f, "CEILING", buf);
    }
    // Meters.
    for (int32_t i = 0; i < 8; ++i) meter(v, 700.0f + 30.0f * float(i), 500, 20, 80, float((frame_no + 11 * i) % 100) / 100.0f);
    // Footer texts and a grid of small labels.
    vg_font_size(v, 9);
    vg_text_align(v, VG_ALIGN_LEFT | VG_ALIGN_BASELINE);
    vg_fill_color(v, vg_rgb(78, 83, 98));
    for (int32_t i = 0; i < 40; ++i) {
        snprintf(buf, sizeof(buf), "%c%d %.2f", 'A' + i % 16, i, 0.37 * double(i + frame_no % 10));
        text(v, 14.0f + 84.0f * float(i % 8), 578.0f + 10.0f * float(i / 8) - 40.0f, buf);
    }
}

} // namespace

int main(int argc, char** argv) {
    gl_test_context* gl = gl_test_context_create(kW, kH);
    if (!gl) return 1;
    vg_context* vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
    if (!vg) return 1;
    int32_t font = vg_create_font_mem(vg, "sans", lodrin_font_data, int32_t(lodrin_font_size), 0);
    std::vector<double> cpu, wall, proc;
    for (int32_t f = 0; f < 330; ++f) {
        double w0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_THREAD_CPUTIME_ID), p0 = now(CLOCK_PROCESS_CPUTIME_ID);
        gl_table.glViewport(0, 0, kW, kH);
        gl_table.glClearColor(12 / 255.0f, 13 / 255.0f, 18 / 255.0f, 1);
        gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
        vg_begin_frame(vg, kW, kH, 1.0f);
        scene(vg, font, f);
        vg_end_frame(vg);
        double c1 = now(CLOCK_THREAD_CPUTIME_ID);
        gl_table.glFinish();
        double w1 = now(CLOCK_MONOTONIC), p1 = now(CLOCK_PROCESS_CPUTIME_ID);
        if (f >= 30) {
            cpu.push_back((c1 - c0) * 1e3);
            wall.push_back((w1 - w0) * 1e3);
            proc.push_back((p1 - p0) * 1e3);
        }
        if (f == 40 && argc > 1) gl_test_write_ppm(argv[1], gl_test_read_rgba(gl), kW, kH);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("%s\n", gl_test_context_version(gl));
    printf("scene: %d paths, %d text runs, %d x %d\n", g_paths, g_texts, kW, kH);
    printf("median over %zu frames: drawing thread CPU %.3f ms, wall incl. glFinish %.3f ms, process CPU incl. "
           "glFinish %.3f ms\n",
           cpu.size(), median(cpu), median(wall), median(proc));
    vg_delete(vg);
    gl_test_context_free(gl);
    return 0;
}
