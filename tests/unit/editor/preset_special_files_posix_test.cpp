// Guards the editor's thread against things in the preset folder that are not regular files: a FIFO
// (opening it for reading would wait for a writer forever), a device, and links to either. Each must
// be refused at once; a link to a regular preset still loads. A sparse file of a gibibyte is read only
// up to the reader's bound.
#include "edit_test_support.h"

#include <chrono>

#include <fcntl.h>

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

TEST_F(PresetSpecialFiles, SparseGibibyteIsReadOnlyUpToTheBound) {
    // A valid start, then a hole: every byte of the hole reads as NUL. Counted as one character per
    // piece of 255, the hole let the reader run through hundreds of megabytes on the host's thread
    // (seconds per load) and reach the line at 2 MiB.
    const std::string path = presets.file("sparse.lodrin");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string head = "Lodrin preset 1\nstages=1\n", far = "\np2=7\n";
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(pwrite(fd, far.data(), far.size(), 2 << 20), static_cast<ssize_t>(far.size()));
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
    close(fd);
    const auto start = std::chrono::steady_clock::now();
    preset_record rec;
    ASSERT_TRUE(preset_read("sparse", &rec));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_GAIN], 0.0) << "read past the bound";
    // Loose: one mebibyte takes milliseconds; only a reader running through the hole comes near this.
    EXPECT_LT(seconds, 15.0) << "reading took " << seconds << " s";
}

} // namespace
