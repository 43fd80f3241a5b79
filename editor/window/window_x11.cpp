// The X11 + GLX port of the window layer. The world owns its own display connection: the host's
// connection, toolkit and error handler stay untouched, and the parent window id is valid across
// connections of one server. Nothing runs unless the host pumps the world (posix-fd and a timer), so
// timers and coalesced redraws are served from window_world_update.
#include <poll.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "window_port.h"

#ifndef GLX_CONTEXT_MAJOR_VERSION_ARB
#define GLX_CONTEXT_MAJOR_VERSION_ARB 0x2091
#define GLX_CONTEXT_MINOR_VERSION_ARB 0x2092
#endif
#ifndef GLX_CONTEXT_PROFILE_MASK_ARB
#define GLX_CONTEXT_PROFILE_MASK_ARB 0x9126
#define GLX_CONTEXT_CORE_PROFILE_BIT_ARB 0x00000001
#define GLX_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB 0x00000002
#endif

typedef GLXContext (*create_context_attribs_fn)(Display*, GLXFBConfig, GLXContext, Bool, const int*);
typedef void (*swap_interval_ext_fn)(Display*, GLXDrawable, int);
typedef int (*swap_interval_mesa_fn)(unsigned int);

namespace {

constexpr int kMaxTimers = 8;

struct view_timer {
  uintptr_t id;
  double period;
  double next;
  bool active;
};

}  // namespace

struct window_world : window_world_head {
  Display* display;
  timespec start;
  window_view* views;        // singly linked through window_view::next
  window_message* messages;  // singly linked through window_message::next
};

struct window_view : window_view_head {
  window_view* next;
  uint32_t reported_w, reported_h;  // the size of the last configure event sent
  int32_t x, y;

  Window win;
  Colormap colormap;
  GLXContext context;
  bool window_gone;  // destroyed with its parent: the id must not be used again
  bool redraw;
  bool fully_obscured;  // the server's last VisibilityNotify said so
  view_timer timers[kMaxTimers];
};

struct window_message {
  window_world* world;
  window_message* next;
  Window win;
  GC gc;
  XFontStruct* font;  // null: the GC's default font
  char text[1024];
};

// ---------------------------------------------------------------------------------------------------
// X error trap. Xlib reports errors asynchronously through one process-wide handler whose default
// exits the process; every request that can fail on a foreign or vanished window runs between
// trap_begin and trap_end, which sync the connection so the errors land inside the trap.

static int g_trapped_error = 0;

static int trap_handler(Display*, XErrorEvent* e) {
  if (g_trapped_error == 0) g_trapped_error = e->error_code == 0 ? 1 : e->error_code;
  return 0;
}

typedef int (*x_error_handler)(Display*, XErrorEvent*);

static x_error_handler trap_begin(Display* d) {
  XSync(d, False);
  g_trapped_error = 0;
  return XSetErrorHandler(trap_handler);
}

static int trap_end(Display* d, x_error_handler old) {
  XSync(d, False);
  XSetErrorHandler(old);
  return g_trapped_error;
}

// ---------------------------------------------------------------------------------------------------
// World

static double seconds_since(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) * 1e-9;
}

window_world* window_world_new(const char* class_name) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  window_world* world = static_cast<window_world*>(std::calloc(1, sizeof(window_world)));
  if (world == nullptr) {
    XCloseDisplay(display);
    return nullptr;
  }
  std::snprintf(world->class_name, sizeof world->class_name, "%s", class_name ? class_name : "");
  world->display = display;
  clock_gettime(CLOCK_MONOTONIC, &world->start);
  ++g_window_counts.worlds;
  return world;
}

void window_world_free(window_world* world) {
  if (world == nullptr) return;
  // Views or message windows still alive would keep ids on a closed connection: free them first.
  while (world->views != nullptr) window_view_free(world->views);
  while (world->messages != nullptr) window_message_free(world->messages);
  XCloseDisplay(world->display);
  std::free(world);
  --g_window_counts.worlds;
}

double window_world_time(const window_world* world) { return seconds_since(world->start); }

int window_world_fd(const window_world* world) { return ConnectionNumber(world->display); }

void* window_world_native(const window_world* world) { return world->display; }

// The common head of this port's records (window_port.h).
window_world_head* window_port_world(window_world* world) { return world; }
const window_world_head* window_port_world(const window_world* world) { return world; }
window_view_head* window_port_view(window_view* view) { return view; }
const window_view_head* window_port_view(const window_view* view) { return view; }

// ---------------------------------------------------------------------------------------------------
// Events

static bool make_current(window_view* view) {
  if (view->window_gone || view->context == nullptr) return false;
  return glXMakeCurrent(view->world->display, view->win, view->context) == True;
}

