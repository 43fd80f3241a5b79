// Guards the stage the user picked against a listing that misses it: the chain inference may leave a
// live stage out of a listing or a few (a disturbed block makes it look like another track's), and
// the next drag, wheel notch or typed value must then reach that stage or no stage, never the own
// stage in its place. The focus comes back with the stage and lets go only once the stage has gone.
#include "edit_test_support.h"

namespace {

int64_t platform_now = 0;
int64_t platform_clock() {
    return platform_now;
}

class FocusKeeping : public EditorFixture {
  protected:
    void SetUp() override {
        EditorFixture::SetUp();
        // The chain inference runs on time the test gives, so which listing misses a stage is exact.
        platform_now = 50000 * MS;
        clock_set_source(platform_clock);
    }
    void TearDown() override {
        EditorFixture::TearDown();
        clock_set_source(nullptr);
    }

    // Host blocks of 10 ms with steady times, every stage in series (1 ms apart, 0.5 ms each), up to
    // `ms` from now; with `k` given, stage k runs through each whole block instead, overlapping the
    // others as a stage of another track would.
    void run_for(int64_t ms, int k = -1) {
        platform_now += ms * MS;
        for (int64_t block = last_block + 10 * MS; block <= platform_now - 10 * MS; block += 10 * MS) {
            for (size_t i = 0; i < stages.size(); ++i) {
                int64_t start = block + static_cast<int64_t>(i) * MS, end = start + MS / 2;
                if (static_cast<int>(i) == k) {
                    start = block;
                    end = block + 9 * MS;
                }
                const uint32_t c = slot_timing_begin(stages[i]->slot, start, block / MS * 48);
                slot_timing_end(stages[i]->slot, c, end);
            }
            last_block = block;
        }
        editor_refresh_group(ed);
    }

    // Three stages on one track with the last one picked by a click on its card; histories of host
    // blocks with steady times only.
    void pick_last_of_three() {
        make_chain(3);
        run_for(800);
        ASSERT_EQ(ed->group_count, 3);
        layout({{WIDGET_STAGE, 2, 0, 400, 40, 132, 70}});
        press(460, 70, 1.0);
        release();
        ASSERT_EQ(focused_stage_record(ed), slot(2));
        drain();
    }

    // The single-stage controls as a frame records them now: the fader and the Ceiling knob.
    void lay_out_controls() {
        const int32_t fi = focused_stage_index(ed);
        layout({{WIDGET_GAIN_FADER, fi, PARAM_GAIN, 16, 100, 40, 464},
                {WIDGET_KNOB, fi, PARAM_CEILING, 80, 496, 52, 52}});
    }

    // A drag of 106 units up the fader, a wheel notch and a typed value on the Ceiling knob. Returns
    // the events each stage's owner received.
    std::vector<std::vector<owner_event>> edit_with_every_gesture() {
        lay_out_controls();
        press(36, 400, 2.0);
        motion(36, 294);
        release();
        scroll(106, 522, 1.0);
        press(106, 522, 3.0);
        release();
        press(106, 522, 3.1); // a double-click opens the value entry
        release();
        type("-2");
        text(13);
        std::vector<std::vector<owner_event>> got;
        for (int i = 0; i < 3; ++i)
            got.push_back(events(i));
        return got;
    }
};

TEST_F(FocusKeeping, ALiveStageMissingFromListingsIsEditedByNothingAndRefocusedWhenBack) {
    pick_last_of_three();
    run_for(20, 2);
    ASSERT_EQ(ed->group_count, 2) << "the disturbed block leaves the picked stage out of the listing";
    EXPECT_EQ(focused_stage_index(ed), EDITOR_FOCUS_MISSING);
    EXPECT_EQ(focused_stage_record(ed), slot(2)) << "the controls go on showing the picked stage";

    const auto missing = edit_with_every_gesture();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(missing[static_cast<size_t>(i)].empty()) << "stage " << i << " got " << missing[static_cast<size_t>(i)].size();
    EXPECT_EQ(stages[0]->undo_count, 0u) << "nothing changed, nothing to undo";

    // The disturbed block leaves the compared history: the stage is listed again, and focused.
    editor_test_now += 0.5;
    run_for(700);
    ASSERT_EQ(ed->group_count, 3);
    ASSERT_GE(ed->focused_index, 0);
    EXPECT_EQ(ed->group[ed->focused_index].slot, slot(2));
    const auto back = edit_with_every_gesture();
    EXPECT_TRUE(back[0].empty());
    EXPECT_TRUE(back[1].empty());
    EXPECT_GE(back[2].size(), 9u) << "the drag, the notch and the typed value reach the picked stage";
    EXPECT_DOUBLE_EQ(value(2, PARAM_CEILING), -2.0);
}

TEST_F(FocusKeeping, TheFocusLetsGoAfterTheHoldOrAtOnceWhenTheStageHasGone) {
    pick_last_of_three();
    // 10 ms blocks: 64 periods are less than the least hold of 1 s.
    EXPECT_DOUBLE_EQ(focus_hold_seconds(slot(2)), 1.0);
    struct row {
        double missing_for; // editor clock seconds since the first listing that missed it
        bool held;
    } rows[] = {{0.0, true}, {0.9, true}, {1.1, false}};
    run_for(20, 2);
    const double first_missed = editor_test_now;
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "missing for " << r.missing_for << " s");
        editor_test_now = first_missed + r.missing_for;
        run_for(20, 2);
        ASSERT_EQ(ed->group_count, 2);
        EXPECT_EQ(focused_stage_index(ed), r.held ? EDITOR_FOCUS_MISSING : 0);
        EXPECT_EQ(focused_stage_record(ed), r.held ? slot(2) : slot(0));
    }
    // Let go, the focus stays with the own stage that the controls now show, when the stage is back.
    run_for(700);
    ASSERT_EQ(ed->group_count, 3);
    EXPECT_EQ(ed->focused_index, -1);

    // A stage whose host closed it has gone for good: the focus lets go in the listing that misses it.
    layout({{WIDGET_STAGE, 1, 0, 260, 40, 132, 70}});
    press(300, 70, 9.0);
    release();
    ASSERT_EQ(focused_stage_record(ed), slot(1));
    shm_slot* gone = slot(1);
    registry_detach(stages[1], gone);
    delete stages[1];
    stages.erase(stages.begin() + 1);
    editor_refresh_group(ed);
    EXPECT_EQ(ed->group_count, 2);
    EXPECT_EQ(focused_stage_index(ed), 0);
    EXPECT_NE(focused_stage_record(ed), gone);
}

} // namespace
