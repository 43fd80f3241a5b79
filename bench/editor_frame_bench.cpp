// CPU time per editor frame at 960 x 600 and at 1920 x 1200 (zoom 2), median over 300 frames after
// a warm-up, on a private Xvfb with Mesa's llvmpipe. Prints the figures; asserts nothing.
//
// One frame is one pass of the window world after the view was marked for redrawing: the expose
// event draws the frame and the buffers are swapped. CPU time is given twice: the whole process's
// (llvmpipe rasterises in threads of its own) and the editor thread's alone (panels, tessellation,
// GL submission, the swap's copy); wall time beside them.
#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// Audio for the chain: one block of a loud tone through every stage, so each stays listed (a stage
// that stops processing leaves the listing) and the meters and history move as in a session.
struct chain_audio {
    std::vector<const clap_plugin*> stages;
    float left[256], right[256];
    int64_t steady = 0;

    static uint32_t no_events(const clap_input_events*) { return 0; }
    static const clap_event_header* no_event(const clap_input_events*, uint32_t) { return nullptr; }
    static bool drop(const clap_output_events*, const clap_event_header*) { return true; }

    bool start() {
        for (const clap_plugin* p : stages)
            if (!p->activate(p, 48000, 256, 256) || !p->start_processing(p)) return false;
        return true;
    }
    void block() {
        const clap_input_events in{nullptr, no_events, no_event};
        const clap_output_events out{nullptr, drop};
        for (const clap_plugin* p : stages) {
            for (int i = 0; i < 256; ++i)
                left[i] = right[i] = 1.5f * std::sin(0.05f * float(steady + i)) * float((steady / 4800) % 3 + 1) / 3.0f;
            float* ch[2] = {left, right};
            clap_audio_buffer buf{};
            buf.data32 = ch;
            buf.channel_count = 2;
            clap_process proc{};
            proc.steady_time = steady;
            proc.frames_count = 256;
            proc.audio_inputs = &buf;
            proc.audio_outputs = &buf;
            proc.audio_inputs_count = 1;
            proc.audio_outputs_count = 1;
            proc.in_events = &in;
            proc.out_events = &out;
            p->process(p, &proc);
        }
        steady += 256;
    }
    void stop() {
        for (const clap_plugin* p : stages) {
            p->stop_processing(p);
            p->deactivate(p);
        }
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    // The chain the editor shows: this many stages of one group in this process (default 8).
    const int stages = argc > 1 ? std::atoi(argv[1]) : 8;
    if (stages < 1 || stages > 64) return 2;
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
    chain_audio audio;
    audio.stages.push_back(plugin);
    for (int i = 1; i < stages; ++i) {
        const clap_plugin* p = factory->create_plugin(factory, &host, factory->get_plugin_descriptor(factory, 0)->id);
        if (!p || !p->init(p)) return 1;
        audio.stages.push_back(p);
    }
    if (!audio.start()) return 1;
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
        std::vector<double> cpu, own, wall;
        for (int i = 0; i < 330; ++i) {
            // A frame's worth of audio (60 frames a second: about three blocks), outside the timing.
            for (int b = 0; b < 3; ++b) audio.block();
            window_view_obscure(editor->view);
            const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID), t0 = seconds(CLOCK_THREAD_CPUTIME_ID);
            const double w0 = seconds(CLOCK_MONOTONIC);
            editor_pump_world();
            const double c1 = seconds(CLOCK_PROCESS_CPUTIME_ID), t1 = seconds(CLOCK_THREAD_CPUTIME_ID);
            const double w1 = seconds(CLOCK_MONOTONIC);
            if (i >= 30) {
                cpu.push_back((c1 - c0) * 1e3);
                own.push_back((t1 - t0) * 1e3);
                wall.push_back((w1 - w0) * 1e3);
            }
        }
        std::printf("%d listed stage(s): ", editor->group_count);
        std::printf("editor frame %-22s %ux%u: median CPU %.3f ms (editor thread %.3f ms), wall %.3f ms "
                    "(300 frames)\n",
                    c.name, editor->width, editor->height, median(cpu), median(own), median(wall));
        gui->destroy(plugin);
    }
    audio.stop();
    for (const clap_plugin* p : audio.stages)
        if (p != plugin) p->destroy(p);
    plugin->destroy(plugin);
    clap_entry.deinit();
    XDestroyWindow(display, parent);
    XCloseDisplay(display);
    xvfb_stop();
    return rc;
}
