// Guards the window layer against the faults a host sees first: a view that does not land inside the
// host's window, a context that is not OpenGL 3.2 core or lacks the stencil buffer, events that never
// arrive or carry the wrong keys, buttons and modifiers, redraws that are not coalesced, timers that do
// not tick, a forced OpenGL failure that leaves windows behind, and X or GL objects that outlive their
// view (or crash when the host destroyed its window first).
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "wait_until.h"
#include "window.h"

namespace {

typedef void (*get_fb_param_fn)(GLenum, GLenum, GLenum, GLint*);

// What the event function saw.
struct recorder {
  std::vector<window_event> events;
  std::vector<double> timer_times;  // window_world_time of each timer event
  std::vector<int> timer_passes;    // and the world update it came from
  int pass = 0;                     // world updates the fixture has run
  std::string gl_version;
  GLint profile_mask = 0;
  GLint stencil_bits = -1;
  bool gl_current_at_unrealize = false;
  float clear[3] = {0.0f, 0.0f, 0.0f};

  int count(window_event_type t) const {
    int n = 0;
    for (const window_event& e : events) n += e.type == t;
    return n;
  }
  const window_event* last(window_event_type t) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
      if (it->type == t) return &*it;
    return nullptr;
  }
};

window_status on_event(window_view* view, const window_event* ev) {
  recorder* r = static_cast<recorder*>(window_view_get_handle(view));
  r->events.push_back(*ev);
  if (ev->type == WINDOW_EVENT_TIMER) {
    r->timer_times.push_back(window_world_time(window_view_world(view)));
    r->timer_passes.push_back(r->pass);
  }
  if (ev->type == WINDOW_EVENT_REALIZE) {
    const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    r->gl_version = v ? v : "";
    glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &r->profile_mask);
    auto fb = reinterpret_cast<get_fb_param_fn>(
        window_gl_get_proc_address("glGetFramebufferAttachmentParameteriv"));
    if (fb != nullptr) {
      fb(GL_FRAMEBUFFER, GL_STENCIL, GL_FRAMEBUFFER_ATTACHMENT_STENCIL_SIZE, &r->stencil_bits);
    }
  } else if (ev->type == WINDOW_EVENT_UNREALIZE) {
    r->gl_current_at_unrealize = glGetString(GL_VERSION) != nullptr;
  } else if (ev->type == WINDOW_EVENT_EXPOSE) {
    glClearColor(r->clear[0], r->clear[1], r->clear[2], 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  }
  return WINDOW_SUCCESS;
}

int children_of(Display* d, Window w) {
  Window root = 0, parent = 0, *kids = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, w, &root, &parent, &kids, &n)) return -1;
  if (kids) XFree(kids);
  return int(n);
}

bool all_freed() {
  const window_resource_counts c = window_live_resources();
  return c.worlds == 0 && c.views == 0 && c.native_windows == 0 && c.gl_contexts == 0 &&
         c.messages == 0 && c.other == 0;
}

