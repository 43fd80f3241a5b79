// Guards the editor as a host opens it, on a private Xvfb with Mesa: the editor embedded as a child
// of the host's window, the first frame's report line and probe pixel, screenshots with the exact
// PPM layout and top row first for several window sizes (the canvas centred with bands of the clear
// colour), the gui calls a host makes around it, every X and GL resource given back when editors
// close (and the shared world made anew for the next), and the message window shown when no OpenGL
// context can be had.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>

#include "core_test_support.h"
#include "editor.h"
#include "wait_until.h"
#include "window.h"

// Last: Xlib's macros (None, Bool, Status) would break the test framework's headers.
#include <X11/Xlib.h>

namespace {

// A host that also offers gui, timer support and fd support, and a top-level X window as parent.
struct gui_host : fake_host {
    clap_host_gui gui{};
    clap_host_timer_support timers{};
    clap_host_posix_fd_support fds{};
    std::vector<std::pair<uint32_t, uint32_t>> resize_requests;
    int registered_timers = 0, unregistered_timers = 0, registered_fds = 0, unregistered_fds = 0;
    Display* display = nullptr;
    Window parent = 0;

    explicit gui_host(uint32_t w = 960, uint32_t h = 600) {
        host.get_extension = [](const clap_host* ch, const char* id) -> const void* {
            auto* self = static_cast<gui_host*>(of(ch));
            if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &self->gui;
            if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &self->timers;
            if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0) return &self->fds;
            if (std::strcmp(id, CLAP_EXT_LOG) == 0) return &self->log;
            if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &self->params;
            if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &self->state;
            return nullptr;
        };
        gui.request_resize = [](const clap_host* ch, uint32_t rw, uint32_t rh) {
            static_cast<gui_host*>(of(ch))->resize_requests.emplace_back(rw, rh);
            return true;
        };
        timers.register_timer = [](const clap_host* ch, uint32_t period, clap_id* id) {
            EXPECT_EQ(period, 16u);
            *id = 7;
            ++static_cast<gui_host*>(of(ch))->registered_timers;
            return true;
        };
        timers.unregister_timer = [](const clap_host* ch, clap_id id) {
            EXPECT_EQ(id, 7u);
            ++static_cast<gui_host*>(of(ch))->unregistered_timers;
            return true;
        };
        fds.register_fd = [](const clap_host* ch, int fd, clap_posix_fd_flags flags) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(flags, CLAP_POSIX_FD_READ);
            ++static_cast<gui_host*>(of(ch))->registered_fds;
            return true;
        };
        fds.unregister_fd = [](const clap_host* ch, int) {
            ++static_cast<gui_host*>(of(ch))->unregistered_fds;
            return true;
        };
        display = XOpenDisplay(nullptr);
        EXPECT_NE(display, nullptr);
        if (!display) return;
        parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, w, h, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
    }
    ~gui_host() {
        if (!display) return;
        XDestroyWindow(display, parent);
        XCloseDisplay(display);
    }
    bool logged(const std::string& text) const {
        for (const std::string& l : logs)
            if (l == text) return true;
        return false;
    }
    int children() const {
        Window root = 0, up = 0, *kids = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(display, parent, &root, &up, &kids, &n)) return -1;
        if (kids) XFree(kids);
        return static_cast<int>(n);
    }
    // The plug-in makes and destroys its windows on a connection of its own: the host's window gets
    // or loses them once the server has run those requests.
    testing::AssertionResult has_children(int n) const {
        int seen = -1;
        return wait_until([&] { return (seen = children()) == n; }, kWaitSeconds,
                          [&] {
                              return std::to_string(seen) + " children of the host's window, not " +
                                     std::to_string(n);
                          });
    }
};

