// Guards the frame's canvas placement and hit list: scale and centring offset for any window
// shape, the list's limit (later widgets of a frame become unclickable, earlier ones stay), the
// topmost entry winning with half-open rectangles, the widget look-up of the debug extension (first
// match, window pixels), and the canvas drawn at the window's logical size with the scale as device
// pixel ratio and the background shifted by the centring offset.
#include <cstring>

#include <gtest/gtest.h>

#include "editor_test_support.h"
#include "panels_test_support.h"

TEST(Frame, ScaleAndCentringOffset) {
    struct row {
        uint32_t w, h;
        double host, s, ox, oy;
    } rows[] = {
        {1920, 1200, 0.0, 2.0, 0.0, 0.0},
        {1200, 600, 0.0, 1.0, 120.0, 0.0},
        {960, 900, 0.0, 1.0, 0.0, 150.0},
        {576, 360, 0.0, 0.6, 0.0, 0.0},
        {0, 0, 1.5, 1.5, -480.0, -300.0}, // before the first configure: the host scale
        {0, 600, 0.0, 1.0, -480.0, 0.0},
        {0, 0, -1.0, 1.0, -480.0, -300.0},
    };
    for (const row& r : rows) {
        double s = 0, ox = 0, oy = 0;
        editor_frame_geometry(r.w, r.h, r.host, &s, &ox, &oy);
        EXPECT_DOUBLE_EQ(s, r.s) << r.w << " x " << r.h;
        EXPECT_DOUBLE_EQ(ox, r.ox) << r.w << " x " << r.h;
        EXPECT_DOUBLE_EQ(oy, r.oy) << r.w << " x " << r.h;
    }
}

TEST(HitList, FullListDropsLaterEntriesAndTheTopmostWins) {
    bare_editor b;
    editor_state* e = b.editor;
    // 88 entries more than the list holds, on a 10-unit grid, each numbering its place.
    const int32_t n = HIT_LIST_CAPACITY + 88;
    for (int32_t i = 0; i < n; ++i) hit_record(e, 1 + (i % 32), i, 0, float(i % 30) * 10, float(i / 30) * 10, 10, 10);
    EXPECT_EQ(e->hit_count, HIT_LIST_CAPACITY);
    const int32_t last = HIT_LIST_CAPACITY - 1;
    EXPECT_EQ(e->hits[last].index, last);
    const hit_entry* h = editor_hit_test(e, float(last % 30) * 10 + 5, float(last / 30) * 10 + 5);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->index, last);
    EXPECT_EQ(editor_hit_test(e, float((n - 1) % 30) * 10 + 5, float((n - 1) / 30) * 10 + 5), nullptr)
        << "the last entry was dropped, nothing else is there";

    e->hit_count = 0;
    hit_record(e, WIDGET_KNOB, 0, 2, 10, 10, 20, 20);
    hit_record(e, WIDGET_ABOUT, -1, 1, 20, 20, 20, 20); // drawn later: on top where they overlap
    struct probe {
        double x, y;
        int32_t kind; // 0: nothing
    } probes[] = {
        {10, 10, WIDGET_KNOB},  {29.9, 29.9, WIDGET_ABOUT}, {20, 20, WIDGET_ABOUT}, {25, 15, WIDGET_KNOB},
        {30, 15, 0},            {40, 40, 0},                 {39.99, 39.99, WIDGET_ABOUT}, {9.99, 10, 0},
    };
    for (const probe& p : probes) {
        const hit_entry* hit = editor_hit_test(e, p.x, p.y);
        EXPECT_EQ(hit ? hit->kind : 0, p.kind) << p.x << ", " << p.y;
    }
}