// A host: its own connection and a mapped top-level window to parent the views in.
class WindowX11 : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LODRIN_FORCE_NO_GL");
    host = XOpenDisplay(nullptr);
    ASSERT_NE(host, nullptr);
    parent = XCreateSimpleWindow(host, DefaultRootWindow(host), 0, 0, 400, 300, 0, 0, 0);
    XMapWindow(host, parent);
    XSync(host, False);
    world = window_world_new("LodrinTest");
    ASSERT_NE(world, nullptr);
  }
  void TearDown() override {
    window_view_free(view);
    window_world_free(world);
    if (parent != 0) XDestroyWindow(host, parent);
    XCloseDisplay(host);
    unsetenv("LODRIN_FORCE_NO_GL");
    EXPECT_TRUE(all_freed());
  }

  window_status make_view(uint32_t w = 320, uint32_t h = 200) {
    view = window_view_new(world);
    window_view_set_handle(view, &rec);
    window_view_set_event_func(view, on_event);
    window_view_set_title(view, "Lodrin");
    window_view_set_size_hint(view, WINDOW_DEFAULT_SIZE, w, h);
    window_view_set_parent(view, parent);
    return window_view_realize(view);
  }

  // One pass of the world after the host's requests reached the server.
  void step() {
    XSync(host, False);
    ++rec.pass;
    if (world != nullptr)
      window_world_update(world, 0.005);
    else
      usleep(5000);
  }

  // Updates the world for `seconds`: a settling time, before checking that nothing more arrived.
  void pump(double seconds) {
    const double end = window_world_time(world) + seconds;
    while (window_world_time(world) < end) step();
  }

  // Updates the world until `done` holds, at most kWaitSeconds; the failure tells what `seen` says
  // of the last poll.
  testing::AssertionResult pump_until(const std::function<bool()>& done,
                                      const std::function<std::string()>& seen) {
    return wait_until(done, kWaitSeconds, seen, [this] { step(); });
  }

  // The server runs the layer's requests (its own connection) in no order with the host's: a child
  // appears or goes, a map or a drawing shows, once the server has got to them.
  testing::AssertionResult has_children(Window w, int n) {
    int seen = -1;
    return pump_until([&] { return (seen = children_of(host, w)) == n; },
                      [&] { return std::to_string(seen) + " children, not " + std::to_string(n); });
  }
  testing::AssertionResult shows(window_view* v, int x, int y, unsigned long rgb) {
    unsigned long seen = 0;
    return pump_until([&] { return (seen = pixel_at(v, x, y)) == rgb; }, [&] {
      char text[96];
      std::snprintf(text, sizeof text, "pixel (%d, %d) 0x%06lx, not 0x%06lx", x, y, seen, rgb);
      return std::string(text);
    });
  }

  // The colour of a pixel of the view as the server holds it.
  unsigned long pixel_at(window_view* v, int x, int y) {
    XImage* img = XGetImage(host, Window(window_view_native(v)), x, y, 1, 1, AllPlanes, ZPixmap);
    if (img == nullptr) return ~0ul;
    const unsigned long p = XGetPixel(img, 0, 0) & 0xffffff;
    XDestroyImage(img);
    return p;
  }

  Display* host = nullptr;
  Window parent = 0;
  window_world* world = nullptr;
  window_view* view = nullptr;
  recorder rec;
};

TEST_F(WindowX11, RealizesAGl32CoreChildWithAStencilBuffer) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  EXPECT_EQ(window_view_is_realized(view), 1);
  ASSERT_TRUE(has_children(parent, 1));
  Window root = 0, up = 0, *kids = nullptr;
  unsigned n = 0;
  ASSERT_TRUE(XQueryTree(host, Window(window_view_native(view)), &root, &up, &kids, &n));
  if (kids) XFree(kids);
  EXPECT_EQ(up, parent);

  int major = 0, minor = 0;
  ASSERT_EQ(std::sscanf(rec.gl_version.c_str(), "%d.%d", &major, &minor), 2) << rec.gl_version;
  EXPECT_TRUE(major > 3 || (major == 3 && minor >= 2)) << rec.gl_version;
  EXPECT_TRUE(rec.profile_mask & GL_CONTEXT_CORE_PROFILE_BIT);
  EXPECT_EQ(rec.stencil_bits, 8);

  // Realize then configure, with the default size; unmapped until shown, so nothing drawn yet.
  ASSERT_GE(rec.events.size(), 2u);
  EXPECT_EQ(rec.events[0].type, WINDOW_EVENT_REALIZE);
  EXPECT_EQ(rec.events[1].type, WINDOW_EVENT_CONFIGURE);
  EXPECT_EQ(rec.events[1].configure.width, 320u);
  EXPECT_EQ(rec.events[1].configure.height, 200u);
  pump(0.05);
  EXPECT_EQ(rec.count(WINDOW_EVENT_EXPOSE), 0);
  EXPECT_EQ(window_view_realize(view), WINDOW_UNSUPPORTED);
  EXPECT_EQ(window_view_set_parent(view, 0), WINDOW_UNSUPPORTED);

  const window_resource_counts c = window_live_resources();
  EXPECT_EQ(c.gl_contexts, 1);
  EXPECT_EQ(c.native_windows, 1);
  window_view_unrealize(view);
  EXPECT_TRUE(rec.gl_current_at_unrealize);
  EXPECT_EQ(rec.events.back().type, WINDOW_EVENT_UNREALIZE);
  EXPECT_TRUE(has_children(parent, 0));
  EXPECT_EQ(window_live_resources().gl_contexts, 0);
}

