// The portable part of `lodrin-host gui`: the clap.gui conversation of a DAW, the 60 Hz host loop
// that serves the plug-in's timers and descriptors, real-time audio for the rack, and the screenshot.
#include "gui_host.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "demo_programme.h"
#include "host_os.h"

namespace {

constexpr int64_t kFrameNs = 16666667;  // the host's own redraw rate: 60 frames per second
constexpr uint32_t kScreenshotWaitFrames = 180;

struct gui_session {
    host_rack* rack;
    host_stage* stage;
    const clap_plugin* plugin;
    const clap_plugin_gui* gui;
    clap_gui_resize_hints hints;
    bool resizable;
};

// A size the plug-in gave or asked for must keep its own resize hints: the stated aspect ratio
// (within the rounding of one pixel) and no change in a direction it cannot resize.
// Returns false after recording the breach.
bool check_size(const gui_session& g, uint32_t w, uint32_t h, uint32_t cur_w, uint32_t cur_h, const char* what) {
    const uint32_t n = g.stage->number;
    if (w == 0 || h == 0) {
        host_rule_error("stage %u: %s gave a size of %ux%u", n, what, w, h);
        return false;
    }
    if (!g.resizable) return true;
    bool ok = true;
    if (cur_w != 0 && !g.hints.can_resize_horizontally && w != cur_w) {
        host_rule_error("stage %u: %s changes the width to %u though the hints forbid it", n, what, w);
        ok = false;
    }
    if (cur_h != 0 && !g.hints.can_resize_vertically && h != cur_h) {
        host_rule_error("stage %u: %s changes the height to %u though the hints forbid it", n, what, h);
        ok = false;
    }
    const uint64_t aw = g.hints.aspect_ratio_width, ah = g.hints.aspect_ratio_height;
    if (g.hints.preserve_aspect_ratio && aw && ah) {
        const int64_t off = int64_t(uint64_t(w) * ah) - int64_t(uint64_t(h) * aw);
        if (uint64_t(off < 0 ? -off : off) > (aw > ah ? aw : ah)) {
            host_rule_error("stage %u: %s gave %ux%u, not of the hinted aspect ratio %llu:%llu", n, what, w, h,
                            static_cast<unsigned long long>(aw), static_cast<unsigned long long>(ah));
            ok = false;
        }
    }
    return ok;
}

bool file_written(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    const bool some = std::fgetc(f) != EOF;
    std::fclose(f);
    return some;
}

// Asks the plug-in for a new size: adjust_size first when it resizes, then set_size; the window
// follows what the plug-in accepted.
void host_resize(gui_session& g, gui_window* win, uint32_t w, uint32_t h, uint32_t* cur_w, uint32_t* cur_h,
                 bool adjust) {
    if (adjust && g.resizable && g.gui->adjust_size) {
        if (!g.gui->adjust_size(g.plugin, &w, &h)) return;
        check_size(g, w, h, *cur_w, *cur_h, "clap_plugin_gui.adjust_size");
    }
    if (w == 0 || h == 0) return;
    gui_window_resize(win, w, h);
    if (!g.gui->set_size(g.plugin, w, h)) {
        std::fprintf(stderr, "lodrin-host: gui: the plug-in refused set_size(%u, %u)\n", w, h);
        return;
    }
    *cur_w = w;
    *cur_h = h;
}

// The editor's frame counter from the debug extension's draw-probe header (its first field);
// 0 before the first frame, -1 without the extension.
int32_t editor_frames_drawn(const gui_session& g) {
    const lodrin_plugin_debug* d = g.stage->debug;
    if (!d || !d->debug_read_draw_probes) return -1;
    int32_t header[DEBUG_PROBE_HEADER_SIZE / sizeof(int32_t)] = {};
    d->debug_read_draw_probes(g.plugin, header, nullptr, 0);
    return header[0];
}

void render_block(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint64_t* pos) {
    demo_render(r->rate, *pos % demo_frames(r->rate), r->block, (*in)[0], (*in)[1]);
    *pos += r->block;
    rack_process_block(r, in, out, r->block);  // the frame serves the requests once, after its blocks
}

void run_audio(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint64_t* pos, int64_t start_ns,
               uint64_t* blocks_done, int wait_token) {
    if (wait_token >= 0) {
        // Lock-step: every token is one block the other process has finished. None is dropped (the
        // steady times of both must stay equal); a backlog is worked off a frame at a time.
        for (int k = 0; k < 64 && host_os_token_take(wait_token, 0); ++k, ++*blocks_done)
            render_block(r, in, out, pos);
        return;
    }
    // Real-time pacing: as many blocks as the wall clock says are due, at most 8 to catch up at once.
    const double elapsed = double(host_os_clock_ns() - start_ns) * 1e-9;
    const uint64_t due = uint64_t(elapsed * r->rate / r->block);
    for (int k = 0; k < 8 && *blocks_done < due; ++k, ++*blocks_done)
        render_block(r, in, out, pos);
    if (*blocks_done < due) *blocks_done = due;  // too slow to catch up: drop the backlog, not the pace
}

} // namespace