TEST(HitList, WidgetLookupBySelector) {
    bare_editor b;
    editor_state* e = b.editor;
    e->width = 1920; // scale 2: rectangles come back in window pixels
    e->height = 1200;
    e->group_count = 2;
    e->group[0].position = 1;
    e->group[1].position = 2;
    struct entry {
        int32_t kind, index, sub;
    } list[] = {
        {WIDGET_STAGE, 0, 0},         {WIDGET_STAGE, 1, 0},      {WIDGET_STAGE, 5, 0}, // index beyond the list
        {WIDGET_GAIN_FADER, 0, 1},    {WIDGET_KNOB, 0, 3},       {WIDGET_KNOB, 0, 2},
        {WIDGET_CHAIN_MODE, -1, 0},   {WIDGET_GRID, -1, 0},      {WIDGET_AB, -1, 0},
        {WIDGET_COPY, -1, 0},         {WIDGET_STYLE, 0, 10},     {WIDGET_MENU_ROW, 0, 4},
        {WIDGET_UNDO, -1, 0},         {WIDGET_REDO, -1, 0},      {WIDGET_PRESET_MENU, -1, 0},
        {WIDGET_MENU_ROW, 3, 16},     {WIDGET_MENU_ROW, 2, 14},  {WIDGET_MENU_ROW, 5, 17},
        {WIDGET_RESIZE_GRIP, -1, 0},  {WIDGET_ABOUT, -1, 2},     {WIDGET_GAIN_TO_TARGET, -1, 0},
        {WIDGET_GAIN_FADER, 0, 1},    // a second fader: the first entry is the one found
    };
    int32_t i = 0;
    for (const entry& l : list) {
        hit_record(e, l.kind, l.index, l.sub, float(i), float(2 * i), 3, 4);
        ++i;
    }
    struct row {
        uint32_t selector;
        int32_t n;
        int32_t entry; // index into list, -1: no match
    } rows[] = {
        {0, 2, 1},  {0, 1, 0},  {0, 3, -1}, {1, 0, 3},   {2, 0, 5},   {3, 0, 6},  {4, 0, 7},
        {5, 0, 8},  {6, 0, 9},  {7, 0, 10}, {8, 4, 11},  {8, 5, -1},  {9, 0, 12}, {10, 0, 13},
        {11, 0, 14}, {12, 0, 15}, {13, 1, 16}, {13, 0, -1}, {14, 0, 17}, {15, 0, 18}, {16, 0, -1},
        {17, 2, 19}, {17, 1, -1}, {18, 0, 20}, {19, 0, -1}, {1000, 0, -1},
    };
    for (const row& r : rows) {
        float rect[4] = {-1, -1, -1, -1};
        const uint32_t found = editor_find_widget_rect(e, r.selector, r.n, rect);
        EXPECT_EQ(found, r.entry >= 0 ? 1u : 0u) << "selector " << r.selector << " n " << r.n;
        if (r.entry < 0 || !found) continue;
        EXPECT_EQ(rect[0], 2.0f * float(r.entry)) << "selector " << r.selector;
        EXPECT_EQ(rect[1], 4.0f * float(r.entry)) << "selector " << r.selector;
        EXPECT_EQ(rect[2], 6.0f);
        EXPECT_EQ(rect[3], 8.0f);
    }
}

