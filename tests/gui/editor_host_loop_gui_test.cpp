// The editor inside a host's GUI loop, as a DAW runs one: the host's window on a connection of its
// own, its own 60 Hz tick, and the plug-in's timer and X descriptor served from the same poll loop.
// Frames made slow (the editor's frame-delay hook sleeps in every frame) must leave the host its
// share of the loop; an editor whose window the host unmaps or covers draws nothing until it can be
// seen again; and a host that destroys its window before hide and destroy (the order of the VST3
// view's teardown) must not bring Xlib's default error handler, which ends the process, into play.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "editor.h"
#include "wait_until.h"

// Last: Xlib's macros (None, Bool, Status) would break the test framework's headers.
#include <X11/Xlib.h>

namespace {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A host with gui, timer and fd support that keeps what the plug-in registered, and a mapped
// top-level window as parent.
struct loop_host : fake_host {
    clap_host_gui gui{};
    clap_host_timer_support timers{};
    clap_host_posix_fd_support fds{};
    clap_id timer_id = CLAP_INVALID_ID;
    uint32_t timer_period_ms = 0;
    int fd = -1;
    Display* display = nullptr;
    Window parent = 0;

    loop_host() {
        host.get_extension = [](const clap_host* ch, const char* id) -> const void* {
            auto* self = static_cast<loop_host*>(of(ch));
            if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &self->gui;
            if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &self->timers;
            if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0) return &self->fds;
            if (std::strcmp(id, CLAP_EXT_LOG) == 0) return &self->log;
            if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &self->params;
            if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &self->state;
            return nullptr;
        };
        gui.request_resize = [](const clap_host*, uint32_t, uint32_t) { return true; };
        timers.register_timer = [](const clap_host* ch, uint32_t period, clap_id* id) {
            auto* self = static_cast<loop_host*>(of(ch));
            self->timer_period_ms = period;
            *id = self->timer_id = 3;
            return true;
        };
        timers.unregister_timer = [](const clap_host* ch, clap_id) {
            static_cast<loop_host*>(of(ch))->timer_id = CLAP_INVALID_ID;
            return true;
        };
        fds.register_fd = [](const clap_host* ch, int fd, clap_posix_fd_flags) {
            static_cast<loop_host*>(of(ch))->fd = fd;
            return true;
        };
        fds.unregister_fd = [](const clap_host* ch, int) {
            static_cast<loop_host*>(of(ch))->fd = -1;
            return true;
        };
        display = XOpenDisplay(nullptr);
        EXPECT_NE(display, nullptr);
        if (!display) return;
        parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 960, 600, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
    }
    ~loop_host() {
        if (!display) return;
        if (parent) XDestroyWindow(display, parent);
        XCloseDisplay(display);
    }
};

// What a run of the host loop saw.
struct loop_figures {
    int host_ticks = 0;
    double median_gap = 0, max_gap = 0; // seconds between the host's own ticks
    double plugin_seconds = 0;          // wall time inside the plug-in's timer and fd callbacks
    double wall_seconds = 0;
    double share() const { return wall_seconds > 0 ? plugin_seconds / wall_seconds : 0; }
    std::string text() const {
        char t[200];
        std::snprintf(t, sizeof t,
                      "%d host ticks, gaps median %.1f ms max %.1f ms; plug-in %.0f ms of %.0f ms (%.0f%%)",
                      host_ticks, median_gap * 1e3, max_gap * 1e3, plugin_seconds * 1e3, wall_seconds * 1e3,
                      100 * share());
        return t;
    }
};