TEST_F(WindowX11, ShownViewDrawsCoalescedFramesAndSwaps) {
  rec.clear[0] = 1.0f;
  rec.clear[2] = 1.0f;
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  // The host hears the map's Expose too: once it has, the layer's copy is on its way as well.
  const Window win = Window(window_view_native(view));
  XSelectInput(host, win, ExposureMask);
  XSync(host, False);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  XEvent xe;
  ASSERT_TRUE(pump_until([&] { return XCheckTypedWindowEvent(host, win, Expose, &xe); },
                         [] { return std::string("no Expose of the shown view"); }));
  ASSERT_TRUE(pump_until([&] { return rec.count(WINDOW_EVENT_EXPOSE) > 0; },
                         [] { return std::string("no expose event"); }));
  pump(0.1);
  EXPECT_EQ(rec.count(WINDOW_EVENT_EXPOSE), 1);  // the map's expose and show's request are one frame
  EXPECT_TRUE(shows(view, 10, 10, 0xff00fful));
  EXPECT_TRUE(shows(view, 319, 199, 0xff00fful));

  rec.events.clear();
  rec.clear[0] = 0.0f;
  for (int i = 0; i < 5; ++i) window_view_obscure(view);
  window_world_update(world, 0);
  window_world_update(world, 0);
  EXPECT_EQ(rec.count(WINDOW_EVENT_EXPOSE), 1);
  EXPECT_TRUE(shows(view, 100, 100, 0x0000fful));

  // A current-size change resizes the window; the configure event follows.
  ASSERT_EQ(window_view_set_size_hint(view, WINDOW_CURRENT_SIZE, 360, 240), WINDOW_SUCCESS);
  const window_event *cfg = nullptr, *drawn = nullptr;
  EXPECT_TRUE(pump_until(
      [&] {
        cfg = rec.last(WINDOW_EVENT_CONFIGURE);
        drawn = rec.last(WINDOW_EVENT_EXPOSE);
        return cfg && cfg->configure.width == 360 && cfg->configure.height == 240 && drawn &&
               drawn->expose.width == 360;
      },
      [&] {
        const std::string size =
            cfg ? std::to_string(cfg->configure.width) + "x" + std::to_string(cfg->configure.height)
                : std::string("none");
        return "last configure " + size + ", last expose " +
               (drawn ? std::to_string(drawn->expose.width) + " wide" : std::string("none"));
      }));

  // Hidden views draw nothing.
  ASSERT_EQ(window_view_hide(view), WINDOW_SUCCESS);
  rec.events.clear();
  window_view_obscure(view);
  pump(0.05);
  EXPECT_EQ(rec.count(WINDOW_EVENT_EXPOSE), 0);
}

