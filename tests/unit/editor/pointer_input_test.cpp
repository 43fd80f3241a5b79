// Guards what presses, drags and wheel notches do to the widgets under the pointer: a double-click
// taken for two presses (or the reverse), a reset modifier that does not reset, a press that falls
// through an open menu, a group button that moves the stage when it should only show, drags and
// notches that move values by the wrong amount or on the wrong stages, MIDI learn that binds or
// unbinds the wrong thing, and a resize that is lost when the grip is let go.
#include "edit_test_support.h"

namespace {

// One widget of each kind the tests press, laid out on a plain grid in view units.
constexpr hit_entry KNOB_CEILING{WIDGET_KNOB, 0, PARAM_CEILING, 100, 100, 40, 40};
constexpr hit_entry KNOB_RELEASE{WIDGET_KNOB, 0, PARAM_RELEASE, 150, 100, 40, 40};
constexpr hit_entry FADER{WIDGET_GAIN_FADER, 0, PARAM_GAIN, 200, 100, 30, 424};
constexpr hit_entry STYLE{WIDGET_STYLE, 0, PARAM_STYLE, 250, 100, 60, 20};
constexpr hit_entry POSITION{WIDGET_POSITION, 0, PARAM_STAGE, 250, 130, 60, 20};
constexpr hit_entry DITHER{WIDGET_DITHER, 0, PARAM_DITHER, 250, 160, 60, 20};
constexpr hit_entry TARGET{WIDGET_LOUDNESS_TARGET, -1, 0, 400, 10, 80, 20};
constexpr hit_entry LEARN{WIDGET_MIDI_LEARN, -1, 0, 500, 10, 40, 20};
constexpr hit_entry GRIP{WIDGET_RESIZE_GRIP, -1, 0, 940, 580, 20, 20};
constexpr hit_entry PRESET_BOX{WIDGET_PRESET_MENU, -1, 0, 600, 10, 120, 20};

double centre_x(const hit_entry& e) {
    return e.x + e.w / 2;
}
double centre_y(const hit_entry& e) {
    return e.y + e.h / 2;
}

class PointerInput : public EditorFixture {
  protected:
    void click(const hit_entry& e, double time, bool reset = false) {
        press(centre_x(e), centre_y(e), time, reset);
        release();
    }
};

TEST_F(PointerInput, SecondPressWithinDoubleClickTimeOpensTheValueEntry) {
    make_chain(1);
    layout({KNOB_CEILING});
    struct row {
        double gap;
        bool entry;
    } rows[] = {{0.3, true}, {0.4, false}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.gap);
        ed->entry.active = 0;
        ed->last_click_time = -10;
        click(KNOB_CEILING, 50.0);
        EXPECT_EQ(ed->drag_kind, 0) << "the release ends the first drag";
        click(KNOB_CEILING, 50.0 + r.gap);
        EXPECT_EQ(ed->entry.active != 0, r.entry);
    }
}

TEST_F(PointerInput, ResetModifierSetsTheDefaultOnEveryTargetStage) {
    make_chain(3);
    layout({KNOB_CEILING});
    for (bool chain : {false, true}) {
        SCOPED_TRACE(chain);
        ed->chain_mode = chain ? 1 : 0;
        for (int i = 0; i < 3; ++i)
            set(i, PARAM_CEILING, -6.0);
        ed->last_click_time = -10;
        click(KNOB_CEILING, 10.0, true);
        EXPECT_EQ(value(0, PARAM_CEILING), -0.3);
        EXPECT_EQ(value(1, PARAM_CEILING), chain ? -0.3 : -6.0);
        EXPECT_EQ(value(2, PARAM_CEILING), chain ? -0.3 : -6.0);
        EXPECT_EQ(ed->drag_kind, 0);
    }
}

TEST_F(PointerInput, ColumnsOfThePositionAndStyleButtons) {
    make_chain(1);
    layout({POSITION, STYLE, DITHER});
    set(0, PARAM_STAGE, 3);
    // The position button has no reset column: a reset press drags, a double-click sets Auto.
    click(POSITION, 1.0, true);
    EXPECT_EQ(value(0, PARAM_STAGE), 3.0);
    click(POSITION, 1.1, true);
    EXPECT_EQ(value(0, PARAM_STAGE), 0.0);
    // Style: a press opens its list, a reset press sets Transparent.
    set(0, PARAM_STYLE, 4);
    click(STYLE, 5.0);
    EXPECT_EQ(ed->menu_kind, MENU_STYLE);
    EXPECT_FLOAT_EQ(ed->menu_x, STYLE.x - 30);
    EXPECT_FLOAT_EQ(ed->menu_w, STYLE.w + 60);
    click(STYLE, 7.0); // closes the menu only
    EXPECT_EQ(ed->menu_kind, MENU_NONE);
    click(STYLE, 9.0, true);
    EXPECT_EQ(value(0, PARAM_STYLE), 0.0);
    // Dither steps round 0 -> 1 -> 2 -> 0.
    for (double want : {1.0, 2.0, 0.0}) {
        click(DITHER, 20.0 + want);
        EXPECT_EQ(value(0, PARAM_DITHER), want);
    }
}