static uint32_t mods_of(unsigned int state) {
  uint32_t m = 0;
  if (state & ShiftMask) m |= WINDOW_MOD_SHIFT;
  if (state & ControlMask) m |= WINDOW_MOD_CTRL;
  if (state & Mod1Mask) m |= WINDOW_MOD_ALT;
  if (state & Mod4Mask) m |= WINDOW_MOD_SUPER;
  return m;
}

// The character a keysym stands for: Latin-1 keysyms are their code points, 0x01000000 + u is U+u.
static uint32_t keysym_char(KeySym sym) {
  if ((sym >= 0x20 && sym <= 0x7e) || (sym >= 0xa0 && sym <= 0xff)) return uint32_t(sym);
  if ((sym & 0xff000000) == 0x01000000) return uint32_t(sym & 0x00ffffff);
  return 0;
}

static uint32_t key_of(KeySym sym) {
  switch (sym) {
    case XK_BackSpace: return WINDOW_KEY_BACKSPACE;
    case XK_Tab: case XK_ISO_Left_Tab: return WINDOW_KEY_TAB;
    case XK_Return: case XK_KP_Enter: return WINDOW_KEY_ENTER;
    case XK_Escape: return WINDOW_KEY_ESCAPE;
    case XK_Delete: case XK_KP_Delete: return WINDOW_KEY_DELETE;
    case XK_Left: case XK_KP_Left: return WINDOW_KEY_LEFT;
    case XK_Right: case XK_KP_Right: return WINDOW_KEY_RIGHT;
    case XK_Up: case XK_KP_Up: return WINDOW_KEY_UP;
    case XK_Down: case XK_KP_Down: return WINDOW_KEY_DOWN;
    case XK_Page_Up: case XK_KP_Page_Up: return WINDOW_KEY_PAGE_UP;
    case XK_Page_Down: case XK_KP_Page_Down: return WINDOW_KEY_PAGE_DOWN;
    case XK_Home: case XK_KP_Home: return WINDOW_KEY_HOME;
    case XK_End: case XK_KP_End: return WINDOW_KEY_END;
    case XK_Insert: case XK_KP_Insert: return WINDOW_KEY_INSERT;
    case XK_Shift_L: case XK_Shift_R: return WINDOW_KEY_SHIFT;
    case XK_Control_L: case XK_Control_R: return WINDOW_KEY_CTRL;
    case XK_Alt_L: case XK_Alt_R: case XK_Meta_L: case XK_Meta_R: return WINDOW_KEY_ALT;
    case XK_Super_L: case XK_Super_R: return WINDOW_KEY_SUPER;
    default: break;
  }
  if (sym >= XK_F1 && sym <= XK_F12) return WINDOW_KEY_F1 + uint32_t(sym - XK_F1);
  return keysym_char(sym);
}

// An input event's own time in seconds: the server's timestamp (milliseconds, wrapping at 2^32), so
// that two clicks keep their distance however late the client handles them.
static double event_seconds(Time t) { return double(uint32_t(t)) / 1000.0; }

static void on_key_press(window_view* view, XKeyEvent* xkey) {
  const double now = event_seconds(xkey->time);
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.key.type = WINDOW_EVENT_KEY_PRESS;
  ev.key.key = key_of(XLookupKeysym(xkey, 0));  // column 0: the unshifted symbol
  if (ev.key.key >= 'A' && ev.key.key <= 'Z') ev.key.key += 'a' - 'A';
  ev.key.keycode = xkey->keycode;
  ev.key.state = mods_of(xkey->state);
  ev.key.time = now;
  window_send(view, ev);

  // XLookupString applies the layout, Shift and the Ctrl mapping (Ctrl+Z gives 26); its bytes are
  // Latin-1. Symbols beyond Latin-1 come back without bytes and are taken from the keysym.
  char buf[16];
  KeySym sym = NoSymbol;
  const int n = XLookupString(xkey, buf, sizeof buf, &sym, nullptr);
  uint32_t c = n == 1 ? uint32_t(static_cast<unsigned char>(buf[0])) : n == 0 ? keysym_char(sym) : 0;
  if (c == 0 || c == 127) return;  // Delete stays a key: no platform types a character for it
  std::memset(&ev, 0, sizeof ev);
  ev.text.type = WINDOW_EVENT_TEXT;
  ev.text.character = c;
  window_utf8_encode(c, ev.text.utf8);
  ev.text.state = mods_of(xkey->state);
  ev.text.time = now;
  window_send(view, ev);
}