TEST(Frame, CanvasPlacedInTheWindowAndHitListInViewUnits) {
    // The gain fader is recorded at canvas (16, 100, 40, 464) in every frame.
    struct row {
        uint32_t w, h;
        float frame_w, frame_h, ratio, ox, oy;
    } rows[] = {
        {960, 600, 960, 600, 1, 0, 0},
        {1920, 1200, 960, 600, 2, 0, 0},
        {1200, 600, 1200, 600, 1, 120, 0},
        {960, 700, 960, 700, 1, 0, 50},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.w) + " x " + std::to_string(r.h));
        panel_fixture f(0);
        f.e->width = r.w;
        f.e->height = r.h;
        f.e->hit_count = 7; // left over from a previous frame
        editor_draw_canvas(f.e);
        EXPECT_EQ(vg_record_width(f.rec), r.frame_w);
        EXPECT_EQ(vg_record_height(f.rec), r.frame_h);
        EXPECT_EQ(vg_record_device_pixel_ratio(f.rec), r.ratio);
        EXPECT_EQ(vg_record_flushed(f.rec), 1);
        ASSERT_GE(vg_record_count(f.rec), 1);
        const vg_record_call* bg = vg_record_call_at(f.rec, 0);
        EXPECT_EQ(bg->kind, VG_RECORD_FILL);
        EXPECT_EQ(bg->paint.kind, VG_PAINT_LINEAR);
        EXPECT_NEAR(bg->bounds[0], r.ox, 1.0);
        EXPECT_NEAR(bg->bounds[1], r.oy, 1.0);
        EXPECT_NEAR(bg->bounds[2], r.ox + 960, 1.0);
        EXPECT_EQ(f.e->probe_taken, 0) << "the probe belongs to the GL frame";

        const std::vector<hit_entry> fader = f.hits(WIDGET_GAIN_FADER);
        ASSERT_EQ(fader.size(), 1u) << "each frame starts its own hit list";
        EXPECT_EQ(fader[0].x, 16 + r.ox);
        EXPECT_EQ(fader[0].y, 100 + r.oy);
        const hit_entry* in = editor_hit_test(f.e, 16 + r.ox, 300 + r.oy);
        const hit_entry* left = editor_hit_test(f.e, 15.9 + r.ox, 300 + r.oy);
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(in->kind, WIDGET_GAIN_FADER);
        EXPECT_TRUE(!left || left->kind != WIDGET_GAIN_FADER);
        float rect[4];
        ASSERT_EQ(editor_find_widget_rect(f.e, 1, 0, rect), 1u);
        EXPECT_EQ(rect[0], (16 + r.ox) * r.ratio) << "window pixels";

        // The about overlay, drawn last, wins over everything below it.
        f.e->about_open = 1;
        editor_draw_canvas(f.e);
        const hit_entry* top = editor_hit_test(f.e, 300 + r.ox, 470 - 160 + r.oy);
        ASSERT_NE(top, nullptr);
        EXPECT_EQ(top->kind, WIDGET_ABOUT);
    }
}

TEST(Frame, NoDrawingContextNoHits) {
    bare_editor b;
    b.editor->width = 960;
    b.editor->height = 600;
    b.editor->hit_count = 3;
    editor_draw_canvas(b.editor);
    EXPECT_EQ(b.editor->hit_count, 3) << "without a context the last list stays as it was";
}

TEST(DebugReadings, ProbePixelAndDrawProbes) {
    bare_editor b;
    editor_state* e = b.editor;
    uint8_t rgb[3] = {1, 2, 3};
    EXPECT_EQ(editor_probe_pixel(e, rgb), 0u);
    e->probe_taken = 1;
    e->probe_rgb[0] = 12, e->probe_rgb[1] = 13, e->probe_rgb[2] = 18;
    EXPECT_EQ(editor_probe_pixel(e, rgb), 1u);
    EXPECT_EQ(rgb[2], 18);

    graph_probe_header header{};
    graph_probe_record records[4]{};
    EXPECT_EQ(editor_probe_read(e, &header, records, 4), 0) << "no graph drawn yet";
    e->probe_valid = 1;
    e->graph_frame = 5;
    e->probe_header.frame = 5;
    e->probe_record_count = 3;
    e->probe_records[2].column = 77;
    struct row {
        bool header, records;
        int32_t max, result;
    } rows[] = {{true, true, 4, 3}, {true, true, 2, 2}, {false, true, 0, 0}, {true, false, 8, 3}, {false, false, -1, -1}};
    for (const row& r : rows) {
        std::memset(&header, 0, sizeof header);
        std::memset(records, 0, sizeof records);
        EXPECT_EQ(editor_probe_read(e, r.header ? &header : nullptr, r.records ? records : nullptr, r.max), r.result < 0 ? 0 : r.result);
        EXPECT_EQ(header.frame, r.header ? 5 : 0);
        EXPECT_EQ(records[2].column, (r.records && r.result >= 3) ? 77 : 0);
    }
}
