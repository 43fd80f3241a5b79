// Guards the preset list: stepping that does not wrap, built-in presets that reach the wrong stages
// or touch what a preset must leave alone, chain presets mapped wrongly onto longer or shorter
// chains, a load that is not one undo step, user files written or read differently from their
// format, names that escape the preset folder, and a list longer than the editor can hold.
#include "edit_test_support.h"

namespace {

class Presets : public EditorFixture {
  protected:
    void add_user_file(const std::string& name, const std::string& body) {
        write_text_file(presets.file(name + ".lodrin"), body);
    }
    // A one-stage preset file setting the Gain.
    static std::string gain_file(double gain) {
        return "Lodrin preset 1\nname=x\nstages=1\nstage=1\np2=" + std::to_string(gain) + " # Gain\n";
    }
};

TEST_F(Presets, SteppingWrapsThroughTheWholeList) {
    make_chain(1);
    add_user_file("alpha", gain_file(1));
    add_user_file("Beta", gain_file(2));
    add_user_file("gamma", gain_file(3));
    ed->preset_selection = 15;
    preset_step(ed, +1);
    EXPECT_EQ(ed->preset_selection, 0) << "past the last user preset comes Default";
    preset_step(ed, -1);
    EXPECT_EQ(ed->preset_selection, 15);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 3.0);
    preset_step(ed, -1);
    EXPECT_EQ(ed->preset_selection, 14);
    EXPECT_STREQ(ed->user_presets[1], "Beta") << "sorted without regard to case";
    ed->preset_selection = 40; // beyond the list
    preset_step(ed, +1);
    EXPECT_EQ(ed->preset_selection, 1);
}

TEST_F(Presets, StagePresetOnTheFocusedStageOrTheWholeChain) {
    make_chain(3);
    for (bool chain : {false, true}) {
        SCOPED_TRACE(chain);
        for (int i = 0; i < 3; ++i)
            for (int32_t p = 0; p < PARAM_COUNT; ++p)
                set(i, p, param_table[p].default_value);
        for (int i = 0; i < 3; ++i) {
            set(i, PARAM_STAGE, i + 1);
            set(i, PARAM_INPUT, 3.0);
            set(i, PARAM_MIX, 50.0);
        }
        ed->chain_mode = chain ? 1 : 0;
        ed->focused_index = 1;
        const uint32_t steps = stages[0]->undo_count;
        preset_menu_action(ed, PRESET_ACTION_STAGE, 6); // "Loud"
        EXPECT_EQ(ed->preset_selection, 6);
        EXPECT_EQ(stages[0]->undo_count, steps + 1) << "one undo step";
        EXPECT_EQ(ed->loading, 0);
        for (int i = 0; i < 3; ++i) {
            const bool hit = chain || i == 1;
            EXPECT_DOUBLE_EQ(value(i, PARAM_GAIN), hit ? 8.0 : 0.0) << i;
            EXPECT_DOUBLE_EQ(value(i, PARAM_CEILING), hit ? -0.1 : -0.3) << i;
            EXPECT_DOUBLE_EQ(value(i, PARAM_STYLE), hit ? 3.0 : 0.0) << i;
            EXPECT_DOUBLE_EQ(value(i, PARAM_INPUT), 3.0) << "Input is left alone";
            EXPECT_DOUBLE_EQ(value(i, PARAM_MIX), 50.0) << "Mix is left alone";
        }
    }
}