struct loop_stage : test_stage {
    loop_host& h;
    const clap_plugin_gui* gui;
    const clap_plugin_timer_support* timer;
    const clap_plugin_posix_fd_support* fd;
    explicit loop_stage(loop_host& host) : test_stage(host), h(host) {
        gui = ext<clap_plugin_gui>(CLAP_EXT_GUI);
        timer = ext<clap_plugin_timer_support>(CLAP_EXT_TIMER_SUPPORT);
        fd = ext<clap_plugin_posix_fd_support>(CLAP_EXT_POSIX_FD_SUPPORT);
    }
    bool open() {
        if (!gui->create(plugin, CLAP_WINDOW_API_X11, false)) return false;
        clap_window w{};
        w.api = CLAP_WINDOW_API_X11;
        w.x11 = h.parent;
        return gui->set_parent(plugin, &w) && gui->show(plugin);
    }
    const editor_state* editor() const { return instance()->editor; }
    uint32_t frames() const { return editor() ? static_cast<uint32_t>(editor()->graph_frame) : 0; }
    uint32_t unseen() const { return editor() ? editor()->unseen_ticks : 0; }

    // The host loop for `seconds`: one poll over the plug-in's descriptor with the earlier of the two
    // timers as timeout, then every due source of the pass, as a DAW's main loop does.
    loop_figures run(double seconds) {
        loop_figures f;
        const double tick = 1.0 / 60.0, plugin_period = (h.timer_period_ms ? h.timer_period_ms : 16) * 1e-3;
        const double start = now_s(), end = start + seconds;
        double next_host = start, next_plugin = start, last_host = 0;
        std::vector<double> gaps;
        for (double now = start; now < end; now = now_s()) {
            const double due = std::min(next_host, next_plugin);
            pollfd p{h.fd, POLLIN, 0};
            const int wait_ms = due > now ? static_cast<int>((due - now) * 1e3) : 0;
            const bool readable = poll(&p, h.fd >= 0 ? 1 : 0, wait_ms) > 0 && (p.revents & POLLIN);
            now = now_s();
            if (readable) {
                fd->on_fd(plugin, h.fd, CLAP_POSIX_FD_READ);
                const double t = now_s();
                f.plugin_seconds += t - now;
                now = t;
            }
            if (now >= next_plugin && h.timer_id != CLAP_INVALID_ID) {
                timer->on_timer(plugin, h.timer_id);
                const double t = now_s();
                f.plugin_seconds += t - now;
                now = t;
                next_plugin += plugin_period;
                if (next_plugin <= now) next_plugin = now + plugin_period;
            }
            if (now >= next_host) {
                if (last_host > 0) gaps.push_back(now - last_host);
                last_host = now;
                ++f.host_ticks;
                while (XPending(h.display)) { // the host's own work: its window's events
                    XEvent e;
                    XNextEvent(h.display, &e);
                }
                next_host += tick;
                if (next_host <= now) next_host = now + tick;
            }
        }
        f.wall_seconds = now_s() - start;
        std::sort(gaps.begin(), gaps.end());
        if (!gaps.empty()) {
            f.median_gap = gaps[gaps.size() / 2];
            f.max_gap = gaps.back();
        }
        return f;
    }
    testing::AssertionResult run_until(const std::function<bool()>& done,
                                       const std::function<std::string()>& seen) {
        return wait_until(done, kWaitSeconds, seen, [&] { run(0.02); });
    }
};

std::string counts(const loop_stage& s) {
    return std::to_string(s.frames()) + " frames, " + std::to_string(s.unseen()) + " unseen ticks";
}

struct frame_delay {
    explicit frame_delay(const char* ms) { setenv("LODRIN_EDITOR_FRAME_DELAY_MS", ms, 1); }
    ~frame_delay() { unsetenv("LODRIN_EDITOR_FRAME_DELAY_MS"); }
};

} // namespace

