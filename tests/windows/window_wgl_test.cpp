// Guards the Win32 + WGL port of the window layer: a view that does not become a child of the host's
// window, no OpenGL 3.2 context through wglCreateContextAttribsARB (with the compatibility retry the
// editor makes), frames or timer messages that never arrive, a forced failure that leaves a window
// behind, a message window that is not the parent's STATIC child, and handles that outlive the view.
#include <gtest/gtest.h>
#include <windows.h>

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "window.h"

namespace {

struct recorder {
  int realizes = 0, exposes = 0, timers = 0, configures = 0;
  std::string version;
  bool attribs_fn = false;
  GLint stencil_bits = -1;
  unsigned char pixel[4] = {0, 0, 0, 0};
  DWORD frame_ms = 0;  // how long each frame takes
  std::vector<double> press_times;  // the time each button press carried
};

window_status on_event(window_view* view, const window_event* ev) {
  recorder* r = static_cast<recorder*>(window_view_get_handle(view));
  switch (ev->type) {
    case WINDOW_EVENT_REALIZE: {
      ++r->realizes;
      const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
      r->version = v ? v : "";
      r->attribs_fn = window_gl_get_proc_address("wglCreateContextAttribsARB") != nullptr;
      auto fb = reinterpret_cast<PFNGLGETFRAMEBUFFERATTACHMENTPARAMETERIVPROC>(
          window_gl_get_proc_address("glGetFramebufferAttachmentParameteriv"));
      if (fb) fb(GL_FRAMEBUFFER, GL_STENCIL, GL_FRAMEBUFFER_ATTACHMENT_STENCIL_SIZE, &r->stencil_bits);
      break;
    }
    case WINDOW_EVENT_EXPOSE:
      ++r->exposes;
      glViewport(0, 0, GLsizei(ev->expose.width), GLsizei(ev->expose.height));
      glClearColor(0.0f, 1.0f, 0.0f, 1.0f);
      glClear(GL_COLOR_BUFFER_BIT);
      glReadPixels(5, 5, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, r->pixel);
      if (r->frame_ms) Sleep(r->frame_ms);
      break;
    case WINDOW_EVENT_TIMER:
      ++r->timers;
      window_view_obscure(view);
      break;
    case WINDOW_EVENT_CONFIGURE:
      ++r->configures;
      break;
    case WINDOW_EVENT_BUTTON_PRESS:
      r->press_times.push_back(ev->button.time);
      break;
    default:
      break;
  }
  return WINDOW_SUCCESS;
}

class WindowWgl : public testing::Test {
 protected:
  void SetUp() override {
    _putenv("LODRIN_FORCE_NO_GL=");
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "LodrinTestHost";
    RegisterClassA(&wc);
    parent = CreateWindowExA(0, "LodrinTestHost", "host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                             500, 400, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(parent, nullptr);
    ShowWindow(parent, SW_SHOWNA);
    world = window_world_new("LodrinEditor");
    ASSERT_NE(world, nullptr);
  }
  void TearDown() override {
    window_view_free(view);
    window_world_free(world);
    DestroyWindow(parent);
    const window_resource_counts c = window_live_resources();
    EXPECT_EQ(c.worlds + c.views + c.native_windows + c.gl_contexts + c.messages + c.other, 0);
  }

  // Realizes as the editor does: core profile first, the compatibility profile on refusal.
  window_status realize() {
    view = window_view_new(world);
    window_view_set_handle(view, &rec);
    window_view_set_event_func(view, on_event);
    window_view_set_size_hint(view, WINDOW_DEFAULT_SIZE, 320, 200);
    window_view_set_parent(view, reinterpret_cast<uintptr_t>(parent));
    window_status st = window_view_realize(view);
    if (st != WINDOW_SUCCESS) {
      window_view_set_hint(view, WINDOW_CONTEXT_PROFILE, WINDOW_PROFILE_COMPATIBILITY);
      st = window_view_realize(view);
    }
    return st;
  }

  void pump(double seconds) {
    const double end = window_world_time(world) + seconds;
    while (window_world_time(world) < end) window_world_update(world, 0.005);
  }

  HWND parent = nullptr;
  window_world* world = nullptr;
  window_view* view = nullptr;
  recorder rec;
};

TEST_F(WindowWgl, RealizesAGl32ChildThatDrawsAndTicks) {
  ASSERT_EQ(realize(), WINDOW_SUCCESS);
  std::printf("WGL context: %s (profile %s)\n", rec.version.c_str(),
              window_view_get_hint(view, WINDOW_CONTEXT_PROFILE) == WINDOW_PROFILE_CORE ? "core"
                                                                                       : "compatibility");
  EXPECT_TRUE(rec.attribs_fn);
  int major = 0, minor = 0;
  ASSERT_EQ(std::sscanf(rec.version.c_str(), "%d.%d", &major, &minor), 2) << rec.version;
  EXPECT_TRUE(major > 3 || (major == 3 && minor >= 2)) << rec.version;
  EXPECT_EQ(rec.stencil_bits, 8);  // the stencil buffer the editor's fills need
  HWND child = reinterpret_cast<HWND>(window_view_native(view));
  EXPECT_EQ(GetParent(child), parent);
  EXPECT_EQ(window_live_resources().gl_contexts, 1);  // the probe context is gone

  ASSERT_EQ(window_view_start_timer(view, 0, 0.02), WINDOW_SUCCESS);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  EXPECT_TRUE(IsWindowVisible(child));
  pump(0.4);
  EXPECT_GE(rec.exposes, 1);
  EXPECT_EQ(rec.pixel[0], 0);
  EXPECT_EQ(rec.pixel[1], 255);
  EXPECT_GE(rec.timers, 5);

  ASSERT_EQ(window_view_set_size_hint(view, WINDOW_CURRENT_SIZE, 400, 250), WINDOW_SUCCESS);
  RECT r;
  GetClientRect(child, &r);
  EXPECT_EQ(r.right, 400);
  EXPECT_EQ(r.bottom, 250);
  EXPECT_GE(rec.configures, 2);

  ASSERT_EQ(window_view_unrealize(view), WINDOW_SUCCESS);
  EXPECT_FALSE(IsWindow(child));
  EXPECT_EQ(window_live_resources().gl_contexts, 0);
}

// Frames slower than the redraw timer: every look at the queue finds a new timer and paint message,
// so a pass that drains the queue would never return to its caller. A pass that returns takes one
// frame (30 ms); the bound leaves room for a busy machine.
TEST_F(WindowWgl, OnePassReturnsWhenFramesAreSlowerThanTheTimer) {
  ASSERT_EQ(realize(), WINDOW_SUCCESS);
  rec.frame_ms = 30;
  ASSERT_EQ(window_view_start_timer(view, 0, 0.01), WINDOW_SUCCESS);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  Sleep(50);
  for (int i = 0; i < 5; ++i) {
    const double t0 = window_world_time(world);
    ASSERT_EQ(window_world_update(world, 0), WINDOW_SUCCESS);
    EXPECT_LT(window_world_time(world) - t0, 2.0);
  }
  EXPECT_GE(rec.exposes, 2);
}

// A press carries the time it was posted (GetMessageTime), not the time the layer handles it: two
// presses 700 ms apart that wait for one pass stay at least that far apart.
TEST_F(WindowWgl, PressesCarryTheirMessageTime) {
  ASSERT_EQ(realize(), WINDOW_SUCCESS);
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  pump(0.05);
  const HWND hwnd = reinterpret_cast<HWND>(window_view_native(view));
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PostMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 30)));
  ASSERT_TRUE(PostMessageA(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(20, 30)));
  Sleep(700);
  ASSERT_TRUE(PostMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 30)));
  ASSERT_TRUE(PostMessageA(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(20, 30)));
  for (int i = 0; i < 200 && rec.press_times.size() < 2; ++i) window_world_update(world, 0.01);
  ASSERT_EQ(rec.press_times.size(), 2u);
  // GetTickCount's steps are 10 to 16 ms.
  EXPECT_GE(rec.press_times[1] - rec.press_times[0], 0.65);
}