static void on_button(window_view* view, XButtonEvent* xb, bool press) {
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  const double now = event_seconds(xb->time);
  const uint32_t state = mods_of(xb->state);
  if (xb->button >= 4 && xb->button <= 7) {
    if (!press) return;  // the wheel sends a press and a release per notch: one notch, one event
    ev.scroll.type = WINDOW_EVENT_SCROLL;
    ev.scroll.x = xb->x;
    ev.scroll.y = xb->y;
    ev.scroll.dy = xb->button == 4 ? 1.0 : xb->button == 5 ? -1.0 : 0.0;
    ev.scroll.dx = xb->button == 6 ? -1.0 : xb->button == 7 ? 1.0 : 0.0;
    ev.scroll.state = state;
    ev.scroll.time = now;
    window_send(view, ev);
    return;
  }
  ev.button.type = press ? WINDOW_EVENT_BUTTON_PRESS : WINDOW_EVENT_BUTTON_RELEASE;
  // X numbers left 1, middle 2, right 3, then the wheel 4..7 and extra buttons from 8.
  ev.button.button = xb->button == 1 ? 0 : xb->button == 2 ? 2 : xb->button == 3 ? 1 : xb->button - 5;
  ev.button.x = xb->x;
  ev.button.y = xb->y;
  ev.button.state = state;
  ev.button.time = now;
  window_send(view, ev);
}

static void dispatch_view(window_view* view, XEvent* xe) {
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  switch (xe->type) {
    case Expose:
      view->redraw = true;
      break;
    case ConfigureNotify: {
      const XConfigureEvent& c = xe->xconfigure;
      if (uint32_t(c.width) == view->reported_w && uint32_t(c.height) == view->reported_h &&
          c.x == view->x && c.y == view->y)
        break;
      view->current_w = view->reported_w = uint32_t(c.width);
      view->current_h = view->reported_h = uint32_t(c.height);
      view->x = c.x;
      view->y = c.y;
      ev.configure = {WINDOW_EVENT_CONFIGURE, c.x, c.y, view->current_w, view->current_h};
      window_send(view, ev);
      view->redraw = true;
      break;
    }
    case VisibilityNotify:
      view->fully_obscured = xe->xvisibility.state == VisibilityFullyObscured;
      break;
    case DestroyNotify:
      if (xe->xdestroywindow.window == view->win) {
        view->window_gone = true;
        view->visible = false;
      }
      break;
    case KeyPress:
      on_key_press(view, &xe->xkey);
      break;
    case ButtonPress:
    case ButtonRelease:
      on_button(view, &xe->xbutton, xe->type == ButtonPress);
      break;
    case MotionNotify:
      ev.motion.type = WINDOW_EVENT_MOTION;
      ev.motion.x = xe->xmotion.x;
      ev.motion.y = xe->xmotion.y;
      ev.motion.state = mods_of(xe->xmotion.state);
      ev.motion.time = event_seconds(xe->xmotion.time);
      window_send(view, ev);
      break;
    case LeaveNotify:
      if (xe->xcrossing.detail == NotifyInferior) break;  // into a child of ours: still inside
      ev.crossing.type = WINDOW_EVENT_POINTER_OUT;
      ev.crossing.x = xe->xcrossing.x;
      ev.crossing.y = xe->xcrossing.y;
      ev.crossing.state = mods_of(xe->xcrossing.state);
      ev.crossing.time = event_seconds(xe->xcrossing.time);
      window_send(view, ev);
      break;
    default:
      break;
  }
}

static void draw_message(window_message* m);

static void dispatch(window_world* world, XEvent* xe) {
  for (window_view* v = world->views; v != nullptr; v = v->next) {
    if (v->realized && v->win == xe->xany.window) {
      dispatch_view(v, xe);
      return;
    }
  }
  for (window_message* m = world->messages; m != nullptr; m = m->next) {
    if (m->win == xe->xany.window) {
      if (xe->type == Expose && xe->xexpose.count == 0) draw_message(m);
      if (xe->type == DestroyNotify) m->win = 0;  // gone with its parent
      return;
    }
  }
}

// A frame's cost counts from `start`, the beginning of the pass that drew it: the events and timers
// served before it belong to the work the host gave that pass.
static void expose(window_view* view, double start) {
  view->redraw = false;
  // The host may have destroyed the parent, and this window with it, before the destroy event
  // arrived: the frame's requests then fail inside the trap, and the window counts as gone.
  Display* d = view->world->display;
  x_error_handler old = trap_begin(d);
  if (make_current(view)) {
    window_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.expose = {WINDOW_EVENT_EXPOSE, 0, 0, view->current_w, view->current_h};
    window_send(view, ev);
    glXSwapBuffers(d, view->win);
  }
  if (trap_end(d, old) != 0) view->window_gone = true;
  view->frame_end = window_world_time(view->world);
  view->frame_seconds = view->frame_end - start;
}

