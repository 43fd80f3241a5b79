// What a frame asks for must reach the back end as asked: geometry in frame units under the
// transform, fill rules and hole orientation, arc directions, curve flattening within tolerance,
// stroke styles, paints with the global alpha, scissors, the state stack, and text runs with their
// measured advances. Checked through the recording back end, without a display.
#include <gtest/gtest.h>
#include <math.h>

#include <functional>
#include <string>
#include <vector>

#include "resources.h"
#include "vg.h"
#include "vg_record.h"

namespace {

class VgRecord : public ::testing::Test {
protected:
    vg_recorder* rec = nullptr;
    vg_context* vg = nullptr;
    int32_t font = -1;

    void SetUp() override {
        rec = vg_record_new();
        ASSERT_NE(rec, nullptr);
        vg = vg_create(vg_record_backend(), rec, VG_ANTIALIAS | VG_STENCIL_STROKES);
        ASSERT_NE(vg, nullptr);
        font = vg_create_font_mem(vg, "sans", lodrin_font_data, int32_t(lodrin_font_size), 0);
        ASSERT_GE(font, 0);
    }
    void TearDown() override {
        vg_delete(vg);
        vg_record_free(rec);
    }
    void frame(const std::function<void(vg_context*)>& draw, float dpr = 1.0f) {
        vg_begin_frame(vg, 960, 600, dpr);
        vg_font_face_id(vg, font);
        draw(vg);
        vg_end_frame(vg);
    }
    const vg_record_call& call(int32_t i) { return *vg_record_call_at(rec, i); }
    const vg_record_path& path(int32_t i) { return *vg_record_path_at(rec, i); }
    // Point k of recorded path i.
    void point(int32_t i, int32_t k, float* x, float* y) {
        const float* p = vg_record_points(rec) + 2 * (path(i).first_point + k);
        *x = p[0];
        *y = p[1];
    }
    float signed_area(int32_t i) {
        float a = 0;
        int32_t n = path(i).n_points;
        for (int32_t k = 0; k < n; ++k) {
            float x0, y0, x1, y1;
            point(i, k, &x0, &y0);
            point(i, (k + 1) % n, &x1, &y1);
            a += x0 * y1 - x1 * y0;
        }
        return a * 0.5f;
    }
};

TEST_F(VgRecord, RectangleUnderTransformArrivesInFrameUnits) {
    frame([](vg_context* v) {
        vg_translate(v, 100, 50);
        vg_scale(v, 2, 3);
        vg_global_alpha(v, 0.5f);
        vg_begin_path(v);
        vg_rect(v, 10, 10, 20, 10);
        vg_fill_color(v, vg_rgba(255, 0, 0, 200));
        vg_fill(v);
    });
    ASSERT_EQ(vg_record_count(rec), 1);
    EXPECT_TRUE(vg_record_flushed(rec));
    const vg_record_call& c = call(0);
    EXPECT_EQ(c.kind, VG_RECORD_FILL);
    ASSERT_EQ(c.n_paths, 1);
    EXPECT_EQ(path(c.first_path).n_points, 4);
    EXPECT_TRUE(path(c.first_path).closed);
    EXPECT_TRUE(path(c.first_path).convex);
    // (10, 10)-(30, 20) scaled by (2, 3) and moved by (100, 50); the fringe adds half a pixel.
    EXPECT_NEAR(c.bounds[0], 119.5f, 1e-4f);
    EXPECT_NEAR(c.bounds[1], 79.5f, 1e-4f);
    EXPECT_NEAR(c.bounds[2], 160.5f, 1e-4f);
    EXPECT_NEAR(c.bounds[3], 110.5f, 1e-4f);
    EXPECT_FLOAT_EQ(c.fringe, 1.0f);
    EXPECT_NEAR(c.paint.inner.a, 200.0f / 255.0f * 0.5f, 1e-6f);
    EXPECT_EQ(c.paint.kind, VG_PAINT_SOLID);
}

// Holes are stored against the solid orientation whatever order their points came in, and only
// paths that turn one way throughout count as convex.
TEST_F(VgRecord, WindingAndConvexity) {
    struct shape_case {
        const char* name;
        std::function<void(vg_context*)> draw;
        std::vector<int32_t> convex;
        std::vector<int32_t> solid; // 1 solid, 0 hole
    };
    auto reversed_square = [](vg_context* v, float x, float y, float s) {
        vg_move_to(v, x, y);
        vg_line_to(v, x, y + s);
        vg_line_to(v, x + s, y + s);
        vg_line_to(v, x + s, y);
        vg_close_path(v);
    };
    const std::vector<shape_case> cases = {
        {"circle", [](vg_context* v) { vg_circle(v, 100, 100, 40); }, {1}, {1}},
        {"rounded rectangle", [](vg_context* v) { vg_rounded_rect(v, 10, 10, 100, 40, 8); }, {1}, {1}},
        {"square drawn the other way round", [&](vg_context* v) { reversed_square(v, 10, 10, 50); }, {1}, {1}},
        {"L shape",
         [](vg_context* v) {
             vg_move_to(v, 0, 0);
             vg_line_to(v, 40, 0);
             vg_line_to(v, 40, 10);
             vg_line_to(v, 10, 10);
             vg_line_to(v, 10, 40);
             vg_line_to(v, 0, 40);
             vg_close_path(v);
         },
         {0},
         {1}},
        {"ring with holes drawn either way",
         [&](vg_context* v) {
             vg_circle(v, 100, 100, 50);
             vg_circle(v, 100, 100, 20);
             vg_path_winding(v, VG_WINDING_HOLE);
             vg_rect(v, 60, 60, 10, 10);
             vg_path_winding(v, VG_WINDING_HOLE);
             reversed_square(v, 130, 130, 8);
             vg_path_winding(v, VG_WINDING_HOLE);
         },
         {1, 1, 1, 1},
         {1, 0, 0, 0}},
    };
    for (const shape_case& sc : cases) {
        SCOPED_TRACE(sc.name);
        frame([&](vg_context* v) {
            vg_begin_path(v);
            sc.draw(v);
            vg_fill(v);
        });
        ASSERT_EQ(vg_record_count(rec), 1);
        const vg_record_call& c = call(0);
        ASSERT_EQ(c.n_paths, int32_t(sc.convex.size()));
        for (int32_t i = 0; i < c.n_paths; ++i) {
            const vg_record_path& p = path(c.first_path + i);
            EXPECT_EQ(p.convex, sc.convex[size_t(i)]) << i;
            EXPECT_EQ(p.winding, sc.solid[size_t(i)] ? VG_WINDING_SOLID : VG_WINDING_HOLE) << i;
            // Solid: clockwise on screen (positive area with y down); holes the other way.
            EXPECT_EQ(signed_area(c.first_path + i) > 0, sc.solid[size_t(i)] == 1) << i;
        }
    }
}

// Arcs run the way asked, the short or the long way round, and every curve is flattened so that
// its points lie on it and its chords stay within a quarter device pixel, at any pixel ratio.
TEST_F(VgRecord, ArcsAndCurveFlattening) {
    const float kPi = 3.14159265f;
    struct arc_case {
        float a0, a1;
        int32_t dir;
        float sweep; // expected, radians, signed (clockwise positive)
        float dpr;
    };
    const arc_case cases[] = {
        {0, kPi / 2, VG_DIR_CW, kPi / 2, 1},
        {0, kPi / 2, VG_DIR_CCW, -3 * kPi / 2, 1},
        {-1.5708f, -0.3247f, VG_DIR_CW, 1.2461f, 1},
        {0, 2.670354f, VG_DIR_CCW, 2.670354f - 2 * kPi, 2},
        {2.3561945f, 7.0685835f, VG_DIR_CW, 4.712389f, 2},
        {0, 7 * kPi, VG_DIR_CW, 2 * kPi, 1}, // more than a turn is one full turn
    };
    const float cx = 300, cy = 200, r = 80;
    for (const arc_case& a : cases) {
        SCOPED_TRACE(a.a1);
        frame(
            [&](vg_context* v) {
                vg_begin_path(v);
                vg_arc(v, cx, cy, r, a.a0, a.a1, a.dir);
                vg_stroke(v);
            },
            a.dpr);
        ASSERT_EQ(vg_record_count(rec), 1);
        const int32_t pi = call(0).first_path;
        const int32_t n = path(pi).n_points;
        float swept = 0, prev = 0, x, y;
        for (int32_t k = 0; k < n; ++k) {
            point(pi, k, &x, &y);
            EXPECT_NEAR(hypotf(x - cx, y - cy), r, 0.26f / a.dpr);
            float ang = atan2f(y - cy, x - cx);
            if (k == 0) {
                EXPECT_NEAR(cosf(ang), cosf(a.a0), 1e-3f);
                EXPECT_NEAR(sinf(ang), sinf(a.a0), 1e-3f);
            } else {
                float d = ang - prev;
                while (d > kPi) d -= 2 * kPi;
                while (d < -kPi) d += 2 * kPi;
                swept += d;
                // Chord sag r (1 - cos(d / 2)) within the flattening tolerance.
                EXPECT_LE(r * (1 - cosf(d * 0.5f)), 0.25f / a.dpr + 1e-3f);
            }
            prev = ang;
        }
        if (fabsf(a.sweep) < 2 * kPi - 1e-3f) {
            EXPECT_NEAR(swept, a.sweep, 1e-2f);
        } else {
            // A full circle closes on its start point, which the flattening merges away.
            EXPECT_NEAR(fabsf(swept), 2 * kPi, 0.2f);
        }
    }
}

TEST_F(VgRecord, StrokeStylesScissorsAndStateStack) {
    frame([](vg_context* v) {
        vg_scale(v, 2, 2);
        vg_line_cap(v, VG_CAP_ROUND);
        vg_line_join(v, VG_JOIN_BEVEL);
        vg_stroke_width(v, 3);
        vg_stroke_color(v, vg_rgb(10, 20, 30));
        vg_scissor(v, 10, 20, 30, 40);
        vg_begin_path(v);
        vg_move_to(v, 0, 0);
        vg_line_to(v, 50, 0);
        vg_stroke(v);
        // Thinner than a pixel: drawn a pixel wide, fainter by the square of the width.
        vg_reset_transform(v);
        vg_reset_scissor(v);
        vg_stroke_width(v, 0.25f);
        vg_stroke(v);
        // 40 saves against a stack of 32: the extra ones are ignored (their changes land on the top
        // state), and restores stop at the bottom.
        for (int32_t i = 0; i < 40; ++i) {
            vg_save(v);
            vg_stroke_width(v, float(i + 1));
        }
        vg_stroke(v);
        for (int32_t i = 0; i < 40; ++i) vg_restore(v);
        vg_stroke(v);
        vg_shape_anti_alias(v, 0);
        vg_stroke(v);
    });
    ASSERT_EQ(vg_record_count(rec), 5);
    const vg_record_call& a = call(0);
    EXPECT_EQ(a.kind, VG_RECORD_STROKE);
    EXPECT_FLOAT_EQ(a.stroke.width, 6.0f);
    EXPECT_EQ(a.stroke.line_cap, VG_CAP_ROUND);
    EXPECT_EQ(a.stroke.line_join, VG_JOIN_BEVEL);
    EXPECT_NEAR(a.paint.inner.b, 30.0f / 255.0f, 1e-6f);
    // The scissor maps frame units to its centred space: (50, 80) is its centre, (80, 120) a corner.
    const float* t = a.scissor.xform;
    EXPECT_NEAR(t[0] * 50 + t[2] * 80 + t[4], 0, 1e-4f);
    EXPECT_NEAR(t[1] * 50 + t[3] * 80 + t[5], 0, 1e-4f);
    EXPECT_NEAR(t[0] * 80 + t[2] * 120 + t[4], 15, 1e-4f);
    EXPECT_NEAR(t[1] * 80 + t[3] * 120 + t[5], 20, 1e-4f);
    EXPECT_FLOAT_EQ(a.scissor.extent[0], 15);
    EXPECT_FLOAT_EQ(a.scissor.extent[1], 20);
    // Round caps reach half a width (plus half the fringe) beyond the ends, in frame units, as a
    // polygon within the flattening tolerance of the circle.
    EXPECT_NEAR(a.bounds[0], -3.5f, 0.25f);
    EXPECT_NEAR(a.bounds[2], 103.5f, 0.25f);
    EXPECT_NEAR(a.bounds[1], -3.5f, 1e-3f);

    const vg_record_call& thin = call(1);
    EXPECT_FLOAT_EQ(thin.stroke.width, 1.0f);
    EXPECT_NEAR(thin.paint.inner.a, 1.0f / 16.0f, 1e-6f);
    EXPECT_LT(thin.scissor.extent[0], 0);

    EXPECT_FLOAT_EQ(call(2).stroke.width, 40.0f);
    EXPECT_FLOAT_EQ(call(3).stroke.width, 1.0f);
    EXPECT_FLOAT_EQ(call(3).paint.inner.a, 1.0f / 16.0f);
    EXPECT_FLOAT_EQ(call(4).fringe, 0.0f);
    EXPECT_FLOAT_EQ(call(4).stroke.width, 0.25f);
}

TEST_F(VgRecord, GradientPaintsMapTheirStopsToPaintSpace) {
    frame([](vg_context* v) {
        vg_translate(v, 10, 20);
        vg_begin_path(v);
        vg_rect(v, 0, 0, 100, 100);
        vg_fill_paint(v, vg_linear_gradient(v, 0, 0, 0, 40, vg_rgb(255, 0, 0), vg_rgb(0, 0, 255)));
        vg_fill(v);
        vg_fill_paint(v, vg_radial_gradient(v, 50, 50, 5, 25, vg_rgb(255, 0, 0), vg_rgb(0, 0, 255)));
        vg_fill(v);
        vg_fill_paint(v, vg_box_gradient(v, 20, 30, 40, 60, 6, 10, vg_rgb(255, 0, 0), vg_rgb(0, 0, 255)));
        vg_fill(v);
    });
    ASSERT_EQ(vg_record_count(rec), 3);
    float x, y;
    // Linear: paint-space x runs 0 at the start to 1 at the end, which lie at frame (10, 20), (10, 60).
    const vg_paint& lin = call(0).paint;
    EXPECT_EQ(lin.kind, VG_PAINT_LINEAR);
    x = lin.xform[0] * 1 + lin.xform[4];
    y = lin.xform[1] * 1 + lin.xform[5];
    EXPECT_NEAR(x, 10, 1e-4f);
    EXPECT_NEAR(y, 60, 1e-4f);
    const vg_paint& rad = call(1).paint;
    EXPECT_EQ(rad.kind, VG_PAINT_RADIAL);
    EXPECT_NEAR(rad.xform[4], 60, 1e-4f);
    EXPECT_NEAR(rad.xform[5], 70, 1e-4f);
    EXPECT_FLOAT_EQ(rad.params[0], 5);
    EXPECT_FLOAT_EQ(rad.params[1], 25);
    const vg_paint& box = call(2).paint;
    EXPECT_EQ(box.kind, VG_PAINT_BOX);
    EXPECT_NEAR(box.xform[4], 50, 1e-4f); // centre of (20, 30, 40, 60) moved by (10, 20)
    EXPECT_NEAR(box.xform[5], 80, 1e-4f);
    EXPECT_FLOAT_EQ(box.params[0], 20);
    EXPECT_FLOAT_EQ(box.params[1], 30);
    EXPECT_FLOAT_EQ(box.params[2], 6);
    EXPECT_FLOAT_EQ(box.params[3], 10);
}

// Text runs: what was written, where, how big, and the advance that layout relies on: letter
// spacing adds once per character (a multi-byte character counts once), alignment moves the box
// and not the advance, and the advance scales with the size.
TEST_F(VgRecord, TextRunsAndTheirMeasures) {
    struct text_case {
        const char* text;
        float size, spacing;
        int32_t align;
    };
    const text_case cases[] = {
        {"Gain", 11, 0, VG_ALIGN_LEFT | VG_ALIGN_BASELINE},
        {"Gain", 22, 0, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE},
        {"Gain", 11, 1.5f, VG_ALIGN_RIGHT | VG_ALIGN_TOP},
        {"-12.5 dB", 8.5f, 1.02f, VG_ALIGN_CENTER | VG_ALIGN_MIDDLE},
        {"Réglage", 10, 2, VG_ALIGN_LEFT | VG_ALIGN_BOTTOM},
        {"", 10, 2, VG_ALIGN_LEFT | VG_ALIGN_BASELINE},
    };
    float base_11 = 0;
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.text);
        float adv = 0, plain = 0, b[4];
        frame([&](vg_context* v) {
            vg_translate(v, 5, 7);
            vg_font_size(v, c.size);
            vg_text_align(v, c.align);
            plain = vg_text_bounds(v, 100, 50, c.text, nullptr, nullptr);
            vg_letter_spacing(v, c.spacing);
            vg_text_bounds(v, 100, 50, c.text, nullptr, b);
            adv = vg_text(v, 100, 50, c.text, nullptr);
        });
        ASSERT_EQ(vg_record_count(rec), 1);
        const vg_record_call& r = call(0);
        EXPECT_EQ(r.kind, VG_RECORD_TEXT);
        EXPECT_STREQ(r.run.text, c.text);
        EXPECT_EQ(vg_record_find_text(rec, c.text, 0), 0);
        EXPECT_FLOAT_EQ(r.run.x, 100);
        EXPECT_FLOAT_EQ(r.run.frame_x, 105);
        EXPECT_FLOAT_EQ(r.run.frame_y, 57);
        EXPECT_FLOAT_EQ(r.run.size, c.size);
        EXPECT_EQ(r.run.align, c.align);
        EXPECT_FLOAT_EQ(r.run.advance, adv);
        int32_t chars = 0;
        for (const char* p = c.text; *p; ++p) chars += (uint8_t(*p) & 0xc0) != 0x80;
        EXPECT_NEAR(adv, plain + c.spacing * float(chars), 1e-3f);
        EXPECT_NEAR(b[2] - b[0], adv, 1e-3f);
        if (c.align & VG_ALIGN_CENTER) {
            EXPECT_NEAR((b[0] + b[2]) / 2, 100, 1e-3f);
        }
        if (c.align & VG_ALIGN_RIGHT) {
            EXPECT_NEAR(b[2], 100, 1e-3f);
        }
        if (c.align & VG_ALIGN_LEFT) {
            EXPECT_NEAR(b[0], 100, 1e-3f);
        }
        if (c.align & VG_ALIGN_TOP) {
            EXPECT_NEAR(b[1], 50, 1e-3f);
        }
        if (c.align & VG_ALIGN_BOTTOM) {
            EXPECT_NEAR(b[3], 50, 1e-3f);
        }
        if (c.align & VG_ALIGN_MIDDLE) {
            EXPECT_NEAR((b[1] + b[3]) / 2, 50, 1e-3f);
        }
        if (chars == 0) {
            EXPECT_EQ(adv, 0);
            EXPECT_EQ(r.n_verts, 0);
        } else {
            EXPECT_GT(r.n_verts, 0);
            EXPECT_EQ(r.n_verts % 6, 0);
        }
        if (c.size == 11 && c.spacing == 0) base_11 = plain;
        if (c.size == 22 && std::string(c.text) == "Gain") {
            EXPECT_NEAR(plain, 2 * base_11, 1e-3f);
        }
    }
}