TEST_F(Presets, ChainPresetsOnLongerAndShorterChains) {
    struct row {
        int chain;
        int32_t preset;
        std::vector<double> release; // per stage
    } rows[] = {
        {5, 8, {260, 40, 120, 120, 120}}, // T P F2, the last setting repeated
        {2, 8, {260, 40}},
        {4, 9, {200, 200, 200, 200}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.chain);
        TearDown();
        SetUp();
        make_chain(r.chain);
        preset_menu_action(ed, PRESET_ACTION_CHAIN, r.preset);
        EXPECT_EQ(ed->preset_selection, r.preset);
        EXPECT_EQ(values_of(PARAM_RELEASE), r.release);
        for (int i = 0; i < r.chain; ++i)
            EXPECT_DOUBLE_EQ(value(i, PARAM_STAGE), i + 1) << "the chain position is left alone";
        EXPECT_EQ(events(r.chain - 1).size(), 30u) << "ten gestures of three events";
        // Undo restores the whole chain in one step.
        history_undo(ed);
        EXPECT_EQ(values_of(PARAM_RELEASE), std::vector<double>(static_cast<size_t>(r.chain), 100.0));
    }
}

TEST_F(Presets, ChainPresetWithAnEmptyListOnlySelects) {
    make_chain(1);
    ed->group_count = 0;
    preset_menu_action(ed, PRESET_ACTION_CHAIN, 12);
    EXPECT_EQ(ed->preset_selection, 12);
    EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), 0.0);
}

TEST_F(Presets, SavedFileFormat) {
    make_chain(2);
    set(0, PARAM_GAIN, 1.25);
    set(0, PARAM_RELEASE, 123.456789);
    set(0, PARAM_BYPASS, 1.0);
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "My stage");
    const std::string text = read_text_file(presets.file("My stage.lodrin"));
#if defined(_WIN32)
    const char* eol = "\r\n";
#else
    const char* eol = "\n";
#endif
    std::string want;
    for (const char* line :
         {"Lodrin preset 1", "name=My stage", "stages=1", "stage=1", "p1=0 # Input", "p2=1.25 # Gain",
          "p3=-0.3 # Ceiling", "p4=123.457 # Release", "p100=1 # Stage", "p101=0 # Group", "p5=100 # Stereo link",
          "p6=1 # True peak", "p7=1 # Adaptive release", "p8=1.5 # Lookahead", "p9=0 # Style", "p10=0 # Dither",
          "p11=2 # Noise shaping", "p15=100 # Mix"})
        want += std::string(line) + eol;
    EXPECT_EQ(text, want);
    EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST);
    // A chain preset holds every listed stage; saving again replaces the file and leaves no
    // temporary file behind.
    preset_save_current(ed, TEXT_ENTRY_CHAIN_PRESET, "My stage");
    const std::string chain = read_text_file(presets.file("My stage.lodrin"));
    EXPECT_NE(chain.find(std::string("stages=2") + eol), std::string::npos);
    EXPECT_NE(chain.find(std::string("stage=2") + eol + "p1=0 # Input"), std::string::npos);
    char names[8][64];
    EXPECT_EQ(list_files_with_suffix(presets.path.c_str(), "", &names[0][0], 64, 8), 1) << "one file only";
}

TEST_F(Presets, SaveAndLoadRoundTrip) {
    make_chain(3);
    for (int i = 0; i < 3; ++i) {
        set(i, PARAM_INPUT, -2.0 - i);
        set(i, PARAM_LOOKAHEAD, 0.5 + i);
        set(i, PARAM_MIX, 90.0 - i);
    }
    preset_save_current(ed, TEXT_ENTRY_CHAIN_PRESET, "Three");
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "One");
    for (int i = 0; i < 3; ++i)
        for (int32_t p : {PARAM_INPUT, PARAM_LOOKAHEAD, PARAM_MIX})
            set(i, p, param_table[p].default_value);
    ed->preset_selection = 0;
    preset_list_refresh(ed);
    ASSERT_EQ(ed->user_preset_count, 2);
    ASSERT_STREQ(ed->user_presets[1], "Three");
    const uint32_t steps = stages[0]->undo_count;
    apply_user_preset(ed, 1);
    EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST + 1);
    EXPECT_EQ(stages[0]->undo_count, steps + 1);
    EXPECT_EQ(values_of(PARAM_INPUT), (std::vector<double>{-2, -3, -4}));
    EXPECT_EQ(values_of(PARAM_LOOKAHEAD), (std::vector<double>{0.5, 1.5, 2.5}));
    EXPECT_EQ(values_of(PARAM_MIX), (std::vector<double>{90, 89, 88}));
    // The one-stage preset goes to the focused stage only.
    ed->focused_index = 2;
    apply_user_preset(ed, 0);
    EXPECT_EQ(values_of(PARAM_INPUT), (std::vector<double>{-2, -3, -2}));
    apply_user_preset(ed, 5); // not listed: nothing, not even an undo point
    EXPECT_EQ(stages[0]->undo_count, steps + 2);
}