// A stage with its gui tables, and the host calls around an open editor.
struct gui_stage : test_stage {
    const clap_plugin_gui* gui;
    const clap_plugin_timer_support* timer;
    const lodrin_plugin_debug* debug;
    gui_host& h;
    explicit gui_stage(gui_host& host) : test_stage(host), h(host) {
        gui = ext<clap_plugin_gui>(CLAP_EXT_GUI);
        timer = ext<clap_plugin_timer_support>(CLAP_EXT_TIMER_SUPPORT);
        debug = ext<lodrin_plugin_debug>(LODRIN_EXT_DEBUG);
    }
    bool open() {
        if (!gui->create(plugin, CLAP_WINDOW_API_X11, false)) return false;
        clap_window w{};
        w.api = CLAP_WINDOW_API_X11;
        w.x11 = h.parent;
        return gui->set_parent(plugin, &w) && gui->show(plugin);
    }
    // Runs the host's timer until `done` holds, at most kWaitSeconds; the failure tells what
    // `seen` says of the last poll.
    testing::AssertionResult pump_until(const std::function<bool()>& done,
                                        const std::function<std::string()>& seen) {
        return wait_until(done, kWaitSeconds, seen, [&] { pump(1); });
    }
    void pump(int ticks) {
        for (int i = 0; i < ticks; ++i) {
            timer->on_timer(plugin, 7);
            usleep(5000);
        }
    }
    bool probe(uint8_t rgb[3]) { return debug->debug_get_probe_pixel(plugin, rgb) == 1; }
};

std::string temp_path(const char* name) {
    return "/tmp/lodrin-editor-gui-" + std::to_string(getpid()) + "-" + name;
}

struct ppm {
    uint32_t w = 0, h = 0;
    std::string header;
    std::vector<uint8_t> pixels;
    size_t file_size = 0;
    const uint8_t* at(uint32_t x, uint32_t y) const { return &pixels[(static_cast<size_t>(y) * w + x) * 3]; }
};

bool read_ppm(const std::string& path, ppm* out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    out->file_size = bytes.size();
    // The header is three lines: "P6", "W H", "255".
    size_t lines = 0, i = 0;
    while (i < bytes.size() && lines < 3)
        if (bytes[i++] == '\n') ++lines;
    out->header.assign(bytes.begin(), bytes.begin() + static_cast<long>(i));
    if (std::sscanf(out->header.c_str(), "P6\n%u %u\n255\n", &out->w, &out->h) != 2) return false;
    out->pixels.assign(bytes.begin() + static_cast<long>(i), bytes.end());
    return true;
}

bool same_rgb(const uint8_t* a, const uint8_t* b) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

} // namespace

TEST(EditorGui, OpensInTheHostWindowAndReportsItsFirstFrame) {
    gui_host host;
    ASSERT_NE(host.display, nullptr);
    gui_stage stage(host);
    EXPECT_TRUE(stage.gui->set_scale(stage.plugin, 1.0));
    ASSERT_TRUE(stage.open());
    EXPECT_TRUE(stage.gui->create(stage.plugin, CLAP_WINDOW_API_X11, false)) << "a second create is a no-op";
    editor_state* editor = stage.instance()->editor;
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor_open_count(), 1);
    EXPECT_EQ(host.registered_timers, 1);
    EXPECT_EQ(host.registered_fds, 1);
    EXPECT_TRUE(host.has_children(1)) << "the editor is a child of the host's window";

    clap_window w{};
    w.api = CLAP_WINDOW_API_X11;
    w.x11 = host.parent;
    const window_resource_counts before = window_live_resources();
    EXPECT_TRUE(stage.gui->set_parent(stage.plugin, &w)) << "a second set_parent does nothing and succeeds";
    EXPECT_EQ(window_live_resources().native_windows, before.native_windows);

    uint8_t rgb[3] = {0, 0, 0};
    ASSERT_TRUE(
        stage.pump_until([&] { return stage.probe(rgb); }, [] { return std::string("no frame drawn"); }));
    const std::regex line("Lodrin editor: GL .+; first frame pixel\\(10,10\\) = (\\d+),(\\d+),(\\d+); glGetError 0");
    int reports = 0;
    for (const std::string& l : host.logs) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        ++reports;
        EXPECT_EQ(std::stoi(m[1]), rgb[0]);
        EXPECT_EQ(std::stoi(m[2]), rgb[1]);
        EXPECT_EQ(std::stoi(m[3]), rgb[2]);
    }
    EXPECT_EQ(reports, 1) << "one report line per editor";
    stage.pump(30);
    reports = 0;
    for (const std::string& l : host.logs) reports += std::regex_match(l, line);
    EXPECT_EQ(reports, 1) << "later frames report nothing";

    uint32_t gw = 0, gh = 0;
    EXPECT_TRUE(stage.gui->get_size(stage.plugin, &gw, &gh));
    EXPECT_EQ(gw, 960u);
    EXPECT_EQ(gh, 600u);
    EXPECT_TRUE(stage.gui->hide(stage.plugin));
    EXPECT_TRUE(stage.gui->show(stage.plugin));
    stage.gui->destroy(stage.plugin);
    EXPECT_EQ(stage.instance()->editor, nullptr);
    EXPECT_EQ(host.unregistered_timers, 1);
    EXPECT_EQ(host.unregistered_fds, 1);
    EXPECT_TRUE(host.has_children(0));
}

