// Drawing faults that only pixels show: wrong or blended colours, coverage missing, doubled or
// jagged at edges, broken fill rules and holes, misplaced caps, gradients off their stops, scissor
// leaks, and blurry or misplaced text. Drawn through the OpenGL 3.2 back end into an off-screen
// surface and read back.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "gl_table.h"
#include "gl_test_context.h"
#include "resources.h"
#include "vg_gl3.h"

namespace {

constexpr int32_t kW = 256, kH = 256;

struct rgb {
    int r, g, b;
};

class VgPixels : public ::testing::Test {
protected:
    static gl_test_context* gl;
    static vg_context* vg;
    static int32_t font;

    static void SetUpTestSuite() {
        gl = gl_test_context_create(kW, kH);
        if (!gl) return;
        vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
        if (vg) font = vg_create_font_mem(vg, "sans", lodrin_font_data, int32_t(lodrin_font_size), 0);
    }
    static void TearDownTestSuite() {
        vg_delete(vg);
        vg = nullptr;
        gl_test_context_free(gl);
        gl = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(gl, nullptr);
        ASSERT_NE(vg, nullptr);
        ASSERT_GE(font, 0);
    }

    // Draws one frame of kW / dpr x kH / dpr units over black and returns its pixels.
    static std::vector<uint8_t> frame(const std::function<void(vg_context*)>& draw, float dpr = 1.0f) {
        gl_table.glViewport(0, 0, kW, kH);
        gl_table.glClearColor(0, 0, 0, 1);
        gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
        vg_begin_frame(vg, kW / dpr, kH / dpr, dpr);
        vg_font_face_id(vg, font);
        draw(vg);
        vg_end_frame(vg);
        EXPECT_EQ(gl_table.glGetError(), glc::NO_ERROR_);
        return gl_test_read_rgba(gl);
    }
    static rgb at(const std::vector<uint8_t>& p, int32_t x, int32_t y) {
        const uint8_t* q = &p[(size_t(y) * kW + size_t(x)) * 4];
        return {q[0], q[1], q[2]};
    }
};

gl_test_context* VgPixels::gl = nullptr;
vg_context* VgPixels::vg = nullptr;
int32_t VgPixels::font = -1;

void star(vg_context* vg, float cx, float cy, float r_out, float r_in, int32_t points) {
    for (int32_t i = 0; i < 2 * points; ++i) {
        float a = -1.5707963f + 3.14159265f * float(i) / float(points);
        float r = (i & 1) ? r_in : r_out;
        if (i == 0)
            vg_move_to(vg, cx + r * cosf(a), cy + r * sinf(a));
        else
            vg_line_to(vg, cx + r * cosf(a), cy + r * sinf(a));
    }
    vg_close_path(vg);
}

struct probe {
    int32_t x, y;
    rgb want;
    int tol;
};

struct scene_case {
    const char* name;
    std::function<void(vg_context*)> draw;
    std::vector<probe> probes;
};

const rgb kBlack{0, 0, 0}, kWhite{255, 255, 255};

TEST_F(VgPixels, ColoursAtChosenPoints) {
    const std::vector<scene_case> cases = {
        {"pixel-aligned rectangle: exact inside, nothing outside",
         [](vg_context* v) {
             vg_begin_path(v);
             vg_rect(v, 10, 10, 40, 30);
             vg_fill_color(v, vg_rgb(200, 100, 50));
             vg_fill(v);
         },
         {{10, 10, {200, 100, 50}, 0}, {49, 39, {200, 100, 50}, 0}, {30, 25, {200, 100, 50}, 0},
          {9, 20, kBlack, 0}, {50, 20, kBlack, 0}, {20, 9, kBlack, 0}, {20, 40, kBlack, 0}}},
        {"an opaque fill's antialiased edge still blends with what lies under it",
         [](vg_context* v) {
             vg_begin_path(v);
             vg_rect(v, 0, 0, 256, 256);
             vg_fill_color(v, vg_rgb(255, 255, 255));
             vg_fill(v);
             vg_begin_path(v);
             vg_rect(v, 10.5f, 10, 90, 40);
             vg_fill_color(v, vg_rgb(255, 0, 0));
             vg_fill(v);
         },
         {{10, 30, {255, 128, 128}, 4}, {50, 30, {255, 0, 0}, 0}, {100, 30, {255, 128, 128}, 4},
          {9, 30, kWhite, 0}}},
        {"concave star: arms and centre filled, the notches between them empty",
         [](vg_context* v) {
             vg_begin_path(v);
             star(v, 128, 128, 100, 40, 5);
             vg_fill_color(v, vg_rgb(255, 255, 255));
             vg_fill(v);
         },
         // Tip at the top (128, 28); an outer notch point lies at radius 70 on an inner vertex's ray.
         {{128, 128, kWhite, 0}, {128, 40, kWhite, 0}, {128, 20, kBlack, 0},
          {128 + int32_t(70 * cosf(-1.5707963f + 0.6283185f)), 128 + int32_t(70 * sinf(-1.5707963f + 0.6283185f)),
           kBlack, 0}}},
        {"self-crossing pentagram: the centre, wound twice, is filled (nonzero)",
         [](vg_context* v) {
             vg_begin_path(v);
             for (int32_t i = 0; i < 5; ++i) {
                 float a = -1.5707963f + 2.0f * 3.14159265f * float(2 * i % 5) / 5.0f;
                 if (i == 0)
                     vg_move_to(v, 128 + 100 * cosf(a), 128 + 100 * sinf(a));
                 else
                     vg_line_to(v, 128 + 100 * cosf(a), 128 + 100 * sinf(a));
             }
             vg_close_path(v);
             vg_fill_color(v, vg_rgb(255, 255, 255));
             vg_fill(v);
         },
         {{128, 128, kWhite, 0}, {128, 40, kWhite, 0}, {128, 240, kBlack, 0}}},
        {"ring: a hole cuts the inner disc, whichever way it was drawn",
         [](vg_context* v) {
             vg_begin_path(v);
             vg_circle(v, 70, 128, 60);
             vg_circle(v, 70, 128, 30);
             vg_path_winding(v, VG_WINDING_HOLE);
             // Second ring: its hole is a square drawn in the same turning sense as the solid one.
             vg_rect(v, 140, 70, 110, 110);
             vg_rect(v, 170, 100, 50, 50);
             vg_path_winding(v, VG_WINDING_HOLE);
             vg_fill_color(v, vg_rgb(0, 255, 0));
             vg_fill(v);
         },
         {{70, 128, kBlack, 0}, {70 + 45, 128, {0, 255, 0}, 0}, {70, 128 - 45, {0, 255, 0}, 0}, {70, 128 + 66, kBlack, 0},
          {195, 125, kBlack, 0}, {150, 125, {0, 255, 0}, 0}, {195, 75, {0, 255, 0}, 0}}},
        {"strokes 10 wide: butt ends at the point, round and square ends half a width beyond",
         [](vg_context* v) {
             vg_stroke_color(v, vg_rgb(255, 255, 255));
             vg_stroke_width(v, 10);
             const int32_t caps[3] = {VG_CAP_BUTT, VG_CAP_ROUND, VG_CAP_SQUARE};
             for (int32_t i = 0; i < 3; ++i) {
                 vg_line_cap(v, caps[i]);
                 vg_begin_path(v);
                 vg_move_to(v, 40, 40.0f + 60.0f * float(i));
                 vg_line_to(v, 200, 40.0f + 60.0f * float(i));
                 vg_stroke(v);
             }
         },
         {{120, 40, kWhite, 0}, {120, 35, kWhite, 0}, {120, 44, kWhite, 0}, {120, 33, kBlack, 0}, {120, 46, kBlack, 0},
          {40, 40, kWhite, 0}, {38, 40, kBlack, 0}, {199, 40, kWhite, 0}, {201, 40, kBlack, 0},
          {37, 100, kWhite, 0}, {33, 100, kBlack, 0}, {36, 95, kBlack, 0}, {203, 100, kWhite, 0}, {207, 100, kBlack, 0},
          {36, 156, kWhite, 0}, {33, 160, kBlack, 0}, {203, 164, kWhite, 0}, {206, 160, kBlack, 0}}},
        {"linear, radial and box gradients at their stops and half way",
         [](vg_context* v) {
             vg_begin_path(v);
             vg_rect(v, 0, 0, 256, 20);
             vg_fill_paint(v, vg_linear_gradient(v, 0, 0, 256, 0, vg_rgb(255, 0, 0), vg_rgb(0, 0, 255)));
             vg_fill(v);
             vg_begin_path(v);
             vg_rect(v, 0, 30, 120, 120);
             vg_fill_paint(v, vg_radial_gradient(v, 60, 90, 10, 50, vg_rgb(255, 255, 255), vg_rgb(0, 0, 0)));
             vg_fill(v);
             vg_begin_path(v);
             vg_rect(v, 130, 30, 126, 126);
             vg_fill_paint(v, vg_box_gradient(v, 153, 53, 80, 80, 0, 20, vg_rgb(255, 255, 255), vg_rgb(0, 0, 0)));
             vg_fill(v);
         },
         {{0, 10, {254, 0, 0}, 2}, {255, 10, {0, 0, 254}, 2}, {128, 10, {127, 0, 128}, 3},
          {60, 90, kWhite, 1}, {60 + 5, 90, kWhite, 1}, {60 + 30, 90, {128, 128, 128}, 8}, {60 + 55, 90, kBlack, 1},
          {193, 93, kWhite, 1}, {153, 93, {128, 128, 128}, 12}, {131, 93, kBlack, 24}}},
        {"scissor keeps the fill inside its rectangle, intersecting narrows it",
         [](vg_context* v) {
             vg_scissor(v, 50, 50, 40, 40);
             vg_begin_path(v);
             vg_rect(v, 0, 0, 256, 128);
             vg_fill_color(v, vg_rgb(255, 255, 255));
             vg_fill(v);
             vg_scissor(v, 150, 150, 60, 60);
             vg_intersect_scissor(v, 180, 120, 60, 60);
             vg_begin_path(v);
             vg_rect(v, 0, 128, 256, 128);
             vg_fill(v);
         },
         {{50, 50, kWhite, 0}, {89, 89, kWhite, 0}, {49, 60, kBlack, 0}, {90, 60, kBlack, 0}, {60, 91, kBlack, 0},
          {185, 175, kWhite, 0}, {175, 175, kBlack, 0}, {185, 185, kBlack, 0}}},
        {"global alpha halves a white fill; save and restore bring the alpha back",
         [](vg_context* v) {
             vg_save(v);
             vg_global_alpha(v, 0.5f);
             vg_begin_path(v);
             vg_rect(v, 0, 0, 100, 100);
             vg_fill_color(v, vg_rgb(255, 255, 255));
             vg_fill(v);
             vg_restore(v);
             vg_begin_path(v);
             vg_rect(v, 100, 0, 100, 100);
             vg_fill(v);
         },
         {{50, 50, {128, 128, 128}, 1}, {150, 50, kWhite, 0}}},
        {"a translucent stroke crossing itself is not blended twice where it overlaps",
         [](vg_context* v) {
             vg_begin_path(v);
             vg_move_to(v, 40, 40);
             vg_line_to(v, 216, 216);
             vg_line_to(v, 216, 40);
             vg_line_to(v, 40, 216);
             vg_line_join(v, VG_JOIN_ROUND);
             vg_stroke_width(v, 12);
             vg_stroke_color(v, vg_rgba(255, 255, 255, 128));
             vg_stroke(v);
         },
         {{128, 128, {128, 128, 128}, 2}, {80, 80, {128, 128, 128}, 2}, {216, 128, {128, 128, 128}, 2}}},
        {"two translucent strokes still blend where they cross; fills after them are whole",
         [](vg_context* v) {
             vg_stroke_width(v, 10);
             vg_stroke_color(v, vg_rgba(255, 255, 255, 128));
             vg_begin_path(v);
             vg_move_to(v, 20, 60);
             vg_line_to(v, 236, 60);
             vg_stroke(v);
             vg_begin_path(v);
             vg_move_to(v, 60, 20);
             vg_line_to(v, 60, 236);
             vg_stroke(v);
             // A small scissored star first: the marks must go everywhere, not only in its scissor.
             vg_save(v);
             vg_scissor(v, 200, 200, 20, 20);
             vg_begin_path(v);
             star(v, 210, 210, 10, 4, 5);
             vg_fill_color(v, vg_rgb(0, 255, 0));
             vg_fill(v);
             vg_restore(v);
             // The concave star counts windings over the strokes' marks: (80, 60) lies in a notch
             // between two of its arms, on the first stroke.
             vg_begin_path(v);
             star(v, 100, 100, 60, 25, 5);
             vg_fill_color(v, vg_rgb(0, 0, 255));
             vg_fill(v);
         },
         {{60, 60, {192, 192, 192}, 3}, {150, 60, {128, 128, 128}, 2}, {60, 180, {128, 128, 128}, 2},
          {80, 60, {128, 128, 128}, 2}, {100, 100, {0, 0, 255}, 0}, {100, 60, {0, 0, 255}, 0},
          {210, 210, {0, 255, 0}, 0}}},
        {"the 300th translucent stroke of a frame blends over the 299 before it",
         [](vg_context* v) {
             vg_stroke_width(v, 4);
             vg_stroke_color(v, vg_rgba(255, 255, 255, 128));
             for (int32_t i = 0; i < 299; ++i) {
                 vg_begin_path(v);
                 vg_move_to(v, 10, 10);
                 vg_line_to(v, 20, 10);
                 vg_stroke(v);
             }
             // Across the spot the others whitened and on over black.
             vg_begin_path(v);
             vg_move_to(v, 15, 0);
             vg_line_to(v, 15, 100);
             vg_stroke_color(v, vg_rgba(255, 0, 0, 128));
             vg_stroke(v);
         },
         {{15, 10, {255, 127, 127}, 2}, {15, 60, {128, 0, 0}, 2}, {18, 10, kWhite, 1}}},
        {"translate and scale move and grow the geometry, restore undoes them",
         [](vg_context* v) {
             vg_save(v);
             vg_translate(v, 100, 100);
             vg_scale(v, 2, 2);
             vg_begin_path(v);
             vg_rect(v, 0, 0, 10, 10);
             vg_fill_color(v, vg_rgb(255, 0, 255));
             vg_fill(v);
             vg_restore(v);
             vg_begin_path(v);
             vg_rect(v, 0, 0, 10, 10);
             vg_fill(v);
         },
         {{100, 100, {255, 0, 255}, 0}, {119, 119, {255, 0, 255}, 0}, {120, 110, kBlack, 0}, {99, 110, kBlack, 0},
          {5, 5, kWhite, 0}}},
    };
    for (const scene_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> p = frame(c.draw);
        for (const probe& q : c.probes) {
            rgb got = at(p, q.x, q.y);
            EXPECT_TRUE(abs(got.r - q.want.r) <= q.tol && abs(got.g - q.want.g) <= q.tol && abs(got.b - q.want.b) <= q.tol)
                << "at (" << q.x << ", " << q.y << "): got " << got.r << "," << got.g << "," << got.b << " want "
                << q.want.r << "," << q.want.g << "," << q.want.b << " +- " << q.tol;
        }
    }
}

// The area between two curves drawn as columns covers exactly the pixels the polygon around it
// covers with antialiasing off: curves sampled far closer than a pixel (as the history graph's),
// newest first, under a translation and a scissor, at two pixel ratios and mirrored.
TEST_F(VgPixels, ColumnFillCoversThePolygonsPixels) {
    constexpr int32_t n = 300;
    float xs[n], tops[n], bottoms[n];
    for (int32_t i = 0; i < n; ++i) {
        xs[i] = 230.0f - 0.71f * float(i);
        tops[i] = 90.0f + 50.0f * sinf(0.37f * float(i)) * cosf(0.051f * float(i)) + float(i % 7);
        bottoms[i] = i % 50 < 10 ? tops[i] : 200.0f - 20.0f * sinf(0.13f * float(i));
    }
    bool mirrored = false;
    auto scene = [&](bool columns) {
        return [&, columns](vg_context* v) {
            vg_translate(v, 3.25f, 1.5f);
            if (mirrored) {
                vg_translate(v, 250, 0);
                vg_scale(v, -1, 1);
            }
            vg_scissor(v, 30, 0, 180, 256);
            vg_shape_anti_alias(v, 0);
            vg_fill_color(v, vg_rgb(255, 255, 255));
            if (columns) {
                vg_fill_columns(v, xs, tops, bottoms, n);
                return;
            }
            vg_begin_path(v);
            vg_move_to(v, xs[0], tops[0]);
            for (int32_t i = 1; i < n; ++i) vg_line_to(v, xs[i], tops[i]);
            for (int32_t i = n - 1; i >= 0; --i) vg_line_to(v, xs[i], bottoms[i]);
            vg_close_path(v);
            vg_fill(v);
        };
    };
    for (float dpr : {1.0f, 2.0f, -1.0f}) {
        // -1: mirrored left to right, at ratio 1.
        mirrored = dpr < 0;
        dpr = fabsf(dpr);
        SCOPED_TRACE(mirrored ? "mirrored" : "upright");
        SCOPED_TRACE(dpr);
        const std::vector<uint8_t> want = frame(scene(false), dpr);
        const std::vector<uint8_t> got = frame(scene(true), dpr);
        int32_t filled = 0, differ = 0;
        for (int32_t y = 0; y < kH; ++y)
            for (int32_t x = 0; x < kW; ++x) {
                filled += at(want, x, y).r > 128;
                differ += (at(want, x, y).r > 128) != (at(got, x, y).r > 128);
            }
        EXPECT_GT(filled, 5000);
        // Pixel centres lying exactly on an edge may go either way; nothing else may.
        EXPECT_LE(differ, filled / 500) << differ << " of " << filled << " pixels differ";
    }
}

// Every pixel of an antialiased circle against the area it should cover: full well inside, none
// well outside, and in between a value near the covered fraction, at two pixel ratios.
TEST_F(VgPixels, CircleEdgeCoverageFollowsTheArea) {
    for (float dpr : {1.0f, 2.0f}) {
        SCOPED_TRACE(dpr);
        const float cx = 128.3f / dpr, cy = 120.6f / dpr, r = 70.4f / dpr;
        std::vector<uint8_t> p = frame(
            [&](vg_context* v) {
                vg_begin_path(v);
                vg_circle(v, cx, cy, r);
                vg_fill_color(v, vg_rgb(255, 255, 255));
                vg_fill(v);
            },
            dpr);
        int32_t partial = 0;
        for (int32_t y = 0; y < kH; ++y) {
            for (int32_t x = 0; x < kW; ++x) {
                float d = hypotf(x + 0.5f - cx * dpr, y + 0.5f - cy * dpr);
                int v = at(p, x, y).r;
                float want = fminf(1.0f, fmaxf(0.0f, r * dpr + 0.5f - d));
                if (d < r * dpr - 1.0f) {
                    ASSERT_EQ(v, 255) << x << "," << y;
                }
                if (d > r * dpr + 1.0f) {
                    ASSERT_EQ(v, 0) << x << "," << y;
                }
                EXPECT_NEAR(v / 255.0f, want, 0.3f) << x << "," << y;
                partial += v > 0 && v < 255;
            }
        }
        // Nearly every pixel the edge passes through is partly covered: no staircase.
        EXPECT_GT(partial, int32_t(2 * 3.14159f * r * dpr * 0.8f));
    }
}

// Text: the ink of a known string lies inside its measured box, the advance equals the box width,
// alignment moves the box as it says, and glyphs are sharp (stems reach full coverage) at both
// pixel ratios.
TEST_F(VgPixels, TextInkInsideItsBoundsAndSharp) {
    struct text_case {
        int32_t align;
        float size, spacing, dpr;
    };
    const text_case cases[] = {
        {VG_ALIGN_LEFT | VG_ALIGN_BASELINE, 24, 0, 1},
        {VG_ALIGN_CENTER | VG_ALIGN_MIDDLE, 11, 0, 1},
        {VG_ALIGN_RIGHT | VG_ALIGN_TOP, 17, 2.04f, 1},
        {VG_ALIGN_CENTER | VG_ALIGN_MIDDLE, 11, 1.02f, 2},
    };
    const char* s = "Lodrin HILL 1.0";
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.size);
        float b[4] = {0, 0, 0, 0}, adv_bounds = 0, adv_text = 0;
        const float x = 128 / c.dpr, y = 128 / c.dpr;
        std::vector<uint8_t> p = frame(
            [&](vg_context* v) {
                vg_font_size(v, c.size);
                vg_letter_spacing(v, c.spacing);
                vg_text_align(v, c.align);
                vg_fill_color(v, vg_rgb(255, 255, 255));
                adv_bounds = vg_text_bounds(v, x, y, s, nullptr, b);
                adv_text = vg_text(v, x, y, s, nullptr);
            },
            c.dpr);
        EXPECT_FLOAT_EQ(adv_bounds, adv_text);
        EXPECT_NEAR(b[2] - b[0], adv_text, 1e-3f);
        if (c.align & VG_ALIGN_CENTER) {
            EXPECT_NEAR((b[0] + b[2]) * 0.5f, x, 1e-3f);
        }
        if (c.align & VG_ALIGN_RIGHT) {
            EXPECT_NEAR(b[2], x, 1e-3f);
        }
        if (c.align & VG_ALIGN_TOP) {
            EXPECT_NEAR(b[1], y, 1e-3f);
        }
        int32_t ink = 0, outside = 0;
        for (int32_t py = 0; py < kH; ++py) {
            for (int32_t px = 0; px < kW; ++px) {
                int v = at(p, px, py).r;
                if (!v) continue;
                ink++;
                float ux = (px + 0.5f) / c.dpr, uy = (py + 0.5f) / c.dpr;
                // Side bearings and the spacing after the last glyph leave room: ink never passes the box.
                if (ux < b[0] - 1.0f || ux > b[2] + 1.0f || uy < b[1] - 1.0f || uy > b[3] + 1.0f) outside++;
            }
        }
        EXPECT_GT(ink, int32_t(c.size * c.dpr * c.size * c.dpr * 0.5f));
        EXPECT_EQ(outside, 0);
        // Sharp bottom edge: the baseline lies on a pixel boundary, so the flat feet of L, H, I and 1
        // fill the row above it strongly and leave the row below it (only the slight overshoot of
        // round letters reaches there).
        float asc = 0, desc = 0;
        vg_text_metrics(vg, &asc, &desc, nullptr);
        float base = y;
        if (c.align & VG_ALIGN_TOP) base = y + asc;
        if (c.align & VG_ALIGN_MIDDLE) base = y + (asc + desc) * 0.5f;
        int32_t row = int32_t(floorf(base * c.dpr + 0.5f));
        int above = 0, below = 0;
        for (int32_t px = 0; px < kW; ++px) {
            above = std::max(above, at(p, px, row - 1).r);
            below = std::max(below, at(p, px, row).r);
        }
        EXPECT_GE(above, 200);
        EXPECT_LE(below, 90);
    }
}

