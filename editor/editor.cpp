// The editor's lifecycle: the window world that the editors of a process share, creation and
// destruction of one editor, embedding in the host's window with its fallbacks when OpenGL cannot
// start, the view's event dispatch and 60 Hz redraw timer, the size and zoom rules, show and hide,
// the host log, and the entry points through which the private debug extension reads the editor.
//
// Sizes: the design canvas is 960 x 600. For zoom z and host scale s the window is
// floor(960 z s + 0.5) x floor(600 z s + 0.5) pixels, z being the instance's saved zoom when it lies
// in 0.6..2.5 (else 1.0) and s the host scale when above 0 (else 1.0). The host may answer a resize
// request with a size a pixel or two off (rounding of its own); answers within 2 pixels count as the
// requested size, so the zoom the user asked for is kept exactly.
//
// Threads: all of it runs on the host's main thread: the gui extension, the host timer and fd
// callbacks, and the window layer's events (delivered from inside editor_pump_world or, on Windows,
// from the host's message loop). The world, the editor count and the GL table are process-wide and
// unlocked for that reason.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "editor.h"
#include "gl_table.h"
#include "plugin_instance.h"
#include "platform.h"
#include "resources.h"
#include "vg.h"
#include "vg_gl3.h"

namespace {

window_world* g_world = nullptr;
int32_t g_editor_count = 0;

constexpr char WORLD_CLASS_NAME[] = "LodrinEditor";
constexpr uintptr_t REDRAW_TIMER = 0;
constexpr double REDRAW_PERIOD = 1.0 / 60.0;

bool key_debug() {
    return std::getenv("LODRIN_KEYDBG") != nullptr;
}

editor_state* editor_of(window_view* view) {
    return static_cast<editor_state*>(window_view_get_handle(view));
}

// Within 2 pixels in both directions: a host's rounding of the size we asked for.
bool near_size(uint32_t w, uint32_t h, uint32_t tw, uint32_t th) {
    return w <= tw + 2 && w + 2 >= tw && h <= th + 2 && h + 2 >= th;
}

uint32_t translate_mods(uint32_t state) {
    uint32_t mods = 0;
    if (state & WINDOW_MOD_SHIFT) mods |= EDITOR_MOD_SHIFT;
    if (state & WINDOW_MOD_CTRL) mods |= EDITOR_MOD_CTRL;
    if (state & WINDOW_MOD_ALT) mods |= EDITOR_MOD_ALT;
    return mods;
}

uint32_t translate_key(uint32_t key) {
    switch (key) {
        case WINDOW_KEY_PAGE_UP:
            return EDITOR_KEY_PAGE_UP;
        case WINDOW_KEY_PAGE_DOWN:
            return EDITOR_KEY_PAGE_DOWN;
        default:
            return key;
    }
}

void host_request_resize(editor_state* editor, uint32_t width, uint32_t height) {
    plugin_instance* instance = editor->instance;
    if (instance && instance->host_gui && instance->host_gui->request_resize)
        instance->host_gui->request_resize(instance->host, width, height);
}

double instance_zoom(const editor_state* editor) {
    return editor->instance ? editor->instance->ui.zoom : 1.0;
}

void on_realize(editor_state* editor) {
    editor->realized = 1;
    if (editor->width == 0 || editor->height == 0) {
        uint32_t w = 0, h = 0;
        window_view_get_size_hint(editor->view, WINDOW_CURRENT_SIZE, &w, &h);
        if (w == 0 || h == 0) window_view_get_size_hint(editor->view, WINDOW_DEFAULT_SIZE, &w, &h);
        editor->width = w;
        editor->height = h;
    }
    std::memset(&editor->graph_layer, 0, sizeof(editor->graph_layer));
    if (gl_load_functions() == 1) {
        editor->vg = vg_create_gl3(VG_ANTIALIAS | VG_STENCIL_STROKES);
        if (editor->vg)
            editor->font_id = vg_create_font_mem(editor->vg, "sans", lodrin_font_data,
                                                 static_cast<int32_t>(lodrin_font_size), 0);
    }
    if (!editor->vg) instance_log(editor->instance, CLAP_LOG_ERROR, "Lodrin: OpenGL 3.2 unavailable, editor is blank");
    editor->pace_tick_time = 0.0;
    editor->pace_next_time = 0.0;
    const char* delay = std::getenv("LODRIN_EDITOR_FRAME_DELAY_MS");
    const long ms = delay ? std::strtol(delay, nullptr, 10) : 0;
    editor->frame_delay_ms = ms > 0 && ms <= 1000 ? static_cast<uint32_t>(ms) : 0;
    window_view_start_timer(editor->view, REDRAW_TIMER, REDRAW_PERIOD);
}

// One redraw tick. It asks for at most one frame, and frames keep to at most half of the host's GUI
// thread: once a frame is drawn, ticks ask for none until as long again as it cost has passed (from
// the tick that asked for it to the end of its swap), so a frame slower than the tick lowers the
// rate rather than leaving the host's own work no turn. The history graph is drawn from time-stamped
// columns, so a lower rate still shows the right span. An editor nobody can see draws nothing and
// still keeps its group list current, so it shows the chain as it is the moment it is seen again.
void redraw_tick(editor_state* editor) {
    editor_tick_deferred_zoom(editor);
    double took = 0.0, ended = 0.0;
    window_view_last_frame(editor->view, &took, &ended);
    if (editor->pace_tick_time > 0.0 && ended >= editor->pace_tick_time) {
        // The frame this editor's tick asked for came in the same pass, right after the tick.
        const double start = ended - took;
        const double asked = editor->pace_tick_time;
        const double cost = asked <= start && start - asked < REDRAW_PERIOD ? ended - asked : took;
        editor->pace_next_time = ended + cost;
        editor->pace_tick_time = 0.0;
    }
    const double now = editor_world_time();
    if (now < editor->pace_next_time) {
        ++editor->pace_skipped;
        return;
    }
    if (!window_view_is_viewable(editor->view)) {
        ++editor->unseen_ticks;
        editor_refresh_group(editor);
        return;
    }
    editor->pace_tick_time = now > 0.0 ? now : 1e-9;
    window_view_obscure(editor->view);
}

void on_unrealize(editor_state* editor) {
    window_view_stop_timer(editor->view, REDRAW_TIMER);
    if (editor->vg) {
        vg_delete(editor->vg);
        editor->vg = nullptr;
    }
    std::memset(&editor->graph_layer, 0, sizeof(editor->graph_layer)); // its layer went with the context
    editor->realized = 0;
}

// The message window shown in the host's window instead of the editor when OpenGL cannot start.
void show_fallback(editor_state* editor, uintptr_t parent, const char* message, window_status status) {
    instance_log(editor->instance, CLAP_LOG_ERROR, message);
    if (editor->fallback_window) return;
    uint32_t cw = 0, ch = 0;
    window_native_size(g_world, parent, &cw, &ch);
    char text[420];
    std::snprintf(text, sizeof text,
                  "Lodrin could not start OpenGL 3.2 on this system (%s).\n\nAudio keeps working; only the "
                  "editor cannot open.\nThis happens over Remote Desktop, in most virtual machines and\nwith "
                  "Windows' basic display driver: update the graphics driver\nor open the session on the "
                  "machine itself.",
                  window_strerror(status));
    // A parent narrower than the margins still gets a (tiny) window rather than a negative width.
    const uint32_t w = cw > 17 ? cw - 16 : 1;
    const uint32_t h = ch / 2 > 0 ? ch / 2 : 1;
    editor->fallback_window =
        window_message_new(g_world, parent, 8, static_cast<int32_t>(ch / 4), w, h, text);
}

} // namespace

