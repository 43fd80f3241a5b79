// Guards the contract between the panels and the input handling: each press lands on the hit entry
// the real panels recorded in the last frame (drawn on the recording back end), and the kinds,
// indices and subs they record must make input do the right thing: preset menu rows, the save row
// and its name entry, a typed Ceiling, the style list, chain mode and its fader, undo, A/B, the
// group buttons and the about box.
#include "edit_test_support.h"

#include "resources.h"
#include "vg/vg.h"
#include "vg/vg_record.h"

namespace {

class PanelsInput : public EditorFixture {
  protected:
    void TearDown() override {
        if (vg) vg_delete(vg);
        if (rec) vg_record_free(rec);
        EditorFixture::TearDown();
    }
    void open(int n) {
        make_chain(n);
        rec = vg_record_new();
        vg = vg_create(vg_record_backend(), rec, VG_ANTIALIAS);
        ed->font_id = vg_create_font_mem(vg, "sans", lodrin_font_data, static_cast<int32_t>(lodrin_font_size), 0);
        ed->vg = vg;
        ed->width = 960;
        ed->height = 600;
        stages[0]->ui.controls_open = 1;
        stages[0]->ui.zoom = 1.0;
        draw();
    }
    void draw() {
        tick();
        editor_draw_canvas(ed);
    }
    // The first entry of the last frame with this kind (and index and sub when given >= -1).
    hit_entry find(int32_t kind, int32_t sub = -2, int32_t index = -2) {
        for (int32_t i = 0; i < ed->hit_count; ++i) {
            const hit_entry& h = ed->hits[i];
            if (h.kind == kind && (sub == -2 || h.sub == sub) && (index == -2 || h.index == index)) return h;
        }
        ADD_FAILURE() << "no widget of kind " << kind << " sub " << sub << " index " << index;
        return hit_entry{0, -1, -1, -100, -100, 1, 1};
    }
    // A press and release at the entry's centre (well apart from the last press), then a frame.
    void click(const hit_entry& h, bool twice = false) {
        t += 1.0;
        press(h.x + h.w / 2, h.y + h.h / 2, t);
        release();
        if (twice) {
            press(h.x + h.w / 2, h.y + h.h / 2, t + 0.1);
            release();
        }
        draw();
    }
    double t = 0.0;
    vg_recorder* rec = nullptr;
    vg_context* vg = nullptr;
};

TEST_F(PanelsInput, PresetMenuRowsAndTheSaveEntry) {
    open(2);
    click(find(WIDGET_PRESET_MENU));
    ASSERT_EQ(ed->menu_kind, MENU_PRESETS);
    click(find(WIDGET_MENU_ROW, 3, PRESET_ACTION_STAGE)); // "Punchy stage"
    EXPECT_EQ(ed->menu_kind, MENU_NONE);
    EXPECT_EQ(ed->preset_selection, 3);
    EXPECT_DOUBLE_EQ(value(0, PARAM_RELEASE), 40.0);
    click(find(WIDGET_PRESET_MENU));
    click(find(WIDGET_MENU_ROW, 8, PRESET_ACTION_CHAIN)); // transparent > punchy > final
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>{260, 40}));
    click(find(WIDGET_PRESET_MENU));
    const hit_entry menu_box = find(WIDGET_PRESET_MENU);
    click(find(WIDGET_MENU_ROW, -2, PRESET_ACTION_SAVE_STAGE));
    ASSERT_TRUE(ed->entry.active);
    EXPECT_EQ(ed->entry.mode, TEXT_ENTRY_STAGE_PRESET);
    EXPECT_FLOAT_EQ(ed->entry.y, menu_box.y + menu_box.h + 4) << "under the menu's anchor";
    type("Mine");
    key(13);
    EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST);
    click(find(WIDGET_PRESET_NEXT));
    EXPECT_EQ(ed->preset_selection, 0) << "past the last user preset";
    click(find(WIDGET_PRESET_PREV));
    EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST);
    click(find(WIDGET_PRESET_MENU));
    click(find(WIDGET_MENU_ROW, -2, PRESET_ACTION_DELETE));
    EXPECT_EQ(ed->user_preset_count, 0);
}

TEST_F(PanelsInput, KnobEntryStyleListChainFaderUndoAndAb) {
    open(3);
    click(find(WIDGET_KNOB, PARAM_CEILING), true);
    ASSERT_TRUE(ed->entry.active);
    EXPECT_STREQ(ed->entry.text, "-0.3 dB");
    draw(); // the entry box over the canvas
    type("-1");
    key(13);
    EXPECT_DOUBLE_EQ(value(0, PARAM_CEILING), -1.0);

    click(find(WIDGET_STYLE));
    ASSERT_EQ(ed->menu_kind, MENU_STYLE);
    click(find(WIDGET_MENU_ROW, 4));
    EXPECT_DOUBLE_EQ(value(0, PARAM_STYLE), 4.0);

    click(find(WIDGET_CHAIN_MODE));
    ASSERT_EQ(ed->chain_mode, 1);
    const hit_entry fader = find(WIDGET_GAIN_FADER);
    const double x = fader.x + fader.w / 2, y = fader.y + fader.h / 2;
    press(x, y, t += 1.0);
    motion(x, y - 106);
    release();
    draw();
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>(3, 7.5)));
    click(find(WIDGET_UNDO));
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>(3, 0.0)));
    click(find(WIDGET_REDO));
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>(3, 7.5)));

    click(find(WIDGET_AB));
    EXPECT_EQ(stages[0]->ab_current, 1u);
    set(2, PARAM_GAIN, 1.0);
    click(find(WIDGET_AB));
    EXPECT_DOUBLE_EQ(value(2, PARAM_GAIN), 7.5);
    click(find(WIDGET_COPY));
    EXPECT_EQ(stages[0]->ab_current, 0u);
}

TEST_F(PanelsInput, GroupButtonsAndTheAboutBox) {
    open(1);
    click(find(WIDGET_GROUP, 101)); // the "New group" button of group B
    EXPECT_DOUBLE_EQ(value(0, PARAM_GROUP), 1.0);
    EXPECT_EQ(ed->shown_group, 1);
    click(find(WIDGET_GROUP, 0)); // a single press only views group A
    EXPECT_EQ(ed->shown_group, 0);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GROUP), 1.0);

    click(find(WIDGET_ABOUT, 0));
    ASSERT_EQ(ed->about_open, 1);
    const hit_entry box = find(WIDGET_ABOUT, 1);
    const hit_entry link = find(WIDGET_ABOUT, 2);
    EXPECT_TRUE(link.x >= box.x && link.y >= box.y && link.x + link.w <= box.x + box.w) << "the link lies in the box";
    press(box.x + 4, box.y + 4, t += 1.0);
    EXPECT_EQ(ed->about_open, 0);
}

} // namespace