TEST_F(Presets, ReadingRules) {
    struct row {
        const char* what;
        std::string body;
        bool loads;
        int32_t stages;
        double gain_stage1, gain_stage2;
    } rows[] = {
        {"another version digit", "Lodrin preset 7\nstages=1\np2=4\n", true, 1, 4, 0},
        {"no stages line", "Lodrin preset 1\nstage=1\np2=4\n", false, 0, 0, 0},
        {"wrong header", "Lodrin pre set 1\nstages=1\n", false, 0, 0, 0},
        {"stages=12", "Lodrin preset 1\nstages=12\nstage=8\np2=5\nstage=9\np2=6\n", true, 8, 0, 0},
        {"stages=0", "Lodrin preset 1\nstages=0\np2=7\n", true, 1, 7, 0},
        {"clamped and unknown", "Lodrin preset 1\nstages=2\np2=99\np77=3\nstage=2\np2=-5\npx=1\n", true, 2, 30, 0},
        {"stage 0 drops lines", "Lodrin preset 1\nstages=2\nstage=0\np2=9\nstage=2\np2=2 # Gain\n", true, 2, 0, 2},
        {"no number", "Lodrin preset 1\nstages=1\np2=abc\np3=\n", true, 1, 0, 0},
        {"CRLF lines", "Lodrin preset 1\r\nstages=2\r\nstage=2\r\np2=3.5\r\n", true, 2, 0, 3.5},
        {"name line ignored", "Lodrin preset 1\nname=Other\nstages=1\n", true, 1, 0, 0},
    };
    make_chain(1);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        add_user_file("case", r.body);
        preset_record rec;
        memset(&rec, 0x55, sizeof rec);
        ASSERT_EQ(preset_read("case", &rec), r.loads);
        if (!r.loads) continue;
        EXPECT_EQ(rec.stages, r.stages);
        EXPECT_STREQ(rec.name, "case");
        EXPECT_DOUBLE_EQ(rec.values[0][PARAM_GAIN], r.gain_stage1);
        EXPECT_DOUBLE_EQ(rec.values[1][PARAM_GAIN], r.gain_stage2);
        EXPECT_DOUBLE_EQ(rec.values[7][PARAM_CEILING], -0.3) << "every stage starts at the defaults";
        EXPECT_DOUBLE_EQ(rec.values[3][PARAM_MIX], 100.0);
    }
    add_user_file("eight", "Lodrin preset 1\nstages=12\nstage=8\np2=5\n");
    preset_record rec;
    ASSERT_TRUE(preset_read("eight", &rec));
    EXPECT_DOUBLE_EQ(rec.values[7][PARAM_GAIN], 5.0);
}

