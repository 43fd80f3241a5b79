// A small CLAP module with an editor of its own for the host's gui checks: its editor is a child
// view of the window layer that fills itself with one colour and answers the debug extension's probe
// pixel and screenshot. Plug-in ids:
//   test.gui         keeps every gui rule;
//   test.gui-resize  asks the host for 1200 x 750 once it is embedded (as an editor adopting a scale);
//   test.gui-leaky   asks for a size off its own aspect ratio and leaves its host timer registered;
//   test.no-gui      offers no clap.gui at all.
// Built only for the tests.
#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "clap/clap.h"
#include "debug_ext.h"
#include "window.h"

namespace {

// The editor's fill colour, and how it reads back.
constexpr float kFill[3] = {0.2f, 0.4f, 0.6f};

const char* const features[] = {"audio-effect", nullptr};
constexpr int kKinds = 4;
constexpr int kNoGui = 3;
const clap_plugin_descriptor desc[kKinds] = {
    {CLAP_VERSION_INIT, "test.gui", "Gui", "", "", "", "", "0", "", features},
    {CLAP_VERSION_INIT, "test.gui-resize", "Gui resize", "", "", "", "", "0", "", features},
    {CLAP_VERSION_INIT, "test.gui-leaky", "Gui leaky", "", "", "", "", "0", "", features},
    {CLAP_VERSION_INIT, "test.no-gui", "No gui", "", "", "", "", "0", "", features},
};

#if defined(_WIN32)
const char* const kApi = CLAP_WINDOW_API_WIN32;
#else
const char* const kApi = CLAP_WINDOW_API_X11;
#endif

struct instance {
    clap_plugin plugin;
    const clap_host* host;
    int kind;
    double scale;
    window_view* view;
    clap_id timer;
    int fd;
    bool has_probe;
    uint8_t probe[3];
    char shot[512];
};

window_world* g_world = nullptr;
int g_views = 0;
instance g_instances[8];
int g_n_instances = 0;

instance* self(const clap_plugin* p) {
    return static_cast<instance*>(p->plugin_data);
}

template <class T>
const T* host_ext(const instance* in, const char* id) {
    return static_cast<const T*>(in->host->get_extension(in->host, id));
}

void write_shot(instance* in, uint32_t w, uint32_t h) {
    static uint8_t pixels[2400 * 1500 * 3];
    if (uint64_t(w) * h * 3 > sizeof pixels) return;
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, GLsizei(w), GLsizei(h), GL_RGB, GL_UNSIGNED_BYTE, pixels);
    FILE* f = std::fopen(in->shot, "wb");
    in->shot[0] = 0;
    if (!f) return;
    std::fprintf(f, "P6\n%u %u\n255\n", w, h);
    for (uint32_t y = h; y-- > 0;) std::fwrite(pixels + size_t(y) * w * 3, 1, size_t(w) * 3, f);  // top row first
    std::fclose(f);
}

window_status on_event(window_view* view, const window_event* ev) {
    instance* in = static_cast<instance*>(window_view_get_handle(view));
    switch (ev->type) {
        case WINDOW_EVENT_REALIZE:
            window_view_start_timer(view, 0, 1.0 / 60.0);
            break;
        case WINDOW_EVENT_TIMER:
            window_view_obscure(view);
            break;
        case WINDOW_EVENT_EXPOSE:
            glViewport(0, 0, GLsizei(ev->expose.width), GLsizei(ev->expose.height));
            glClearColor(kFill[0], kFill[1], kFill[2], 1.0f);
            glClear(GL_COLOR_BUFFER_BIT);
            glReadPixels(1, 1, 1, 1, GL_RGB, GL_UNSIGNED_BYTE, in->probe);
            in->has_probe = true;
            if (in->shot[0]) write_shot(in, ev->expose.width, ev->expose.height);
            break;
        default:
            break;
    }
    return WINDOW_SUCCESS;
}

// ---- clap.gui ----

double scale_of(const instance* in) {
    return in->scale > 0 ? in->scale : 1.0;
}

