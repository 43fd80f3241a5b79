// clap.gui and clap.timer-support: how a host opens, sizes, shows and closes the editor of one stage.
// Each function finds its instance through plugin_data and forwards to the editor's lifecycle; the
// instance holds at most one editor, made by create and freed by destroy (or by the instance's own
// destroy for an editor still open).
//
// Only embedded windows are offered: X11 on Linux, Win32 on Windows. X11 has no host message loop
// for our display connection, so on Linux the editor also asks the host's clap.posix-fd-support to
// watch the connection's file descriptor (on_fd runs one event pass) and registers one 16 ms host
// timer (on_timer runs one event pass, which fires the editor's 60 Hz redraw timer). destroy gives
// both back.
//
// Threads: every call comes on the host's main thread.
#include <cmath>
#include <cstring>

#include "editor.h"
#include "plugin_instance.h"
#include "scan_log.h"

namespace {

#if defined(_WIN32)
constexpr const char* GUI_API = CLAP_WINDOW_API_WIN32;
#else
constexpr const char* GUI_API = CLAP_WINDOW_API_X11;
constexpr uint32_t HOST_TIMER_MS = 16;
#endif

bool api_ok(const char* api, bool is_floating) {
    return !is_floating && api && std::strcmp(api, GUI_API) == 0;
}

#if !defined(_WIN32)
// Hands the display connection and a 16 ms timer to the host so that events are pumped.
void attach_event_sources(plugin_instance* instance) {
    const clap_host* host = instance->host;
    if (!instance->host_posix_fd && host && host->get_extension)
        instance->host_posix_fd = static_cast<const clap_host_posix_fd_support*>(
            host->get_extension(host, CLAP_EXT_POSIX_FD_SUPPORT));
    const int fd = editor_world_fd();
    if (instance->registered_fd < 0 && fd >= 0 && instance->host_posix_fd && instance->host_posix_fd->register_fd &&
        instance->host_posix_fd->register_fd(host, fd, CLAP_POSIX_FD_READ))
        instance->registered_fd = fd;
    if (instance->timer_id == CLAP_INVALID_ID && instance->host_timer_support &&
        instance->host_timer_support->register_timer) {
        clap_id id = CLAP_INVALID_ID;
        if (instance->host_timer_support->register_timer(host, HOST_TIMER_MS, &id)) instance->timer_id = id;
    }
}
#endif

bool gui_is_api_supported(const clap_plugin*, const char* api, bool is_floating) {
    return api_ok(api, is_floating);
}

bool gui_get_preferred_api(const clap_plugin*, const char** api, bool* is_floating) {
    if (api) *api = GUI_API;
    if (is_floating) *is_floating = false;
    return true;
}

bool gui_create(const clap_plugin* plugin, const char* api, bool is_floating) {
    plugin_instance* instance = instance_of(plugin);
    scan_log("gui_create");
    if (!api_ok(api, is_floating)) return instance->editor != nullptr;
    if (instance->editor) return true;
    instance->editor = editor_create(instance);
    scan_log(instance->editor ? "gui_create: ui ok" : "gui_create: ui FAILED");
#if !defined(_WIN32)
    if (instance->editor) attach_event_sources(instance);
#endif
    return instance->editor != nullptr;
}

bool gui_set_scale(const clap_plugin* plugin, double scale) {
    plugin_instance* instance = instance_of(plugin);
    instance->gui_scale = scale;
    if (instance->editor) editor_set_scale(instance->editor, scale);
    return true;
}

bool gui_get_size(const clap_plugin* plugin, uint32_t* width, uint32_t* height) {
    plugin_instance* instance = instance_of(plugin);
    if (!instance->editor || !width || !height) return false;
    editor_get_size(instance->editor, width, height);
    return true;
}

bool gui_can_resize(const clap_plugin*) {
    return true;
}

bool gui_get_resize_hints(const clap_plugin*, clap_gui_resize_hints* hints) {
    if (!hints) return false;
    hints->can_resize_horizontally = true;
    hints->can_resize_vertically = true;
    hints->preserve_aspect_ratio = true;
    hints->aspect_ratio_width = 960;
    hints->aspect_ratio_height = 600;
    return true;
}

bool gui_set_size(const clap_plugin* plugin, uint32_t width, uint32_t height) {
    plugin_instance* instance = instance_of(plugin);
    if (!instance->editor) return false;
    return editor_set_size(instance->editor, width, height);
}

bool gui_set_parent(const clap_plugin* plugin, const clap_window* window) {
    plugin_instance* instance = instance_of(plugin);
    if (!instance->editor || !window) return false;
#if defined(_WIN32)
    const uintptr_t parent = reinterpret_cast<uintptr_t>(window->win32);
#else
    const uintptr_t parent = static_cast<uintptr_t>(window->x11);
#endif
    if (parent == 0) return false;
    scan_log("gui_set_parent");
    const bool ok = editor_set_parent(instance->editor, parent);
    scan_log("gui_set_parent: ok");
    return ok;
}

bool gui_set_transient(const clap_plugin*, const clap_window*) {
    return false;
}

void gui_suggest_title(const clap_plugin*, const char*) {}

bool gui_show(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    return instance->editor ? editor_show(instance->editor) : false;
}

bool gui_hide(const clap_plugin* plugin) {
    plugin_instance* instance = instance_of(plugin);
    return instance->editor ? editor_hide(instance->editor) : false;
}

void gui_destroy(const clap_plugin* plugin) {
    gui_close_editor(instance_of(plugin));
}

void timer_on_timer(const clap_plugin* plugin, clap_id) {
    if (instance_of(plugin)->editor) editor_pump_world();
}

#if !defined(_WIN32)
void posix_fd_on_fd(const clap_plugin* plugin, int, clap_posix_fd_flags) {
    if (instance_of(plugin)->editor) editor_pump_world();
}

constexpr clap_plugin_posix_fd_support posix_fd_table = {
    .on_fd = posix_fd_on_fd,
};
#endif

constexpr clap_plugin_gui gui_table = {
    .is_api_supported = gui_is_api_supported,
    .get_preferred_api = gui_get_preferred_api,
    .create = gui_create,
    .destroy = gui_destroy,
    .set_scale = gui_set_scale,
    .get_size = gui_get_size,
    .can_resize = gui_can_resize,
    .get_resize_hints = gui_get_resize_hints,
    .adjust_size = gui_adjust_size,
    .set_size = gui_set_size,
    .set_parent = gui_set_parent,
    .set_transient = gui_set_transient,
    .suggest_title = gui_suggest_title,
    .show = gui_show,
    .hide = gui_hide,
};

constexpr clap_plugin_timer_support timer_table = {
    .on_timer = timer_on_timer,
};

} // namespace