// What the editor's redraw tick asks before it draws: a view in a hidden or minimised host window
// cannot be seen though it was never hidden itself; and each frame's cost is timed through the swap.
TEST_F(WindowWgl, ViewabilityFollowsTheHostWindowAndFramesAreTimed) {
  ASSERT_EQ(realize(), WINDOW_SUCCESS);
  EXPECT_EQ(window_view_is_viewable(view), 0);  // not shown yet
  rec.frame_ms = 30;
  ASSERT_EQ(window_view_show(view), WINDOW_SUCCESS);
  EXPECT_EQ(window_view_is_viewable(view), 1);
  window_view_obscure(view);
  pump(0.3);
  ASSERT_GE(rec.exposes, 1);
  double took = 0, ended = 0;
  window_view_last_frame(view, &took, &ended);
  EXPECT_GE(took, 0.029);  // the frame's own 30 ms are inside
  EXPECT_GT(ended, 0.0);

  ShowWindow(parent, SW_HIDE);
  EXPECT_EQ(window_view_is_viewable(view), 0);
  ShowWindow(parent, SW_SHOWNA);
  EXPECT_EQ(window_view_is_viewable(view), 1);
  ShowWindow(parent, SW_SHOWMINNOACTIVE);
  EXPECT_EQ(window_view_is_viewable(view), 0);
  ShowWindow(parent, SW_SHOWNOACTIVATE);
  EXPECT_EQ(window_view_is_viewable(view), 1);
  ASSERT_EQ(window_view_hide(view), WINDOW_SUCCESS);
  EXPECT_EQ(window_view_is_viewable(view), 0);
}

TEST_F(WindowWgl, ForcedFailureLeavesNoWindowAndTheMessageIsAStaticChild) {
  _putenv("LODRIN_FORCE_NO_GL=1");
  EXPECT_EQ(realize(), WINDOW_CREATE_CONTEXT_FAILED);
  _putenv("LODRIN_FORCE_NO_GL=");
  EXPECT_EQ(rec.realizes, 0);
  EXPECT_EQ(FindWindowExA(parent, nullptr, nullptr, nullptr), nullptr);

  uint32_t w = 0, h = 0;
  ASSERT_EQ(window_native_size(world, reinterpret_cast<uintptr_t>(parent), &w, &h), WINDOW_SUCCESS);
  window_message* m = window_message_new(world, reinterpret_cast<uintptr_t>(parent), 8, int32_t(h / 4),
                                         w - 16, h / 2, "no OpenGL here");
  ASSERT_NE(m, nullptr);
  HWND mw = reinterpret_cast<HWND>(window_message_native(m));
  char cls[32] = {};
  GetClassNameA(mw, cls, sizeof cls);
  EXPECT_STREQ(cls, "Static");
  EXPECT_EQ(GetParent(mw), parent);
  char text[64] = {};
  GetWindowTextA(mw, text, sizeof text);
  EXPECT_STREQ(text, "no OpenGL here");
  window_message_free(m);
  EXPECT_FALSE(IsWindow(mw));
}

}  // namespace
