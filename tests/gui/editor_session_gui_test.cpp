// Guards what outlives one open editor: a drag still held when the editor is closed must end its
// gestures at the stage's host, and a reopened editor's first edit is an undo step of its own, not
// part of the last step of the editor before it (whose window world had a clock of its own).
#include "edit_test_support.h"

namespace {

class EditorSession : public EditorFixture {
  protected:
    void TearDown() override {
        if (real) editor_destroy(real);
        real = nullptr;
        EditorFixture::TearDown();
    }
    editor_state* open_editor() {
        real = editor_create(stages[0]);
        if (real != nullptr) editor_refresh_group(real);
        return real;
    }
    void close_editor() {
        editor_destroy(real);
        real = nullptr;
    }
    editor_state* real = nullptr;
};

TEST_F(EditorSession, ClosingMidDragEndsEveryGesture) {
    make_chain(3);
    ASSERT_NE(open_editor(), nullptr);
    real->chain_mode = 1;
    group_drag_begin(real, WIDGET_KNOB, 0, PARAM_RELEASE, 100, 100);
    editor_on_motion(real, 100, 60, false);
    drain();
    close_editor();
    for (int i = 0; i < 3; ++i) {
        const std::vector<owner_event> got = events(i);
        ASSERT_EQ(got.size(), 1u) << "stage " << i;
        EXPECT_EQ(got[0].param, PARAM_RELEASE);
        EXPECT_EQ(got[0].kind, EDIT_KIND_END);
        EXPECT_DOUBLE_EQ(got[0].value, value(i, PARAM_RELEASE));
    }
}

TEST_F(EditorSession, AReopenedEditorStartsANewUndoStep) {
    make_chain(1);
    ASSERT_NE(open_editor(), nullptr);
    // Let the first world's clock run on a little, as a session does.
    for (int i = 0; i < 40; ++i) {
        editor_pump_world();
        usleep(10000);
    }
    editor_set_param(real, 0, PARAM_GAIN, 3.0);
    close_editor();
    editor_test_now += 30.0;
    ASSERT_NE(open_editor(), nullptr);
    editor_set_param(real, 0, PARAM_GAIN, 5.0);
    EXPECT_EQ(stages[0]->undo_count, 2u);
    history_undo(real);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 3.0) << "one undo takes back the second session's edit only";
}

} // namespace
