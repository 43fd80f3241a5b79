// CPU time per editor frame at 960 x 600 and at 1920 x 1200 (zoom 2), median over 300 frames after
// a warm-up, on a private Xvfb with Mesa's llvmpipe. Prints the figures; asserts nothing.
//
// One frame is one pass of the window world after the view was marked for redrawing: the expose
// event draws the frame and the buffers are swapped. CPU time is the whole process's (llvmpipe
// rasterises in threads of its own), wall time is given beside it.
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "clap/clap.h"
#include "editor.h"
#include "plugin_instance.h"
#include "window.h"
#include "xvfb.h"

namespace {

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

const void* no_extension(const clap_host*, const char*) {
    return nullptr;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

} // namespace

int main() {
    setenv("LODRIN_SHM", "lodrin-editor-frame-bench", 1);
    if (!xvfb_start(2048, 1536)) return 1;
    clap_host host{};
    host.clap_version = CLAP_VERSION;
    host.name = "editor-frame-bench";
    host.vendor = "";
    host.url = "";
    host.version = "1";
    host.get_extension = no_extension;
    host.request_restart = [](const clap_host*) {};
    host.request_process = [](const clap_host*) {};
    host.request_callback = [](const clap_host*) {};
    clap_entry.init("");
    const auto* factory = static_cast<const clap_plugin_factory*>(clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
    const clap_plugin* plugin = factory->create_plugin(factory, &host, factory->get_plugin_descriptor(factory, 0)->id);
    if (!plugin || !plugin->init(plugin)) return 1;
    const auto* gui = static_cast<const clap_plugin_gui*>(plugin->get_extension(plugin, CLAP_EXT_GUI));

    Display* display = XOpenDisplay(nullptr);
    const Window parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1920, 1200, 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);

    struct config {
        const char* name;
        uint32_t w, h;
    } configs[] = {{"960 x 600", 960, 600}, {"1920 x 1200 (zoom 2)", 1920, 1200}};
    int rc = 0;
    for (const config& c : configs) {
        gui->create(plugin, CLAP_WINDOW_API_X11, false);
        clap_window window{};
        window.api = CLAP_WINDOW_API_X11;
        window.x11 = parent;
        gui->set_parent(plugin, &window);
        gui->set_size(plugin, c.w, c.h);
        gui->show(plugin);
        editor_state* editor = instance_of(plugin)->editor;
        if (!editor || !editor->vg) {
            std::fprintf(stderr, "editor_frame_bench: no drawing context\n");
            rc = 1;
            break;
        }
        std::vector<double> cpu, wall;
        for (int i = 0; i < 330; ++i) {
            window_view_obscure(editor->view);
            const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
            editor_pump_world();
            const double c1 = seconds(CLOCK_PROCESS_CPUTIME_ID), w1 = seconds(CLOCK_MONOTONIC);
            if (i >= 30) {
                cpu.push_back((c1 - c0) * 1e3);
                wall.push_back((w1 - w0) * 1e3);
            }
        }
        std::printf("editor frame %-22s %ux%u: median CPU %.3f ms, median wall %.3f ms (300 frames)\n", c.name,
                    editor->width, editor->height, median(cpu), median(wall));
        gui->destroy(plugin);
    }
    plugin->destroy(plugin);
    clap_entry.deinit();
    XDestroyWindow(display, parent);
    XCloseDisplay(display);
    xvfb_stop();
    return rc;
}