TEST_F(WindowX11, TimersTickAtTheirPeriodAndStop) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  const double period = 0.02, start = window_world_time(world);
  ASSERT_EQ(window_view_start_timer(view, 7, period), WINDOW_SUCCESS);
  ASSERT_TRUE(pump_until([&] { return rec.count(WINDOW_EVENT_TIMER) >= 10; },
                         [&] { return std::to_string(rec.count(WINDOW_EVENT_TIMER)) + " ticks"; }));
  // However late the passes come (a busy machine), the k-th tick is never due before k periods have
  // passed, and a late pass fires one tick instead of a burst of the missed ones.
  for (size_t k = 0; k < rec.timer_times.size(); ++k) {
    EXPECT_GE(rec.timer_times[k], start + double(k + 1) * period) << "tick " << k + 1;
    if (k > 0) {
      EXPECT_GT(rec.timer_passes[k], rec.timer_passes[k - 1]) << "tick " << k + 1;
    }
  }
  EXPECT_EQ(rec.last(WINDOW_EVENT_TIMER)->timer.id, 7u);
  ASSERT_EQ(window_view_stop_timer(view, 7), WINDOW_SUCCESS);
  EXPECT_EQ(window_view_stop_timer(view, 7), WINDOW_UNSUPPORTED);
  rec.events.clear();
  pump(0.1);
  EXPECT_EQ(rec.count(WINDOW_EVENT_TIMER), 0);
  // Unrealize stops every timer: a realize afterwards starts without one.
  window_view_start_timer(view, 1, 0.01);
  window_view_unrealize(view);
  ASSERT_EQ(window_view_realize(view), WINDOW_SUCCESS);
  rec.events.clear();
  pump(0.05);
  EXPECT_EQ(rec.count(WINDOW_EVENT_TIMER), 0);
}

// Input events carry the server's time of the input, not the time the layer got to them: two
// clicks 700 ms apart that are handled in one pass (a busy host) stay 700 ms apart.
TEST_F(WindowX11, InputEventsCarryTheirOwnTime) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  pump(0.05);
  const Window win = Window(window_view_native(view));
  struct sent {
    int type;
    unsigned button;
    Time time;
    window_event_type expected;
  } rows[] = {{ButtonPress, 1, 5000, WINDOW_EVENT_BUTTON_PRESS},
              {ButtonRelease, 1, 5040, WINDOW_EVENT_BUTTON_RELEASE},
              {ButtonPress, 1, 5700, WINDOW_EVENT_BUTTON_PRESS},
              {ButtonPress, 4, 5900, WINDOW_EVENT_SCROLL},
              {MotionNotify, 0, 6100, WINDOW_EVENT_MOTION}};
  for (const sent& r : rows) {
    XEvent xe;
    std::memset(&xe, 0, sizeof xe);
    xe.type = r.type;
    // Button and motion events share these fields' places.
    xe.xbutton.send_event = True;
    xe.xbutton.display = host;
    xe.xbutton.window = win;
    xe.xbutton.root = DefaultRootWindow(host);
    xe.xbutton.time = r.time;
    xe.xbutton.x = xe.xbutton.x_root = 20;
    xe.xbutton.y = xe.xbutton.y_root = 30;
    xe.xbutton.same_screen = True;
    if (r.type == MotionNotify) {
      xe.xmotion.time = r.time;
      xe.xmotion.same_screen = True;
    } else {
      xe.xbutton.button = r.button;
    }
    const long mask = r.type == ButtonPress ? ButtonPressMask : r.type == ButtonRelease ? ButtonReleaseMask
                                                                                        : PointerMotionMask;
    XSendEvent(host, win, False, mask, &xe);
  }
  XSync(host, False);
  const auto input_events = [&] {
    return rec.count(WINDOW_EVENT_BUTTON_PRESS) + rec.count(WINDOW_EVENT_BUTTON_RELEASE) +
           rec.count(WINDOW_EVENT_SCROLL) + rec.count(WINDOW_EVENT_MOTION);
  };
  ASSERT_TRUE(pump_until([&] { return input_events() >= 5; },
                         [&] { return std::to_string(input_events()) + " input events"; }));
  std::vector<double> times;
  for (const window_event& e : rec.events) {
    if (e.type == WINDOW_EVENT_BUTTON_PRESS || e.type == WINDOW_EVENT_BUTTON_RELEASE) times.push_back(e.button.time);
    if (e.type == WINDOW_EVENT_SCROLL) times.push_back(e.scroll.time);
    if (e.type == WINDOW_EVENT_MOTION) times.push_back(e.motion.time);
  }
  EXPECT_EQ(times, (std::vector<double>{5.0, 5.04, 5.7, 5.9, 6.1}));
}

