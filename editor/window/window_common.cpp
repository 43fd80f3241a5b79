// The parts of the window layer that no port changes: status texts, resource counts, the switch that
// forces OpenGL failures, and the accessors that read only the common head of a world or view.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window_port.h"

window_resource_counts g_window_counts = {};

const char* window_strerror(window_status status) {
  switch (status) {
    case WINDOW_SUCCESS: return "Success";
    case WINDOW_FAILURE: return "Non-fatal failure";
    case WINDOW_BAD_PARAMETER: return "Invalid parameter";
    case WINDOW_BAD_CONFIGURATION: return "Invalid configuration";
    case WINDOW_BACKEND_FAILED: return "Backend initialisation failed";
    case WINDOW_REGISTRATION_FAILED: return "Class registration failed";
    case WINDOW_REALIZE_FAILED: return "View creation failed";
    case WINDOW_CREATE_CONTEXT_FAILED: return "Failed to create drawing context";
    case WINDOW_SET_FORMAT_FAILED: return "Failed to set pixel format";
    case WINDOW_NO_MEMORY: return "Failed to allocate memory";
    case WINDOW_UNSUPPORTED: return "Unsupported operation";
  }
  return "Unknown error";
}

window_resource_counts window_live_resources(void) { return g_window_counts; }

int window_forced_gl_failure(void) {
  const char* v = std::getenv("LODRIN_FORCE_NO_GL");
  if (v == nullptr || v[0] == '\0' || std::strcmp(v, "0") == 0) return 0;
  return std::strcmp(v, "core") == 0 ? 1 : 2;
}

bool window_gl_refused(int32_t profile) {
  const int forced = window_forced_gl_failure();
  return forced == 2 || (forced == 1 && profile == WINDOW_PROFILE_CORE);
}

// ---------------------------------------------------------------------------------------------------
// Accessors of the common head

void window_view_head_init(window_view_head* view, window_world* world) {
  view->world = world;
  view->hints[WINDOW_CONTEXT_VERSION_MAJOR] = 3;
  view->hints[WINDOW_CONTEXT_VERSION_MINOR] = 2;
  view->hints[WINDOW_CONTEXT_PROFILE] = WINDOW_PROFILE_CORE;
  view->hints[WINDOW_DOUBLE_BUFFER] = 1;
  view->hints[WINDOW_STENCIL_BITS] = 8;
  view->hints[WINDOW_DEPTH_BITS] = 0;
  view->hints[WINDOW_SWAP_INTERVAL] = 0;
  view->hints[WINDOW_RESIZABLE] = 1;
}

const char* window_world_class_name(const window_world* world) {
  return window_port_world(world)->class_name;
}

window_world* window_view_world(const window_view* view) { return window_port_view(view)->world; }
void window_view_set_handle(window_view* view, void* handle) { window_port_view(view)->handle = handle; }
void* window_view_get_handle(const window_view* view) { return window_port_view(view)->handle; }
void window_view_set_event_func(window_view* view, window_event_func func) {
  window_port_view(view)->func = func;
}

window_status window_view_set_hint(window_view* view, window_hint hint, int32_t value) {
  if (view == nullptr || hint < 0 || hint >= WINDOW_N_HINTS) return WINDOW_BAD_PARAMETER;
  window_port_view(view)->hints[hint] = value;
  return WINDOW_SUCCESS;
}

int32_t window_view_get_hint(const window_view* view, window_hint hint) {
  if (view == nullptr || hint < 0 || hint >= WINDOW_N_HINTS) return -1;
  return window_port_view(view)->hints[hint];
}

window_status window_view_set_title(window_view* view, const char* title) {
  if (view == nullptr || title == nullptr) return WINDOW_BAD_PARAMETER;
  window_view_head* v = window_port_view(view);
  std::snprintf(v->title, sizeof v->title, "%s", title);
  window_port_title_changed(view);
  return WINDOW_SUCCESS;
}

window_status window_view_set_size_hint(window_view* view, window_size_hint which, uint32_t width,
                                        uint32_t height) {
  if (view == nullptr || width == 0 || height == 0) return WINDOW_BAD_PARAMETER;
  window_view_head* v = window_port_view(view);
  if (which == WINDOW_DEFAULT_SIZE) {
    v->default_w = width;
    v->default_h = height;
    return WINDOW_SUCCESS;
  }
  if (which != WINDOW_CURRENT_SIZE) return WINDOW_BAD_PARAMETER;
  v->current_w = width;
  v->current_h = height;
  return window_port_resize(view, width, height);
}

void window_view_get_size_hint(const window_view* view, window_size_hint which, uint32_t* width,
                               uint32_t* height) {
  const window_view_head* v = window_port_view(view);
  const bool current = which == WINDOW_CURRENT_SIZE;
  if (width) *width = current ? v->current_w : v->default_w;
  if (height) *height = current ? v->current_h : v->default_h;
}

window_status window_view_set_parent(window_view* view, uintptr_t parent) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  window_view_head* v = window_port_view(view);
  if (v->realized) return WINDOW_UNSUPPORTED;
  v->parent = parent;
  return WINDOW_SUCCESS;
}

uintptr_t window_view_get_parent(const window_view* view) { return window_port_view(view)->parent; }

int window_view_is_realized(const window_view* view) {
  const window_view_head* v = window_port_view(view);
  return v && v->realized ? 1 : 0;
}

int window_view_is_visible(const window_view* view) {
  const window_view_head* v = window_port_view(view);
  return v && v->visible ? 1 : 0;
}

void window_view_last_frame(const window_view* view, double* seconds, double* end_time) {
  const window_view_head* v = window_port_view(view);
  if (seconds) *seconds = v ? v->frame_seconds : 0.0;
  if (end_time) *end_time = v ? v->frame_end : 0.0;
}

// ---------------------------------------------------------------------------------------------------
// Event helpers

void window_send(window_view* view, const window_event& event) {
  const window_view_head* v = window_port_view(view);
  if (v->func != nullptr) v->func(view, &event);
}

int window_utf8_encode(uint32_t c, char out[8]) {
  int n = 0;
  if (c < 0x80) {
    out[n++] = char(c);
  } else if (c < 0x800) {
    out[n++] = char(0xc0 | (c >> 6));
    out[n++] = char(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out[n++] = char(0xe0 | (c >> 12));
    out[n++] = char(0x80 | ((c >> 6) & 0x3f));
    out[n++] = char(0x80 | (c & 0x3f));
  } else {
    out[n++] = char(0xf0 | (c >> 18));
    out[n++] = char(0x80 | ((c >> 12) & 0x3f));
    out[n++] = char(0x80 | ((c >> 6) & 0x3f));
    out[n++] = char(0x80 | (c & 0x3f));
  }
  out[n] = '\0';
  return n;
}
