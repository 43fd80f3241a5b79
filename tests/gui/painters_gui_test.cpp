// Guards the widget painters as OpenGL draws them: a test window draws each painter once and reads
// the frame back, and chosen pixels must show the right colours: the knob's value arc and pointer at
// 0, 0.5 and 1; a meter bar below its floor (background only) and above 0 dB (full, peak line at the
// top edge), a red alert peak; the highlighted button's solid orange border; a drop shadow's halo
// around an untouched inside; the redo arrow as the undo arrow mirrored. Edges are antialiased:
// pixels of intermediate coverage on a slanted or fractional edge, flat colour inside.
#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "editor.h"
#include "gl_table.h"
#include "painters.h"
#include "vg.h"
#include "vg_gl3.h"
#include "wait_until.h"
#include "window.h"

namespace {

constexpr uint32_t W = 400, H = 200;

struct canvas {
    vg_context* vg = nullptr;
    bool drawn = false;
    std::vector<uint8_t> rgb; // top row first
};

void draw_scene(vg_context* vg) {
    draw_knob(vg, 40, 50, 12, 0.0, nullptr, nullptr, false);
    draw_knob(vg, 100, 50, 12, 0.5, nullptr, nullptr, false);
    draw_knob(vg, 160, 50, 12, 1.0, nullptr, nullptr, false);
    const theme_colour top = theme_rgb(178, 190, 224), bottom = theme_rgb(86, 100, 140);
    draw_meter_bar(vg, 200, 20, 8, 100, -70, -70, -60, top, bottom, false);
    draw_meter_bar(vg, 210, 20, 8, 100, 3, 3, -60, top, bottom, false);
    draw_meter_bar(vg, 220, 20, 8, 100, -30.25f, -10, -60, top, bottom, true);
    draw_button(vg, 250, 20, 80, 20, nullptr, false, false);
    draw_button(vg, 250, 50, 80, 20, nullptr, true, true);
    draw_drop_shadow(vg, 350, 20, 40, 30, 4, 10, theme_rgba(255, 182, 74, 70));
    draw_circular_arrow(vg, 300, 150, false, colours.orange);
    draw_circular_arrow(vg, 340, 150, true, colours.orange);
}

window_status on_event(window_view* view, const window_event* event) {
    auto* c = static_cast<canvas*>(window_view_get_handle(view));
    switch (event->type) {
        case WINDOW_EVENT_REALIZE:
            if (gl_load_functions() == 1) c->vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
            break;
        case WINDOW_EVENT_UNREALIZE:
            vg_delete(c->vg);
            c->vg = nullptr;
            break;
        case WINDOW_EVENT_EXPOSE: {
            if (!c->vg || c->drawn) break;
            gl_table.glViewport(0, 0, W, H);
            gl_table.glClearColor(12 / 255.0f, 13 / 255.0f, 18 / 255.0f, 1.0f);
            gl_table.glClear(glc::COLOR_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
            vg_begin_frame(c->vg, W, H, 1.0f);
            draw_scene(c->vg);
            vg_end_frame(c->vg);
            std::vector<uint8_t> up(W * H * 3);
            gl_table.glPixelStorei(glc::PACK_ALIGNMENT, 1);
            gl_table.glReadPixels(0, 0, W, H, glc::RGB, glc::UNSIGNED_BYTE, up.data());
            c->rgb.resize(up.size());
            for (uint32_t y = 0; y < H; ++y)
                std::copy_n(&up[(H - 1 - y) * W * 3], W * 3, &c->rgb[y * W * 3]);
            c->drawn = true;
            break;
        }
        default:
            break;
    }
    return WINDOW_SUCCESS;
}

class PaintersOnGL : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        world = window_world_new("LodrinPainterTest");
        ASSERT_NE(world, nullptr);
        view = window_view_new(world);
        window_view_set_handle(view, &scene);
        window_view_set_event_func(view, on_event);
        window_view_set_size_hint(view, WINDOW_DEFAULT_SIZE, W, H);
        ASSERT_EQ(window_view_realize(view), WINDOW_SUCCESS);
        ASSERT_NE(scene.vg, nullptr) << "no GL3 drawing context";
        window_view_show(view);
        ASSERT_TRUE(wait_until([] { return scene.drawn; }, kWaitSeconds,
                               [] { return std::string("no frame drawn"); },
                               [] {
                                   window_view_obscure(view);
                                   window_world_update(world, 0.01);
                               }));
    }
    static void TearDownTestSuite() {
        window_view_free(view);
        window_world_free(world);
    }
    static const uint8_t* px(int x, int y) { return &scene.rgb[(static_cast<size_t>(y) * W + x) * 3]; }
    static ::testing::AssertionResult near(int x, int y, theme_colour c, int tol = 3) {
        const uint8_t* p = px(x, y);
        if (std::abs(p[0] - c.r) <= tol && std::abs(p[1] - c.g) <= tol && std::abs(p[2] - c.b) <= tol)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << int(p[0]) << ","
                                             << int(p[1]) << "," << int(p[2]) << ", expected " << int(c.r) << ","
                                             << int(c.g) << "," << int(c.b);
    }
    // The colour of `c` at alpha a over the clear colour.
    static theme_colour over_clear(theme_colour c, double a) {
        auto mix = [a](int fg, int bg) { return static_cast<uint8_t>(std::lround(bg + (fg - bg) * a)); };
        return theme_rgb(mix(c.r, 12), mix(c.g, 13), mix(c.b, 18));
    }
    static inline window_world* world = nullptr;
    static inline window_view* view = nullptr;
    static inline canvas scene;
};