// Real input through the XTEST extension, as a user's devices produce it.
TEST_F(WindowX11, DeliversPointerKeyAndTextEvents) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  pump(0.05);
  ASSERT_EQ(window_view_grab_focus(view), WINDOW_SUCCESS);
  int ev_base, err_base, major, minor;
  ASSERT_TRUE(XTestQueryExtension(host, &ev_base, &err_base, &major, &minor));
  const int screen = DefaultScreen(host);

  // The parent sits at (0, 0) of the screen and the view at (0, 0) of the parent.
  XTestFakeMotionEvent(host, screen, 50, 60, 0);
  XTestFakeButtonEvent(host, 1, True, 0);
  XTestFakeButtonEvent(host, 1, False, 0);
  XTestFakeButtonEvent(host, 3, True, 0);
  XTestFakeButtonEvent(host, 4, True, 0);
  XTestFakeButtonEvent(host, 4, False, 0);
  XTestFakeButtonEvent(host, 5, True, 0);
  XTestFakeButtonEvent(host, 5, False, 0);
  XTestFakeButtonEvent(host, 3, False, 0);
  const auto button_events = [&] {
    return rec.count(WINDOW_EVENT_BUTTON_PRESS) + rec.count(WINDOW_EVENT_BUTTON_RELEASE);
  };
  ASSERT_TRUE(pump_until([&] { return button_events() >= 4 && rec.count(WINDOW_EVENT_SCROLL) >= 2; }, [&] {
    return std::to_string(button_events()) + " button and " + std::to_string(rec.count(WINDOW_EVENT_SCROLL)) +
           " scroll events";
  }));
  pump(0.05);  // and no more
  const window_event* motion = rec.last(WINDOW_EVENT_MOTION);
  ASSERT_NE(motion, nullptr);
  EXPECT_DOUBLE_EQ(motion->motion.x, 50.0);
  EXPECT_DOUBLE_EQ(motion->motion.y, 60.0);
  std::vector<window_event> buttons, scrolls;
  for (const window_event& e : rec.events) {
    if (e.type == WINDOW_EVENT_BUTTON_PRESS || e.type == WINDOW_EVENT_BUTTON_RELEASE) buttons.push_back(e);
    if (e.type == WINDOW_EVENT_SCROLL) scrolls.push_back(e);
  }
  ASSERT_EQ(buttons.size(), 4u);
  EXPECT_EQ(buttons[0].type, WINDOW_EVENT_BUTTON_PRESS);
  EXPECT_EQ(buttons[0].button.button, 0u);
  EXPECT_DOUBLE_EQ(buttons[0].button.x, 50.0);
  EXPECT_DOUBLE_EQ(buttons[0].button.y, 60.0);
  EXPECT_EQ(buttons[1].type, WINDOW_EVENT_BUTTON_RELEASE);
  EXPECT_EQ(buttons[2].button.button, 1u);
  EXPECT_GE(buttons[1].button.time, buttons[0].button.time);
  ASSERT_EQ(scrolls.size(), 2u);  // one per notch, none for the wheel's releases
  EXPECT_EQ(scrolls[0].scroll.dy, 1.0);
  EXPECT_EQ(scrolls[1].scroll.dy, -1.0);

  struct key_case {
    KeySym sym;
    KeySym modifier;  // NoSymbol, or a modifier key held around it
    uint32_t key;
    uint32_t state;
    uint32_t text;  // 0: no text event
  };
  const key_case cases[] = {
      {XK_a, NoSymbol, 'a', 0, 'a'},
      {XK_a, XK_Shift_L, 'a', WINDOW_MOD_SHIFT, 'A'},
      {XK_z, XK_Control_L, 'z', WINDOW_MOD_CTRL, 26},
      {XK_y, XK_Control_L, 'y', WINDOW_MOD_CTRL, 25},
      {XK_5, XK_Alt_L, '5', WINDOW_MOD_ALT, '5'},
      {XK_Return, NoSymbol, WINDOW_KEY_ENTER, 0, 13},
      {XK_Escape, NoSymbol, WINDOW_KEY_ESCAPE, 0, 27},
      {XK_BackSpace, NoSymbol, WINDOW_KEY_BACKSPACE, 0, 8},
      {XK_Page_Up, NoSymbol, WINDOW_KEY_PAGE_UP, 0, 0},
      {XK_Page_Down, XK_Shift_L, WINDOW_KEY_PAGE_DOWN, WINDOW_MOD_SHIFT, 0},
      {XK_Delete, NoSymbol, WINDOW_KEY_DELETE, 0, 0},
      {XK_F5, NoSymbol, WINDOW_KEY_F1 + 4, 0, 0},
  };
  for (const key_case& c : cases) {
    SCOPED_TRACE(XKeysymToString(c.sym));
    rec.events.clear();
    const KeyCode code = XKeysymToKeycode(host, c.sym);
    ASSERT_NE(code, 0);
    if (c.modifier != NoSymbol) XTestFakeKeyEvent(host, XKeysymToKeycode(host, c.modifier), True, 0);
    XTestFakeKeyEvent(host, code, True, 0);
    XTestFakeKeyEvent(host, code, False, 0);
    if (c.modifier != NoSymbol) XTestFakeKeyEvent(host, XKeysymToKeycode(host, c.modifier), False, 0);
    ASSERT_TRUE(pump_until(
        [&] {
          for (const window_event& e : rec.events)
            if (e.type == WINDOW_EVENT_KEY_PRESS && e.key.keycode == code) return true;
          return false;
        },
        [&] { return "no key press of keycode " + std::to_string(code); }));
    pump(0.05);  // a text event, or none, comes with the press: nothing more may follow
    const window_event* key = rec.last(WINDOW_EVENT_KEY_PRESS);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->key.key, c.key);
    EXPECT_EQ(key->key.state, c.state);
    EXPECT_EQ(key->key.keycode, code);
    const window_event* text = rec.last(WINDOW_EVENT_TEXT);
    if (c.text == 0) {
      EXPECT_EQ(text, nullptr);
    } else {
      ASSERT_NE(text, nullptr);
      EXPECT_EQ(text->text.character, c.text);
      EXPECT_EQ(uint32_t(static_cast<unsigned char>(text->text.utf8[0])), c.text);
      EXPECT_EQ(text->text.utf8[1], '\0');
    }
  }

  // Leaving the view for the parent is a pointer-out.
  rec.events.clear();
  XTestFakeMotionEvent(host, screen, 380, 280, 0);
  EXPECT_TRUE(pump_until([&] { return rec.count(WINDOW_EVENT_POINTER_OUT) > 0; },
                         [] { return std::string("no pointer-out event"); }));
  pump(0.05);
  EXPECT_EQ(rec.count(WINDOW_EVENT_POINTER_OUT), 1);
}