TEST_F(PointerInput, APressWithAMenuOpenOnlyClosesIt) {
    make_chain(1);
    const hit_entry row{WIDGET_MENU_ROW, -1, 3, 250, 124, 120, 20}; // style row 3 (Aggressive)
    layout({KNOB_CEILING, STYLE});
    click(STYLE, 1.0);
    ASSERT_EQ(ed->menu_kind, MENU_STYLE);
    layout({KNOB_CEILING, STYLE, TARGET, row});
    set(0, PARAM_CEILING, -6.0);
    click(KNOB_CEILING, 3.0, true); // would reset the Ceiling without the menu
    EXPECT_EQ(ed->menu_kind, MENU_NONE);
    EXPECT_EQ(value(0, PARAM_CEILING), -6.0);
    EXPECT_EQ(stages[0]->undo_count, 0u);
    press(10, 590, 4.0); // on nothing
    click(STYLE, 5.0);
    click(row, 6.0);
    EXPECT_EQ(value(0, PARAM_STYLE), 3.0);
    EXPECT_EQ(ed->menu_kind, MENU_NONE);
    // The loudness-target list sets the instance's row, without an undo point.
    const uint32_t steps = stages[0]->undo_count;
    click(TARGET, 8.0);
    EXPECT_EQ(ed->menu_kind, MENU_LOUDNESS_TARGET);
    layout({{WIDGET_MENU_ROW, -1, 4, 340, 34, 140, 20}});
    click({WIDGET_MENU_ROW, -1, 4, 340, 34, 140, 20}, 9.0);
    EXPECT_EQ(stages[0]->ui.loudness_target_index, 4u);
    EXPECT_EQ(stages[0]->undo_count, steps);
}

TEST_F(PointerInput, GroupButtonShowsOnASinglePressAndMovesOnADoubleOne) {
    make_chain(2);
    const hit_entry group_c{WIDGET_GROUP, -1, 2, 300, 10, 20, 20};
    const hit_entry new_group{WIDGET_GROUP, -1, 103, 330, 10, 20, 20};
    layout({group_c, new_group});
    ed->focused_index = 1;
    click(group_c, 1.0);
    EXPECT_EQ(ed->shown_group, 2);
    EXPECT_EQ(ed->focused_index, -1);
    EXPECT_EQ(value(0, PARAM_GROUP), 0.0) << "viewing moves nothing";
    EXPECT_EQ(stages[0]->undo_count, 0u);
    click(group_c, 1.2);
    EXPECT_EQ(value(0, PARAM_GROUP), 2.0);
    EXPECT_EQ(value(1, PARAM_GROUP), 0.0) << "only the own stage moves";
    EXPECT_EQ(stages[0]->undo_count, 1u);
    EXPECT_EQ(events(0), gesture(PARAM_GROUP, 0.0, 2.0));
    click(new_group, 5.0);
    EXPECT_EQ(value(0, PARAM_GROUP), 3.0);
    EXPECT_EQ(ed->shown_group, 3);
    history_undo(ed);
    EXPECT_EQ(value(0, PARAM_GROUP), 2.0);
}

TEST_F(PointerInput, DragTravelMovesTheNormalisedValue) {
    make_chain(1);
    layout({KNOB_CEILING, KNOB_RELEASE, FADER});
    struct row {
        hit_entry widget;
        double start, travel;
        bool shift;
        double want;
    } rows[] = {
        {KNOB_CEILING, -12.0, 160, false, 0.0},  // 160 pixels: the whole range
        {KNOB_CEILING, -12.0, 160, true, -10.8}, // Shift: a tenth of it
        {KNOB_CEILING, -6.0, -400, false, -12.0},
        {KNOB_RELEASE, 5.0, 80, false, 100.0}, // half way on the log scale
        {FADER, 0.0, 212, false, 15.0},        // the fader's 424 pixels
    };
    double t = 10.0;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.widget.sub << " " << r.travel << " " << r.shift);
        set(0, r.widget.sub, r.start);
        drain();
        const double x = centre_x(r.widget), y = centre_y(r.widget);
        press(x, y, t += 1.0);
        ASSERT_EQ(ed->drag_kind, r.widget.kind);
        motion(x, y - r.travel / 2, r.shift);
        motion(x + 50, y - r.travel, r.shift);
        release();
        EXPECT_NEAR(value(0, r.widget.sub), r.want, 1e-9);
        const std::vector<owner_event> ev = events(0);
        ASSERT_GE(ev.size(), 3u);
        EXPECT_EQ(ev.front().kind, EDIT_KIND_BEGIN);
        EXPECT_EQ(ev.back().kind, EDIT_KIND_END);
        EXPECT_NEAR(ev.back().value, r.want, 1e-9);
    }
}

