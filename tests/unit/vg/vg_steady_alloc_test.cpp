// Steady frames must allocate nothing: a frame drawn again (same shapes, same glyphs) reuses the
// buffers the first one grew, in the front end, the tessellation, the text layout and the back end.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "alloc_counter.h"
#include "resources.h"
#include "vg.h"
#include "vg_record.h"

namespace {

void scene(vg_context* v, int32_t font, int32_t frame_no) {
    vg_font_face_id(v, font);
    vg_translate(v, 12, 0);
    for (int32_t i = 0; i < 40; ++i) {
        float x = 20.0f * float(i % 10), y = 30.0f * float(i / 10);
        vg_save(v);
        vg_begin_path(v);
        vg_rounded_rect(v, x, y, 18, 20, 4);
        vg_fill_paint(v, vg_linear_gradient(v, x, y, x, y + 20, vg_rgb(64, 58, 44), vg_rgb(46, 42, 34)));
        vg_fill(v);
        vg_stroke_color(v, vg_rgba(255, 255, 255, 14));
        vg_stroke(v);
        vg_line_cap(v, VG_CAP_ROUND);
        vg_line_join(v, VG_JOIN_ROUND);
        vg_begin_path(v);
        vg_arc(v, x + 9, y + 10, 8, 2.356f, 2.356f + 0.04f * float((frame_no + i) % 100), VG_DIR_CW);
        vg_stroke_width(v, 2.5f);
        vg_stroke(v);
        vg_restore(v);
    }
    vg_begin_path(v);
    vg_rect(v, 0, 200, 400, 100);
    vg_circle(v, 200, 250, 30);
    vg_path_winding(v, VG_WINDING_HOLE);
    vg_fill_paint(v, vg_box_gradient(v, 0, 200, 400, 100, 6, 20, vg_rgba(0, 0, 0, 0), vg_rgba(0, 0, 0, 140)));
    vg_fill(v);
    vg_scissor(v, 0, 200, 400, 100);
    vg_begin_path(v);
    for (int32_t i = 0; i < 400; ++i) vg_line_to(v, float(i), 250 + 40 * sinf(float(i + frame_no) * 0.05f));
    vg_stroke(v);
    vg_reset_scissor(v);
    char buf[32];
    for (int32_t i = 0; i < 30; ++i) {
        // Changing digits, from a fixed set of glyphs.
        snprintf(buf, sizeof(buf), "%.1f dB", -0.1 * double((frame_no * 7 + i) % 200));
        vg_font_size(v, i % 2 ? 11.0f : 8.5f);
        vg_text_align(v, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE);
        vg_text(v, 10.0f + 13.0f * float(i), 320, buf, nullptr);
    }
}

TEST(VgSteadyAlloc, RepeatedFramesAllocateNothing) {
    if (!alloc_counter_available()) GTEST_SKIP() << "allocation counting is not available in this build";
    vg_recorder* rec = vg_record_new();
    vg_context* vg = vg_create(vg_record_backend(), rec, VG_ANTIALIAS | VG_STENCIL_STROKES);
    ASSERT_NE(vg, nullptr);
    int32_t font = vg_create_font_mem(vg, "sans", lodrin_font_data, int32_t(lodrin_font_size), 0);
    // Warm up: every digit at both sizes and every pixel shift has been rasterised once, and the
    // buffers have grown to the scene's size.
    for (int32_t f = 0; f < 250; ++f) {
        vg_begin_frame(vg, 960, 600, 1.25f);
        scene(vg, font, f);
        vg_end_frame(vg);
    }
    const uint64_t before = alloc_counter_count();
    alloc_counter_set_counting(true);
    for (int32_t f = 0; f < 50; ++f) {
        vg_begin_frame(vg, 960, 600, 1.25f);
        scene(vg, font, f);
        vg_end_frame(vg);
    }
    alloc_counter_set_counting(false);
    EXPECT_EQ(alloc_counter_count() - before, 0u);
    // The counter does see this thread's allocations.
    alloc_counter_set_counting(true);
    void* volatile probe = malloc(24);
    alloc_counter_set_counting(false);
    free(probe);
    EXPECT_EQ(alloc_counter_count() - before, 1u);
    EXPECT_GT(vg_record_count(rec), 100);
    vg_delete(vg);
    vg_record_free(rec);
}

} // namespace