static double next_timer_due(const window_world* world) {
  double due = HUGE_VAL;
  for (const window_view* v = world->views; v != nullptr; v = v->next)
    for (const view_timer& t : v->timers)
      if (t.active && t.next < due) due = t.next;
  return due;
}

window_status window_world_update(window_world* world, double timeout) {
  if (world == nullptr) return WINDOW_BAD_PARAMETER;
  Display* d = world->display;
  if (timeout > 0.0 && XPending(d) == 0) {
    bool redraw_due = false;
    for (window_view* v = world->views; v != nullptr; v = v->next) redraw_due |= v->redraw && v->visible;
    if (!redraw_due) {
      const double wait = std::fmin(timeout, next_timer_due(world) - window_world_time(world));
      if (wait > 0.0) {
        pollfd p = {ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, int(std::ceil(wait * 1000.0)));
      }
    }
  }

  // XPending also reads what the socket holds, so one call drains what arrived up to now.
  const double pass_start = window_world_time(world);
  int pending = XPending(d);
  while (pending-- > 0) {
    XEvent xe;
    XNextEvent(d, &xe);
    dispatch(world, &xe);
    if (pending == 0) pending = XQLength(d);
  }

  const double now = window_world_time(world);
  for (window_view* v = world->views; v != nullptr;) {
    window_view* next = v->next;  // an event function may free its view
    for (view_timer& t : v->timers) {
      if (!t.active || now < t.next) continue;
      // A late pass fires once and realigns instead of firing a burst of missed ticks.
      t.next += t.period;
      if (t.next <= now) t.next = now + t.period;
      window_event ev;
      std::memset(&ev, 0, sizeof ev);
      ev.timer = {WINDOW_EVENT_TIMER, t.id};
      window_send(v, ev);
      break;
    }
    v = next;
  }
  for (window_view* v = world->views; v != nullptr;) {
    window_view* next = v->next;
    if (v->redraw && v->visible) expose(v, pass_start);
    v = next;
  }
  XFlush(d);
  return WINDOW_SUCCESS;
}

// ---------------------------------------------------------------------------------------------------
// View

window_view* window_view_new(window_world* world) {
  if (world == nullptr) return nullptr;
  window_view* view = static_cast<window_view*>(std::calloc(1, sizeof(window_view)));
  if (view == nullptr) return nullptr;
  window_view_head_init(view, world);
  view->next = world->views;
  world->views = view;
  ++g_window_counts.views;
  return view;
}

void window_view_free(window_view* view) {
  if (view == nullptr) return;
  if (view->realized) window_view_unrealize(view);
  for (window_view** p = &view->world->views; *p != nullptr; p = &(*p)->next) {
    if (*p == view) {
      *p = view->next;
      break;
    }
  }
  std::free(view);
  --g_window_counts.views;
}

void window_port_title_changed(window_view* view) {
  if (view->realized && !view->window_gone) {
    Display* d = view->world->display;
    x_error_handler old = trap_begin(d);
    XStoreName(d, view->win, view->title);
    if (trap_end(d, old) != 0) view->window_gone = true;
  }
}

window_status window_port_resize(window_view* view, uint32_t width, uint32_t height) {
  if (view->realized && !view->window_gone) {
    Display* d = view->world->display;
    x_error_handler old = trap_begin(d);
    XResizeWindow(d, view->win, width, height);
    if (trap_end(d, old) != 0) return WINDOW_FAILURE;
    view->redraw = true;
  }
  return WINDOW_SUCCESS;
}