const theme_colour CLEAR = theme_rgb(12, 13, 18);

} // namespace

TEST_F(PaintersOnGL, KnobArcAndPointer) {
    // Pixel centres on the 17-unit arc (track, glow and value) and on each pointer's line.
    struct row {
        int x, y;
        bool orange;
        const char* what;
    } rows[] = {
        {40, 33, false, "value 0: the top of the track is not lit"},
        {23, 44, false, "value 0: no arc at 200 degrees either"},
        {160, 33, true, "value 1: the top is lit"},
        {175, 44, true, "value 1: so is 340 degrees"},
        {84, 44, true, "value 0.5: 200 degrees lies inside the sweep"},
        {115, 44, false, "value 0.5: 340 degrees does not"},
    };
    for (const row& r : rows) {
        const uint8_t* p = px(r.x, r.y);
        const bool lit = p[0] > 200 && p[1] > 130 && p[2] < 120;
        EXPECT_EQ(lit, r.orange) << r.what << " (" << int(p[0]) << "," << int(p[1]) << "," << int(p[2]) << ")";
    }
    EXPECT_TRUE(near(35, 54, colours.text_white)) << "value 0: pointer towards 135 degrees";
    EXPECT_TRUE(near(100, 42, colours.text_white)) << "value 0.5: pointer straight up";
    EXPECT_TRUE(near(164, 54, colours.text_white)) << "value 1: pointer towards 405 degrees";
    EXPECT_TRUE(near(160, 33, colours.orange, 4)) << "value 1: the arc's core is solid orange";
}

TEST_F(PaintersOnGL, MeterBars) {
    const theme_colour bar_bg = over_clear(theme_rgb(0, 0, 0), 110 / 255.0);
    for (int y : {22, 60, 118}) EXPECT_TRUE(near(204, y, bar_bg)) << "below the floor: background only";
    EXPECT_TRUE(near(214, 21, theme_rgb(177, 189, 223), 4)) << "above 0 dB the bar is full to the top";
    EXPECT_TRUE(near(214, 19, over_clear(theme_rgb(240, 244, 255), 220 / 255.0), 4)) << "peak above 0 at the top edge";
    EXPECT_TRUE(near(224, 36, colours.alert, 4)) << "an alerting peak line is red";
    // The fill of -30.25 dB ends at y 70.42: row 70 is partly covered, row 71 fully.
    const int bg = px(224, 69)[0], edge = px(224, 70)[0], full = px(224, 71)[0];
    EXPECT_LT(bg, edge);
    EXPECT_LT(edge, full);
}

TEST_F(PaintersOnGL, Buttons) {
    EXPECT_TRUE(near(290, 50, colours.orange, 4)) << "highlighted: the solid orange border";
    EXPECT_TRUE(near(290, 20, theme_rgb(50, 52, 61), 4)) << "plain: the faint border";
    EXPECT_TRUE(near(290, 60, theme_rgb(55, 50, 39), 4)) << "active: the warm fill";
    const int inside = px(290, 60)[0];
    for (int x = 262; x < 318; ++x) ASSERT_NEAR(px(x, 60)[0], inside, 1) << "inside is flat at x " << x;
}

TEST_F(PaintersOnGL, EdgesAreAntialiased) {
    // The value arc of the full knob, radius 17 and 2.5 wide around (160, 50), seen along x = 160:
    // rows 32 and 33 lie inside the stroke, row 31 straddles its outer edge at y 31.75.
    EXPECT_TRUE(near(160, 32, colours.orange, 4));
    EXPECT_TRUE(near(160, 33, colours.orange, 4));
    const int outer = px(160, 31)[0];
    EXPECT_GT(outer, px(160, 29)[0] + 10) << "the edge pixel is more than the glow alone";
    EXPECT_LT(outer, 245) << "and less than full coverage";
    // The alert peak line spans y 35.67 to 37.67: rows 35 and 37 are partly covered, row 36 fully.
    const int r35 = px(224, 35)[0], r36 = px(224, 36)[0], r37 = px(224, 37)[0], r34 = px(224, 34)[0];
    EXPECT_GT(r35, r34 + 20);
    EXPECT_LT(r35, r37);
    EXPECT_LT(r37, r36 - 20);
}

TEST_F(PaintersOnGL, DropShadowHaloAroundAnUntouchedInside) {
    EXPECT_GT(px(347, 35)[0], CLEAR.r + 3) << "the halo tints the outside";
    EXPECT_TRUE(near(370, 35, CLEAR, 0)) << "the hole keeps the inside untouched";
    EXPECT_TRUE(near(335, 35, CLEAR, 1)) << "nothing beyond the feather";
}

TEST_F(PaintersOnGL, RedoArrowIsTheUndoArrowMirrored) {
    EXPECT_GT(px(300, 144)[0], 150) << "the arc runs over the top";
    EXPECT_TRUE(near(300, 155, CLEAR, 2)) << "and leaves the bottom open";
    int mirror_diff = 0, self_diff = 0;
    for (int dy = -9; dy <= 9; ++dy)
        for (int dx = -9; dx <= 8; ++dx) {
            mirror_diff = std::max(mirror_diff, std::abs(px(300 + dx, 150 + dy)[0] - px(339 - dx, 150 + dy)[0]));
            self_diff = std::max(self_diff, std::abs(px(300 + dx, 150 + dy)[0] - px(299 - dx, 150 + dy)[0]));
        }
    EXPECT_LE(mirror_diff, 24) << "the mirrored icon matches the plain one flipped";
    EXPECT_GT(self_diff, 100) << "the icon itself is not symmetric, so the comparison means something";
}
