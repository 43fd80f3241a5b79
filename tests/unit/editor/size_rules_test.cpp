// Guards the editor's size and zoom rules: the window size for a saved zoom and host scale (with
// out-of-range zooms ignored), the host's near answers keeping the requested zoom exactly, the zoom
// following the width alone, the scale in force before the window is known, and resize requests to
// the host throttled to one per 40 ms with only the newest waiting one sent.
#include <cmath>

#include <gtest/gtest.h>

#include "editor_test_support.h"
#include "platform.h"

TEST(EditorSize, WindowSizeForZoomAndScale) {
    struct row {
        double zoom, scale;
        uint8_t realized;
        uint32_t cur_w, cur_h; // size the last configure reported
        uint32_t w, h;
    } rows[] = {
        {1.0, 0.0, 0, 0, 0, 960, 600},
        {3.0, 1.0, 0, 0, 0, 960, 600},   // a saved zoom out of range counts as 1
        {0.59, 1.0, 0, 0, 0, 960, 600},
        {0.6, 1.0, 0, 0, 0, 576, 360},
        {2.5, 1.0, 0, 0, 0, 2400, 1500},
        {1.25, 1.5, 0, 0, 0, 1800, 1125},
        {1.0, 1.5, 0, 0, 0, 1440, 900},
        {1.0, -2.0, 0, 0, 0, 960, 600},   // no host scale
        {1.0, 0.0, 1, 962, 598, 962, 598}, // realized and within 2 pixels: the window's own size
        {1.0, 0.0, 1, 963, 600, 960, 600},
        {1.0, 0.0, 0, 961, 600, 960, 600}, // not realized: the rule's size
    };
    for (const row& r : rows) {
        bare_editor b;
        b.instance->ui.zoom = r.zoom;
        b.editor->host_scale = r.scale;
        b.editor->realized = r.realized;
        b.editor->width = r.cur_w;
        b.editor->height = r.cur_h;
        uint32_t w = 0, h = 0;
        editor_get_size(b.editor, &w, &h);
        EXPECT_EQ(w, r.w) << "zoom " << r.zoom << " scale " << r.scale << " current " << r.cur_w;
        EXPECT_EQ(h, r.h) << "zoom " << r.zoom << " scale " << r.scale << " current " << r.cur_h;
    }
}

TEST(EditorSize, HostSizeSetsTheZoom) {
    struct row {
        uint32_t req_w, req_h; // last request sent (0: none)
        double req_zoom;
        double scale;
        uint32_t w, h;
        double zoom; // the instance's zoom afterwards (it starts at 1)
    } rows[] = {
        {1200, 750, 1.25, 0.0, 1201, 749, 1.25},           // the host's rounding keeps the asked zoom
        {1200, 750, 1.25, 0.0, 1203, 750, 1203.0 / 960.0}, // 3 pixels off: a size of its own
        {1200, 750, 1.25, 0.0, 1300, 812, 1300.0 / 960.0}, // the width alone decides
        {0, 0, 0.0, 0.0, 3000, 1875, 1.0},                 // 3.125 is out of range: unchanged
        {0, 0, 0.0, 1.5, 1440, 900, 1.0},                  // the host scale is divided out
        {0, 0, 0.0, 0.0, 576, 360, 0.6},
        {0, 0, 0.0, 0.0, 575, 359, 1.0},
        {0, 0, 0.0, 2.0, 1920, 1200, 1.0},
    };
    for (const row& r : rows) {
        bare_editor b;
        b.editor->last_request_width = r.req_w;
        b.editor->last_request_height = r.req_h;
        b.editor->last_request_zoom = r.req_zoom;
        b.editor->host_scale = r.scale;
        editor_set_size(b.editor, r.w, r.h);
        EXPECT_EQ(b.instance->ui.zoom, r.zoom) << r.w << " x " << r.h;
    }
}