// ---- Size rules -------------------------------------------------------------------------------

double editor_effective_zoom(double saved_zoom) {
    return (saved_zoom >= EDITOR_ZOOM_MIN && saved_zoom <= EDITOR_ZOOM_MAX) ? saved_zoom : 1.0;
}

double editor_effective_scale(double host_scale) {
    return host_scale > 0.0 ? host_scale : 1.0;
}

void editor_window_size(double zoom, double scale, uint32_t* width, uint32_t* height) {
    *width = static_cast<uint32_t>(std::floor(EDITOR_CANVAS_W * zoom * scale + 0.5));
    *height = static_cast<uint32_t>(std::floor(EDITOR_CANVAS_H * zoom * scale + 0.5));
}

double ui_scale(const editor_state* editor) {
    if (editor->width > 0 && editor->height > 0) {
        const double sx = editor->width / EDITOR_CANVAS_W;
        const double sy = editor->height / EDITOR_CANVAS_H;
        return sx < sy ? sx : sy;
    }
    return editor->host_scale > 0.0 ? editor->host_scale : 1.0;
}

void editor_get_size(const editor_state* editor, uint32_t* width, uint32_t* height) {
    uint32_t w = 0, h = 0;
    editor_window_size(editor_effective_zoom(instance_zoom(editor)), editor_effective_scale(editor->host_scale),
                       &w, &h);
    if (editor->realized && editor->width > 0 && editor->height > 0 &&
        near_size(editor->width, editor->height, w, h)) {
        w = editor->width;
        h = editor->height;
    }
    *width = w;
    *height = h;
}