TEST(EditorGui, ScreenshotLayoutForSeveralWindowSizes) {
    struct row {
        const char* name;
        double scale;           // set before create (0: none)
        uint32_t set_w, set_h;  // host resize after opening (0: none)
        uint32_t w, h;          // the screenshot's size
        uint32_t band;          // width of the clear-colour bands left and right
    } rows[] = {
        {"plain", 0.0, 0, 0, 960, 600, 0},
        {"wide", 0.0, 1200, 600, 1200, 600, 120},
        {"scale2", 2.0, 0, 0, 1920, 1200, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        gui_host host(r.w, r.h);
        gui_stage stage(host);
        if (r.scale > 0) stage.gui->set_scale(stage.plugin, r.scale);
        ASSERT_TRUE(stage.open());
        if (r.set_w) {
            EXPECT_TRUE(stage.gui->set_size(stage.plugin, r.set_w, r.set_h));
        }
        uint8_t probe[3];
        const editor_state* e = stage.instance()->editor;
        ASSERT_TRUE(stage.pump_until(
            [&] { return stage.probe(probe) && e->width == r.w && e->height == r.h; },
            [&] {
                return "editor " + std::to_string(e->width) + "x" + std::to_string(e->height) +
                       (stage.probe(probe) ? ", drawn" : ", no frame drawn");
            }));
        const std::string path = temp_path(r.name) + ".ppm";
        std::remove(path.c_str());
        ASSERT_EQ(stage.debug->debug_request_screenshot(stage.plugin, path.c_str()), 1u);
        ASSERT_TRUE(stage.pump_until(
            [&] { return access(path.c_str(), F_OK) == 0 && !e->dump_requested; },
            [&] {
                return std::string(access(path.c_str(), F_OK) == 0 ? "" : "no file, ") +
                       (e->dump_requested ? "screenshot still requested" : "request cleared");
            }));
        ppm img;
        ASSERT_TRUE(read_ppm(path, &img));
        std::remove(path.c_str());
        std::remove((path + ".cols.txt").c_str());
        const std::string header = "P6\n" + std::to_string(r.w) + " " + std::to_string(r.h) + "\n255\n";
        EXPECT_EQ(img.header, header);
        EXPECT_EQ(img.file_size, header.size() + static_cast<size_t>(r.w) * r.h * 3);
        ASSERT_EQ(img.w, r.w);
        ASSERT_EQ(img.h, r.h);
        // The probe is read at GL row h - 10 counted from the bottom, which is row 9 from the top: the
        // file, top row first, holds it in row 9, not in row h - 10 (the canvas's top and bottom
        // differ; in a band both are the clear colour).
        EXPECT_TRUE(same_rgb(img.at(10, 9), probe))
            << int(img.at(10, 9)[0]) << "," << int(img.at(10, 9)[1]) << "," << int(img.at(10, 9)[2]) << " vs "
            << int(probe[0]) << "," << int(probe[1]) << "," << int(probe[2]);
        if (!r.band) {
            EXPECT_FALSE(same_rgb(img.at(10, r.h - 10), probe));
        }
        if (r.band) {
            const uint8_t clear[3] = {12, 13, 18};
            for (uint32_t y : {0u, r.h / 2, r.h - 1}) {
                EXPECT_TRUE(same_rgb(img.at(r.band / 2, y), clear)) << "left band, row " << y;
                EXPECT_TRUE(same_rgb(img.at(r.w - 1 - r.band / 2, y), clear)) << "right band, row " << y;
            }
        }
        stage.gui->destroy(stage.plugin);
    }
}

TEST(EditorGui, ScaleGivenBeforeCreateSizesTheEditor) {
    gui_host host;
    gui_stage stage(host);
    EXPECT_TRUE(stage.gui->set_scale(stage.plugin, 1.5));
    ASSERT_TRUE(stage.gui->create(stage.plugin, CLAP_WINDOW_API_X11, false));
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(stage.gui->get_size(stage.plugin, &w, &h));
    EXPECT_EQ(w, 1440u);
    EXPECT_EQ(h, 900u);
    stage.gui->destroy(stage.plugin);
}

TEST(EditorGui, ClosingEveryEditorGivesBackEveryResource) {
    gui_host host;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            gui_stage a(host), b(host), c(host);
            for (gui_stage* s : {&a, &b, &c}) {
                ASSERT_TRUE(s->open());
            }
            uint8_t rgb[3];
            for (gui_stage* s : {&a, &b, &c}) {
                ASSERT_TRUE(s->pump_until([&] { return s->probe(rgb); },
                                          [] { return std::string("no frame drawn"); }));
            }
            const window_resource_counts open = window_live_resources();
            EXPECT_EQ(open.worlds, 1) << "the editors share one world";
            EXPECT_EQ(open.views, 3);
            EXPECT_EQ(open.gl_contexts, 3);
            EXPECT_EQ(editor_open_count(), 3);
            a.gui->destroy(a.plugin);
            EXPECT_EQ(window_live_resources().worlds, 1);
            b.pump(3);
            b.gui->destroy(b.plugin);
            // c closes with the instance's own destroy, the editor still open.
        }
        const window_resource_counts after = window_live_resources();
        EXPECT_EQ(after.worlds, 0);
        EXPECT_EQ(after.views, 0);
        EXPECT_EQ(after.native_windows, 0);
        EXPECT_EQ(after.gl_contexts, 0);
        EXPECT_EQ(after.messages, 0);
        EXPECT_EQ(after.other, 0);
        EXPECT_EQ(editor_open_count(), 0);
        EXPECT_TRUE(host.has_children(0));
        EXPECT_EQ(host.registered_timers, host.unregistered_timers);
        EXPECT_EQ(host.registered_fds, host.unregistered_fds);
    }
}