static bool has_extension(const char* list, const char* name) {
  if (list == nullptr) return false;
  const size_t n = std::strlen(name);
  for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += n)
    if ((p == list || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
  return false;
}

static GLXContext create_context(window_view* view, GLXFBConfig config) {
  Display* d = view->world->display;
  const int screen = DefaultScreen(d);
  const char* exts = glXQueryExtensionsString(d, screen);
  const int32_t profile = view->hints[WINDOW_CONTEXT_PROFILE];
  const int major = view->hints[WINDOW_CONTEXT_VERSION_MAJOR];
  const int minor = view->hints[WINDOW_CONTEXT_VERSION_MINOR];
  auto create_attribs = reinterpret_cast<create_context_attribs_fn>(
      glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXCreateContextAttribsARB")));
  if (!has_extension(exts, "GLX_ARB_create_context")) create_attribs = nullptr;
  const bool profiles = has_extension(exts, "GLX_ARB_create_context_profile");

  GLXContext ctx = nullptr;
  x_error_handler old = trap_begin(d);
  if (create_attribs != nullptr && (profiles || profile != WINDOW_PROFILE_CORE)) {
    const int attribs[] = {
        GLX_CONTEXT_MAJOR_VERSION_ARB, major,
        GLX_CONTEXT_MINOR_VERSION_ARB, minor,
        GLX_CONTEXT_PROFILE_MASK_ARB,
        profile == WINDOW_PROFILE_CORE ? GLX_CONTEXT_CORE_PROFILE_BIT_ARB
                                       : GLX_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB,
        None};
    // Without the profile extension the mask is not understood: drop it (a legacy context is one of
    // the compatibility profile).
    const int legacy_attribs[] = {GLX_CONTEXT_MAJOR_VERSION_ARB, major, GLX_CONTEXT_MINOR_VERSION_ARB,
                                  minor, None};
    ctx = create_attribs(d, config, nullptr, True, profiles ? attribs : legacy_attribs);
  } else if (profile != WINDOW_PROFILE_CORE) {
    ctx = glXCreateNewContext(d, config, GLX_RGBA_TYPE, nullptr, True);
  }
  if (trap_end(d, old) != 0 && ctx != nullptr) {
    glXDestroyContext(d, ctx);
    ctx = nullptr;
  }
  return ctx;
}

// The version a context really gives, "major.minor" from GL_VERSION; the context must be current.
static bool version_at_least(int major, int minor) {
  const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  int ma = 0, mi = 0;
  if (v == nullptr || std::sscanf(v, "%d.%d", &ma, &mi) != 2) return false;
  return ma > major || (ma == major && mi >= minor);
}

static void destroy_native(window_view* view) {
  Display* d = view->world->display;
  x_error_handler old = trap_begin(d);
  if (view->context != nullptr) {
    glXMakeCurrent(d, None, nullptr);
    glXDestroyContext(d, view->context);
    view->context = nullptr;
    --g_window_counts.gl_contexts;
  }
  if (view->win != 0) {
    if (!view->window_gone) XDestroyWindow(d, view->win);
    view->win = 0;
    --g_window_counts.native_windows;
  }
  if (view->colormap != 0) {
    XFreeColormap(d, view->colormap);
    view->colormap = 0;
    --g_window_counts.other;
  }
  trap_end(d, old);
  view->window_gone = false;
}

window_status window_view_realize(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (view->realized) return WINDOW_UNSUPPORTED;
  if (view->current_w == 0 || view->current_h == 0) {
    view->current_w = view->default_w;
    view->current_h = view->default_h;
  }
  if (view->current_w == 0 || view->current_h == 0) return WINDOW_BAD_CONFIGURATION;
  if (window_gl_refused(view->hints[WINDOW_CONTEXT_PROFILE])) return WINDOW_CREATE_CONTEXT_FAILED;

  Display* d = view->world->display;
  const int screen = DefaultScreen(d);
  int error_base = 0, event_base = 0;
  if (!glXQueryExtension(d, &error_base, &event_base)) return WINDOW_BACKEND_FAILED;

  const int fb_attribs[] = {GLX_X_RENDERABLE, True,
                            GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT,
                            GLX_RENDER_TYPE, GLX_RGBA_BIT,
                            GLX_X_VISUAL_TYPE, GLX_TRUE_COLOR,
                            GLX_RED_SIZE, 8,
                            GLX_GREEN_SIZE, 8,
                            GLX_BLUE_SIZE, 8,
                            GLX_DOUBLEBUFFER, view->hints[WINDOW_DOUBLE_BUFFER] ? True : False,
                            GLX_STENCIL_SIZE, view->hints[WINDOW_STENCIL_BITS],
                            GLX_DEPTH_SIZE, view->hints[WINDOW_DEPTH_BITS],
                            None};
  int n_configs = 0;
  GLXFBConfig* configs = glXChooseFBConfig(d, screen, fb_attribs, &n_configs);
  if (configs == nullptr || n_configs == 0) {
    if (configs) XFree(configs);
    return WINDOW_BAD_CONFIGURATION;
  }
  // The server sorts deeper depth buffers first; take the config closest to the hints instead, with
  // a visual of the screen's depth (a child of another depth would need its own border and colormap
  // handling in every parent) and without multisampling.
  GLXFBConfig config = nullptr;
  XVisualInfo* vi = nullptr;
  long best = -1;
  for (int i = 0; i < n_configs; ++i) {
    XVisualInfo* cand = glXGetVisualFromFBConfig(d, configs[i]);
    if (cand == nullptr) continue;
    int depth = 0, stencil = 0, samples = 0;
    glXGetFBConfigAttrib(d, configs[i], GLX_DEPTH_SIZE, &depth);
    glXGetFBConfigAttrib(d, configs[i], GLX_STENCIL_SIZE, &stencil);
    glXGetFBConfigAttrib(d, configs[i], GLX_SAMPLES, &samples);
    const long score = (cand->depth == DefaultDepth(d, screen) ? 0 : 100000) + samples * 1000L +
                       std::labs(long(depth - view->hints[WINDOW_DEPTH_BITS])) * 10 +
                       std::labs(long(stencil - view->hints[WINDOW_STENCIL_BITS]));
    if (best < 0 || score < best) {
      if (vi != nullptr) XFree(vi);
      vi = cand;
      config = configs[i];
      best = score;
    } else {
      XFree(cand);
    }
  }
  XFree(configs);
  if (vi == nullptr) return WINDOW_BAD_CONFIGURATION;

  const Window parent = view->parent != 0 ? Window(view->parent) : RootWindow(d, screen);
  x_error_handler old = trap_begin(d);
  view->colormap = XCreateColormap(d, parent, vi->visual, AllocNone);
  XSetWindowAttributes swa;
  std::memset(&swa, 0, sizeof swa);
  swa.colormap = view->colormap;
  swa.border_pixel = 0;
  swa.background_pixmap = None;
  swa.event_mask = ExposureMask | StructureNotifyMask | KeyPressMask | KeyReleaseMask |
                   ButtonPressMask | ButtonReleaseMask | PointerMotionMask | LeaveWindowMask |
                   EnterWindowMask | FocusChangeMask | VisibilityChangeMask;
  view->win = XCreateWindow(d, parent, 0, 0, view->current_w, view->current_h, 0, vi->depth,
                            InputOutput, vi->visual,
                            CWColormap | CWBorderPixel | CWBackPixmap | CWEventMask, &swa);
  XFree(vi);
  const int err = trap_end(d, old);
  if (view->colormap != 0) ++g_window_counts.other;
  if (view->win != 0) ++g_window_counts.native_windows;
  if (err != 0 || view->win == 0) {
    // BadWindow here is a parent id that does not exist on this display: the window was never made.
    view->window_gone = err != 0;
    destroy_native(view);
    return WINDOW_REALIZE_FAILED;
  }

  XStoreName(d, view->win, view->title);
  if (view->parent == 0) {
    XClassHint hint = {view->world->class_name, view->world->class_name};
    XSetClassHint(d, view->win, &hint);
    if (!view->hints[WINDOW_RESIZABLE]) {
      XSizeHints sh;
      std::memset(&sh, 0, sizeof sh);
      sh.flags = PMinSize | PMaxSize;
      sh.min_width = sh.max_width = int(view->current_w);
      sh.min_height = sh.max_height = int(view->current_h);
      XSetWMNormalHints(d, view->win, &sh);
    }
  }

  view->context = create_context(view, config);
  if (view->context == nullptr) {
    destroy_native(view);
    return WINDOW_CREATE_CONTEXT_FAILED;
  }
  ++g_window_counts.gl_contexts;
  if (!make_current(view) ||
      !version_at_least(view->hints[WINDOW_CONTEXT_VERSION_MAJOR],
                        view->hints[WINDOW_CONTEXT_VERSION_MINOR])) {
    destroy_native(view);
    return WINDOW_CREATE_CONTEXT_FAILED;
  }

  const char* exts = glXQueryExtensionsString(d, screen);
  const int interval = view->hints[WINDOW_SWAP_INTERVAL];
  if (has_extension(exts, "GLX_EXT_swap_control")) {
    auto fn = reinterpret_cast<swap_interval_ext_fn>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalEXT")));
    if (fn != nullptr) {
      old = trap_begin(d);
      fn(d, view->win, interval);
      trap_end(d, old);
    }
  } else if (has_extension(exts, "GLX_MESA_swap_control")) {
    auto fn = reinterpret_cast<swap_interval_mesa_fn>(
        glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glXSwapIntervalMESA")));
    if (fn != nullptr) fn(unsigned(interval < 0 ? 0 : interval));
  }

  view->realized = true;
  view->visible = false;
  view->fully_obscured = false;
  view->frame_seconds = view->frame_end = 0.0;
  view->x = 0;
  view->y = 0;
  view->reported_w = view->current_w;
  view->reported_h = view->current_h;
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.any.type = WINDOW_EVENT_REALIZE;
  window_send(view, ev);
  std::memset(&ev, 0, sizeof ev);
  ev.configure = {WINDOW_EVENT_CONFIGURE, 0, 0, view->current_w, view->current_h};
  window_send(view, ev);
  XFlush(d);
  return WINDOW_SUCCESS;
}

window_status window_view_unrealize(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized) return WINDOW_UNSUPPORTED;
  Display* d = view->world->display;
  x_error_handler old = trap_begin(d);
  // A window destroyed with its parent leaves the context without a drawable; contexts of OpenGL 3.0
  // and later may be current without one, so the unrealize event can still delete its objects.
  if (!make_current(view) && view->context != nullptr)
    glXMakeContextCurrent(d, None, None, view->context);
  trap_end(d, old);
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.any.type = WINDOW_EVENT_UNREALIZE;
  window_send(view, ev);
  for (view_timer& t : view->timers) t.active = false;
  destroy_native(view);
  view->realized = false;
  view->visible = false;
  view->redraw = false;
  XFlush(d);
  return WINDOW_SUCCESS;
}

window_status window_view_show(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  Display* d = view->world->display;
  x_error_handler old = trap_begin(d);
  XMapWindow(d, view->win);
  if (trap_end(d, old) != 0) {
    view->window_gone = true;
    return WINDOW_FAILURE;
  }
  view->visible = true;
  // The first frame comes with the server's expose once the window is viewable: a frame drawn before
  // would be lost, and one drawn for both would be drawn twice.
  return WINDOW_SUCCESS;
}

window_status window_view_hide(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  view->visible = false;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  // The host may destroy its window, and this child with it, before it asks for the hide: the unmap
  // then fails inside the trap, and a window that is gone is as hidden as it can be.
  Display* d = view->world->display;
  x_error_handler old = trap_begin(d);
  XUnmapWindow(d, view->win);
  if (trap_end(d, old) != 0) view->window_gone = true;
  return WINDOW_SUCCESS;
}

int window_view_is_viewable(window_view* view) {
  if (view == nullptr || !view->realized || !view->visible || view->window_gone || view->fully_obscured)
    return 0;
  Display* d = view->world->display;
  XWindowAttributes wa;
  std::memset(&wa, 0, sizeof wa);
  x_error_handler old = trap_begin(d);
  const Status ok = XGetWindowAttributes(d, view->win, &wa);
  if (trap_end(d, old) != 0 || ok == 0) return 0;  // gone with the host's window
  return wa.map_state == IsViewable ? 1 : 0;
}

window_status window_view_start_timer(window_view* view, uintptr_t id, double seconds) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized) return WINDOW_UNSUPPORTED;
  const double period = seconds < 0.001 ? 0.001 : seconds;
  view_timer* slot = nullptr;
  for (view_timer& t : view->timers) {
    if (t.active && t.id == id) {
      slot = &t;
      break;
    }
    if (!t.active && slot == nullptr) slot = &t;
  }
  if (slot == nullptr) return WINDOW_FAILURE;
  *slot = {id, period, window_world_time(view->world) + period, true};
  return WINDOW_SUCCESS;
}

