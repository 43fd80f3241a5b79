// Guards what an edit reaches and what it leaves in the history: a drag, a wheel run, a typed value
// or a chain-mode edit that goes on writing into a slot another stage has taken since it began;
// a MIDI button that cannot leave learn mode; undo points made by presses that change nothing, and
// group moves that cannot be undone.
#include "edit_test_support.h"

namespace {

constexpr hit_entry KNOB_1{WIDGET_KNOB, 1, PARAM_CEILING, 100, 100, 40, 40};
constexpr hit_entry FADER_1{WIDGET_GAIN_FADER, 1, PARAM_GAIN, 200, 100, 30, 424};
constexpr hit_entry LEARN{WIDGET_MIDI_LEARN, -1, 0, 500, 10, 40, 20};
constexpr uint64_t NEWCOMER = 0xBEEF;

double cx(const hit_entry& e) {
    return e.x + e.w / 2;
}
double cy(const hit_entry& e) {
    return e.y + e.h / 2;
}

class EditOwnerUndo : public EditorFixture {
  public:
    // For the tables' steps.
    using EditorFixture::ed;
    using EditorFixture::key;
    using EditorFixture::motion;
    using EditorFixture::press;
    using EditorFixture::release;
    using EditorFixture::scroll;
    using EditorFixture::set;
    using EditorFixture::text;
    using EditorFixture::type;
    void click(const hit_entry& e, double time) {
        press(cx(e), cy(e), time);
        release();
    }
    // Another process's stage takes stage i's slot: its host quit and the newcomer claimed it.
    void take_over(int i) { shm_store(slot(i)->instance_id, NEWCOMER); }
};

// Each edit starts on stage 1, stage 1's slot changes owner, then the edit goes on. The newcomer
// hears nothing and keeps its values; the stages that stayed are still edited.
TEST_F(EditOwnerUndo, EditsDropATargetWhoseSlotChangedOwner) {
    struct row {
        const char* name;
        bool chain_mode;
        void (*start)(EditOwnerUndo*);
        void (*go_on)(EditOwnerUndo*);
    } rows[] = {
        {"drag", false, [](EditOwnerUndo* t) { t->press(cx(KNOB_1), cy(KNOB_1), 1.0); },
         [](EditOwnerUndo* t) {
             t->motion(cx(KNOB_1), cy(KNOB_1) + 80);
             t->release();
         }},
        {"chain-mode fader drag", true, [](EditOwnerUndo* t) { t->press(cx(FADER_1), cy(FADER_1), 1.0); },
         [](EditOwnerUndo* t) {
             t->motion(cx(FADER_1), cy(FADER_1) - 100);
             t->release();
         }},
        {"wheel run", false, [](EditOwnerUndo* t) { t->scroll(cx(KNOB_1), cy(KNOB_1), -1.0); },
         [](EditOwnerUndo* t) {
             editor_test_now += 0.1;
             t->scroll(cx(KNOB_1), cy(KNOB_1), -1.0);
         }},
        {"typed value", false,
         [](EditOwnerUndo* t) {
             t->click(KNOB_1, 1.0);
             t->click(KNOB_1, 1.2);
             ASSERT_TRUE(t->ed->entry.active);
         },
         [](EditOwnerUndo* t) {
             t->type("-3");
             t->key(13);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        make_chain(3);
        layout({KNOB_1, FADER_1});
        ed->chain_mode = r.chain_mode ? 1 : 0;
        r.start(this);
        take_over(1);
        const std::vector<double> before = values_of(r.chain_mode ? PARAM_GAIN : PARAM_CEILING);
        drain();
        r.go_on(this);
        EXPECT_TRUE(events(1).empty()) << "the newcomer receives nothing";
        EXPECT_EQ(values_of(r.chain_mode ? PARAM_GAIN : PARAM_CEILING)[1], before[1]);
        if (r.chain_mode) {
            EXPECT_NE(value(0, PARAM_GAIN), before[0]) << "the stages that stayed are edited";
            const std::vector<owner_event> stayed = events(2);
            ASSERT_FALSE(stayed.empty());
            EXPECT_EQ(stayed.back().kind, EDIT_KIND_END) << "and their gestures end";
        }
        TearDown();
        SetUp();
    }
}

// A stage that keeps its slot is edited as before: the check drops only real owner changes.
TEST_F(EditOwnerUndo, ATypedValueFollowsItsStageWhenTheListReorders) {
    make_chain(3);
    layout({KNOB_1});
    click(KNOB_1, 1.0);
    click(KNOB_1, 1.2);
    ASSERT_TRUE(ed->entry.active);
    // Stage 1 moves to the end of the chain while the value is typed: list index 1 is now stage 2.
    set(1, PARAM_STAGE, 9.0);
    editor_refresh_group(ed);
    ASSERT_EQ(ed->group[1].slot, slot(2));
    type("-3");
    key(13);
    EXPECT_DOUBLE_EQ(value(1, PARAM_CEILING), -3.0);
    EXPECT_DOUBLE_EQ(value(2, PARAM_CEILING), param_table[PARAM_CEILING].default_value);
}

// While learn mode is armed the MIDI button disarms it and does nothing else: no stage waits for a
// controller, and the next press anywhere does what it always does.
TEST_F(EditOwnerUndo, TheMidiButtonLeavesLearnMode) {
    make_chain(2);
    layout({KNOB_1, LEARN});
    click(LEARN, 1.0);
    ASSERT_EQ(ed->midi_learn_armed, 1);
    click(LEARN, 3.0);
    EXPECT_EQ(ed->midi_learn_armed, 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(shm_load(slot(i)->midi_learn_param), -1) << "stage " << i;
    press(cx(KNOB_1), cy(KNOB_1), 5.0);
    EXPECT_EQ(ed->drag_kind, WIDGET_KNOB) << "the next press is not swallowed";
    release();
    EXPECT_EQ(shm_load(slot(1)->midi_learn_param), -1);
}

// A press that lands before the last one (a time from another clock) is no double-click.
TEST_F(EditOwnerUndo, AnEarlierTimeIsNoDoubleClick) {
    make_chain(2);
    layout({KNOB_1});
    click(KNOB_1, 10.0);
    click(KNOB_1, 9.9);
    EXPECT_FALSE(ed->entry.active);
}

// Undo points only where a value changed. Each row runs from a fresh chain of two stages.
TEST_F(EditOwnerUndo, UndoPointsOnlyForChanges) {
    struct row {
        const char* name;
        void (*act)(EditOwnerUndo*);
        uint32_t points;
    } rows[] = {
        {"a press without motion", [](EditOwnerUndo* t) { t->click(KNOB_1, 1.0); }, 0},
        {"double-click, Escape",
         [](EditOwnerUndo* t) {
             t->click(KNOB_1, 1.0);
             t->click(KNOB_1, 1.2);
             t->key(27);
             t->text(27);
         },
         0},
        {"double-click, the same value typed",
         [](EditOwnerUndo* t) {
             t->click(KNOB_1, 1.0);
             t->click(KNOB_1, 1.2);
             t->type("-0.3");
             t->key(13);
         },
         0},
        {"double-click, a new value typed",
         [](EditOwnerUndo* t) {
             t->click(KNOB_1, 1.0);
             t->click(KNOB_1, 1.2);
             t->type("-4");
             t->key(13);
         },
         1},
        {"a drag that moves", [](EditOwnerUndo* t) {
             t->press(cx(KNOB_1), cy(KNOB_1), 1.0);
             t->motion(cx(KNOB_1), cy(KNOB_1) + 10);
             t->motion(cx(KNOB_1), cy(KNOB_1) + 40);
             t->release();
         },
         1},
        {"a drag past the top", [](EditOwnerUndo* t) {
             t->set(1, PARAM_CEILING, 0.0);
             t->press(cx(KNOB_1), cy(KNOB_1), 1.0);
             t->motion(cx(KNOB_1), cy(KNOB_1) - 40);
             t->release();
         },
         0},
        {"a notch past the top", [](EditOwnerUndo* t) {
             t->set(1, PARAM_CEILING, 0.0);
             t->scroll(cx(KNOB_1), cy(KNOB_1), 1.0);
         },
         0},
        {"a switch set to what it is", [](EditOwnerUndo* t) { editor_set_param(t->ed, 1, PARAM_BYPASS, 0.0); }, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        make_chain(2);
        layout({KNOB_1});
        r.act(this);
        EXPECT_EQ(stages[0]->undo_count, r.points);
        TearDown();
        SetUp();
    }
}

// Two edits of one knob, each undone by one Ctrl+Z: the double-click between them left no empty
// step behind.
TEST_F(EditOwnerUndo, EveryUndoUndoesAnEdit) {
    make_chain(2);
    layout({KNOB_1});
    press(cx(KNOB_1), cy(KNOB_1), 1.0);
    motion(cx(KNOB_1), cy(KNOB_1) + 16);
    release();
    const double dragged = value(1, PARAM_CEILING);
    ASSERT_NE(dragged, -0.3);
    editor_test_now += 1.0;
    click(KNOB_1, 5.0);
    click(KNOB_1, 5.2);
    type("-7");
    key(13);
    ASSERT_DOUBLE_EQ(value(1, PARAM_CEILING), -7.0);
    key('z', EDITOR_MOD_CTRL);
    EXPECT_DOUBLE_EQ(value(1, PARAM_CEILING), dragged);
    key('z', EDITOR_MOD_CTRL);
    EXPECT_DOUBLE_EQ(value(1, PARAM_CEILING), -0.3);
}

// A move of the own stage is undone however it was made: by a double press on another group's
// button (which first shows that group, without the own stage) or by the new-group button.
TEST_F(EditOwnerUndo, GroupMovesAreUndone) {
    struct row {
        const char* name;
        hit_entry button;
        double second_press; // < 0: a single press
        double moved_to;
    } rows[] = {
        {"double press on group C", {WIDGET_GROUP, -1, 2, 300, 10, 20, 20}, 1.2, 2.0},
        {"new group", {WIDGET_GROUP, -1, 103, 330, 10, 20, 20}, -1.0, 3.0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        make_chain(2);
        layout({r.button});
        click(r.button, 1.0);
        // The frame between the presses lists the shown group.
        editor_refresh_group(ed);
        if (r.second_press >= 0) click(r.button, r.second_press);
        ASSERT_EQ(value(0, PARAM_GROUP), r.moved_to);
        EXPECT_EQ(stages[0]->undo_count, 1u);
        history_undo(ed);
        EXPECT_EQ(value(0, PARAM_GROUP), 0.0);
        EXPECT_EQ(value(1, PARAM_GROUP), 0.0);
        TearDown();
        SetUp();
    }
}

} // namespace
