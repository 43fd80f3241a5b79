// Guards the painters' drawing calls, seen through the recording back end: the knob's value arc
// appearing only above 0.002, a meter bar at or below its floor drawing nothing but its background,
// a pill button's ends fully rounded, and the state the painters leave behind (the arrow restores
// transform and line cap, the knob returns to butt caps and no letter spacing).
#include <cmath>

#include <gtest/gtest.h>

#include "painters.h"
#include "resources.h"
#include "vg.h"
#include "vg_record.h"

namespace {

struct recording {
    vg_recorder* rec = vg_record_new();
    vg_context* vg = vg_create(vg_record_backend(), rec, VG_ANTIALIAS | VG_STENCIL_STROKES);
    recording() {
        vg_font_face_id(vg, vg_create_font_mem(vg, "sans", lodrin_font_data, static_cast<int32_t>(lodrin_font_size), 0));
        vg_begin_frame(vg, 400, 200, 1.0f);
        vg_font_face_id(vg, vg_find_font(vg, "sans"));
    }
    ~recording() {
        vg_delete(vg);
        vg_record_free(rec);
    }
    int count(int32_t kind) const {
        int n = 0;
        for (int32_t i = 0; i < vg_record_count(rec); ++i) n += vg_record_call_at(rec, i)->kind == kind;
        return n;
    }
    const vg_record_call* last(int32_t kind) const {
        for (int32_t i = vg_record_count(rec) - 1; i >= 0; --i)
            if (vg_record_call_at(rec, i)->kind == kind) return vg_record_call_at(rec, i);
        return nullptr;
    }
};

} // namespace

TEST(Painters, KnobValueArcOnlyAboveTheThreshold) {
    struct row {
        double value;
        int strokes; // rim, track, pointer; the value arc adds its glow and its line
    } rows[] = {{0.0, 3}, {0.002, 3}, {0.0021, 5}, {0.5, 5}, {1.0, 5}};
    for (const row& r : rows) {
        recording g;
        draw_knob(g.vg, 50, 50, 12, r.value, "LABEL", "1.0 dB", false);
        EXPECT_EQ(g.count(VG_RECORD_STROKE), r.strokes) << "value " << r.value;
        EXPECT_EQ(g.count(VG_RECORD_TEXT), 2);
        // What the knob leaves behind: butt caps and no letter spacing for the next caller.
        vg_begin_path(g.vg);
        vg_move_to(g.vg, 0, 0);
        vg_line_to(g.vg, 10, 0);
        vg_stroke(g.vg);
        EXPECT_EQ(g.last(VG_RECORD_STROKE)->stroke.line_cap, VG_CAP_BUTT);
        vg_text(g.vg, 0, 0, "x", nullptr);
        ASSERT_NE(g.last(VG_RECORD_TEXT), nullptr);
        EXPECT_EQ(g.last(VG_RECORD_TEXT)->run.letter_spacing, 0.0f);
    }
}

TEST(Painters, MeterBarAtOrBelowItsFloorIsOnlyBackground) {
    struct row {
        float value, peak;
        int fills, strokes;
    } rows[] = {
        {-60, -60, 1, 0},  // at the floor: background only, no segment lines, no peak
        {-80, -70, 1, 0},
        {-30, -60, 2, 1},  // background, fill, segment lines
        {-30, -20, 3, 1},  // and the peak line
        {6, 6, 3, 1},      // above 0: full bar, peak at the top
    };
    for (const row& r : rows) {
        recording g;
        draw_meter_bar(g.vg, 10, 10, 9, 288, r.value, r.peak, -60, theme_rgb(178, 190, 224),
                       theme_rgb(86, 100, 140), false);
        EXPECT_EQ(g.count(VG_RECORD_FILL), r.fills) << "value " << r.value << " peak " << r.peak;
        EXPECT_EQ(g.count(VG_RECORD_STROKE), r.strokes) << "value " << r.value << " peak " << r.peak;
    }
    recording g;
    draw_meter_bar(g.vg, 10, 10, 9, 288, 6, 6, -60, theme_rgb(178, 190, 224), theme_rgb(86, 100, 140), false);
    const vg_record_call* bar = vg_record_call_at(g.rec, 1);
    EXPECT_NEAR(bar->bounds[1], 10, 1.0) << "a value above 0 fills the whole height";
    EXPECT_NEAR(bar->bounds[3], 298, 1.0);
    const vg_record_call* peak = vg_record_call_at(g.rec, 3);
    EXPECT_NEAR((peak->bounds[1] + peak->bounds[3]) / 2, 10, 1.0) << "the peak line sits on the top edge";
}

TEST(Painters, ButtonEndsAreFullyRounded) {
    recording g;
    draw_button(g.vg, 100, 20, 60, 20, "Copy", true, true);
    const vg_record_call* fill = vg_record_call_at(g.rec, 0);
    ASSERT_EQ(fill->kind, VG_RECORD_FILL);
    const vg_record_path* path = vg_record_path_at(g.rec, fill->first_path);
    const float* pts = vg_record_points(g.rec) + 2 * path->first_point;
    int on_end = 0;
    for (int32_t i = 0; i < path->n_points; ++i) {
        const float x = pts[2 * i], y = pts[2 * i + 1];
        if (x >= 110) continue; // the left end: a half circle of radius 10 around (110, 30)
        EXPECT_NEAR(std::hypot(x - 110, y - 30), 10, 0.05) << x << ", " << y;
        ++on_end;
    }
    EXPECT_GT(on_end, 4);
    EXPECT_GE(vg_record_find_text(g.rec, "Copy", 0), 0);
}

TEST(Painters, CircularArrowLeavesTransformAndCapAsTheyWere) {
    for (bool mirrored : {false, true}) {
        recording g;
        vg_translate(g.vg, 5, 7);
        vg_line_cap(g.vg, VG_CAP_SQUARE);
        draw_circular_arrow(g.vg, 50, 50, mirrored, theme_rgb(255, 182, 74));
        float xf[6];
        vg_current_transform(g.vg, xf);
        const float identity_moved[6] = {1, 0, 0, 1, 5, 7};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(xf[i], identity_moved[i]) << "mirrored " << mirrored;
        ASSERT_NE(g.last(VG_RECORD_STROKE), nullptr);
        EXPECT_EQ(g.last(VG_RECORD_STROKE)->stroke.line_cap, VG_CAP_ROUND) << "the arc itself has round caps";
        vg_begin_path(g.vg);
        vg_move_to(g.vg, 0, 0);
        vg_line_to(g.vg, 10, 0);
        vg_stroke(g.vg);
        EXPECT_EQ(g.last(VG_RECORD_STROKE)->stroke.line_cap, VG_CAP_SQUARE);
        // The arrow head lies left of the centre for the undo icon and right of it when mirrored.
        const vg_record_call* head = g.last(VG_RECORD_FILL);
        const float head_x = (head->bounds[0] + head->bounds[2]) / 2 - 5;
        EXPECT_EQ(head_x < 50, !mirrored) << head_x;
    }
}