void editor_set_scale(editor_state* editor, double scale) {
    const double old = editor->host_scale > 0.0 ? editor->host_scale : 1.0;
    editor->host_scale = scale;
    const double z = editor_effective_zoom(instance_zoom(editor));
    const double s = editor_effective_scale(scale);
    uint32_t w = 0, h = 0;
    editor_window_size(z, s, &w, &h);
    window_view_set_size_hint(editor->view, WINDOW_DEFAULT_SIZE, w, h);
    if (editor->realized && std::fabs(s - old) > 0.01) editor_request_zoom(editor, z * s);
}

bool editor_set_size(editor_state* editor, uint32_t width, uint32_t height) {
    plugin_instance* instance = editor->instance;
    if (editor->last_request_width != 0 &&
        near_size(width, height, editor->last_request_width, editor->last_request_height)) {
        if (instance) instance->ui.zoom = editor->last_request_zoom;
    } else {
        const double z = width / EDITOR_CANVAS_W / editor_effective_scale(editor->host_scale);
        if (instance && z >= EDITOR_ZOOM_MIN && z <= EDITOR_ZOOM_MAX) instance->ui.zoom = z;
    }
    const window_size_hint which = editor->realized ? WINDOW_CURRENT_SIZE : WINDOW_DEFAULT_SIZE;
    return window_view_set_size_hint(editor->view, which, width, height) == WINDOW_SUCCESS;
}

void editor_request_zoom(editor_state* editor, double factor) {
    const double s = editor_effective_scale(editor->host_scale);
    double z = factor / s;
    if (!(z >= EDITOR_ZOOM_MIN)) z = EDITOR_ZOOM_MIN; // NaN lands on the minimum too
    if (z > EDITOR_ZOOM_MAX) z = EDITOR_ZOOM_MAX;
    const double g = z * s;
    const uint32_t w = static_cast<uint32_t>(std::floor(EDITOR_CANVAS_W * g + 0.5));
    const uint32_t h = static_cast<uint32_t>(std::floor(EDITOR_CANVAS_H * g + 0.5));
    if (w == editor->last_request_width && h == editor->last_request_height) return;
    const int64_t now = clock_ns();
    if (editor->last_request_time != 0 && now - editor->last_request_time < EDITOR_ZOOM_THROTTLE_NS) {
        editor->deferred_factor = g;
        editor->deferred = 1;
        return;
    }
    editor->last_request_zoom = z;
    editor->last_request_width = w;
    editor->last_request_height = h;
    editor->last_request_time = now;
    editor->deferred = 0;
    if (key_debug()) std::fprintf(stderr, "[grip] -> request %ux%u (z %.3f)%c", w, h, z, '\n');
    host_request_resize(editor, w, h);
}

