// Guards the editor's thread against things in the preset folder that are not regular files: a FIFO
// (opening it for reading would wait for a writer forever), a device, and links to either. Each must
// be refused at once; a link to a regular preset still loads.
#include "edit_test_support.h"

#include <chrono>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class PresetSpecialFiles : public EditorFixture {
  protected:
    void SetUp() override {
        EditorFixture::SetUp();
        make_chain(1);
    }
};

TEST_F(PresetSpecialFiles, NonRegularFilesAreRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(presets.file("fifo.lodrin").c_str(), 0600), 0);
    write_text_file(presets.file("real.data"), "Lodrin preset 1\nstages=1\np2=6\n");
    struct row {
        const char* name;
        const char* link_to; // null: the fifo itself
        bool loads;
    } rows[] = {
        {"fifo", nullptr, false},
        {"fifolink", "fifo.lodrin", false},
        {"zero", "/dev/zero", false},
        {"tty", "/dev/tty", false},
        {"null", "/dev/null", false},
        {"dangling", "nowhere.lodrin", false},
        {"loop", "loop.lodrin", false},
        {"real", "real.data", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        if (r.link_to) {
            ASSERT_EQ(symlink(r.link_to, presets.file(std::string(r.name) + ".lodrin").c_str()), 0);
        }
        const auto start = std::chrono::steady_clock::now();
        preset_record rec;
        EXPECT_EQ(preset_read(r.name, &rec), r.loads);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    // Listed when they lead somewhere (a dangling link or a loop does not); stepping onto one loads
    // nothing and keeps the selection before it.
    preset_list_refresh(ed);
    EXPECT_EQ(ed->user_preset_count, 6);
    for (int i = 0; i < 20; ++i)
        preset_step(ed, +1);
    EXPECT_EQ(ed->preset_selection, PRESET_USER_FIRST - 1);
}

TEST_F(PresetSpecialFiles, SavingReplacesALinkInsteadOfWritingThroughIt) {
    // A link in the folder pointing elsewhere: saving under its name replaces the link, so the file
    // it pointed at stays untouched.
    temp_folder elsewhere;
    const std::string target = elsewhere.file("victim.txt");
    write_text_file(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), presets.file("linked.lodrin").c_str()), 0);
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "linked");
    EXPECT_EQ(read_text_file(target), "keep me");
    struct stat st;
    ASSERT_EQ(lstat(presets.file("linked.lodrin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    preset_record rec;
    EXPECT_TRUE(preset_read("linked", &rec));
}

} // namespace