TEST_F(PointerInput, ChainModeFaderSharesTheTotalBySpread) {
    make_chain(4);
    layout({FADER});
    ed->chain_mode = 1;
    struct row {
        uint32_t spread;
        std::vector<double> added;
    } rows[] = {{0, {7.5, 7.5, 7.5, 7.5}}, {1, {12, 9, 6, 3}}};
    double t = 1.0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.spread);
        stages[0]->ui.spread = r.spread;
        for (int i = 0; i < 4; ++i)
            set(i, PARAM_GAIN, 1.0);
        press(centre_x(FADER), 400, t += 1.0);
        motion(centre_x(FADER), 400 - 106);
        release();
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(value(i, PARAM_GAIN), 1.0 + r.added[static_cast<size_t>(i)], 1e-9) << i;
        drain();
    }
}

TEST_F(PointerInput, WheelNotches) {
    make_chain(2);
    layout({STYLE, KNOB_RELEASE, POSITION});
    set(0, PARAM_STYLE, 2);
    scroll(centre_x(STYLE), centre_y(STYLE), 1);
    EXPECT_EQ(value(0, PARAM_STYLE), 3.0);
    scroll(centre_x(STYLE), centre_y(STYLE), 0); // a horizontal scroll lowers a stepped control
    EXPECT_EQ(value(0, PARAM_STYLE), 2.0);
    scroll(centre_x(STYLE), centre_y(STYLE), -3);
    EXPECT_EQ(value(0, PARAM_STYLE), 1.0) << "one step per event";
    EXPECT_EQ(events(0), (std::vector<owner_event>{{PARAM_STYLE, EDIT_KIND_BEGIN, 2}, {PARAM_STYLE, EDIT_KIND_VALUE, 3},
                                                   {PARAM_STYLE, EDIT_KIND_END, 3}, {PARAM_STYLE, EDIT_KIND_BEGIN, 3},
                                                   {PARAM_STYLE, EDIT_KIND_VALUE, 2}, {PARAM_STYLE, EDIT_KIND_END, 2},
                                                   {PARAM_STYLE, EDIT_KIND_BEGIN, 2}, {PARAM_STYLE, EDIT_KIND_VALUE, 1},
                                                   {PARAM_STYLE, EDIT_KIND_END, 1}}));
    scroll(centre_x(KNOB_RELEASE), centre_y(KNOB_RELEASE), 1);
    EXPECT_NEAR(param_to_normalized(PARAM_RELEASE, value(0, PARAM_RELEASE)), 0.52, 1e-12);
    // In chain mode each stage moves by its own step from its own value.
    ed->chain_mode = 1;
    set(1, PARAM_STAGE, 5);
    scroll(centre_x(POSITION), centre_y(POSITION), 1);
    EXPECT_EQ(value(0, PARAM_STAGE), 2.0);
    EXPECT_EQ(value(1, PARAM_STAGE), 6.0);
    scroll(5, 590, 1); // nothing under the pointer
}

TEST_F(PointerInput, WheelOverTheTargetButtonMovesOnlyACustomTarget) {
    make_chain(1);
    layout({TARGET});
    struct row {
        uint32_t target;
        double start, dy;
        int notches;
        double want;
    } rows[] = {{4, -16, 1, 3, -14.5}, {4, -1, 1, 4, 0}, {4, -39, -1, 5, -40}, {1, -16, 1, 3, -16}};
    for (const row& r : rows) {
        stages[0]->ui.loudness_target_index = r.target;
        stages[0]->ui.custom_target_lufs = r.start;
        for (int k = 0; k < r.notches; ++k)
            scroll(centre_x(TARGET), centre_y(TARGET), r.dy);
        EXPECT_DOUBLE_EQ(stages[0]->ui.custom_target_lufs, r.want) << r.target << " " << r.start;
    }
    EXPECT_EQ(stages[0]->undo_count, 0u);
}