TEST_F(WindowX11, ForcedGlFailureLeavesNothingAndCoreOnlyRefusalAllowsTheRetry) {
  setenv("LODRIN_FORCE_NO_GL", "1", 1);
  EXPECT_EQ(make_view(), WINDOW_CREATE_CONTEXT_FAILED);
  window_view_set_hint(view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_COMPATIBILITY);
  EXPECT_EQ(window_view_realize(view), WINDOW_CREATE_CONTEXT_FAILED);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_TRUE(has_children(parent, 0));
  EXPECT_EQ(window_live_resources().native_windows, 0);
  EXPECT_EQ(window_live_resources().gl_contexts, 0);
  EXPECT_EQ(window_view_show(view), WINDOW_UNSUPPORTED);

  setenv("LODRIN_FORCE_NO_GL", "core", 1);
  window_view_set_hint(view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_CORE);
  EXPECT_EQ(window_view_realize(view), WINDOW_CREATE_CONTEXT_FAILED);
  window_view_set_hint(view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_COMPATIBILITY);
  ASSERT_EQ(window_view_realize(view), WINDOW_SUCCESS);
  int major = 0, minor = 0;
  ASSERT_EQ(std::sscanf(rec.gl_version.c_str(), "%d.%d", &major, &minor), 2);
  EXPECT_TRUE(major > 3 || (major == 3 && minor >= 2)) << rec.gl_version;
  EXPECT_FALSE(rec.profile_mask & GL_CONTEXT_CORE_PROFILE_BIT);
}