bool gui_api_supported(const clap_plugin*, const char* api, bool floating) {
    return !floating && api && !std::strcmp(api, kApi);
}
bool gui_preferred(const clap_plugin*, const char** api, bool* floating) {
    *api = kApi;
    *floating = false;
    return true;
}
bool gui_create(const clap_plugin* p, const char* api, bool floating) {
    instance* in = self(p);
    if (!gui_api_supported(p, api, floating)) return false;
    if (in->view) return true;
    if (!g_world && !(g_world = window_world_new("LodrinTestGui"))) return false;
    in->view = window_view_new(g_world);
    ++g_views;
    window_view_set_handle(in->view, in);
    window_view_set_event_func(in->view, on_event);
    const double s = scale_of(in);
    window_view_set_size_hint(in->view, WINDOW_DEFAULT_SIZE, uint32_t(960 * s + 0.5), uint32_t(600 * s + 0.5));
    return true;
}
void gui_destroy(const clap_plugin* p) {
    instance* in = self(p);
    if (in->timer != CLAP_INVALID_ID && in->kind != 2) {
        auto* ts = host_ext<clap_host_timer_support>(in, CLAP_EXT_TIMER_SUPPORT);
        if (ts) ts->unregister_timer(in->host, in->timer);
    }
    in->timer = CLAP_INVALID_ID;
#if !defined(_WIN32)
    if (in->fd >= 0) {
        auto* fs = host_ext<clap_host_posix_fd_support>(in, CLAP_EXT_POSIX_FD_SUPPORT);
        if (fs) fs->unregister_fd(in->host, in->fd);
    }
#endif
    in->fd = -1;
    if (!in->view) return;
    window_view_free(in->view);
    in->view = nullptr;
    in->has_probe = false;
    if (--g_views == 0) {
        window_world_free(g_world);
        g_world = nullptr;
    }
}
bool gui_set_scale(const clap_plugin* p, double s) {
    instance* in = self(p);
    in->scale = s;
    if (in->view && !window_view_is_realized(in->view))
        window_view_set_size_hint(in->view, WINDOW_DEFAULT_SIZE, uint32_t(960 * s + 0.5), uint32_t(600 * s + 0.5));
    return true;
}
bool gui_get_size(const clap_plugin* p, uint32_t* w, uint32_t* h) {
    instance* in = self(p);
    if (!in->view) return false;
    window_view_get_size_hint(in->view, WINDOW_CURRENT_SIZE, w, h);
    if (*w == 0 || *h == 0) window_view_get_size_hint(in->view, WINDOW_DEFAULT_SIZE, w, h);
    return true;
}
bool gui_can_resize(const clap_plugin*) {
    return true;
}
bool gui_hints(const clap_plugin*, clap_gui_resize_hints* h) {
    *h = {true, true, true, 960, 600};
    return true;
}
bool gui_adjust(const clap_plugin*, uint32_t* w, uint32_t* h) {
    double z = std::fmin(*w / 960.0, *h / 600.0);
    z = z < 0.6 ? 0.6 : z > 2.5 ? 2.5 : z;
    *w = uint32_t(std::floor(960 * z + 0.5));
    *h = uint32_t(std::floor(600 * z + 0.5));
    return true;
}
bool gui_set_size(const clap_plugin* p, uint32_t w, uint32_t h) {
    instance* in = self(p);
    if (!in->view) return false;
    return window_view_set_size_hint(in->view,
                                     window_view_is_realized(in->view) ? WINDOW_CURRENT_SIZE : WINDOW_DEFAULT_SIZE,
                                     w, h) == WINDOW_SUCCESS;
}
bool gui_set_parent(const clap_plugin* p, const clap_window* win) {
    instance* in = self(p);
    if (!in->view || !win) return false;
    if (window_view_is_realized(in->view)) return true;
#if defined(_WIN32)
    window_view_set_parent(in->view, reinterpret_cast<uintptr_t>(win->win32));
#else
    window_view_set_parent(in->view, uintptr_t(win->x11));
#endif
    if (window_view_realize(in->view) != WINDOW_SUCCESS) {
        window_view_set_hint(in->view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_COMPATIBILITY);
        if (window_view_realize(in->view) != WINDOW_SUCCESS) return false;
    }
#if !defined(_WIN32)
    // X11 has no message loop of the host for our connection: the host watches it and ticks us.
    auto* fs = host_ext<clap_host_posix_fd_support>(in, CLAP_EXT_POSIX_FD_SUPPORT);
    const int fd = window_world_fd(g_world);
    if (fs && fs->register_fd(in->host, fd, CLAP_POSIX_FD_READ)) in->fd = fd;
    auto* ts = host_ext<clap_host_timer_support>(in, CLAP_EXT_TIMER_SUPPORT);
    if (ts && !ts->register_timer(in->host, 16, &in->timer)) in->timer = CLAP_INVALID_ID;
#endif
    auto* hg = host_ext<clap_host_gui>(in, CLAP_EXT_GUI);
    if (hg && in->kind == 1) hg->request_resize(in->host, 1200, 750);
    if (hg && in->kind == 2) hg->request_resize(in->host, 1000, 1000);
    return true;
}
bool gui_set_transient(const clap_plugin*, const clap_window*) {
    return false;
}
void gui_suggest_title(const clap_plugin*, const char*) {}
bool gui_show(const clap_plugin* p) {
    instance* in = self(p);
    return in->view && window_view_show(in->view) == WINDOW_SUCCESS;
}
bool gui_hide(const clap_plugin* p) {
    instance* in = self(p);
    return in->view && window_view_hide(in->view) == WINDOW_SUCCESS;
}

