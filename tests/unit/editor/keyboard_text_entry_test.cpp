// Guards the keyboard and the one-line text entry: shortcuts that do nothing, act twice for one
// keystroke (its key press and its text event) or act while text is being typed; a typed value that
// lands on the wrong stages or leaves an undo point after Escape; text that grows past 63
// characters; a name saved with stray blanks; an entry box pushed off the canvas.
#include "edit_test_support.h"

namespace {

constexpr uint32_t CTRL = EDITOR_MOD_CTRL, SHIFT = EDITOR_MOD_SHIFT;
constexpr hit_entry KNOB_CEILING{WIDGET_KNOB, 0, PARAM_CEILING, 100, 100, 40, 40};
constexpr hit_entry PRESET_BOX{WIDGET_PRESET_MENU, -1, 0, 600, 10, 120, 20};

class KeyboardTextEntry : public EditorFixture {
  protected:
    // One edit of the own stage's Gain to `v`, as its own undo step.
    void edit_gain(double v) {
        editor_test_now += 1.0;
        editor_set_param(ed, 0, PARAM_GAIN, v);
    }
    void open_ceiling_entry() {
        clock += 10.0;
        press(120, 120, clock);
        release();
        press(120, 120, clock + 0.1);
        release();
        ASSERT_TRUE(ed->entry.active);
    }
    double clock = 0.0;
};

TEST_F(KeyboardTextEntry, UndoRedoShortcutsActOncePerKeystroke) {
    make_chain(1);
    struct step {
        const char* what;
        bool key_press; // else a text event alone
        uint32_t code, mods;
        uint32_t text_after; // the text event the same keystroke produces, 0 none
        double gain_after;
    } steps[] = {
        {"Ctrl+Z", true, 'z', CTRL, 26, 2.0},
        {"Ctrl+Shift+Z", true, 'Z', CTRL | SHIFT, 26, 3.0},
        {"Ctrl+Z without text", true, 'z', CTRL, 0, 2.0},
        {"Ctrl+Y", true, 'y', CTRL, 25, 3.0},
        {"text 26", false, 26, 0, 0, 2.0},
        {"text 26 + Shift", false, 26, SHIFT, 0, 3.0},
        {"text 26 again", false, 26, 0, 0, 2.0},
        {"text 25", false, 25, 0, 0, 3.0},
        {"Ctrl+Q", true, 'q', CTRL, 17, 3.0},
        {"Z alone", true, 'z', 0, 'z', 3.0},
    };
    edit_gain(1.0);
    edit_gain(2.0);
    edit_gain(3.0);
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.key_press) key(s.code, s.mods);
        else text(s.code, s.mods);
        if (s.text_after) text(s.text_after, s.mods);
        EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), s.gain_after);
    }
}

TEST_F(KeyboardTextEntry, PresetShortcutsStepAndOpenTheNameEntry) {
    make_chain(1);
    layout({PRESET_BOX});
    struct step {
        bool key_press;
        uint32_t code, mods;
        int32_t selection;
    } steps[] = {
        {true, EDITOR_KEY_PAGE_DOWN, 0, 1}, {true, EDITOR_KEY_PAGE_DOWN, 0, 2}, {true, EDITOR_KEY_PAGE_UP, 0, 1},
        {false, '.', 0, 2},                 {false, '>', SHIFT, 3},             {false, ',', 0, 2},
        {false, '<', SHIFT, 1},             {true, EDITOR_KEY_PAGE_UP, CTRL, 1},
    };
    for (const step& s : steps) {
        if (s.key_press) key(s.code, s.mods);
        else text(s.code, s.mods);
        EXPECT_EQ(ed->preset_selection, s.selection) << s.code;
    }
    struct save {
        bool key_press;
        uint32_t code, mods, text_after;
        int32_t mode;
    } saves[] = {{true, 's', CTRL, 19, TEXT_ENTRY_STAGE_PRESET},
                 {true, 'S', CTRL | SHIFT, 19, TEXT_ENTRY_CHAIN_PRESET},
                 {false, 19, 0, 0, TEXT_ENTRY_STAGE_PRESET},
                 {false, 19, SHIFT, 0, TEXT_ENTRY_CHAIN_PRESET}};
    for (const save& s : saves) {
        ed->entry.active = 0;
        if (s.key_press) key(s.code, s.mods);
        else text(s.code, s.mods);
        if (s.text_after) text(s.text_after, s.mods);
        ASSERT_TRUE(ed->entry.active);
        EXPECT_EQ(ed->entry.mode, s.mode);
        EXPECT_STREQ(ed->entry.text, "New preset");
        EXPECT_TRUE(ed->entry.select_all);
        EXPECT_FLOAT_EQ(ed->entry.x, PRESET_BOX.x);
        EXPECT_FLOAT_EQ(ed->entry.y, PRESET_BOX.y + PRESET_BOX.h + 2);
        EXPECT_FLOAT_EQ(ed->entry.w, PRESET_BOX.w);
        EXPECT_FLOAT_EQ(ed->entry.h, 24);
    }
}

