// Guards the about box's web link: the address must reach xdg-open as one argument without a shell
// (no character of it interpreted), the host's thread must not wait for the helper, and helpers
// that have exited must be reaped rather than left as zombies in the host process.
#include "edit_test_support.h"

#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

constexpr hit_entry ABOUT_NAME{WIDGET_ABOUT, -1, 0, 10, 10, 100, 20};
constexpr hit_entry ABOUT_BOX{WIDGET_ABOUT, -1, 1, 300, 200, 360, 200};
constexpr hit_entry ABOUT_LINK{WIDGET_ABOUT, -1, 2, 340, 350, 280, 20};

class AboutLink : public EditorFixture {
  protected:
    void SetUp() override {
        EditorFixture::SetUp();
        saved_path = getenv("PATH") ? getenv("PATH") : "";
        // A stand-in xdg-open that records its arguments, one per line, after a short delay (the
        // editor must not wait for it).
        const std::string script = bin.file("xdg-open");
        write_text_file(script, "#!/bin/sh\nsleep 0.3\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                    bin.file("args") + ".tmp\"\nmv \"" + bin.file("args") + ".tmp\" \"" +
                                    bin.file("args") + "\"\n");
        chmod(script.c_str(), 0700);
        test_setenv("PATH", (bin.path + ":" + saved_path).c_str());
    }
    void TearDown() override {
        test_setenv("PATH", saved_path.c_str());
        EditorFixture::TearDown();
    }
    std::string wait_for_args() {
        for (int i = 0; i < 100; ++i) {
            const std::string a = read_text_file(bin.file("args"));
            if (!a.empty()) return a;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "";
    }
    temp_folder bin;
    std::string saved_path;
};

// Counts this process's children that have exited but were not reaped, without reaping them.
int zombie_children() {
    int n = 0;
    siginfo_t info;
    for (;;) {
        info.si_pid = 0;
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) break;
        ++n;
        break; // waitid reports one; enough to tell "some" from "none"
    }
    return n;
}

TEST_F(AboutLink, TheLinkOpensTheAddressThroughXdgOpenWithoutWaiting) {
    make_chain(1);
    layout({ABOUT_NAME, ABOUT_BOX, ABOUT_LINK});
    press(20, 15, 1.0);
    ASSERT_EQ(ed->about_open, 1);
    const auto start = std::chrono::steady_clock::now();
    press(400, 355, 3.0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250)) << "not waited for";
    EXPECT_EQ(ed->about_open, 0);
    EXPECT_EQ(wait_for_args(), std::string(LODRIN_WEB_ADDRESS) + "\n");
    // A press on the box (not the link) closes it and opens nothing.
    unlink(bin.file("args").c_str());
    press(20, 15, 5.0);
    press(310, 210, 7.0);
    EXPECT_EQ(ed->about_open, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(read_text_file(bin.file("args")), "");
}

TEST_F(AboutLink, AddressesAreNeverInterpretedAndHelpersAreReaped) {
    const std::string marker = bin.file("injected");
    const std::string address = "https://example.invalid/?a=1&b=$(touch " + marker + ");touch " + marker + " `x`";
    ASSERT_TRUE(open_web_address(address.c_str()));
    EXPECT_EQ(wait_for_args(), address + "\n");
    struct stat st;
    EXPECT_NE(stat(marker.c_str(), &st), 0) << "no shell ran the address";
    // The helper has exited; the next opening (or press) reaps it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(zombie_children(), 1);
    reap_web_helpers();
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(AboutLink, AMissingHelperIsReportedNotFatal) {
    test_setenv("PATH", bin.path.c_str());
    unlink(bin.file("xdg-open").c_str());
    EXPECT_FALSE(open_web_address("https://example.invalid/"));
    reap_web_helpers();
}

} // namespace