TEST_F(Presets, NamesAreSanitised) {
    make_chain(1);
    struct row {
        const char* name;
        const char* file; // null: no path
    } rows[] = {
        {"a/b?", "a_b_"},
        {"<x>:\"y\"|z*\\", "_x___y__z__"},
        {"tab\there", "tab_here"},
        {"trailing. . ", "trailing"},
        {". . .", nullptr},
        {"", nullptr},
        {"../../etc", ".._.._etc"},
    };
    for (const row& r : rows) {
        char path[1200];
        const bool ok = preset_path(r.name, path, sizeof path);
        ASSERT_EQ(ok, r.file != nullptr) << r.name;
        if (ok) {
            EXPECT_EQ(std::string(path), presets.file(std::string(r.file) + ".lodrin")) << r.name;
        }
    }
    const std::string long_name(80, 'n');
    char path[1200];
    ASSERT_TRUE(preset_path(long_name.c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), presets.file(std::string(63, 'n') + ".lodrin"));
    // Saved as a_b_, so the name asked for is not the one listed and is not selected.
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "a/b?");
    ASSERT_EQ(ed->user_preset_count, 1);
    EXPECT_STREQ(ed->user_presets[0], "a_b_");
    EXPECT_EQ(ed->preset_selection, 0);
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, ". .");
    EXPECT_EQ(ed->user_preset_count, 1);
}

TEST_F(Presets, TheFirstTwentyFourByNameAreListed) {
    // Which 24 of 30 files were listed followed the folder's own order, so the menu changed with it.
    // Written in a scrambled order; the listing is the first 24 by name, in order, every time.
    make_chain(1);
    for (int k = 0; k < 30; ++k) {
        const int i = (k * 7 + 29) % 30;
        char name[16];
        snprintf(name, sizeof name, "%c%02d", i % 2 ? 'P' : 'p', i);
        add_user_file(name, gain_file(i));
    }
    write_text_file(presets.file("notes.txt"), "not a preset");
    for (int round = 0; round < 2; ++round) {
        preset_list_refresh(ed);
        ASSERT_EQ(ed->user_preset_count, 24);
        for (int i = 0; i < 24; ++i) {
            char want[16];
            snprintf(want, sizeof want, "%c%02d", i % 2 ? 'P' : 'p', i);
            EXPECT_STREQ(ed->user_presets[i], want) << i;
        }
    }
    ed->preset_selection = PRESET_USER_FIRST + 23;
    preset_step(ed, +1);
    EXPECT_EQ(ed->preset_selection, 0);
}

TEST_F(Presets, EachEntryLoadsAndDeletesTheFileItWasListedFrom) {
    // Load and delete once rebuilt a path from the shown name: "Vocal: bright" loaded and deleted
    // "Vocal_ bright", "d." loaded "d", an 80-character name its 63-character namesake, and names
    // that could not be rebuilt (another case of the suffix, a line break, a cut character) were
    // listed but never loaded. Now an entry acts on its own file, and a name that cannot be shown
    // as it is named is not listed.
    make_chain(1);
    const std::string n63(63, 'n'), n80(80, 'n');
    struct file {
        std::string name; // with its suffix
        double gain;
    } files[] = {
        {"Vocal_ bright.lodrin", 12}, {"d..lodrin", 13}, {"d.lodrin", 14}, {n80 + ".lodrin", 15},
        {n63 + ".lodrin", 16}, {"UP.LODRIN", 17},
#if !defined(_WIN32) // names the Windows file system does not take, or gives back in its code page
        {"Vocal: bright.lodrin", 11}, {"line\nbreak.lodrin", 18}, {"cut\xC3.lodrin", 19},
        {"caf\xC3\xA9.lodrin", 20}, {"tab\there.lodrin", 21}, {"over\xC0\xAF.lodrin", 22},
#endif
    };
    for (const file& f : files)
        write_text_file(presets.file(f.name), gain_file(f.gain));
    struct listed {
        const char* name;
        double gain;
    } want[] = {
#if !defined(_WIN32)
        {"caf\xC3\xA9", 20},
#endif
        {"d", 14}, {"d.", 13}, {n63.c_str(), 16}, {"UP", 17},
#if !defined(_WIN32)
        {"Vocal: bright", 11},
#endif
        {"Vocal_ bright", 12},
    };
    const int32_t count = static_cast<int32_t>(sizeof want / sizeof want[0]);
    preset_list_refresh(ed);
    ASSERT_EQ(ed->user_preset_count, count);
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_STREQ(ed->user_presets[i], want[i].name) << i;
        set(0, PARAM_GAIN, 0);
        apply_user_preset(ed, i);
        EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST + i) << want[i].name;
        EXPECT_DOUBLE_EQ(value(0, PARAM_GAIN), want[i].gain) << want[i].name;
    }
    // Deleting the first of the pair removes its own file only.
    apply_user_preset(ed, count - 2);
    preset_menu_action(ed, PRESET_ACTION_DELETE, 0);
    ASSERT_EQ(ed->user_preset_count, count - 1);
    EXPECT_STREQ(ed->user_presets[count - 2], "Vocal_ bright");
