// Guards the pop-up menus: each row's hit entry says which action or value a press picks, so a
// row drawn in one place and recorded in another, or with the wrong section, applies the wrong
// preset or target.
#include "panels_test_support.h"

#include <algorithm>
#include <string>

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
        // The width is the longest row's (a built-in name here, wider than the selector's 204).
        const float w = rows[0].w;
        EXPECT_GT(w, 204.0f);
        for (const row_expect& r : c.rows) {
            EXPECT_EQ(rows[r.row].index, r.section) << "row " << r.row;
            EXPECT_RECT(rows[r.row], 378, r.top, w, 24);
        }
        EXPECT_NE(f.text_at(c.last_label, 378 + 28, rows.back().y + 12), nullptr);
        // Menu rows are drawn after every panel: they lie on top in the hit list.
        EXPECT_EQ(f.e->hits[f.e->hit_count - 1].kind, WIDGET_MENU_ROW);
    }
}

TEST(PopupMenus, PresetMenuStaysInsideTheWindowWithSaveAndDeleteInReach) {
    // With ten or more user presets the menu ran past the window's bottom (to y 950 with 24), taking
    // the save and delete rows with it. Now a run of the user presets is shown, the selected one in
    // it, the wheel moves it to every preset, and the rows that act stay in view.
    struct menu_case {
        int32_t users, selection, first;
        size_t shown_users;
    };
    const menu_case cases[] = {
        {24, 13 + 20, 17, 7}, {24, 0, 0, 8}, {9, 13 + 8, 5, 7}, {8, 0, 0, 8}, {7, 13, 0, 7},
    };
    for (const menu_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.users << " users, selection " << c.selection);
        panel_fixture f(1);
        for (int32_t i = 0; i < c.users; ++i) std::snprintf(f.e->user_presets[i], PRESET_NAME_SIZE, "u%02d", i);
        f.e->user_preset_count = c.users;
        f.e->preset_selection = c.selection;
        f.e->preset_menu_first = c.first;
        f.e->menu_kind = MENU_PRESETS;
        f.e->menu_x = 350;
        f.e->menu_y = 35;
        f.e->menu_w = 260;
        const bool delete_row = c.selection >= PRESET_USER_FIRST;
        int32_t seen_first = c.users, seen_last = -1;
        for (int round = 0; round < 40; ++round) {
            f.frame();
            const auto rows = f.hits(WIDGET_MENU_ROW);
            std::vector<int32_t> users, actions;
            for (const hit_entry& r : rows) {
                EXPECT_GE(r.y, 4.0f);
                EXPECT_LE(r.y + r.h, 596.0f);
                if (r.index == PRESET_ACTION_USER) users.push_back(r.sub - PRESET_USER_FIRST);
                if (r.index >= PRESET_ACTION_SAVE_STAGE) actions.push_back(r.sub);
            }
            ASSERT_EQ(users.size(), c.shown_users);
            EXPECT_EQ(actions.size(), delete_row ? 3u : 2u);
            EXPECT_EQ(actions[0], PRESET_USER_FIRST + c.users) << "save rows keep their list positions";
            if (round == 0 && delete_row) {
                EXPECT_NE(std::find(users.begin(), users.end(), c.selection - PRESET_USER_FIRST), users.end());
            }
            seen_first = std::min(seen_first, users.front());
            seen_last = std::max(seen_last, users.back());
            // Up the list for the first half, then down.
            editor_on_scroll(f.e, rows[0].x + 20, rows[PRESET_USER_FIRST].y + 12, round < 20 ? 1.0 : -1.0);
        }
        EXPECT_EQ(seen_first, 0);
        EXPECT_EQ(seen_last, c.users - 1);
    }
}

TEST(PopupMenus, PresetMenuTakesTheWidthOfItsLongestRow) {
    // The menu was as wide as the preset selector, which shrinks as group letters are added: at 16
    // groups 160, cutting the built-in names though the window had room beside and below. It is a
    // pop-up: as wide as its longest row needs (at least the selector, at most the window), moved
    // left only where it would pass the window's edge, and every row shows its whole text.
    const std::string wide(63, 'W'); // the widest name a preset can have
    struct menu_case {
        const char* what;
        int32_t groups;      // the header's group letters; the anchor is its preset selector
        float anchor_w;      // 0: the selector's own width
        const char* user;    // one user preset, selected, or null
        bool moved_left;
    } cases[] = {
        {"16 groups", 16, 0, nullptr, false},
        {"1 group", 1, 0, nullptr, false},
        {"a selector wider than every row", 1, 600, nullptr, true},
        {"a 63-character name at 16 groups", 16, 0, wide.c_str(), true},
        {"a short user preset", 16, 0, "short", false},
    };
    for (const menu_case& c : cases) {
        SCOPED_TRACE(c.what);
        panel_fixture f(2);
        f.inst->slot->values[PARAM_GROUP] = c.groups - 1;
        f.e->shown_group = c.groups - 1;
        if (c.user != nullptr) {
            std::snprintf(f.e->user_presets[0], PRESET_NAME_SIZE, "%s", c.user);
            f.e->user_preset_count = 1;
            f.e->preset_selection = PRESET_USER_FIRST;
        }
        f.frame();
        const auto selector = f.hits(WIDGET_PRESET_MENU);
        ASSERT_EQ(selector.size(), 1u);
        // Opened as a press on the selector opens it.
        f.e->menu_kind = MENU_PRESETS;
        f.e->menu_x = selector[0].x;
        f.e->menu_y = selector[0].y + selector[0].h + 4.0f;
        f.e->menu_w = c.anchor_w > 0 ? c.anchor_w : selector[0].w;
        f.frame();
        const auto rows = f.hits(WIDGET_MENU_ROW);
        ASSERT_EQ(rows.size(), c.user ? 17u : 15u);
        const float x = rows[0].x, w = rows[0].w;
        EXPECT_GE(w, f.e->menu_w);
        EXPECT_GE(x, 4.0f);
        EXPECT_LE(x + w, 956.0f);
        EXPECT_EQ(x < f.e->menu_x, c.moved_left) << "x " << x << " w " << w;
        // Every row's whole text, 28 in from the menu's left and 8 clear of its right end.
        std::vector<std::string> expected;
        for (int32_t i = 0; i < PRESET_USER_FIRST; ++i) expected.push_back(builtin_preset_name(i));
        if (c.user) expected.push_back(c.user);
        expected.push_back("Save stage preset...");
        expected.push_back("Save chain preset...");
        if (c.user) expected.push_back("Delete \"" + std::string(c.user) + "\"");
        for (size_t i = 0; i < rows.size(); ++i) {
            const vg_record_call* label = f.text_at(expected[i].c_str(), x + 28, rows[i].y + 12);
            ASSERT_NE(label, nullptr) << "row " << i << " does not read \"" << expected[i] << "\"";
            EXPECT_LE(label->bounds[2], x + w - 8) << expected[i];
        }
    }
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