// Frames of 40 ms against a 60 Hz tick. Every tick drawing would give the plug-in nearly all of the
// loop (over 0.9); paced, its frames keep to half of it. The bound is on the share of wall time, which
// a busy machine stretches on both sides alike (the frame's sleep and the rest after it are measured
// the same way); the ticks the pacing skips still cost a little each, and a preempted one more, so
// the bound leaves 0.1 for them and still fails an unpaced editor by far. The host's ticks are judged
// by their median gap, which one preemption does not move.
TEST(EditorHostLoop, SlowFramesLeaveTheHostItsHalfOfTheLoop) {
    frame_delay delay("40");
    loop_host host;
    loop_stage stage(host);
    ASSERT_TRUE(stage.open());
    ASSERT_GE(host.fd, 0);
    ASSERT_NE(host.timer_id, CLAP_INVALID_ID);
    ASSERT_TRUE(stage.run_until([&] { return stage.frames() >= 2; }, [&] { return counts(stage); }));

    const uint32_t before = stage.frames();
    const loop_figures f = stage.run(3.0);
    const uint32_t drawn = stage.frames() - before;
    std::printf("slow frames: %u drawn, %u ticks skipped for the pace; %s\n", drawn,
                stage.editor()->pace_skipped, f.text().c_str());
    EXPECT_GE(drawn, 5u) << f.text();
    EXPECT_LE(f.share(), 0.6) << drawn << " frames; " << f.text();
    EXPECT_LE(f.median_gap, 0.1) << f.text();
    EXPECT_GT(f.host_ticks, 30) << f.text();
    stage.gui->hide(stage.plugin);
    stage.gui->destroy(stage.plugin);
}

// The host unmaps its window (or covers it entirely) without a word to the plug-in: the editor stops
// drawing, keeps ticking, and draws again once its window can be seen.
TEST(EditorHostLoop, UnseenEditorDrawsNothingAndResumes) {
    loop_host host;
    loop_stage stage(host);
    ASSERT_TRUE(stage.open());
    ASSERT_TRUE(stage.run_until([&] { return stage.frames() >= 3; }, [&] { return counts(stage); }));

    Window cover =
        XCreateSimpleWindow(host.display, DefaultRootWindow(host.display), 0, 0, 1200, 800, 0, 0, 0);
    struct step {
        const char* what;
        std::function<void()> hide, show;
    } steps[] = {
        {"unmapped", [&] { XUnmapWindow(host.display, host.parent); },
         [&] { XMapWindow(host.display, host.parent); }},
        {"covered", [&] { XMapRaised(host.display, cover); }, [&] { XUnmapWindow(host.display, cover); }},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.what);
        s.hide();
        XSync(host.display, False);
        // Once the editor has seen it, no frame follows however many ticks pass.
        const uint32_t u0 = stage.unseen();
        ASSERT_TRUE(stage.run_until([&] { return stage.unseen() >= u0 + 3; }, [&] { return counts(stage); }));
        const uint32_t f0 = stage.frames(), u1 = stage.unseen();
        ASSERT_TRUE(
            stage.run_until([&] { return stage.unseen() >= u1 + 30; }, [&] { return counts(stage); }));
        EXPECT_EQ(stage.frames(), f0) << counts(stage);

        s.show();
        XSync(host.display, False);
        ASSERT_TRUE(stage.run_until([&] { return stage.frames() >= f0 + 3; }, [&] { return counts(stage); }));
    }
    XDestroyWindow(host.display, cover);
    stage.gui->hide(stage.plugin);
    stage.gui->destroy(stage.plugin);
}

// The VST3 view's teardown order: the host's window (and the editor's with it) is gone before hide
// and destroy, and nothing the editor's connection did may reach Xlib's default handler, which exits.
TEST(EditorHostLoop, HostWindowDestroyedBeforeHideAndDestroy) {
    XSetErrorHandler(nullptr);
    loop_host host;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        loop_stage stage(host);
        ASSERT_TRUE(stage.open());
        ASSERT_TRUE(stage.run_until([&] { return stage.frames() >= 2; }, [&] { return counts(stage); }));
        XDestroyWindow(host.display, host.parent);
        XSync(host.display, False);
        EXPECT_TRUE(stage.gui->hide(stage.plugin));
        stage.gui->destroy(stage.plugin);
        // A new window and editor work as before: the process and the shared world survived.
        host.parent =
            XCreateSimpleWindow(host.display, DefaultRootWindow(host.display), 0, 0, 960, 600, 0, 0, 0);
        XMapWindow(host.display, host.parent);
        XSync(host.display, False);
    }
    loop_stage stage(host);
    ASSERT_TRUE(stage.open());
    EXPECT_TRUE(stage.run_until([&] { return stage.frames() >= 2; }, [&] { return counts(stage); }));
    stage.gui->destroy(stage.plugin);
}