TEST(EditorSize, UiScale) {
    struct row {
        uint32_t w, h;
        double host, s;
    } rows[] = {
        {1920, 1200, 0.0, 2.0}, {1200, 600, 0.0, 1.0}, {960, 1200, 3.0, 1.0},
        {0, 0, 1.5, 1.5},       {0, 600, 0.0, 1.0},    {0, 0, -1.0, 1.0},
    };
    for (const row& r : rows) {
        bare_editor b;
        b.editor->width = r.w;
        b.editor->height = r.h;
        b.editor->host_scale = r.host;
        EXPECT_EQ(ui_scale(b.editor), r.s) << r.w << " x " << r.h << " host " << r.host;
    }
}

TEST(EditorZoom, RequestsAreThrottledAndTheNewestWaits) {
    bare_editor b;
    using size = std::pair<uint32_t, uint32_t>;
    editor_request_zoom(b.editor, 1.25);
    ASSERT_EQ(b.requests, (std::vector<size>{{1200, 750}})) << "the first request goes out at once";
    EXPECT_EQ(b.editor->last_request_zoom, 1.25);

    editor_request_zoom(b.editor, 1.4);
    editor_request_zoom(b.editor, 1.5);
    EXPECT_EQ(b.requests.size(), 1u) << "within 40 ms requests wait";
    editor_tick_deferred_zoom(b.editor);
    EXPECT_EQ(b.requests.size(), 1u) << "a tick before 40 ms have passed sends nothing";

    b.editor->last_request_time = clock_ns() - 41000000;
    editor_tick_deferred_zoom(b.editor);
    ASSERT_EQ(b.requests.size(), 2u);
    EXPECT_EQ(b.requests.back(), size(1440, 900)) << "only the newest waiting request is sent";
    EXPECT_EQ(b.editor->deferred, 0);

    b.editor->last_request_time = clock_ns() - 41000000;
    editor_request_zoom(b.editor, 1.5);
    EXPECT_EQ(b.requests.size(), 2u) << "a request for the size last requested is dropped";

    // The zoom is clamped to 0.6..2.5 of the host scale.
    b.editor->host_scale = 2.0;
    b.editor->last_request_time = 0;
    editor_request_zoom(b.editor, 10.0);
    EXPECT_EQ(b.requests.back(), size(4800, 3000));
    EXPECT_EQ(b.editor->last_request_zoom, 2.5);
    b.editor->host_scale = 1.0;
    b.editor->last_request_time = 0;
    editor_request_zoom(b.editor, 0.1);
    EXPECT_EQ(b.requests.back(), size(576, 360));
    EXPECT_EQ(b.instance->ui.zoom, 1.0) << "the zoom changes only when the host answers with a size";

    b.host_gui.request_resize = nullptr;
    b.editor->last_request_time = 0;
    editor_request_zoom(b.editor, 2.0); // a host without the call: the request is dropped quietly
    EXPECT_EQ(b.editor->last_request_width, 1920u);
}

TEST(EditorZoom, ScaleChangeOfARealizedEditorAsksForItsSize) {
    struct row {
        uint8_t realized;
        double old_scale, new_scale;
        bool request;
    } rows[] = {
        {1, 1.0, 1.005, false}, // within 0.01: only the default size changes
        {1, 0.0, 1.5, true},    // no old scale counts as 1
        {1, 1.5, 1.5, false},
        {0, 1.0, 2.0, false},   // not realized: nothing to resize yet
    };
    for (const row& r : rows) {
        bare_editor b;
        b.editor->realized = r.realized;
        b.editor->host_scale = r.old_scale;
        editor_set_scale(b.editor, r.new_scale);
        EXPECT_EQ(b.editor->host_scale, r.new_scale);
        EXPECT_EQ(!b.requests.empty(), r.request) << r.old_scale << " -> " << r.new_scale;
        if (r.request) {
            uint32_t w = 0, h = 0;
            editor_window_size(1.0, r.new_scale, &w, &h);
            EXPECT_EQ(b.requests.back(), std::make_pair(w, h));
        }
    }
}