TEST_F(KeyboardTextEntry, TypedCeilingReachesEveryStageInChainMode) {
    make_chain(3);
    layout({KNOB_CEILING});
    ed->chain_mode = 1;
    open_ceiling_entry();
    EXPECT_STREQ(ed->entry.text, "-0.3 dB");
    EXPECT_EQ(ed->entry.mode, TEXT_ENTRY_VALUE);
    EXPECT_TRUE(ed->entry.select_all);
    const uint32_t steps = stages[0]->undo_count;
    // Shortcuts are off while typing: ',' and '.' are text.
    type("-1");
    text('.');
    text(',');
    key(8);
    text(8); // the same Backspace keystroke
    key(8);
    EXPECT_STREQ(ed->entry.text, "-1");
    key(13);
    text(13);
    EXPECT_FALSE(ed->entry.active);
    for (int i = 0; i < 3; ++i)
        EXPECT_DOUBLE_EQ(value(i, PARAM_CEILING), -1.0) << i;
    EXPECT_EQ(stages[0]->undo_count, steps + 1);
    EXPECT_EQ(ed->preset_selection, 0) << "',' typed into the entry did not step the presets";
}

TEST_F(KeyboardTextEntry, TypedDecimalCommaAndSeconds) {
    // "-0,5" typed for Ceiling gave 0 dB and "1 s" for Release 5 ms.
    make_chain(1);
    const hit_entry knob_release{WIDGET_KNOB, 0, PARAM_RELEASE, 100, 100, 40, 40};
    struct typed {
        hit_entry knob;
        const char* text;
        int32_t param;
        double value;
    } cases[] = {{KNOB_CEILING, "-0,5", PARAM_CEILING, -0.5}, {knob_release, "1 s", PARAM_RELEASE, 1000}};
    for (const typed& c : cases) {
        SCOPED_TRACE(c.text);
        layout({c.knob});
        open_ceiling_entry();
        type(c.text);
        key(13);
        text(13);
        EXPECT_DOUBLE_EQ(value(0, c.param), c.value);
    }
}

TEST_F(KeyboardTextEntry, EditingKeys) {
    make_chain(1);
    layout({KNOB_CEILING});
    open_ceiling_entry();
    text(8);
    EXPECT_STREQ(ed->entry.text, "") << "Backspace first empties the selected text";
    text(8);
    EXPECT_STREQ(ed->entry.text, "");
    std::string typed;
    for (int i = 0; i < 70; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        text(static_cast<uint32_t>(c));
        if (typed.size() < 63) typed += c;
    }
    EXPECT_EQ(std::string(ed->entry.text), typed);
    text(200);
    text(9);
    text_entry_key(ed, 127);
    EXPECT_EQ(std::string(ed->entry.text), typed) << "nothing outside 32..126 is typed";
    // Escape closes without an effect and without an undo point.
    const uint32_t steps = stages[0]->undo_count;
    type("-5");
    key(27);
    text(27);
    EXPECT_FALSE(ed->entry.active);
    EXPECT_DOUBLE_EQ(value(0, PARAM_CEILING), -0.3);
    EXPECT_EQ(stages[0]->undo_count, steps);
    // Escape as a text event alone ends it too.
    open_ceiling_entry();
    text(27);
    EXPECT_FALSE(ed->entry.active);
}