window_status window_view_stop_timer(window_view* view, uintptr_t id) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  for (view_timer& t : view->timers) {
    if (t.active && t.id == id) {
      t.active = false;
      return WINDOW_SUCCESS;
    }
  }
  return WINDOW_UNSUPPORTED;
}

window_status window_view_obscure(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  view->redraw = true;
  return WINDOW_SUCCESS;
}

window_status window_view_grab_focus(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  Display* d = view->world->display;
  // An unviewable window (parent unmapped) refuses the focus with BadMatch.
  x_error_handler old = trap_begin(d);
  XSetInputFocus(d, view->win, RevertToParent, CurrentTime);
  return trap_end(d, old) == 0 ? WINDOW_SUCCESS : WINDOW_FAILURE;
}

double window_view_scale_factor(const window_view* view) {
  if (view == nullptr) return 1.0;
  const char* rms = XResourceManagerString(view->world->display);
  if (rms == nullptr) return 1.0;
  XrmInitialize();
  XrmDatabase db = XrmGetStringDatabase(rms);
  if (db == nullptr) return 1.0;
  double scale = 1.0;
  char* type = nullptr;
  XrmValue value;
  if (XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr != nullptr) {
    const double dpi = std::strtod(value.addr, nullptr);
    if (dpi > 0.0) scale = dpi / 96.0;
  }
  XrmDestroyDatabase(db);
  return scale;
}

