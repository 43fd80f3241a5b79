// Guards the one write path of the editor: an edit reaching the wrong stages (or too few in chain
// mode), a write that is not framed as one gesture per stage, undo points made where none belong,
// the chain gain shared out by wrong weights, and controls that map values to positions wrongly.
#include "edit_test_support.h"

#include <cmath>

namespace {

class EditOps : public EditorFixture {};

TEST_F(EditOps, TargetsFollowChainModeAndTheIndex) {
    make_chain(3);
    struct row {
        bool chain;
        int32_t index;
        std::vector<int> written;
    } rows[] = {
        {false, 1, {1}},
        {false, 3, {0}}, // an index equal to the count means the own stage
        {false, -1, {0, 1, 2}},
        {true, 1, {0, 1, 2}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "chain " << r.chain << " index " << r.index);
        ed->chain_mode = r.chain ? 1 : 0;
        for (int i = 0; i < 3; ++i)
            set(i, PARAM_TRUE_PEAK, 1.0);
        drain();
        editor_set_param(ed, r.index, PARAM_TRUE_PEAK, 0.0);
        for (int i = 0; i < 3; ++i) {
            const bool hit = std::find(r.written.begin(), r.written.end(), i) != r.written.end();
            EXPECT_EQ(events(i), hit ? gesture(PARAM_TRUE_PEAK, 1.0, 0.0) : std::vector<owner_event>{}) << i;
        }
    }
}

TEST_F(EditOps, AnEmptyGroupListWritesTheOwnStageOnly) {
    make_chain(2);
    ed->group_count = 0;
    EXPECT_EQ(focused_stage_record(ed), slot(0));
    EXPECT_EQ(focused_stage_index(ed), 0);
    ed->chain_mode = 1;
    editor_set_param(ed, 1, PARAM_CEILING, -1.0);
    EXPECT_EQ(events(0), gesture(PARAM_CEILING, -0.3, -1.0));
    EXPECT_TRUE(events(1).empty());
}

TEST_F(EditOps, FocusFallsBackToTheOwnStageThenTheFirst) {
    make_chain(3);
    ASSERT_EQ(ed->group_count, 3);
    ed->focused_index = 2;
    EXPECT_EQ(focused_stage_index(ed), 2);
    EXPECT_EQ(focused_stage_record(ed), slot(2));
    ed->focused_index = 7;
    EXPECT_EQ(focused_stage_index(ed), 0);
    EXPECT_EQ(focused_stage_record(ed), slot(0));
    // The own stage in another group: the shown group's first stage stands in.
    ed->group[0].slot = slot(1);
    EXPECT_EQ(focused_stage_record(ed), slot(1));
}

TEST_F(EditOps, ValuesAreClampedOnceForEveryTarget) {
    make_chain(2);
    ed->chain_mode = 1;
    editor_set_param(ed, 0, PARAM_GAIN, 99.0);
    EXPECT_EQ(events(0), gesture(PARAM_GAIN, 0.0, 30.0));
    EXPECT_EQ(events(1), gesture(PARAM_GAIN, 0.0, 30.0));
}

TEST_F(EditOps, PressesWithinHalfASecondAreOneUndoStepDragsNever) {
    make_chain(1);
    editor_set_param(ed, 0, PARAM_GAIN, 1.0);
    editor_test_now += 0.3;
    editor_set_param(ed, 0, PARAM_GAIN, 2.0);
    EXPECT_EQ(stages[0]->undo_count, 1u);
    editor_test_now += 0.3;
    editor_set_param(ed, 0, PARAM_CEILING, -1.0); // another control: a step of its own
    EXPECT_EQ(stages[0]->undo_count, 2u);
    for (double y : {20.0, 40.0}) {
        group_drag_begin(ed, WIDGET_KNOB, 0, PARAM_CEILING, 10, 10);
        editor_on_motion(ed, 10, y, false);
        editor_on_button_release(ed);
    }
    EXPECT_EQ(stages[0]->undo_count, 4u);
    ed->loading = 1;
    editor_set_param(ed, 0, PARAM_RELEASE, 50.0);
    EXPECT_EQ(stages[0]->undo_count, 4u) << "no undo points while a preset loads";
}

TEST_F(EditOps, DragStartsOneGesturePerStageAtItsNormalisedValue) {
    make_chain(3);
    ed->chain_mode = 1;
    set(1, PARAM_RELEASE, 100.0);
    set(2, PARAM_RELEASE, 2000.0);
    group_drag_begin(ed, WIDGET_KNOB, 0, PARAM_RELEASE, 5, 6);
    ASSERT_EQ(ed->drag_count, 3);
    EXPECT_EQ(ed->drag_kind, WIDGET_KNOB);
    EXPECT_NEAR(ed->drag_start_values[1], 0.5, 1e-12);
    EXPECT_NEAR(ed->drag_start_values[2], 1.0, 1e-12);
    EXPECT_EQ(events(1), (std::vector<owner_event>{{PARAM_RELEASE, EDIT_KIND_BEGIN, 100.0}}));
}

TEST_F(EditOps, GainShareWeights) {
    make_chain(1);
    struct row {
        uint32_t spread;
        int32_t n;
        std::vector<double> w;
    } rows[] = {
        {0, 4, {0.25, 0.25, 0.25, 0.25}}, {1, 4, {0.4, 0.3, 0.2, 0.1}}, {2, 4, {0.1, 0.2, 0.3, 0.4}},
        {1, 1, {1.0}},                    {7, 3, {1 / 3.0, 1 / 3.0, 1 / 3.0}},
    };
    for (const row& r : rows) {
        stages[0]->ui.spread = r.spread;
        for (int32_t k = 0; k < r.n; ++k)
            EXPECT_NEAR(gain_share_weight(ed, k, r.n), r.w[static_cast<size_t>(k)], 1e-12)
                << "spread " << r.spread << " k " << k;
    }
}

TEST_F(EditOps, NormalisedPositions) {
    struct row {
        int32_t p;
        double value, t;
    } rows[] = {
        {PARAM_RELEASE, 100.0, 0.5}, // ln(20) / ln(400)
        {PARAM_RELEASE, 2000.0, 1.0},
        {PARAM_LOOKAHEAD, 1.0, 0.5},
        {PARAM_CEILING, -6.0, 0.5},
        {PARAM_GAIN, 30.0, 1.0},
    };
    for (const row& r : rows) {
        EXPECT_NEAR(param_to_normalized(r.p, r.value), r.t, 1e-12) << r.p;
        EXPECT_NEAR(param_from_normalized(r.p, r.t), r.value, 1e-9) << r.p;
    }
    EXPECT_NEAR(param_from_normalized(PARAM_RELEASE, 1.7), 2000.0, 1e-9);
    EXPECT_NEAR(param_from_normalized(PARAM_GAIN, -0.2), 0.0, 1e-12);
    EXPECT_LT(param_to_normalized(PARAM_RELEASE, 1.0), 0.0) << "the position is not clamped";
}

// The list is rebuilt for every frame and press; a reordered chain must not hand the focus (and with
// it the next edit) to whichever stage now stands at the focused place.
TEST_F(EditOps, FocusStaysWithItsStageWhenTheListIsReordered) {
    make_chain(3);
    ed->focused_index = 2;
    ASSERT_EQ(focused_stage_record(ed), slot(2));
    set(0, PARAM_STAGE, 3.0);
    set(2, PARAM_STAGE, 1.0);
    tick();
    editor_refresh_group(ed);
    ASSERT_EQ(ed->group_count, 3);
    ASSERT_EQ(ed->group[0].slot, slot(2)) << "the manual places reorder the list";
    EXPECT_EQ(ed->focused_index, 0);
    EXPECT_EQ(focused_stage_record(ed), slot(2));
    editor_set_param(ed, focused_stage_index(ed), PARAM_CEILING, -2.0);
    EXPECT_EQ(events(2), gesture(PARAM_CEILING, -0.3, -2.0));
    EXPECT_TRUE(events(0).empty());
    EXPECT_TRUE(events(1).empty());
    // The focused stage leaves the group: the focus is dropped, the own stage is meant again.
    set(2, PARAM_GROUP, 9.0);
    tick();
    editor_refresh_group(ed);
    ASSERT_EQ(ed->group_count, 2);
    EXPECT_EQ(ed->focused_index, -1);
    EXPECT_EQ(focused_stage_record(ed), slot(0));
}

TEST_F(EditOps, ChainTotalGainAndTheViewFollowingTheOwnStage) {
    make_chain(3, 2);
    set(0, PARAM_GAIN, 1.5);
    set(2, PARAM_GAIN, 4.0);
    EXPECT_DOUBLE_EQ(chain_total_gain(ed), 5.5);
    // A group the user chose to view stays shown ...
    ed->shown_group = 5;
    editor_refresh_group(ed);
    EXPECT_EQ(ed->shown_group, 5);
    EXPECT_EQ(ed->group_count, 0);
    EXPECT_DOUBLE_EQ(chain_total_gain(ed), 0.0);
    // ... until the own stage moves: the view follows it.
    set(0, PARAM_GROUP, 7.0);
    tick();
    editor_refresh_group(ed);
    EXPECT_EQ(ed->shown_group, 7);
    EXPECT_EQ(ed->last_own_group, 7);
    ASSERT_EQ(ed->group_count, 1);
    EXPECT_EQ(ed->group[0].slot, slot(0));
}

} // namespace