const clap_plugin_gui gui = {gui_api_supported, gui_preferred, gui_create,       gui_destroy,   gui_set_scale,
                             gui_get_size,      gui_can_resize, gui_hints,       gui_adjust,    gui_set_size,
                             gui_set_parent,    gui_set_transient, gui_suggest_title, gui_show, gui_hide};

void pump(const clap_plugin*) {
    if (g_world) window_world_update(g_world, 0);
}
void on_timer(const clap_plugin* p, clap_id) {
    pump(p);
}
void on_fd(const clap_plugin* p, int, clap_posix_fd_flags) {
    pump(p);
}
const clap_plugin_timer_support timer_support = {on_timer};
const clap_plugin_posix_fd_support fd_support = {on_fd};

// ---- the debug extension: only the editor's probe pixel and screenshot ----

uint32_t dbg_zero(const clap_plugin*) {
    return 0;
}
double dbg_meter(const clap_plugin*, uint32_t) {
    return 0;
}
uint32_t dbg_probe(const clap_plugin* p, uint8_t rgb[3]) {
    instance* in = self(p);
    if (!in->has_probe) return 0;
    std::memcpy(rgb, in->probe, 3);
    return 1;
}
uint32_t dbg_rect(const clap_plugin*, uint32_t, int32_t, float*) {
    return 0;
}
double dbg_history(const clap_plugin*, int32_t, int32_t) {
    return DEBUG_HISTORY_NONE;
}
void dbg_learn(const clap_plugin*, int32_t) {}
uint32_t dbg_shot(const clap_plugin* p, const char* path) {
    instance* in = self(p);
    if (!in->view) return 0;
    std::snprintf(in->shot, sizeof in->shot, "%s", path);
    return 1;
}
int32_t dbg_probes(const clap_plugin*, void*, void*, int32_t) {
    return 0;
}
const lodrin_plugin_debug debug = {dbg_zero, dbg_zero,  dbg_meter, dbg_probe,  dbg_rect,
                                   dbg_history, dbg_learn, dbg_shot, dbg_probes, nullptr};

// ---- the plug-in: a pass-through without parameters ----

bool p_init(const clap_plugin*) {
    return true;
}
void p_destroy(const clap_plugin* p) {
    gui_destroy(p);
}
bool p_activate(const clap_plugin*, double, uint32_t, uint32_t) {
    return true;
}
void p_deactivate(const clap_plugin*) {}
bool p_start(const clap_plugin*) {
    return true;
}
void p_stop(const clap_plugin*) {}
void p_reset(const clap_plugin*) {}
clap_process_status p_process(const clap_plugin*, const clap_process*) {
    return CLAP_PROCESS_CONTINUE;
}
const void* p_ext(const clap_plugin* p, const char* id) {
    if (self(p)->kind == kNoGui) return nullptr;
    if (!std::strcmp(id, CLAP_EXT_GUI)) return &gui;
    if (!std::strcmp(id, CLAP_EXT_TIMER_SUPPORT)) return &timer_support;
    if (!std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT)) return &fd_support;
    if (!std::strcmp(id, LODRIN_EXT_DEBUG)) return &debug;
    return nullptr;
}
void p_main(const clap_plugin*) {}

uint32_t f_count(const clap_plugin_factory*) {
    return kKinds;
}
const clap_plugin_descriptor* f_desc(const clap_plugin_factory*, uint32_t i) {
    return i < kKinds ? &desc[i] : nullptr;
}
const clap_plugin* f_create(const clap_plugin_factory*, const clap_host* host, const char* id) {
    int kind = -1;
    for (int k = 0; k < kKinds; ++k)
        if (!std::strcmp(id, desc[k].id)) kind = k;
    if (kind < 0 || g_n_instances >= 8) return nullptr;
    instance* in = &g_instances[g_n_instances++];
    std::memset(in, 0, sizeof *in);
    in->plugin = {&desc[kind], in,     p_init,  p_destroy, p_activate, p_deactivate,
                  p_start,     p_stop, p_reset, p_process, p_ext,      p_main};
    in->host = host;
    in->kind = kind;
    in->timer = CLAP_INVALID_ID;
    in->fd = -1;
    return &in->plugin;
}
const clap_plugin_factory factory = {f_count, f_desc, f_create};

bool e_init(const char*) {
    return true;
}
void e_deinit() {}
const void* e_factory(const char* id) {
    return !std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) ? &factory : nullptr;
}

} // namespace

extern "C" __attribute__((visibility("default")))
const clap_plugin_entry clap_entry = {CLAP_VERSION_INIT, e_init, e_deinit, e_factory};