TEST_F(KeyboardTextEntry, APressEndsTheEntry) {
    make_chain(1);
    layout({KNOB_CEILING});
    open_ceiling_entry();
    type("-2");
    press(500, 500, clock + 1); // a value entry commits
    EXPECT_FALSE(ed->entry.active);
    EXPECT_DOUBLE_EQ(value(0, PARAM_CEILING), -2.0);
    open_ceiling_entry();
    type("banana");
    press(120, 120, clock + 5); // not a value: dropped, and the press does nothing else
    EXPECT_FALSE(ed->entry.active);
    EXPECT_EQ(ed->drag_kind, 0);
    EXPECT_DOUBLE_EQ(value(0, PARAM_CEILING), -2.0);
    begin_name_entry(ed, TEXT_ENTRY_STAGE_PRESET, "Kept");
    press(500, 500, clock + 9); // a name entry is only saved by Enter
    EXPECT_FALSE(ed->entry.active);
    EXPECT_EQ(preset_list(ed->user_presets, USER_PRESET_MAX), 0);
}

TEST_F(KeyboardTextEntry, ValueBoxStaysOnTheCanvas) {
    make_chain(1);
    struct row {
        float centre, want_x;
    } rows[] = {{20, 4}, {42, 4}, {400, 362}, {918, 880}, {930, 880}};
    for (const row& r : rows) {
        const hit_entry e{WIDGET_KNOB, 0, PARAM_GAIN, r.centre - 10, 50, 20, 30};
        begin_value_entry(ed, &e, PARAM_GAIN);
        EXPECT_FLOAT_EQ(ed->entry.x, r.want_x) << r.centre;
        EXPECT_FLOAT_EQ(ed->entry.y, 54);
        EXPECT_FLOAT_EQ(ed->entry.w, 76);
        EXPECT_FLOAT_EQ(ed->entry.h, 22);
    }
}

TEST_F(KeyboardTextEntry, NamesAreTrimmedAndBlankNamesNotSaved) {
    make_chain(1);
    struct row {
        const char* typed;
        const char* saved; // null: nothing saved
    } rows[] = {{"  two words  ", "two words"}, {"     ", nullptr}, {"", nullptr}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.typed);
        begin_name_entry(ed, TEXT_ENTRY_STAGE_PRESET, "");
        type(r.typed);
        key(13);
        EXPECT_FALSE(ed->entry.active);
        const int32_t n = preset_list(ed->user_presets, USER_PRESET_MAX);
        if (r.saved == nullptr) {
            EXPECT_EQ(n, 1) << "the earlier save only";
        } else {
            ASSERT_EQ(n, 1);
            EXPECT_STREQ(ed->user_presets[0], r.saved);
            EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST);
        }
    }
}

TEST_F(KeyboardTextEntry, KeyDebugLines) {
#if !defined(_WIN32)
    make_chain(1);
    test_setenv("LODRIN_KEYDBG", "1");
    fflush(stderr);
    FILE* capture = tmpfile();
    const int saved = dup(fileno(stderr));
    dup2(fileno(capture), fileno(stderr));
    key(EDITOR_KEY_PAGE_UP + 100, CTRL | SHIFT);
    text(65);
    fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    test_unsetenv("LODRIN_KEYDBG");
    rewind(capture);
    char buf[256] = {};
    const size_t n = fread(buf, 1, sizeof buf - 1, capture);
    fclose(capture);
    EXPECT_EQ(std::string(buf, n), "[key] press key=57445 state=3 edit=0\n[key] text ch=65 key=65 edit=0\n");
#endif
}

} // namespace