uintptr_t window_view_native(const window_view* view) {
  return view && view->realized ? uintptr_t(view->win) : 0;
}

window_gl_proc window_gl_get_proc_address(const char* name) {
  return glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name));
}

// ---------------------------------------------------------------------------------------------------
// Message window

window_status window_native_size(window_world* world, uintptr_t native, uint32_t* width,
                                 uint32_t* height) {
  if (width) *width = 0;
  if (height) *height = 0;
  if (world == nullptr || native == 0) return WINDOW_BAD_PARAMETER;
  Display* d = world->display;
  XWindowAttributes wa;
  std::memset(&wa, 0, sizeof wa);
  x_error_handler old = trap_begin(d);
  const Status ok = XGetWindowAttributes(d, Window(native), &wa);
  if (trap_end(d, old) != 0 || ok == 0) return WINDOW_FAILURE;
  if (width) *width = uint32_t(wa.width);
  if (height) *height = uint32_t(wa.height);
  return WINDOW_SUCCESS;
}

static void draw_message(window_message* m) {
  if (m->win == 0) return;
  Display* d = m->world->display;
  XWindowAttributes wa;
  std::memset(&wa, 0, sizeof wa);
  // The parent may have taken the window with it since the expose was queued.
  x_error_handler old = trap_begin(d);
  const Status ok = XGetWindowAttributes(d, m->win, &wa);
  if (trap_end(d, old) != 0 || ok == 0) return;
  XClearWindow(d, m->win);
  XFontStruct* fs = m->font != nullptr ? m->font : XQueryFont(d, XGContextFromGC(m->gc));
  const int ascent = fs ? fs->ascent : 10;
  const int line_h = fs ? fs->ascent + fs->descent + 2 : 14;
  int n_lines = 1;
  for (const char* p = m->text; *p; ++p) n_lines += *p == '\n';
  int y = (wa.height - n_lines * line_h) / 2 + ascent;
  for (const char* line = m->text;;) {
    const char* end = std::strchr(line, '\n');
    const int len = end ? int(end - line) : int(std::strlen(line));
    const int w = fs ? XTextWidth(fs, line, len) : len * 6;
    XDrawString(d, m->win, m->gc, (wa.width - w) / 2, y, line, len);
    y += line_h;
    if (end == nullptr) break;
    line = end + 1;
  }
  if (fs != nullptr && fs != m->font) XFreeFontInfo(nullptr, fs, 1);
  XFlush(d);
}

