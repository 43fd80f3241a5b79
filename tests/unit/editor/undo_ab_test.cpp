// Guards undo, redo and A/B compare: steps lost, joined or split wrongly, a full stack that drops the
// wrong end, a restore written to a slot that now belongs to another stage, A/B touching a stage's
// wiring or monitoring switches, and restores that bypass the owners' hosts.
#include "edit_test_support.h"

namespace {

constexpr hit_entry AB{WIDGET_AB, -1, 0, 10, 10, 30, 20};
constexpr hit_entry COPY{WIDGET_COPY, -1, 0, 50, 10, 30, 20};
constexpr hit_entry UNDO{WIDGET_UNDO, -1, 0, 90, 10, 30, 20};
constexpr hit_entry REDO{WIDGET_REDO, -1, 0, 130, 10, 30, 20};
constexpr hit_entry KNOB_RELEASE{WIDGET_KNOB, 0, PARAM_RELEASE, 150, 100, 40, 40};

class UndoAb : public EditorFixture {
  protected:
    // A press edit well apart from the last one: its own undo step.
    void edit(int32_t stage, int32_t p, double v) {
        editor_test_now += 1.0;
        editor_set_param(ed, stage, p, v);
    }
    void click(const hit_entry& e) {
        clicks += 1.0;
        press(e.x + 1, e.y + 1, clicks);
        release();
    }
    double clicks = 0.0;
};

TEST_F(UndoAb, UndoAndRedoWalkTheSteps) {
    make_chain(2);
    layout({UNDO, REDO});
    click(UNDO); // nothing to undo
    click(REDO);
    EXPECT_EQ(stages[0]->undo_count, 0u);
    EXPECT_EQ(stages[0]->redo_count, 0u);
    edit(0, PARAM_GAIN, 1.0);
    edit(1, PARAM_GAIN, 2.0);
    drain();
    click(UNDO);
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>{1.0, 0.0}));
    EXPECT_EQ(events(1), gesture(PARAM_GAIN, 2.0, 0.0)) << "the owner hears the restore";
    EXPECT_TRUE(events(0).empty()) << "only what differs is written";
    click(UNDO);
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>{0.0, 0.0}));
    click(REDO);
    click(REDO);
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>{1.0, 2.0}));
    click(UNDO);
    edit(0, PARAM_CEILING, -2.0);
    EXPECT_EQ(stages[0]->redo_count, 0u) << "a new edit empties the redo stack";
    click(REDO);
    EXPECT_EQ(values_of(PARAM_GAIN), (std::vector<double>{1.0, 0.0}));
}

TEST_F(UndoAb, TheSixtyFifthPointDropsTheOldest) {
    make_chain(1);
    for (int k = 1; k <= 65; ++k)
        edit(0, PARAM_GAIN, k * 0.25);
    EXPECT_EQ(stages[0]->undo_count, 64u);
    for (int k = 0; k < 70; ++k)
        history_undo(ed);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 0.25) << "the state after the first edit, not before it";
    EXPECT_EQ(stages[0]->redo_count, 64u);
    for (int k = 0; k < 64; ++k)
        history_redo(ed);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 65 * 0.25);
}

TEST_F(UndoAb, NotchesAndPressesCoalesceByKeyAndTime) {
    make_chain(1);
    layout({KNOB_RELEASE});
    const double x = KNOB_RELEASE.x + 5, y = KNOB_RELEASE.y + 5;
    struct notch {
        double gap;
        uint32_t steps;
    } notches[] = {{1.0, 1}, {0.3, 1}, {0.3, 1}, {0.6, 2}, {0.45, 2}, {0.45, 2}};
    for (const notch& n : notches) {
        editor_test_now += n.gap;
        scroll(x, y, 1);
        EXPECT_EQ(stages[0]->undo_count, n.steps) << n.gap;
    }
    // A press on the same control has another key: a new step even within 0.5 s.
    editor_test_now += 0.1;
    editor_set_param(ed, 0, PARAM_RELEASE, 50.0);
    EXPECT_EQ(stages[0]->undo_count, 3u);
    // An undo ends the run: the next notch starts a new step.
    history_undo(ed);
    editor_test_now += 0.1;
    scroll(x, y, 1);
    EXPECT_EQ(stages[0]->undo_count, 3u);
}

