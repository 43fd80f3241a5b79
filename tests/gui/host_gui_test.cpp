// Guards `lodrin-host gui`, the host a DAW stands for: the editor must open inside the host window at
// the size the plug-in gives (after set_scale and a host zoom), a request_resize must reach the window
// and set_size, the screenshot must come back through the debug extension, a plug-in without an
// editor must fail with a clear message, a plug-in that breaks the gui rules (a size off its own
// aspect ratio, a host timer left behind) must be reported with exit code 3, and the real editor must
// open the same way through the VST3 bundle's view.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wait_until.h"

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

struct run_result {
    int rc = -1;
    std::string out, err;
};

// A run is a few hundred frames at most; a host that takes longer than this is stuck.
constexpr double kRunSeconds = 60.0;

run_result run_host(const std::vector<std::string>& args, const std::string& tag) {
    const std::string base = std::string(LODRIN_TEST_TMP) + "/" + tag;
    const std::string out = base + ".out", err = base + ".err";
    std::vector<char*> argv;
    std::string host = LODRIN_TEST_HOST;
    argv.push_back(host.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    run_result r;
    if (posix_spawn(&pid, host.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        const testing::AssertionResult ended = wait_child(pid, kRunSeconds, &status, [&] {
            return "lodrin-host " + tag + " (killed) printed\n" + slurp(out) + slurp(err) + "\n";
        });
        if (ended)
            r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else
            ADD_FAILURE() << ended.message();
    } else {
        ADD_FAILURE() << "cannot start " << host;
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out);
    r.err = slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

struct gui_case {
    const char* name;
    const char* plugin_id;  // null: the real module
    std::vector<std::string> args;
    int rc;
    const char* out_has;  // expected in stdout (or null)
    const char* err_has;  // expected in stderr (or null)
    uint32_t shot_w, shot_h;  // 0: no screenshot asked for
};

TEST(HostGui, RunsTheGuiConversationAndReportsBreaches) {
    const gui_case cases[] = {
        {"plain", "test.gui", {"--frames", "20"}, 0, "editor 960x600, 0 resize request(s)", nullptr, 0, 0},
        {"scale", "test.gui", {"--frames", "10", "--scale", "1.5", "--stages", "2"}, 0, "editor 1440x900", nullptr,
         0, 0},
        {"zoom", "test.gui", {"--frames", "10", "--zoom", "1.25"}, 0, "editor 1200x750", nullptr, 0, 0},
        {"zoom-clamped", "test.gui", {"--frames", "10", "--zoom", "4"}, 0, "editor 2400x1500", nullptr, 0, 0},
        {"resize-shot", "test.gui-resize", {"--frames", "30", "--screenshot", "SHOT"}, 0,
         "editor 1200x750, 1 resize request(s), screenshot", nullptr, 1200, 750},
        {"shot", "test.gui", {"--frames", "5", "--screenshot", "SHOT"}, 0, "screenshot", nullptr, 960, 600},
        // 1000 x 1000 breaks the hints: the host fits it to 1000 x 625 instead.
        {"leaky", "test.gui-leaky", {"--frames", "10"}, 3, "editor 1000x625", "not of the hinted aspect ratio 960:600",
         0, 0},
        {"no-editor", "test.no-gui", {"--frames", "10"}, 1, nullptr, "offers no clap.gui", 0, 0},
        // The real module's editor: its own frame, so only the screenshot's layout is checked.
        {"real", nullptr, {"--frames", "10", "--screenshot", "SHOT"}, 0, "editor 960x600", nullptr, 960, 600},
    };
    for (const gui_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string shot = std::string(LODRIN_TEST_TMP) + "/" + c.name + ".ppm";
        std::remove(shot.c_str());
        std::vector<std::string> args = {"gui"};
        if (c.plugin_id) {
            args.insert(args.end(), {"--module", LODRIN_TEST_GUI_PLUGIN, "--plugin-id", c.plugin_id});
        } else {
            args.insert(args.end(), {"--module", LODRIN_TEST_MODULE});
        }
        for (const std::string& a : c.args) args.push_back(a == "SHOT" ? shot : a);
        const run_result r = run_host(args, c.name);
        EXPECT_EQ(r.rc, c.rc) << r.out << r.err;
        if (c.out_has) {
            EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
        }
        if (c.err_has) {
            EXPECT_NE(r.err.find(c.err_has), std::string::npos) << r.err;
        }
        if (c.rc == 0) {
            EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        }
        if (c.shot_w == 0) continue;
        // The editor's frame as the host window shows it: a PPM of the window's size, top row first.
        const std::string ppm = slurp(shot);
        char header[64];
        std::snprintf(header, sizeof header, "P6\n%u %u\n255\n", c.shot_w, c.shot_h);
        ASSERT_EQ(ppm.compare(0, std::string(header).size(), header), 0) << ppm.substr(0, 20);
        ASSERT_EQ(ppm.size(), std::string(header).size() + size_t(c.shot_w) * c.shot_h * 3);
        if (!c.plugin_id) {
            std::remove(shot.c_str());
            continue;
        }
        const size_t px = std::string(header).size() + (size_t(c.shot_h / 2) * c.shot_w + c.shot_w / 2) * 3;
        EXPECT_NEAR(static_cast<unsigned char>(ppm[px]), 51, 1);
        EXPECT_NEAR(static_cast<unsigned char>(ppm[px + 1]), 102, 1);
        EXPECT_NEAR(static_cast<unsigned char>(ppm[px + 2]), 153, 1);
        std::remove(shot.c_str());
    }
}

// The real editor through the VST3 bundle: IPlugView on the host's X11 window, the frame's run loop
// for its timer and X connection, content scale and a host zoom through checkSizeConstraint / onSize.
TEST(HostGui, TheVst3ViewOpensTheRealEditor) {
    struct {
        const char* name;
        std::vector<std::string> args;
        const char* out_has;
    } cases[] = {
        {"vst3-plain", {"--frames", "10", "--screenshot", "SHOT"}, "editor 960x600, 0 resize request(s), screenshot"},
        {"vst3-scale", {"--frames", "10", "--scale", "1.5"}, "editor 1440x900"},
        {"vst3-zoom", {"--frames", "10", "--zoom", "1.25"}, "editor 1200x750"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string shot = std::string(LODRIN_TEST_TMP) + "/" + c.name + ".ppm";
        std::remove(shot.c_str());
        std::vector<std::string> args = {"gui", "--module", LODRIN_TEST_VST3};
        for (const std::string& a : c.args) args.push_back(a == "SHOT" ? shot : a);
        const run_result r = run_host(args, c.name);
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        if (c.name == std::string("vst3-plain")) {
            const std::string ppm = slurp(shot);
            const std::string header = "P6\n960 600\n255\n";
            EXPECT_EQ(ppm.compare(0, header.size(), header), 0);
            EXPECT_EQ(ppm.size(), header.size() + size_t(960) * 600 * 3);
            std::remove(shot.c_str());
        }
    }
}

// The leaky editor's host timer outlives it, and it asked for a size before it existed: the host names
// both breaches.
TEST(HostGui, BreachesOutsideTheEditorsLifeAreNamed) {
    const run_result r = run_host({"gui", "--module", LODRIN_TEST_GUI_PLUGIN, "--plugin-id", "test.gui-leaky",
                                   "--frames", "5"},
                                  "leaky-timer");
    EXPECT_EQ(r.rc, 3);
    EXPECT_NE(r.err.find("host timer(s) still registered after clap_plugin_gui.destroy"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("request_resize without an editor"), std::string::npos) << r.err;
}

} // namespace