window_message* window_message_new(window_world* world, uintptr_t parent, int32_t x, int32_t y,
                                   uint32_t width, uint32_t height, const char* text) {
  if (world == nullptr || parent == 0 || width == 0 || height == 0 || text == nullptr) return nullptr;
  window_message* m = static_cast<window_message*>(std::calloc(1, sizeof(window_message)));
  if (m == nullptr) return nullptr;
  Display* d = world->display;
  const int screen = DefaultScreen(d);
  m->world = world;
  std::snprintf(m->text, sizeof m->text, "%s", text);

  x_error_handler old = trap_begin(d);
  m->win = XCreateSimpleWindow(d, Window(parent), x, y, width, height, 0, BlackPixel(d, screen),
                               WhitePixel(d, screen));
  int err = trap_end(d, old);
  if (err != 0 || m->win == 0) {
    std::free(m);
    return nullptr;
  }
  ++g_window_counts.native_windows;
  XSelectInput(d, m->win, ExposureMask | StructureNotifyMask);
  // Core fonts: a readable proportional face when the server has one, else the always-present "fixed".
  static const char* const faces[] = {"-*-helvetica-medium-r-normal--12-*-*-*-*-*-iso8859-1",
                                      "-*-dejavu sans-medium-r-normal--12-*-*-*-*-*-*-*", "fixed"};
  for (const char* face : faces) {
    if ((m->font = XLoadQueryFont(d, face)) != nullptr) break;
  }
  if (m->font != nullptr) ++g_window_counts.other;
  XGCValues gv;
  std::memset(&gv, 0, sizeof gv);
  gv.foreground = BlackPixel(d, screen);
  gv.background = WhitePixel(d, screen);
  unsigned long mask = GCForeground | GCBackground;
  if (m->font != nullptr) {
    gv.font = m->font->fid;
    mask |= GCFont;
  }
  m->gc = XCreateGC(d, m->win, mask, &gv);
  ++g_window_counts.other;
  XMapWindow(d, m->win);
  XFlush(d);
  m->next = world->messages;
  world->messages = m;
  ++g_window_counts.messages;
  return m;
}

void window_message_free(window_message* m) {
  if (m == nullptr) return;
  Display* d = m->world->display;
  for (window_message** p = &m->world->messages; *p != nullptr; p = &(*p)->next) {
    if (*p == m) {
      *p = m->next;
      break;
    }
  }
  x_error_handler old = trap_begin(d);
  XFreeGC(d, m->gc);
  --g_window_counts.other;
  if (m->font != nullptr) {
    XFreeFont(d, m->font);
    --g_window_counts.other;
  }
  if (m->win != 0) XDestroyWindow(d, m->win);
  trap_end(d, old);
  --g_window_counts.native_windows;
  --g_window_counts.messages;
  std::free(m);
}

uintptr_t window_message_native(const window_message* m) { return m ? uintptr_t(m->win) : 0; }