void editor_tick_deferred_zoom(editor_state* editor) {
    if (!editor->deferred) return;
    if (editor->last_request_time != 0 && clock_ns() - editor->last_request_time < EDITOR_ZOOM_THROTTLE_NS)
        return;
    editor->last_request_width = 0;
    editor->last_request_height = 0;
    editor->deferred = 0;
    editor_request_zoom(editor, editor->deferred_factor);
}

// ---- Lifecycle ------------------------------------------------------------------------------------

editor_state* editor_create(plugin_instance* instance) {
    if (!g_world) {
        g_world = window_world_new(WORLD_CLASS_NAME);
        if (!g_world) return nullptr;
    }
    auto* editor = static_cast<editor_state*>(std::calloc(1, sizeof(editor_state)));
    if (!editor) {
        // A world made for this editor alone would otherwise stay open with no editor to free it.
        if (g_editor_count <= 0) {
            window_world_free(g_world);
            g_world = nullptr;
        }
        return nullptr;
    }
    editor->instance = instance;
    editor->host_scale = instance ? instance->gui_scale : 0.0;
    editor->focused_index = -1;
    const int32_t own_group =
        (instance && instance->slot) ? static_cast<int32_t>(slot_value(instance->slot, PARAM_GROUP)) : 0;
    editor->shown_group = own_group;
    editor->last_own_group = own_group;
    editor->user_preset_count = preset_list(editor->user_presets, USER_PRESET_MAX, editor->user_preset_files);
    editor->hover_kind = 0;
    editor->hover_index = -1;
    editor->hover_sub = -1;
    editor->drag_kind = 0;
    editor->frozen_readout = -100.0f;
    editor->frozen_integrated = -100.0f;
    editor->input_readout.hold = -100.0f;
    editor->output_readout.hold = -100.0f;
    editor->font_id = -1;

    editor->view = window_view_new(g_world);
    if (!editor->view) {
        std::free(editor);
        if (g_editor_count <= 0) {
            window_world_free(g_world);
            g_world = nullptr;
        }
        return nullptr;
    }
    ++g_editor_count;
    window_view_set_handle(editor->view, editor);
    window_view_set_event_func(editor->view, editor_on_event);
    window_view_set_hint(editor->view, WINDOW_CONTEXT_VERSION_MAJOR, 3);
    window_view_set_hint(editor->view, WINDOW_CONTEXT_VERSION_MINOR, 2);
    window_view_set_hint(editor->view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_CORE);
    window_view_set_hint(editor->view, WINDOW_DOUBLE_BUFFER, 1);
    window_view_set_hint(editor->view, WINDOW_STENCIL_BITS, 8);
    window_view_set_hint(editor->view, WINDOW_DEPTH_BITS, 0);
    window_view_set_hint(editor->view, WINDOW_SWAP_INTERVAL, 0);
    window_view_set_hint(editor->view, WINDOW_RESIZABLE, 1);
    window_view_set_title(editor->view, "Lodrin");
    editor_set_scale(editor, editor->host_scale);
    return editor;
}

void editor_destroy(editor_state* editor) {
    if (!editor) return;
    // A drag still held when the editor goes (the host closes it, the window is destroyed) would
    // leave its gestures open at every dragged stage's host: they end here.
    editor_end_drag(editor);
    if (editor->fallback_window) {
        window_message_free(editor->fallback_window);
        editor->fallback_window = nullptr;
    }
    if (editor->realized) window_view_unrealize(editor->view);
    window_view_free(editor->view);
    --g_editor_count;
    if (g_editor_count <= 0) {
        window_world_free(g_world);
        g_world = nullptr;
        g_editor_count = 0;
    }
    std::free(editor);
}