TEST_F(PointerInput, MidiLearnUnmapsABoundControlElseArmsIt) {
    make_chain(2);
    const hit_entry card1{WIDGET_STAGE, 1, 0, 20, 300, 100, 50};
    layout({LEARN, KNOB_CEILING, card1});
    shm_store(slot(0)->midi_cc[PARAM_CEILING], 21);
    click(LEARN, 1.0);
    ASSERT_EQ(ed->midi_learn_armed, 1);
    click(KNOB_CEILING, 2.0);
    EXPECT_EQ(shm_load(slot(0)->midi_cc[PARAM_CEILING]), -1) << "the binding is removed";
    EXPECT_EQ(shm_load(slot(0)->midi_learn_param), -1);
    EXPECT_EQ(ed->midi_learn_armed, 0);
    EXPECT_EQ(ed->drag_kind, 0) << "the learn press does not act on the knob";
    click(LEARN, 3.0);
    click(KNOB_CEILING, 4.0);
    EXPECT_EQ(shm_load(slot(0)->midi_learn_param), PARAM_CEILING);
    // Arming a card waits on that stage for Gain; the first stage stops waiting.
    click(LEARN, 5.0);
    EXPECT_EQ(ed->midi_learn_armed, 0) << "a pending target cancels instead of arming";
    EXPECT_EQ(shm_load(slot(0)->midi_learn_param), -1);
    shm_store(slot(0)->midi_learn_param, static_cast<int32_t>(PARAM_RELEASE));
    ed->focused_index = 1;
    click(LEARN, 6.0);
    ASSERT_EQ(ed->midi_learn_armed, 1);
    click(card1, 7.0);
    EXPECT_EQ(shm_load(slot(1)->midi_learn_param), PARAM_GAIN);
    EXPECT_EQ(shm_load(slot(0)->midi_learn_param), -1);
    // Armed, a press on anything else only disarms.
    click(LEARN, 8.0); // cancels the pending target of the focused stage
    click(LEARN, 9.0);
    ASSERT_EQ(ed->midi_learn_armed, 1);
    layout({LEARN, STYLE});
    click(STYLE, 10.0);
    EXPECT_EQ(ed->midi_learn_armed, 0);
    EXPECT_EQ(ed->menu_kind, MENU_NONE);
}

TEST_F(PointerInput, ReleasingTheGripSendsTheThrottledRequestAtOnce) {
    make_chain(1);
    ed->width = 960;
    ed->height = 600;
    layout({GRIP});
    press(950, 590, 1.0);
    ASSERT_EQ(ed->drag_kind, WIDGET_RESIZE_GRIP);
    motion(1190, 700); // +240 device pixels: 1200 / 960
    EXPECT_EQ(ed->last_request_width, 1200u);
    motion(1430, 700); // within 40 ms of the first: deferred
    EXPECT_EQ(ed->last_request_width, 1200u);
    EXPECT_EQ(ed->deferred, 1);
    release();
    EXPECT_EQ(ed->drag_kind, 0);
    EXPECT_EQ(ed->deferred, 0);
    EXPECT_EQ(ed->last_request_width, 1440u);
    EXPECT_EQ(ed->last_request_height, 900u);
}

TEST_F(PointerInput, TogglesAndSettingsOfTheInstance) {
    make_chain(2);
    const hit_entry grid{WIDGET_GRID, -1, 0, 10, 580, 40, 20};
    const hit_entry readout{WIDGET_READOUT_MODE, -1, 0, 60, 580, 40, 20};
    const hit_entry reset{WIDGET_LOUDNESS_RESET, -1, 0, 110, 580, 40, 20};
    const hit_entry chain{WIDGET_CHAIN_MODE, -1, 0, 160, 580, 40, 20};
    const hit_entry sw{WIDGET_SWITCH, 0, PARAM_TRUE_PEAK, 210, 580, 40, 20};
    layout({grid, readout, reset, chain, sw, PRESET_BOX});
    stages[0]->ui.grid_open = 7;
    click(grid, 1.0);
    EXPECT_EQ(stages[0]->ui.grid_open, 0u);
    click(grid, 1.1);
    EXPECT_EQ(stages[0]->ui.grid_open, 1u);
    stages[0]->ui.readout_mode = 2;
    click(readout, 2.0);
    EXPECT_EQ(stages[0]->ui.readout_mode, 0u);
    click(reset, 3.0);
    EXPECT_EQ(shm_load(slot(0)->reset_loudness), 1u);
    EXPECT_EQ(shm_load(slot(1)->reset_loudness), 1u);
    click(sw, 4.0);
    click(sw, 4.1); // a double-click on a switch is a second press
    EXPECT_EQ(value(0, PARAM_TRUE_PEAK), 1.0);
    click(chain, 5.0);
    click(sw, 6.0);
    EXPECT_EQ(value(0, PARAM_TRUE_PEAK), 0.0);
    EXPECT_EQ(value(1, PARAM_TRUE_PEAK), 0.0);
    click(PRESET_BOX, 7.0);
    EXPECT_EQ(ed->menu_kind, MENU_PRESETS);
    EXPECT_FLOAT_EQ(ed->menu_y, PRESET_BOX.y + PRESET_BOX.h + 4);
}

} // namespace