bool gui_adjust_size(const clap_plugin*, uint32_t* width, uint32_t* height) {
    if (!width || !height) return false;
    double z = std::fmin(*width / 960.0, *height / 600.0);
    if (!(z >= EDITOR_ZOOM_MIN)) z = EDITOR_ZOOM_MIN;
    if (z > EDITOR_ZOOM_MAX) z = EDITOR_ZOOM_MAX;
    *width = static_cast<uint32_t>(std::floor(960.0 * z + 0.5));
    *height = static_cast<uint32_t>(std::floor(600.0 * z + 0.5));
    return true;
}

void gui_close_editor(plugin_instance* instance) {
    if (instance->timer_id != CLAP_INVALID_ID && instance->host_timer_support &&
        instance->host_timer_support->unregister_timer) {
        instance->host_timer_support->unregister_timer(instance->host, instance->timer_id);
        instance->timer_id = CLAP_INVALID_ID;
    }
#if !defined(_WIN32)
    if (instance->registered_fd >= 0) {
        if (instance->host_posix_fd && instance->host_posix_fd->unregister_fd)
            instance->host_posix_fd->unregister_fd(instance->host, instance->registered_fd);
        instance->registered_fd = -1;
    }
#endif
    if (instance->editor) {
        editor_destroy(instance->editor);
        instance->editor = nullptr;
    }
}

const clap_plugin_gui* gui_extension() {
    return &gui_table;
}

const clap_plugin_timer_support* timer_support_extension() {
    return &timer_table;
}

const void* posix_fd_support_extension() {
#if defined(_WIN32)
    return nullptr;
#else
    return &posix_fd_table;
#endif
}
