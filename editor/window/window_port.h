// What every port of the window layer shares: the resource counters, the forced-failure switch and the
// port-independent head of the world and view records, with the accessors of window.h that read only it.
// Each port (window_x11.cpp, window_win32.cpp) defines every function of window.h not defined in
// window_common.cpp.
#pragma once

#include "window.h"

// The process-wide counters behind window_live_resources; ports add and subtract as they create and
// destroy native objects. [main-thread]
extern window_resource_counts g_window_counts;

// What LODRIN_FORCE_NO_GL asks for: 0 nothing, 1 refuse core-profile contexts only, 2 refuse all.
// Read at every call so a test can change it between realizes. [main-thread]
int window_forced_gl_failure(void);

// Whether a context with this profile must be refused by the forced-failure switch. [main-thread]
bool window_gl_refused(int32_t profile);

// The part of a world every port keeps: the name its window classes derive from.
struct window_world_head {
  char class_name[64];
};

// The part of a view every port keeps: the owner's handle and callback, the hints, the title, the sizes
// and the parent asked for, and whether the native window exists and shows. Each port's window_view
// derives from it; records are zero-filled at creation.
struct window_view_head {
  window_world* world;
  void* handle;
  window_event_func func;
  int32_t hints[WINDOW_N_HINTS];
  char title[256];
  uint32_t default_w, default_h;
  uint32_t current_w, current_h;
  uintptr_t parent;
  bool realized;
  bool visible;
  double frame_seconds;  // the last frame, from the start of its pass or paint to the end of the swap
  double frame_end;      // world time at which it ended
};

// Fills a zeroed view head for a new view of `world`: the world and the default hints (an OpenGL 3.2
// core context, double-buffered, 8 stencil bits, no depth buffer, no vsync, resizable). [main-thread]
void window_view_head_init(window_view_head* view, window_world* world);

// The head of a port's record (null stays null). Each port defines these. [main-thread]
window_world_head* window_port_world(window_world* world);
const window_world_head* window_port_world(const window_world* world);
window_view_head* window_port_view(window_view* view);
const window_view_head* window_port_view(const window_view* view);

// Shows the view's new title on its native window, when there is one. Each port defines it. [main-thread]
void window_port_title_changed(window_view* view);

// Gives the native window, when there is one, the current size just stored in the head; the result
// of window_view_set_size_hint for WINDOW_CURRENT_SIZE. Each port defines it. [main-thread]
window_status window_port_resize(window_view* view, uint32_t width, uint32_t height);

// Hands an event to the view's callback, if it has one. [main-thread]
void window_send(window_view* view, const window_event& event);

// Writes code point c as UTF-8 into out, NUL-terminated; returns the number of bytes (1 to 4).
// [any-thread]
int window_utf8_encode(uint32_t c, char out[8]);