TEST_F(WindowX11, RealizeRefusesAMissingParentOrSize) {
  view = window_view_new(world);
  EXPECT_EQ(window_view_realize(view), WINDOW_BAD_CONFIGURATION);  // no size hint at all
  window_view_set_size_hint(view, WINDOW_DEFAULT_SIZE, 100, 100);
  EXPECT_EQ(window_view_set_size_hint(view, WINDOW_CURRENT_SIZE, 0, 10), WINDOW_BAD_PARAMETER);
  window_view_set_parent(view, 0x3fffff01);  // an id no client holds
  EXPECT_EQ(window_view_realize(view), WINDOW_REALIZE_FAILED);
  EXPECT_EQ(window_live_resources().native_windows, 0);
  EXPECT_EQ(window_live_resources().other, 0);
  EXPECT_STREQ(window_strerror(WINDOW_REALIZE_FAILED), "View creation failed");
  EXPECT_STREQ(window_strerror(static_cast<window_status>(999)), "Unknown error");
}

TEST_F(WindowX11, MessageWindowShowsItsTextInTheParentAndGoes) {
  uint32_t w = 0, h = 0;
  ASSERT_EQ(window_native_size(world, parent, &w, &h), WINDOW_SUCCESS);
  EXPECT_EQ(w, 400u);
  EXPECT_EQ(h, 300u);
  EXPECT_EQ(window_native_size(world, 0x3fffff01, &w, &h), WINDOW_FAILURE);
  window_message* m =
      window_message_new(world, parent, 8, int32_t(300 / 4), 400 - 16, 300 / 2, "no OpenGL\n\nsecond line");
  ASSERT_NE(m, nullptr);
  const Window mw = Window(window_message_native(m));
  XWindowAttributes wa{};
  ASSERT_TRUE(pump_until([&] { return XGetWindowAttributes(host, mw, &wa) && wa.map_state == IsViewable; },
                         [&] { return "map_state " + std::to_string(wa.map_state); }));
  EXPECT_EQ(wa.x, 8);
  EXPECT_EQ(wa.y, 75);
  EXPECT_EQ(wa.width, 384);
  // Text is drawn on the expose: some pixels of the middle band turn dark, the corners stay white.
  int dark = 0;
  unsigned long corner = 0;
  EXPECT_TRUE(pump_until(
      [&] {
        XImage* img = XGetImage(host, mw, 0, 0, 384, 150, AllPlanes, ZPixmap);
        if (img == nullptr) return false;
        dark = 0;
        for (int y = 0; y < 150; ++y)
          for (int x = 0; x < 384; ++x) dark += (XGetPixel(img, x, y) & 0xffffff) == 0;
        corner = XGetPixel(img, 0, 0) & 0xffffff;
        XDestroyImage(img);
        return dark > 20;
      },
      [&] { return std::to_string(dark) + " dark pixels"; }));
  EXPECT_EQ(corner, 0xfffffful);
  window_message_free(m);
  EXPECT_TRUE(has_children(parent, 0));
}