#if !defined(_WIN32)
    EXPECT_EQ(read_text_file(presets.file("Vocal: bright.lodrin")), "") << "deleted";
#endif
    EXPECT_EQ(read_text_file(presets.file("Vocal_ bright.lodrin")), gain_file(12));
    // Saving "d." writes d.lodrin: the entry of d..lodrin is not selected for it.
    set(0, PARAM_GAIN, 3);
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "d.");
    EXPECT_EQ(ed->preset_selection, 0);
    EXPECT_NE(read_text_file(presets.file("d.lodrin")).find("p2=3 # Gain"), std::string::npos);
    EXPECT_EQ(read_text_file(presets.file("d..lodrin")), gain_file(13));
}

TEST_F(Presets, MenuSaveRowsAndDelete) {
    make_chain(1);
    add_user_file("Keep", gain_file(1));
    add_user_file("Drop", gain_file(2));
    preset_list_refresh(ed);
    ed->menu_x = 300;
    ed->menu_y = 40;
    ed->menu_w = 200;
    preset_menu_action(ed, PRESET_ACTION_SAVE_CHAIN, 0);
    EXPECT_TRUE(ed->entry.active);
    EXPECT_EQ(ed->entry.mode, TEXT_ENTRY_CHAIN_PRESET);
    EXPECT_STREQ(ed->entry.text, "New preset");
    EXPECT_FLOAT_EQ(ed->entry.x, 300);
    EXPECT_FLOAT_EQ(ed->entry.w, 200);
    ed->entry.active = 0;
    apply_user_preset(ed, 0); // "Drop"
    preset_menu_action(ed, PRESET_ACTION_SAVE_STAGE, 0);
    EXPECT_STREQ(ed->entry.text, "Drop") << "prefilled with the selected user preset";
    ed->entry.active = 0;
    preset_menu_action(ed, PRESET_ACTION_DELETE, 0);
    EXPECT_EQ(ed->preset_selection, 0);
    ASSERT_EQ(ed->user_preset_count, 1);
    EXPECT_STREQ(ed->user_presets[0], "Keep");
    preset_menu_action(ed, PRESET_ACTION_DELETE, 0); // nothing selected: nothing deleted
    EXPECT_EQ(ed->user_preset_count, 1);
}

TEST_F(Presets, FolderFromTheEnvironmentElseThePerUserFolder) {
    make_chain(1);
    temp_folder home;
    test_unsetenv("LODRIN_PRESET_DIR");
    test_setenv("XDG_DATA_HOME", home.path.c_str());
#if defined(_WIN32)
    test_setenv("APPDATA", home.path.c_str());
#endif
    char path[1200];
    ASSERT_TRUE(preset_path("x", path, sizeof path));
    const std::string sep(1, PLATFORM_PATH_SEPARATOR);
    EXPECT_EQ(std::string(path), home.path + sep + "Tovarin" + sep + "Lodrin" + sep + "Presets" + sep + "x.lodrin");
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "x");
    EXPECT_EQ(ed->user_preset_count, 1);
    test_unsetenv("XDG_DATA_HOME");
}

} // namespace