bool editor_set_parent(editor_state* editor, uintptr_t parent) {
    if (editor->realized) return true;
    window_view_set_parent(editor->view, parent);
    window_status status = window_view_realize(editor->view);
    if (status != WINDOW_SUCCESS) {
        window_view_set_hint(editor->view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_COMPATIBILITY);
        status = window_view_realize(editor->view);
    }
    char message[160];
    if (status != WINDOW_SUCCESS) {
        std::snprintf(message, sizeof message, "Lodrin: no OpenGL 3.2 context (%s)", window_strerror(status));
        show_fallback(editor, parent, message, status);
        return true;
    }
    if (!editor->vg) {
        show_fallback(editor, parent, "Lodrin: OpenGL context up but GL3 init failed", status);
        return true;
    }
    if (editor->host_scale <= 0.0) {
        const double s = window_view_scale_factor(editor->view);
        if (s > 0.0 && std::fabs(s - 1.0) > 0.01) {
            editor_set_scale(editor, s);
            uint32_t w = 0, h = 0;
            editor_window_size(editor_effective_zoom(instance_zoom(editor)), s, &w, &h);
            if (editor->realized && editor->width > 0 && editor->height > 0 &&
                near_size(editor->width, editor->height, w, h)) {
                w = editor->width;
                h = editor->height;
            }
            host_request_resize(editor, w, h);
        }
    }
    return true;
}

bool editor_show(editor_state* editor) {
    if (editor->realized) return window_view_show(editor->view) == WINDOW_SUCCESS;
    return editor->fallback_window != nullptr;
}

bool editor_hide(editor_state* editor) {
    if (editor->realized) return window_view_hide(editor->view) == WINDOW_SUCCESS;
    return editor->fallback_window != nullptr;
}

void editor_pump_world() {
    if (g_world) window_world_update(g_world, 0.0);
}

int editor_world_fd() {
    return g_world ? window_world_fd(g_world) : -1;
}

int32_t editor_open_count() {
    return g_editor_count;
}

double editor_world_time() {
    return g_world ? window_world_time(g_world) : 0.0;
}

window_status editor_on_event(window_view* view, const window_event* event) {
    editor_state* editor = editor_of(view);
    if (!editor || !event) return WINDOW_SUCCESS;
    const double s = ui_scale(editor);
    switch (event->type) {
        case WINDOW_EVENT_REALIZE:
            on_realize(editor);
            break;
        case WINDOW_EVENT_UNREALIZE:
            on_unrealize(editor);
            break;
        case WINDOW_EVENT_CONFIGURE:
            editor->width = event->configure.width;
            editor->height = event->configure.height;
            break;
        case WINDOW_EVENT_EXPOSE:
            editor_render_frame(editor);
            if (editor->frame_delay_ms) sleep_ms(editor->frame_delay_ms);
            break;
        case WINDOW_EVENT_TIMER:
            if (event->timer.id == REDRAW_TIMER) redraw_tick(editor);
            break;
        case WINDOW_EVENT_KEY_PRESS:
            editor_on_key_press(editor, translate_key(event->key.key), translate_mods(event->key.state));
            break;
        case WINDOW_EVENT_TEXT:
            editor_on_text(editor, event->text.character, translate_mods(event->text.state));
            break;
        case WINDOW_EVENT_POINTER_OUT:
            editor_on_pointer_out(editor);
            break;
        case WINDOW_EVENT_BUTTON_PRESS:
            if (event->button.button == 0) {
                editor_refresh_group(editor);
                editor_on_button_press(editor, event->button.x / s, event->button.y / s, event->button.time,
                                       (event->button.state & (WINDOW_MOD_CTRL | WINDOW_MOD_ALT)) != 0);
            }
            break;
        case WINDOW_EVENT_BUTTON_RELEASE:
            if (event->button.button == 0) editor_on_button_release(editor);
            break;
        case WINDOW_EVENT_MOTION:
            editor_on_motion(editor, event->motion.x / s, event->motion.y / s,
                             (event->motion.state & WINDOW_MOD_SHIFT) != 0);
            break;
        case WINDOW_EVENT_SCROLL:
            editor_refresh_group(editor);
            editor_on_scroll(editor, event->scroll.x / s, event->scroll.y / s, event->scroll.dy);
            break;
        default:
            break;
    }
    return WINDOW_SUCCESS;
}

