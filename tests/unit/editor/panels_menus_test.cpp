// Guards the pop-up menus: each row's hit entry says which action or value a press picks, so a
// row drawn in one place and recorded in another, or with the wrong section, applies the wrong
// preset or target.
#include "panels_test_support.h"

namespace {

struct row_expect {
    int32_t row, section;
    float top;
};

TEST(PopupMenus, PresetMenuRowsSectionsAndSeparators) {
    struct preset_case {
        int32_t users, selection;
        float anchor_y, box_y;
        std::vector<row_expect> rows; // a few rows, checked by position
        int32_t row_count;
        const char* last_label;
    };
    // No user presets: 15 rows and two separators, 388 high. Three user presets with the second
    // selected: 19 rows, three separators, 494 high, the delete row last.
    const preset_case cases[] = {
        {0, 0, 35, 35, {{0, 0, 39}, {6, 0, 183}, {7, 1, 217}, {12, 1, 337}, {13, 3, 371}, {14, 4, 395}}, 15,
         "Save chain preset..."},
        {3, 14, 35, 35, {{12, 1, 337}, {13, 2, 371}, {15, 2, 419}, {16, 3, 453}, {17, 4, 477}, {18, 5, 501}}, 19,
         "Delete \"b\""},
        // Anchored low: pushed up so that its bottom is at 596.
        {0, 0, 400, 208, {{0, 0, 212}}, 15, "Save chain preset..."},
    };
    for (const preset_case& c : cases) {
        panel_fixture f(2);
        const char* names[3] = {"a", "b", "c"};
        for (int32_t i = 0; i < c.users; ++i) std::snprintf(f.e->user_presets[i], PRESET_NAME_SIZE, "%s", names[i]);
        f.e->user_preset_count = c.users;
        f.e->preset_selection = c.selection;
        f.e->menu_kind = MENU_PRESETS;
        f.e->menu_x = 378;
        f.e->menu_y = c.anchor_y;
        f.e->menu_w = 204;
        f.frame();
        const auto rows = f.hits(WIDGET_MENU_ROW);
        ASSERT_EQ(rows.size(), static_cast<size_t>(c.row_count)) << "users " << c.users;
        for (int32_t i = 0; i < c.row_count; ++i) EXPECT_EQ(rows[i].sub, i);
        EXPECT_NEAR(rows[0].y, c.box_y + 4, 0.01);
        for (const row_expect& r : c.rows) {
            EXPECT_EQ(rows[r.row].index, r.section) << "row " << r.row;
            EXPECT_RECT(rows[r.row], 378, r.top, 204, 24);
        }
        EXPECT_NE(f.text_at(c.last_label, 378 + 28, rows.back().y + 12), nullptr);
        // Menu rows are drawn after every panel: they lie on top in the hit list.
        EXPECT_EQ(f.e->hits[f.e->hit_count - 1].kind, WIDGET_MENU_ROW);
    }
}

TEST(PopupMenus, PresetMenuNeverRisesAboveTheTop) {
    panel_fixture f(1);
    for (int32_t i = 0; i < USER_PRESET_MAX; ++i) std::snprintf(f.e->user_presets[i], PRESET_NAME_SIZE, "u%02d", i);
    f.e->user_preset_count = USER_PRESET_MAX;
    f.e->preset_selection = 13;
    f.e->menu_kind = MENU_PRESETS;
    f.e->menu_x = 900; // would pass 956: moved left
    f.e->menu_y = 35;
    f.e->menu_w = 204;
    f.frame();
    const auto rows = f.hits(WIDGET_MENU_ROW);
    ASSERT_EQ(rows.size(), 40u);
    EXPECT_RECT(rows[0], 752, 8, 204, 24);
}

TEST(PopupMenus, TargetAndStyleListsPlaceRowsAndMarkTheCurrentOne) {
    struct list_case {
        int32_t kind;
        float ax, ay, aw;
        uint32_t target_index;
        int32_t rows;
        float x, y;
        int32_t hovered;
        const char* hovered_label;
    };
    // The target list under the target button would pass 596: it opens upwards (y - H - 28). The
    // style list anchored near the right edge moves left to 956 - w.
    const list_case cases[] = {
        {MENU_LOUDNESS_TARGET, 756, 514, 184, 7, 5, 756, 358, 2, "-23 LUFS (EBU R128)"},
        {MENU_STYLE, 900, 100, 100, 0, 6, 856, 100, 4, "Bus"},
    };
    for (const list_case& c : cases) {
        panel_fixture f(2);
        f.inst->ui.loudness_target_index = c.target_index;
        f.slots[1]->values[PARAM_STYLE] = 3;
        f.e->menu_kind = c.kind;
        f.e->menu_owner = 1;
        f.e->menu_x = c.ax;
        f.e->menu_y = c.ay;
        f.e->menu_w = c.aw;
        f.e->hover_kind = WIDGET_MENU_ROW;
        f.e->hover_index = -1;
        f.e->hover_sub = c.hovered;
        f.frame();
        const auto rows = f.hits(WIDGET_MENU_ROW);
        ASSERT_EQ(rows.size(), static_cast<size_t>(c.rows));
        for (int32_t i = 0; i < c.rows; ++i) {
            EXPECT_EQ(rows[i].index, -1);
            EXPECT_EQ(rows[i].sub, i);
            EXPECT_RECT(rows[i], c.x, c.y + 4 + 24 * i, c.aw, 24);
        }
        const vg_record_call* hot = f.text_at(c.hovered_label, c.x + 28, c.y + 4 + 24 * c.hovered + 12);
        ASSERT_NE(hot, nullptr);
        EXPECT_TRUE(same_colour(call_colour(hot), colours.orange));
        // The current row's dot: target index 7 counts as row 1; the owner's Style is 3.
        const int32_t current = c.kind == MENU_STYLE ? 3 : 1;
        bool dot = false;
        for (int32_t i = 0; i < vg_record_count(f.rec); ++i) {
            const vg_record_call* call = vg_record_call_at(f.rec, i);
            if (call->kind != VG_RECORD_FILL) continue;
            const float cx = (call->bounds[0] + call->bounds[2]) / 2, cy = (call->bounds[1] + call->bounds[3]) / 2;
            if (std::abs(cx - (c.x + 15)) < 0.3f && std::abs(cy - (c.y + 4 + 24 * current + 12)) < 0.3f &&
                call->bounds[2] - call->bounds[0] < 8.0f)
                dot = true;
        }
        EXPECT_TRUE(dot) << "menu " << c.kind;
    }
}

TEST(PopupMenus, EntryBoxShowsSelectionCaretAndHint) {
    struct entry_case {
        int32_t mode;
        uint8_t select_all;
        bool hint;
    };
    const entry_case cases[] = {{TEXT_ENTRY_VALUE, 1, false}, {TEXT_ENTRY_VALUE, 0, false},
                                {TEXT_ENTRY_STAGE_PRESET, 0, true}, {TEXT_ENTRY_CHAIN_PRESET, 1, true}};
    for (const entry_case& c : cases) {
        panel_fixture f(1);
        f.e->entry.active = 1;
        f.e->entry.mode = c.mode;
        f.e->entry.select_all = c.select_all;
        std::snprintf(f.e->entry.text, TEXT_ENTRY_SIZE, "-3.5");
        f.e->entry.x = 300;
        f.e->entry.y = 200;
        f.e->entry.w = 100;
        f.e->entry.h = 24;
        f.frame();
        EXPECT_NE(f.text_at("-3.5", 350, 212), nullptr);
        const char* hint = c.mode == TEXT_ENTRY_STAGE_PRESET
                               ? "NAME FOR THE STAGE PRESET  -  ENTER SAVES, ESC CANCELS"
                               : "NAME FOR THE CHAIN PRESET  -  ENTER SAVES, ESC CANCELS";
        EXPECT_EQ(f.text_at(hint, 350, 233) != nullptr, c.hint) << "mode " << c.mode;
        // The caret is the last fill of the box: one unit wide, h - 10 high, only without the selection.
        const int32_t n = vg_record_count(f.rec);
        bool caret = false;
        for (int32_t i = 0; i < n; ++i) {
            const vg_record_call* call = vg_record_call_at(f.rec, i);
            if (call->kind == VG_RECORD_FILL && std::abs(call->bounds[1] - 205) < 1.2f &&
                std::abs(call->bounds[3] - 219) < 1.2f && call->bounds[2] - call->bounds[0] < 3.0f)
                caret = true;
        }
        EXPECT_EQ(caret, c.select_all == 0) << "mode " << c.mode;
    }
}

} // namespace