TEST(EditorGui, WithoutOpenGLTheHostWindowShowsAMessage) {
    struct row {
        const char* force;
        bool fallback;
    } rows[] = {{"1", true}, {"core", false}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.force);
        setenv("LODRIN_FORCE_NO_GL", r.force, 1);
        gui_host host;
        gui_stage stage(host);
        ASSERT_TRUE(stage.open()) << "set_parent and show succeed either way";
        const std::string error = std::string("Lodrin: no OpenGL 3.2 context (") +
                                  window_strerror(WINDOW_CREATE_CONTEXT_FAILED) + ")";
        EXPECT_EQ(host.logged(error), r.fallback);
        const editor_state* editor = stage.instance()->editor;
        const window_resource_counts counts = window_live_resources();
        EXPECT_EQ(counts.messages, r.fallback ? 1 : 0);
        if (r.fallback) {
            ASSERT_NE(editor->fallback_window, nullptr);
            const Window message = window_message_native(editor->fallback_window);
            // The map is the plug-in's request: the server may run this test's queries before it.
            XWindowAttributes attrs{};
            EXPECT_TRUE(stage.pump_until(
                [&] {
                    return XGetWindowAttributes(host.display, message, &attrs) &&
                           attrs.map_state == IsViewable;
                },
                [&] { return "map_state " + std::to_string(attrs.map_state); }));
            Window root = 0;
            int x = 0, y = 0;
            unsigned int w = 0, h = 0, border = 0, depth = 0;
            ASSERT_TRUE(XGetGeometry(host.display, message, &root, &x, &y, &w, &h, &border, &depth));
            EXPECT_EQ(x, 8);
            EXPECT_EQ(y, 150);
            EXPECT_EQ(w, 944u);
            EXPECT_EQ(h, 300u);
            EXPECT_TRUE(stage.gui->hide(stage.plugin));
            EXPECT_TRUE(stage.gui->show(stage.plugin));
        } else {
            uint8_t rgb[3];
            EXPECT_TRUE(stage.pump_until([&] { return stage.probe(rgb); },
                                         [] { return std::string("no frame drawn"); }))
                << "the compatibility retry draws";
        }
        stage.gui->destroy(stage.plugin);
        EXPECT_EQ(window_live_resources().messages, 0);
        EXPECT_TRUE(host.has_children(0));
        unsetenv("LODRIN_FORCE_NO_GL");
    }
}