int gui_run(host_rack* r, const gui_options& o, char* err, size_t cap) {
    gui_session g{};
    g.rack = r;
    g.stage = r->stages[0];
    g.plugin = g.stage->plugin;
    g.gui = g.stage->gui;
    const char* api = gui_window_api();
    if (!g.gui) {
        std::snprintf(err, cap, "gui: the plug-in offers no clap.gui extension: it has no editor to open");
        return 1;
    }
    const clap_plugin_gui* gui = g.gui;
    if (!gui->is_api_supported || !gui->create || !gui->destroy || !gui->set_scale || !gui->get_size ||
        !gui->can_resize || !gui->get_resize_hints || !gui->adjust_size || !gui->set_size || !gui->set_parent ||
        !gui->set_transient || !gui->suggest_title || !gui->show || !gui->hide || !gui->get_preferred_api) {
        host_rule_error("stage %u: clap.gui table with a null function", g.stage->number);
        std::snprintf(err, cap, "gui: the plug-in's clap.gui table is incomplete");
        return 1;
    }
    if (!gui->is_api_supported(g.plugin, api, false)) {
        std::snprintf(err, cap, "gui: the plug-in does not embed in \"%s\" windows", api);
        return 1;
    }
    const uint32_t timers_before = g.stage->n_timers, fds_before = g.stage->n_fds;
    const uint32_t requests_before = g.stage->n_request_resize.load();
    uint32_t seen_requests = requests_before;
    if (!gui->create(g.plugin, api, false)) {
        std::snprintf(err, cap, "gui: clap_plugin_gui.create(\"%s\") failed", api);
        return 1;
    }
    g.stage->gui_state.store(1);
    if (o.scale > 0 && !gui->set_scale(g.plugin, o.scale))
        std::fprintf(stderr, "lodrin-host: gui: the plug-in refused set_scale(%g)\n", o.scale);

    uint32_t w = 0, h = 0;
    if (!gui->get_size(g.plugin, &w, &h)) host_rule_error("stage %u: clap_plugin_gui.get_size failed", g.stage->number);
    g.resizable = gui->can_resize(g.plugin);
    if (g.resizable && !gui->get_resize_hints(g.plugin, &g.hints)) g.hints = {true, true, false, 0, 0};
    check_size(g, w, h, 0, 0, "clap_plugin_gui.get_size");
    if (w == 0 || h == 0) {
        w = 960;
        h = 600;
    }
    if (o.zoom > 0) {
        const double s = o.scale > 0 ? o.scale : 1.0;
        uint32_t zw = uint32_t(std::floor(960.0 * o.zoom * s + 0.5)), zh = uint32_t(std::floor(600.0 * o.zoom * s + 0.5));
        if (g.resizable && gui->adjust_size(g.plugin, &zw, &zh)) {
            check_size(g, zw, zh, w, h, "clap_plugin_gui.adjust_size");
            if (gui->set_size(g.plugin, zw, zh)) {
                w = zw;
                h = zh;
            }
        }
    }

    gui_window* win = gui_window_open(w, h, "lodrin-host", err, cap);
    if (!win) {
        gui->destroy(g.plugin);
        g.stage->gui_state.store(0);
        return 1;
    }
    gui->suggest_title(g.plugin, "lodrin-host");
    clap_window cw{};
    cw.api = api;
#if defined(_WIN32)
    cw.win32 = reinterpret_cast<clap_hwnd>(gui_window_native(win));
#else
    cw.x11 = clap_xwnd(gui_window_native(win));
#endif
    g.stage->gui_state.store(2);
    int rc = 0;
    if (!gui->set_parent(g.plugin, &cw)) {
        std::snprintf(err, cap, "gui: clap_plugin_gui.set_parent failed");
        rc = 1;
    } else if (!gui->show(g.plugin)) {
        std::snprintf(err, cap, "gui: clap_plugin_gui.show failed");
        rc = 1;
    }

    float* bufs[4];
    for (auto& b : bufs) b = static_cast<float*>(std::calloc(r->block, sizeof(float)));
    float* const in[1][2] = {{bufs[0], bufs[1]}};
    float* const out[1][2] = {{bufs[2], bufs[3]}};
    uint64_t pos = 0, blocks = 0;
    bool shot_requested = false;
    uint32_t frame = 0, waited = 0;
    const int64_t start = host_os_clock_ns();
    // What the editor cost this loop: the time inside the plug-in's timer and descriptor callbacks and
    // the window messages (the host's own are few and quick), and the frames it drew (the debug extension's frame counter) against the ticks it was given.
    int64_t pumped_ns = 0;
    uint32_t pumps = 0;
    const int32_t frames_before = editor_frames_drawn(g);
    int64_t next = start;
    if (rc == 0) {
        std::printf("window %llu\n", static_cast<unsigned long long>(gui_window_native(win)));
        std::fflush(stdout);
    }
    while (rc == 0) {
        // The run ends after o.frames frames or on a stop; a screenshot is then asked for, so it shows
        // what the editor drew last (a full history graph), and written by one of its next frames.
        if ((o.frames && frame >= o.frames) || (o.stop && *o.stop)) {
            if (!o.screenshot) break;
            if (!shot_requested) {
                if (!g.stage->debug || !g.stage->debug->debug_request_screenshot) {
                    std::snprintf(err, cap, "gui: the plug-in has no debug extension to take a screenshot");
                    rc = 1;
                    break;
                }
                std::remove(o.screenshot);  // a file left by an earlier run must not pass for this one
                shot_requested = g.stage->debug->debug_request_screenshot(g.plugin, o.screenshot) == 1;
                if (!shot_requested) {
                    std::snprintf(err, cap, "gui: the editor refused the screenshot request");
                    rc = 1;
                    break;
                }
            } else if (file_written(o.screenshot) || waited >= kScreenshotWaitFrames) {
                break;
            }
            ++waited;
        }
        bool resized = false;
        uint32_t ww = 0, wh = 0;
        // On Windows the editor draws from the window messages the pump dispatches: they count too.
        const int64_t messages_start = host_os_clock_ns();
        const bool open = gui_window_pump(win, &resized, &ww, &wh);
        pumped_ns += host_os_clock_ns() - messages_start;
        if (!open) break;
        if (resized) host_resize(g, win, ww, wh, &w, &h, true);
        run_audio(r, in, out, &pos, start, &blocks, o.wait_token);
        const int64_t pump_start = host_os_clock_ns();
        rack_pump(r);  // the plug-in's host timers and its watched descriptors
        pumped_ns += host_os_clock_ns() - pump_start;
        ++pumps;
        if (o.each_frame) o.each_frame(r, o.frame_ctx);

        const uint32_t requests = g.stage->n_request_resize.load();
        if (requests != seen_requests) {
            seen_requests = requests;
            const uint32_t rw = g.stage->last_resize_w, rh = g.stage->last_resize_h;
            // A DAW honours a request that keeps the hints and fits one that does not.
            const bool ok = check_size(g, rw, rh, w, h, "clap_host_gui.request_resize");
            if (rw && rh && (rw != w || rh != h)) host_resize(g, win, rw, rh, &w, &h, !ok);
        }
        ++frame;
        next += kFrameNs;
        const int64_t now = host_os_clock_ns();
        if (next > now) host_os_sleep_ns(next - now);
        else next = now;
    }
    if (rc == 0 && o.screenshot && !(shot_requested && file_written(o.screenshot))) {
        std::snprintf(err, cap, "gui: the editor did not write the screenshot %s", o.screenshot);
        rc = 1;
    }

    const int64_t loop_ns = host_os_clock_ns() - start;
    const int32_t drawn = editor_frames_drawn(g) - frames_before;
    if (!gui->hide(g.plugin)) std::fprintf(stderr, "lodrin-host: gui: clap_plugin_gui.hide failed\n");
    gui->destroy(g.plugin);
    g.stage->gui_state.store(0);
    // What the editor registered it must give back when it goes.
    if (g.stage->n_timers > timers_before)
        host_rule_error("stage %u: %u host timer(s) still registered after clap_plugin_gui.destroy",
                        g.stage->number, g.stage->n_timers - timers_before);
    if (g.stage->n_fds > fds_before)
        host_rule_error("stage %u: %u descriptor(s) still registered after clap_plugin_gui.destroy",
                        g.stage->number, g.stage->n_fds - fds_before);
    gui_window_close(win);
    for (auto& b : bufs) std::free(b);
    std::printf("gui: %u frames, editor %ux%u, %u resize request(s)%s%s\n", frame, w, h,
                g.stage->n_request_resize.load() - requests_before, rc == 0 && o.screenshot ? ", screenshot " : "",
                rc == 0 && o.screenshot ? o.screenshot : "");
    if (frames_before >= 0) {
        const uint32_t shown = drawn > 0 ? uint32_t(drawn) : 0;
        std::printf("gui: the editor drew %u frames in %u ticks (%u ticks skipped), its callbacks and the window "
                    "messages took %.1f%% of the GUI thread (%.1f ms of %.1f ms)\n",
                    shown, pumps, pumps > shown ? pumps - shown : 0, loop_ns > 0 ? 100.0 * pumped_ns / loop_ns : 0.0,
                    pumped_ns * 1e-6, loop_ns * 1e-6);
    } else {
        std::printf("gui: the plug-in's callbacks and the window messages took %.1f%% of the GUI thread (%.1f ms of %.1f ms)\n",
                    loop_ns > 0 ? 100.0 * pumped_ns / loop_ns : 0.0, pumped_ns * 1e-6, loop_ns * 1e-6);
    }
    return rc;
}