TEST_F(WindowX11, ParentDestroyedFirstStillUnrealizesCleanly) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  window_view_show(view);
  window_message* m = window_message_new(world, parent, 0, 0, 50, 50, "x");
  ASSERT_NE(m, nullptr);
  pump(0.05);
  XDestroyWindow(host, parent);
  parent = 0;
  XSync(host, False);
  window_view_obscure(view);
  // The view learns it lost its window from the DestroyNotify the server sends it.
  window_status focus = WINDOW_SUCCESS;
  EXPECT_TRUE(pump_until([&] { return (focus = window_view_grab_focus(view)) == WINDOW_UNSUPPORTED; },
                         [&] { return std::string("grab_focus gives ") + window_strerror(focus); }));
  window_message_free(m);
  glXMakeCurrent(host, None, nullptr);  // nothing current: the layer must make the context current
  EXPECT_EQ(window_view_unrealize(view), WINDOW_SUCCESS);
  EXPECT_TRUE(rec.gl_current_at_unrealize);  // the editor can still delete its GL objects
  EXPECT_EQ(window_live_resources().native_windows, 0);
  EXPECT_EQ(window_live_resources().gl_contexts, 0);
}

// Several editors opening and closing in one process, the world freed with the last and made again.
TEST_F(WindowX11, RepeatedOpenAndCloseLeavesNoWindowOrContext) {
  window_world_free(world);
  world = nullptr;
  XSync(host, False);
  const int root_children = children_of(host, DefaultRootWindow(host));
  for (int round = 0; round < 3; ++round) {
    window_world* w = window_world_new("LodrinTest");
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(window_world_class_name(w), "LodrinTest");
    window_view* views[3];
    for (window_view*& v : views) {
      v = window_view_new(w);
      window_view_set_size_hint(v, WINDOW_DEFAULT_SIZE, 200, 100);
      window_view_set_parent(v, parent);
      ASSERT_EQ(window_view_realize(v), WINDOW_SUCCESS);
      window_view_start_timer(v, 0, 1.0 / 60.0);
      window_view_show(v);
    }
    window_world_update(w, 0.02);
    EXPECT_EQ(window_live_resources().gl_contexts, 3);
    EXPECT_TRUE(has_children(parent, 3));
    for (window_view* v : views) window_view_free(v);
    window_world_free(w);
    EXPECT_TRUE(all_freed());
    EXPECT_TRUE(has_children(parent, 0));
  }
  EXPECT_TRUE(has_children(DefaultRootWindow(host), root_children));
}

TEST_F(WindowX11, ScaleFactorFollowsXftDpi) {
  ASSERT_EQ(make_view(), WINDOW_SUCCESS);
  struct dpi_case {
    const char* resources;  // null: no resource string at all
    double scale;
  };
  const dpi_case cases[] = {{nullptr, 1.0}, {"Xft.dpi:\t144\n", 1.5}, {"Xft.antialias: 1\n", 1.0},
                            {"Xft.dpi: 0\n", 1.0}};
  const Window root = DefaultRootWindow(host);
  for (const dpi_case& c : cases) {
    SCOPED_TRACE(c.resources ? c.resources : "none");
    if (c.resources == nullptr) {
      XDeleteProperty(host, root, XA_RESOURCE_MANAGER);
    } else {
      XChangeProperty(host, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(c.resources), int(std::strlen(c.resources)));
    }
    XSync(host, False);
    // Xlib reads RESOURCE_MANAGER when the connection opens: a fresh world sees the new value.
    window_world* w = window_world_new("LodrinTest");
    window_view* v = window_view_new(w);
    EXPECT_DOUBLE_EQ(window_view_scale_factor(v), c.scale);
    window_view_free(v);
    window_world_free(w);
  }
  XDeleteProperty(host, root, XA_RESOURCE_MANAGER);
  XSync(host, False);
}

}  // namespace