TEST_F(UndoAb, RestoresSkipSlotsNowHeldByAnotherStage) {
    make_chain(2);
    edit(1, PARAM_GAIN, 5.0);
    edit(1, PARAM_GAIN, 6.0);
    // Stage 1's slot is taken over by another stage (a new instance id) with its own settings.
    shm_store(slot(1)->instance_id, uint64_t{0xBEEF});
    drain();
    history_undo(ed);
    EXPECT_DOUBLE_EQ(value(1, PARAM_GAIN), 6.0);
    EXPECT_TRUE(events(1).empty());
    shm_store(slot(1)->instance_id, stages[1]->instance_id);
    history_undo(ed);
    EXPECT_DOUBLE_EQ(value(1, PARAM_GAIN), 0.0);
}

TEST_F(UndoAb, AbComparesSoundSettingsOnly) {
    make_chain(3);
    layout({AB, COPY});
    for (int i = 0; i < 3; ++i)
        set(i, PARAM_RELEASE, 200.0);
    click(AB); // B was never filled: a copy of A, nothing changes
    EXPECT_EQ(stages[0]->ab_current, 1u);
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>(3, 200.0)));
    // Setting B: sound settings and the wiring and monitoring switches.
    for (int i = 0; i < 3; ++i) {
        set(i, PARAM_RELEASE, 50.0 + i);
        set(i, PARAM_STAGE, 4.0 - i);
        set(i, PARAM_BYPASS, 1.0);
        set(i, PARAM_DELTA_LISTEN, 1.0);
        set(i, PARAM_UNITY_GAIN, 1.0);
    }
    drain();
    click(AB); // back to A
    EXPECT_EQ(stages[0]->ab_current, 0u);
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>(3, 200.0)));
    for (int32_t p : {PARAM_STAGE, PARAM_GROUP, PARAM_BYPASS, PARAM_DELTA_LISTEN, PARAM_UNITY_GAIN})
        for (int i = 0; i < 3; ++i)
            EXPECT_DOUBLE_EQ(value(i, p), p == PARAM_STAGE ? 4.0 - i : p == PARAM_GROUP ? 0.0 : 1.0) << p;
    EXPECT_EQ(events(2), gesture(PARAM_RELEASE, 52.0, 200.0));
    click(AB); // B again, as it was left
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>{50.0, 51.0, 52.0}));
    // Undo, unlike A/B, restores the wiring and monitoring switches as well: four swaps, four steps,
    // back to before the first one.
    click(AB);
    history_undo(ed);
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>{50.0, 51.0, 52.0}));
    for (int k = 0; k < 3; ++k)
        history_undo(ed);
    EXPECT_EQ(values_of(PARAM_RELEASE), (std::vector<double>(3, 200.0)));
    EXPECT_DOUBLE_EQ(value(0, PARAM_BYPASS), 0.0);
    EXPECT_DOUBLE_EQ(value(1, PARAM_UNITY_GAIN), 0.0);
    EXPECT_DOUBLE_EQ(value(2, PARAM_STAGE), 3.0);
    EXPECT_EQ(stages[0]->undo_count, 0u);
}

TEST_F(UndoAb, CopyThenSwapChangesNothing) {
    make_chain(2);
    layout({AB, COPY});
    set(1, PARAM_CEILING, -3.0);
    click(AB);
    set(1, PARAM_CEILING, -6.0);
    const uint32_t steps = stages[0]->undo_count;
    click(COPY);
    EXPECT_EQ(stages[0]->undo_count, steps) << "Copy makes no undo point";
    drain();
    click(AB);
    EXPECT_DOUBLE_EQ(value(1, PARAM_CEILING), -6.0);
    EXPECT_TRUE(events(1).empty());
    EXPECT_TRUE(stages[0]->ab[0].valid && stages[0]->ab[1].valid);
}

TEST_F(UndoAb, AbSkipsStagesThatLeftTheGroup) {
    make_chain(2);
    layout({AB});
    click(AB);
    set(1, PARAM_RELEASE, 20.0);
    click(AB); // records B with stage 1 at 20 ms, restores A (100 ms)
    EXPECT_DOUBLE_EQ(value(1, PARAM_RELEASE), 100.0);
    set(1, PARAM_GROUP, 4.0); // stage 1 moves away
    tick();
    click(AB);
    EXPECT_DOUBLE_EQ(value(1, PARAM_RELEASE), 100.0);
}

} // namespace