// The glyph atlas grows while a frame is being built (here: many large sizes between two small
// runs): glyphs drawn before the growth still show from the old texture, and the same run drawn
// after it looks the same, pixel for pixel.
TEST_F(VgPixels, AtlasGrowthMidFrameKeepsEarlierGlyphs) {
    const char* s = "Ag 0.5";
    std::vector<uint8_t> p = frame([&](vg_context* v) {
        vg_fill_color(v, vg_rgb(255, 255, 255));
        vg_font_size(v, 12);
        vg_text(v, 10.25f, 30, s, nullptr);
        // Far more glyph area than the first atlas holds, drawn where nothing shows.
        vg_scissor(v, 250, 250, 1, 1);
        for (int32_t i = 0; i < 70; ++i) {
            vg_font_size(v, 20.0f + float(i));
            vg_text(v, 0, 100, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", nullptr);
        }
        vg_reset_scissor(v);
        vg_font_size(v, 12);
        vg_text(v, 10.25f, 130, s, nullptr);
    });
    int32_t ink = 0, differ = 0;
    for (int32_t y = 15; y < 40; ++y) {
        for (int32_t x = 0; x < 120; ++x) {
            int a = at(p, x, y).r, b = at(p, x, y + 100).r;
            ink += a > 0;
            differ += abs(a - b) > 1;
        }
    }
    EXPECT_GT(ink, 40);
    EXPECT_EQ(differ, 0);
    // Nothing of the large runs leaks out of their scissor.
    for (int32_t y = 45; y < 115; ++y)
        for (int32_t x = 0; x < kW; ++x) ASSERT_EQ(at(p, x, y).r, 0) << x << "," << y;
}

// Draws of one state are batched at flush, and a draw may move back past others it does not touch.
// Whatever is joined, the pixels must be those of the same shapes drawn one flush at a time.
TEST_F(VgPixels, BatchedDrawsMatchDrawsOneAtATime) {
    using shape = std::function<void(vg_context*)>;
    const auto box = [](float x, float y, float w, float h, vg_color c) -> shape {
        return [=](vg_context* v) {
            vg_begin_path(v);
            vg_rounded_rect(v, x, y, w, h, 3);
            vg_fill_color(v, c);
            vg_fill(v);
        };
    };
    const auto line = [](float x0, float y0, float x1, float y1, float width, vg_color c) -> shape {
        return [=](vg_context* v) {
            vg_begin_path(v);
            vg_move_to(v, x0, y0);
            vg_line_to(v, x1, y1);
            vg_stroke_width(v, width);
            vg_stroke_color(v, c);
            vg_stroke(v);
        };
    };
    const auto label = [](float x, float y, const char* text, vg_color c) -> shape {
        return [=](vg_context* v) {
            vg_font_size(v, 11);
            vg_fill_color(v, c);
            vg_text(v, x, y, text, nullptr);
        };
    };
    const vg_color glass = vg_rgba(120, 200, 255, 120), ink = vg_rgba(255, 230, 160, 200);
    const std::vector<shape> shapes = {
        box(0, 0, 256, 256, vg_rgb(30, 32, 40)),
        // Translucent boxes of one colour: apart, overlapping, and one laid over by a line between.
        box(10, 10, 40, 30, glass), box(60, 10, 40, 30, glass), box(80, 20, 40, 30, glass),
        line(5, 25, 140, 25, 3, ink), box(20, 15, 40, 30, glass),
        // Opaque boxes of one colour, apart and overlapping.
        box(150, 10, 30, 30, vg_rgb(200, 60, 60)), box(190, 10, 30, 30, vg_rgb(200, 60, 60)),
        box(205, 25, 30, 30, vg_rgb(200, 60, 60)),
        // Translucent lines of one colour: apart, crossing, and a crossing one of another colour.
        line(10, 80, 120, 80, 2, ink), line(10, 90, 120, 90, 2, ink), line(10, 70, 120, 100, 2, ink),
        line(60, 60, 60, 110, 4, glass), line(10, 100, 120, 100, 2, ink),
        // A concave fill among them, then more of the same boxes over and beside it.
        [](vg_context* v) {
            vg_begin_path(v);
            star(v, 190, 100, 45, 18, 5);
            vg_fill_color(v, vg_rgba(90, 255, 120, 160));
            vg_fill(v);
        },
        box(170, 90, 40, 20, glass), box(20, 120, 40, 20, glass),
        // Text runs of one colour with other draws between them.
        label(10, 170, "Ceiling -0.3 dB", vg_rgb(230, 230, 230)), box(10, 180, 100, 14, glass),
        label(130, 170, "Release 100 ms", vg_rgb(230, 230, 230)), label(10, 186, "over the box", vg_rgb(230, 230, 230)),
        line(130, 200, 250, 240, 6, vg_rgb(255, 255, 255)), line(130, 240, 250, 200, 6, vg_rgb(255, 255, 255)),
    };

    static int32_t draws = 0;
    static void (*real_draw)(GLenum, GLint, GLsizei) = nullptr;
    real_draw = gl_table.glDrawArrays;
    const auto count = +[](GLenum mode, GLint first, GLsizei n) {
        ++draws;
        real_draw(mode, first, n);
    };
    gl_table.glDrawArrays = count;
    draws = 0;
    const std::vector<uint8_t> together = frame([&](vg_context* v) {
        for (const shape& s : shapes) s(v);
    });
    const int32_t together_draws = draws;

    gl_table.glViewport(0, 0, kW, kH);
    gl_table.glClearColor(0, 0, 0, 1);
    gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
    draws = 0;
    for (const shape& s : shapes) {
        vg_begin_frame(vg, kW, kH, 1.0f);
        vg_font_face_id(vg, font);
        s(vg);
        vg_end_frame(vg);
    }
    const int32_t apart_draws = draws;
    gl_table.glDrawArrays = real_draw;
    const std::vector<uint8_t> apart = gl_test_read_rgba(gl);

    EXPECT_LT(together_draws, apart_draws - 8) << "the shapes of one state were not joined";
    int32_t differ = 0;
    for (size_t i = 0; i < apart.size(); ++i) differ += together[i] != apart[i];
    EXPECT_EQ(differ, 0);
}

} // namespace