void instance_log(plugin_instance* instance, int32_t severity, const char* text) {
    if (instance && instance->host_log && instance->host_log->log)
        instance->host_log->log(instance->host, static_cast<clap_log_severity>(severity), text);
}

int32_t gl_load_functions() {
    return gl_load_functions_from(window_gl_get_proc_address);
}

// ---- Debug entry points -----------------------------------------------------------------------

void editor_request_dump(editor_state* editor, const char* path) {
    if (!path) return;
    std::snprintf(editor->dump_path, sizeof editor->dump_path, "%s", path);
    editor->dump_requested = 1;
}

uint32_t editor_probe_pixel(const editor_state* editor, uint8_t rgb[3]) {
    if (!editor->probe_taken) return 0;
    if (rgb) std::memcpy(rgb, editor->probe_rgb, 3);
    return 1;
}

int32_t editor_probe_read(const editor_state* editor, void* header, void* records, int32_t max) {
    if (!editor->probe_valid || editor->graph_frame == 0) return 0;
    if (header) std::memcpy(header, &editor->probe_header, sizeof editor->probe_header);
    int32_t n = editor->probe_record_count;
    if (n > GRAPH_MAX_COLUMNS) n = GRAPH_MAX_COLUMNS;
    if (n > max) n = max;
    if (n < 0) n = 0;
    if (records && n >= 1) std::memcpy(records, editor->probe_records, sizeof(graph_probe_record) * n);
    return n;
}

namespace {

bool selector_matches(const editor_state* editor, const hit_entry& e, uint32_t selector, int32_t n) {
    switch (selector) {
        case 0:
            return e.kind == WIDGET_STAGE && e.index >= 0 && e.index < editor->group_count &&
                   editor->group[e.index].position == n;
        case 1:
            return e.kind == WIDGET_GAIN_FADER;
        case 2:
            return e.kind == WIDGET_KNOB && e.sub == PARAM_CEILING;
        case 3:
            return e.kind == WIDGET_CHAIN_MODE;
        case 4:
            return e.kind == WIDGET_GRID;
        case 5:
            return e.kind == WIDGET_AB;
        case 6:
            return e.kind == WIDGET_COPY;
        case 7:
            return e.kind == WIDGET_STYLE;
        case 8:
            return e.kind == WIDGET_MENU_ROW && e.sub == n;
        case 9:
            return e.kind == WIDGET_UNDO;
        case 10:
            return e.kind == WIDGET_REDO;
        case 11:
            return e.kind == WIDGET_PRESET_MENU;
        case 12:
            return e.kind == WIDGET_MENU_ROW && e.index == PRESET_ACTION_SAVE_STAGE;
        case 13:
            return e.kind == WIDGET_MENU_ROW && e.index == PRESET_ACTION_USER && e.sub - PRESET_USER_FIRST == n;
        case 14:
            return e.kind == WIDGET_MENU_ROW && e.index == PRESET_ACTION_DELETE;
        case 15:
            return e.kind == WIDGET_RESIZE_GRIP;
        case 17:
            return e.kind == WIDGET_ABOUT && e.sub == n;
        case 18:
            return e.kind == WIDGET_GAIN_TO_TARGET;
        case 19:
            return e.kind == WIDGET_KNOB && e.sub == n;
        case 20:
            return e.kind == WIDGET_SWITCH && e.sub == n;
        default:
            return false;
    }
}

} // namespace

uint32_t editor_find_widget_rect(const editor_state* editor, uint32_t selector, int32_t n, float rect[4]) {
    int32_t count = editor->hit_count;
    if (count > HIT_LIST_CAPACITY) count = HIT_LIST_CAPACITY;
    const double s = ui_scale(editor);
    for (int32_t i = 0; i < count; ++i) {
        const hit_entry& e = editor->hits[i];
        if (!selector_matches(editor, e, selector, n)) continue;
        if (rect) {
            rect[0] = static_cast<float>(e.x * s);
            rect[1] = static_cast<float>(e.y * s);
            rect[2] = static_cast<float>(e.w * s);
            rect[3] = static_cast<float>(e.h * s);
        }
        return 1;
    }
    return 0;
}