// A coordinate that is not a finite number is left out instead of spoiling the whole shape.
TEST_F(VgRecord, NonFinitePointsAreLeftOut) {
    frame([](vg_context* v) {
        vg_begin_path(v);
        vg_move_to(v, 10, 10);
        vg_line_to(v, 50, 10);
        vg_line_to(v, NAN, 30);
        vg_line_to(v, 50, INFINITY);
        vg_line_to(v, 50, 50);
        vg_line_to(v, 10, 50);
        vg_close_path(v);
        vg_fill(v);
    });
    ASSERT_EQ(vg_record_count(rec), 1);
    EXPECT_EQ(path(call(0).first_path).n_points, 4);
    EXPECT_NEAR(call(0).bounds[0], 9.5f, 1e-4f);
    EXPECT_NEAR(call(0).bounds[3], 50.5f, 1e-4f);
}

TEST_F(VgRecord, FontsFrameEndsAndCancel) {
    EXPECT_EQ(vg_find_font(vg, "sans"), font);
    EXPECT_EQ(vg_find_font(vg, "serif"), -1);
    static const uint8_t junk[64] = {1, 2, 3};
    EXPECT_EQ(vg_create_font_mem(vg, "junk", junk, sizeof(junk), 0), -1);
    // Text without a usable font draws nothing and measures 0.
    frame([](vg_context* v) {
        vg_font_face_id(v, 7);
        EXPECT_EQ(vg_text(v, 0, 0, "x", nullptr), 0);
    });
    EXPECT_EQ(vg_record_count(rec), 0);

    vg_begin_frame(vg, 100, 80, 2.0f);
    vg_begin_path(vg);
    vg_rect(vg, 0, 0, 10, 10);
    vg_fill(vg);
    EXPECT_EQ(vg_record_count(rec), 1);
    EXPECT_FLOAT_EQ(vg_record_device_pixel_ratio(rec), 2.0f);
    EXPECT_FLOAT_EQ(vg_record_width(rec), 100);
    EXPECT_FLOAT_EQ(call(0).fringe, 0.5f); // one device pixel
    vg_cancel_frame(vg);
    EXPECT_EQ(vg_record_count(rec), 0);
    EXPECT_FALSE(vg_record_flushed(rec));
}

// When even the largest atlas is full, the glyphs that do not fit are left out of that frame only:
// the next frame starts from an empty atlas and draws them.
TEST_F(VgRecord, FullAtlasRecoversOnTheNextFrame) {
    const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    int32_t short_runs = 0;
    frame([&](vg_context* v) {
        for (int32_t i = 0; i < 40 && short_runs == 0; ++i) {
            vg_font_size(v, 300.0f + 5.0f * float(i));
            vg_text(v, 0, 0, letters, nullptr);
            short_runs += call(vg_record_count(rec) - 1).n_verts < 6 * 52;
        }
        vg_font_size(v, 11);
        vg_text(v, 0, 0, "Hi", nullptr);
    });
    ASSERT_EQ(short_runs, 1) << "the atlas never filled up";
    EXPECT_EQ(call(vg_record_count(rec) - 1).n_verts, 0);
    frame([](vg_context* v) {
        vg_font_size(v, 11);
        vg_text(v, 0, 0, "Hi", nullptr);
    });
    EXPECT_EQ(call(0).n_verts, 12);
}

} // namespace
