// The Win32 + WGL port of the window layer. The host's message loop dispatches the view's messages;
// window_world_update runs a loop of its own for hosts (and tests) that have none. Views use the wide
// window API so that WM_CHAR carries UTF-16 whatever the system code page.
#include <windows.h>
#include <windowsx.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "window_port.h"

#define WGL_CONTEXT_MAJOR_VERSION_ARB 0x2091
#define WGL_CONTEXT_MINOR_VERSION_ARB 0x2092
#define WGL_CONTEXT_PROFILE_MASK_ARB 0x9126
#define WGL_CONTEXT_CORE_PROFILE_BIT_ARB 0x00000001
#define WGL_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB 0x00000002

typedef HGLRC(WINAPI* create_context_attribs_fn)(HDC, HGLRC, const int*);
typedef BOOL(WINAPI* swap_interval_fn)(int);
typedef UINT(WINAPI* get_dpi_for_window_fn)(HWND);

namespace {
constexpr int kMaxTimers = 8;
}

struct window_world : window_world_head {
  wchar_t wide_class[64];
  HINSTANCE module;
  LARGE_INTEGER start;
  LARGE_INTEGER frequency;
};

struct window_view : window_view_head {

  HWND hwnd;
  HDC hdc;
  HGLRC context;
  bool window_gone;  // destroyed with its parent
  bool tracking_leave;
  wchar_t high_surrogate;
  uintptr_t timer_ids[kMaxTimers];
  bool timer_active[kMaxTimers];
};

struct window_message {
  HWND hwnd;
};

// The module this code lives in (the plug-in DLL, not the host's executable): window classes belong
// to it.
static HINSTANCE own_module() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&own_module), &module);
  return module;
}

static LRESULT CALLBACK view_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// ---------------------------------------------------------------------------------------------------
// World

window_world* window_world_new(const char* class_name) {
  window_world* world = static_cast<window_world*>(std::calloc(1, sizeof(window_world)));
  if (world == nullptr) return nullptr;
  std::snprintf(world->class_name, sizeof world->class_name, "%s", class_name ? class_name : "");
  MultiByteToWideChar(CP_UTF8, 0, world->class_name, -1, world->wide_class, 64);
  world->module = own_module();
  QueryPerformanceFrequency(&world->frequency);
  QueryPerformanceCounter(&world->start);

  WNDCLASSEXW wc;
  std::memset(&wc, 0, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_OWNDC | CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = view_proc;
  wc.hInstance = world->module;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = world->wide_class;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    std::free(world);
    return nullptr;
  }
  ++g_window_counts.worlds;
  return world;
}

void window_world_free(window_world* world) {
  if (world == nullptr) return;
  UnregisterClassW(world->wide_class, world->module);
  std::free(world);
  --g_window_counts.worlds;
}

double window_world_time(const window_world* world) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return double(now.QuadPart - world->start.QuadPart) / double(world->frequency.QuadPart);
}

window_status window_world_update(window_world* world, double timeout) {
  if (world == nullptr) return WINDOW_BAD_PARAMETER;
  if (timeout > 0.0) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, DWORD(std::ceil(timeout * 1000.0)), QS_ALLINPUT);
  }
  // One pass handles at most a frame period of messages: timer and paint messages are made whenever
  // the queue is looked at, so with frames slower than the timer a drain-until-empty loop would never
  // return.
  const double end = window_world_time(world) + 1.0 / 60.0;
  MSG msg;
  while (window_world_time(world) < end && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam));  // not ours to swallow: the host's loop sees it next
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return WINDOW_SUCCESS;
}

int window_world_fd(const window_world*) { return -1; }
void* window_world_native(const window_world*) { return nullptr; }

// The common head of this port's records (window_port.h).
window_world_head* window_port_world(window_world* world) { return world; }
const window_world_head* window_port_world(const window_world* world) { return world; }
window_view_head* window_port_view(window_view* view) { return view; }
const window_view_head* window_port_view(const window_view* view) { return view; }

// ---------------------------------------------------------------------------------------------------
// Events

static bool make_current(window_view* view) {
  if (view->window_gone || view->context == nullptr) return false;
  return wglMakeCurrent(view->hdc, view->context) != FALSE;
}

static uint32_t current_mods() {
  uint32_t m = 0;
  if (GetKeyState(VK_SHIFT) & 0x8000) m |= WINDOW_MOD_SHIFT;
  if (GetKeyState(VK_CONTROL) & 0x8000) m |= WINDOW_MOD_CTRL;
  if (GetKeyState(VK_MENU) & 0x8000) m |= WINDOW_MOD_ALT;
  if ((GetKeyState(VK_LWIN) | GetKeyState(VK_RWIN)) & 0x8000) m |= WINDOW_MOD_SUPER;
  return m;
}

// The modifiers held besides the key itself: a press of Shift does not report Shift.
static uint32_t mods_without(uint32_t key) {
  uint32_t m = current_mods();
  if (key == WINDOW_KEY_SHIFT) m &= ~WINDOW_MOD_SHIFT;
  if (key == WINDOW_KEY_CTRL) m &= ~WINDOW_MOD_CTRL;
  if (key == WINDOW_KEY_ALT) m &= ~WINDOW_MOD_ALT;
  if (key == WINDOW_KEY_SUPER) m &= ~WINDOW_MOD_SUPER;
  return m;
}

static uint32_t key_of(WPARAM vk) {
  switch (vk) {
    case VK_BACK: return WINDOW_KEY_BACKSPACE;
    case VK_TAB: return WINDOW_KEY_TAB;
    case VK_RETURN: return WINDOW_KEY_ENTER;
    case VK_ESCAPE: return WINDOW_KEY_ESCAPE;
    case VK_DELETE: return WINDOW_KEY_DELETE;
    case VK_LEFT: return WINDOW_KEY_LEFT;
    case VK_RIGHT: return WINDOW_KEY_RIGHT;
    case VK_UP: return WINDOW_KEY_UP;
    case VK_DOWN: return WINDOW_KEY_DOWN;
    case VK_PRIOR: return WINDOW_KEY_PAGE_UP;
    case VK_NEXT: return WINDOW_KEY_PAGE_DOWN;
    case VK_HOME: return WINDOW_KEY_HOME;
    case VK_END: return WINDOW_KEY_END;
    case VK_INSERT: return WINDOW_KEY_INSERT;
    case VK_SHIFT: case VK_LSHIFT: case VK_RSHIFT: return WINDOW_KEY_SHIFT;
    case VK_CONTROL: case VK_LCONTROL: case VK_RCONTROL: return WINDOW_KEY_CTRL;
    case VK_MENU: case VK_LMENU: case VK_RMENU: return WINDOW_KEY_ALT;
    case VK_LWIN: case VK_RWIN: return WINDOW_KEY_SUPER;
    default: break;
  }
  if (vk >= VK_F1 && vk <= VK_F12) return WINDOW_KEY_F1 + uint32_t(vk - VK_F1);
  if (vk >= 'A' && vk <= 'Z') return uint32_t(vk - 'A' + 'a');
  if (vk >= '0' && vk <= '9') return uint32_t(vk);
  // Other character keys: the unshifted character of the layout (the top bit marks dead keys).
  const UINT c = MapVirtualKeyW(UINT(vk), MAPVK_VK_TO_CHAR) & 0x7fffffff;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 'a';
  return c >= 32 ? c : 0;
}

// The time of the message being handled, in seconds: when the input happened (GetMessageTime,
// milliseconds since the system started, wrapping at 2^32), not when it is handled.
static double message_seconds() { return double(uint32_t(GetMessageTime())) / 1000.0; }

static void send_pointer(window_view* view, window_event_type type, LPARAM lp, uint32_t button) {
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  const double now = message_seconds();
  if (type == WINDOW_EVENT_MOTION) {
    ev.motion = {type, double(GET_X_LPARAM(lp)), double(GET_Y_LPARAM(lp)), current_mods(), now};
  } else {
    ev.button = {type, button, double(GET_X_LPARAM(lp)), double(GET_Y_LPARAM(lp)), current_mods(), now};
  }
  window_send(view, ev);
}

static void expose(window_view* view) {
  PAINTSTRUCT ps;
  BeginPaint(view->hwnd, &ps);
  EndPaint(view->hwnd, &ps);
  const double start = window_world_time(view->world);
  if (!view->visible || !make_current(view)) return;
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.expose = {WINDOW_EVENT_EXPOSE, 0, 0, view->current_w, view->current_h};
  window_send(view, ev);
  SwapBuffers(view->hdc);
  view->frame_end = window_world_time(view->world);
  view->frame_seconds = view->frame_end - start;
}

static LRESULT CALLBACK view_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    const CREATESTRUCTW* cs = reinterpret_cast<const CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  window_view* view = reinterpret_cast<window_view*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (view == nullptr || !view->realized) return DefWindowProcW(hwnd, msg, wp, lp);
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  switch (msg) {
    case WM_PAINT:
      expose(view);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the frame covers everything: erasing first would flicker
    case WM_SIZE:
      if (wp == SIZE_MINIMIZED) break;
      view->current_w = LOWORD(lp);
      view->current_h = HIWORD(lp);
      ev.configure = {WINDOW_EVENT_CONFIGURE, 0, 0, view->current_w, view->current_h};
      window_send(view, ev);
      return 0;
    case WM_TIMER:
      ev.timer = {WINDOW_EVENT_TIMER, uintptr_t(wp)};
      window_send(view, ev);
      return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
      const uint32_t key = key_of(wp);
      ev.key = {WINDOW_EVENT_KEY_PRESS, key, uint32_t((lp >> 16) & 0x1ff), mods_without(key),
                message_seconds()};
      window_send(view, ev);
      if (msg == WM_SYSKEYDOWN && wp != VK_F4) return 0;  // Alt+key: ours, not the system menu's
      break;
    }
    case WM_CHAR:
    case WM_SYSCHAR: {
      const wchar_t unit = wchar_t(wp);
      uint32_t c = unit;
      if (unit >= 0xd800 && unit < 0xdc00) {
        view->high_surrogate = unit;
        return 0;
      }
      if (unit >= 0xdc00 && unit < 0xe000) {
        if (view->high_surrogate == 0) return 0;
        c = 0x10000 + ((uint32_t(view->high_surrogate) - 0xd800) << 10) + (unit - 0xdc00);
      }
      view->high_surrogate = 0;
      if (c == 127) return 0;  // Ctrl+Backspace: the key press says enough
      ev.text.type = WINDOW_EVENT_TEXT;
      ev.text.character = c;
      window_utf8_encode(c, ev.text.utf8);
      ev.text.state = current_mods();
      ev.text.time = message_seconds();
      window_send(view, ev);
      return 0;
    }
    case WM_MOUSEMOVE:
      if (!view->tracking_leave) {
        TRACKMOUSEEVENT tme = {sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, 0};
        view->tracking_leave = TrackMouseEvent(&tme) != FALSE;
      }
      send_pointer(view, WINDOW_EVENT_MOTION, lp, 0);
      return 0;
    case WM_MOUSELEAVE:
      view->tracking_leave = false;
      ev.crossing.type = WINDOW_EVENT_POINTER_OUT;
      ev.crossing.state = current_mods();
      ev.crossing.time = message_seconds();
      window_send(view, ev);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK: {
      const uint32_t b = msg <= WM_LBUTTONDBLCLK ? 0 : msg <= WM_RBUTTONDBLCLK ? 1 : 2;
      SetCapture(hwnd);  // a drag keeps its pointer outside the window
      send_pointer(view, WINDOW_EVENT_BUTTON_PRESS, lp, b);
      return 0;
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
      const uint32_t b = msg == WM_LBUTTONUP ? 0 : msg == WM_RBUTTONUP ? 1 : 2;
      if (GetCapture() == hwnd) ReleaseCapture();
      send_pointer(view, WINDOW_EVENT_BUTTON_RELEASE, lp, b);
      return 0;
    }
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL: {
      POINT pt = {GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};  // screen coordinates for the wheel
      ScreenToClient(hwnd, &pt);
      const double notches = double(GET_WHEEL_DELTA_WPARAM(wp)) / WHEEL_DELTA;
      ev.scroll.type = WINDOW_EVENT_SCROLL;
      ev.scroll.x = pt.x;
      ev.scroll.y = pt.y;
      ev.scroll.dy = msg == WM_MOUSEWHEEL ? notches : 0.0;
      ev.scroll.dx = msg == WM_MOUSEHWHEEL ? notches : 0.0;
      ev.scroll.state = current_mods();
      ev.scroll.time = message_seconds();
      window_send(view, ev);
      return 0;
    }
    case WM_GETDLGCODE:
      return DLGC_WANTALLKEYS;  // hosts with dialog-style parents would swallow Enter and Tab
    case WM_NCDESTROY:
      // Destroyed with its parent: the handle is invalid from here on.
      view->window_gone = true;
      view->visible = false;
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---------------------------------------------------------------------------------------------------
// View

window_view* window_view_new(window_world* world) {
  if (world == nullptr) return nullptr;
  window_view* view = static_cast<window_view*>(std::calloc(1, sizeof(window_view)));
  if (view == nullptr) return nullptr;
  window_view_head_init(view, world);
  ++g_window_counts.views;
  return view;
}

void window_view_free(window_view* view) {
  if (view == nullptr) return;
  if (view->realized) window_view_unrealize(view);
  std::free(view);
  --g_window_counts.views;
}

void window_port_title_changed(window_view* view) {
  if (view->realized && !view->window_gone) SetWindowTextA(view->hwnd, view->title);
}

window_status window_port_resize(window_view* view, uint32_t width, uint32_t height) {
  if (view->realized && !view->window_gone) {
    if (!SetWindowPos(view->hwnd, nullptr, 0, 0, int(width), int(height),
                      SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER))
      return WINDOW_FAILURE;
    InvalidateRect(view->hwnd, nullptr, FALSE);
  }
  return WINDOW_SUCCESS;
}

static void destroy_native(window_view* view) {
  if (view->context != nullptr) {
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(view->context);
    view->context = nullptr;
    --g_window_counts.gl_contexts;
  }
  if (view->hdc != nullptr) {
    if (!view->window_gone) ReleaseDC(view->hwnd, view->hdc);
    view->hdc = nullptr;
    --g_window_counts.other;
  }
  if (view->hwnd != nullptr) {
    if (!view->window_gone) {
      // Messages that come while DestroyWindow runs must not reach a view that is going.
      SetWindowLongPtrW(view->hwnd, GWLP_USERDATA, 0);
      DestroyWindow(view->hwnd);
    }
    view->hwnd = nullptr;
    --g_window_counts.native_windows;
  }
  view->window_gone = false;
}

static bool version_at_least(int major, int minor) {
  const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  int ma = 0, mi = 0;
  if (v == nullptr || std::sscanf(v, "%d.%d", &ma, &mi) != 2) return false;
  return ma > major || (ma == major && mi >= minor);
}

window_status window_view_realize(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (view->realized) return WINDOW_UNSUPPORTED;
  if (view->current_w == 0 || view->current_h == 0) {
    view->current_w = view->default_w;
    view->current_h = view->default_h;
  }
  if (view->current_w == 0 || view->current_h == 0) return WINDOW_BAD_CONFIGURATION;
  const int32_t profile = view->hints[WINDOW_CONTEXT_PROFILE];
  if (window_gl_refused(profile)) return WINDOW_CREATE_CONTEXT_FAILED;
  if (view->parent != 0 && !IsWindow(reinterpret_cast<HWND>(view->parent))) return WINDOW_REALIZE_FAILED;

  wchar_t title[256];
  MultiByteToWideChar(CP_UTF8, 0, view->title, -1, title, 256);
  const DWORD style = view->parent != 0 ? (WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS)
                                        : (WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN);
  // The window is created realized-but-hidden: messages during creation find realized == false.
  view->hwnd = CreateWindowExW(0, view->world->wide_class, title, style, 0, 0, int(view->current_w),
                               int(view->current_h), reinterpret_cast<HWND>(view->parent), nullptr,
                               view->world->module, view);
  if (view->hwnd == nullptr) return WINDOW_REALIZE_FAILED;
  ++g_window_counts.native_windows;
  view->hdc = GetDC(view->hwnd);
  ++g_window_counts.other;

  PIXELFORMATDESCRIPTOR pfd;
  std::memset(&pfd, 0, sizeof pfd);
  pfd.nSize = sizeof pfd;
  pfd.nVersion = 1;
  pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL |
                (view->hints[WINDOW_DOUBLE_BUFFER] ? PFD_DOUBLEBUFFER : 0);
  pfd.iPixelType = PFD_TYPE_RGBA;
  pfd.cColorBits = 24;
  pfd.cDepthBits = BYTE(view->hints[WINDOW_DEPTH_BITS]);
  pfd.cStencilBits = BYTE(view->hints[WINDOW_STENCIL_BITS]);
  pfd.iLayerType = PFD_MAIN_PLANE;
  const int format = ChoosePixelFormat(view->hdc, &pfd);
  if (format == 0) {
    destroy_native(view);
    return WINDOW_BAD_CONFIGURATION;
  }
  if (!SetPixelFormat(view->hdc, format, &pfd)) {
    destroy_native(view);
    return WINDOW_SET_FORMAT_FAILED;
  }

  // wglCreateContextAttribsARB is only reachable through a current context: a plain one serves to
  // look it up, and stays as the context when the compatibility profile accepts it.
  HGLRC probe = wglCreateContext(view->hdc);
  if (probe == nullptr) {
    destroy_native(view);
    return WINDOW_CREATE_CONTEXT_FAILED;
  }
  ++g_window_counts.gl_contexts;
  wglMakeCurrent(view->hdc, probe);
  auto create_attribs =
      reinterpret_cast<create_context_attribs_fn>(window_gl_get_proc_address("wglCreateContextAttribsARB"));
  HGLRC ctx = nullptr;
  if (create_attribs != nullptr) {
    const int attribs[] = {WGL_CONTEXT_MAJOR_VERSION_ARB, view->hints[WINDOW_CONTEXT_VERSION_MAJOR],
                           WGL_CONTEXT_MINOR_VERSION_ARB, view->hints[WINDOW_CONTEXT_VERSION_MINOR],
                           WGL_CONTEXT_PROFILE_MASK_ARB,
                           profile == WINDOW_PROFILE_CORE ? WGL_CONTEXT_CORE_PROFILE_BIT_ARB
                                                          : WGL_CONTEXT_COMPATIBILITY_PROFILE_BIT_ARB,
                           0};
    ctx = create_attribs(view->hdc, nullptr, attribs);
  }
  if (ctx != nullptr) {
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(probe);
    view->context = ctx;  // the count carries over from the probe
  } else if (profile != WINDOW_PROFILE_CORE) {
    view->context = probe;
  } else {
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(probe);
    --g_window_counts.gl_contexts;
    destroy_native(view);
    return WINDOW_CREATE_CONTEXT_FAILED;
  }
  if (!make_current(view) || !version_at_least(view->hints[WINDOW_CONTEXT_VERSION_MAJOR],
                                                view->hints[WINDOW_CONTEXT_VERSION_MINOR])) {
    destroy_native(view);
    return WINDOW_CREATE_CONTEXT_FAILED;
  }
  auto swap_interval = reinterpret_cast<swap_interval_fn>(window_gl_get_proc_address("wglSwapIntervalEXT"));
  if (swap_interval != nullptr) swap_interval(view->hints[WINDOW_SWAP_INTERVAL]);

  view->realized = true;
  view->visible = false;
  view->frame_seconds = view->frame_end = 0.0;
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.any.type = WINDOW_EVENT_REALIZE;
  window_send(view, ev);
  std::memset(&ev, 0, sizeof ev);
  ev.configure = {WINDOW_EVENT_CONFIGURE, 0, 0, view->current_w, view->current_h};
  window_send(view, ev);
  return WINDOW_SUCCESS;
}

window_status window_view_unrealize(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized) return WINDOW_UNSUPPORTED;
  make_current(view);
  window_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.any.type = WINDOW_EVENT_UNREALIZE;
  window_send(view, ev);
  for (int i = 0; i < kMaxTimers; ++i) {
    if (view->timer_active[i] && !view->window_gone) KillTimer(view->hwnd, view->timer_ids[i]);
    view->timer_active[i] = false;
  }
  view->realized = false;
  view->visible = false;
  destroy_native(view);
  return WINDOW_SUCCESS;
}

window_status window_view_show(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  view->visible = true;
  ShowWindow(view->hwnd, SW_SHOWNA);  // passive: no activation, no focus
  InvalidateRect(view->hwnd, nullptr, FALSE);
  return WINDOW_SUCCESS;
}

window_status window_view_hide(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  ShowWindow(view->hwnd, SW_HIDE);
  view->visible = false;
  return WINDOW_SUCCESS;
}

int window_view_is_viewable(window_view* view) {
  if (view == nullptr || !view->realized || !view->visible || view->window_gone) return 0;
  if (!IsWindowVisible(view->hwnd)) return 0;  // hidden, or an ancestor is
  const HWND top = GetAncestor(view->hwnd, GA_ROOT);
  return top != nullptr && IsIconic(top) ? 0 : 1;
}

window_status window_view_start_timer(window_view* view, uintptr_t id, double seconds) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  int slot = -1;
  for (int i = 0; i < kMaxTimers; ++i) {
    if (view->timer_active[i] && view->timer_ids[i] == id) {
      slot = i;
      break;
    }
    if (!view->timer_active[i] && slot < 0) slot = i;
  }
  if (slot < 0) return WINDOW_FAILURE;
  const UINT ms = seconds < 0.001 ? 1 : UINT(seconds * 1000.0);
  if (SetTimer(view->hwnd, id, ms, nullptr) == 0) return WINDOW_FAILURE;
  view->timer_ids[slot] = id;
  view->timer_active[slot] = true;
  return WINDOW_SUCCESS;
}

window_status window_view_stop_timer(window_view* view, uintptr_t id) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  for (int i = 0; i < kMaxTimers; ++i) {
    if (view->timer_active[i] && view->timer_ids[i] == id) {
      if (!view->window_gone) KillTimer(view->hwnd, id);
      view->timer_active[i] = false;
      return WINDOW_SUCCESS;
    }
  }
  return WINDOW_UNSUPPORTED;
}

window_status window_view_obscure(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (view->realized && !view->window_gone) InvalidateRect(view->hwnd, nullptr, FALSE);
  return WINDOW_SUCCESS;
}

window_status window_view_grab_focus(window_view* view) {
  if (view == nullptr) return WINDOW_BAD_PARAMETER;
  if (!view->realized || view->window_gone) return WINDOW_UNSUPPORTED;
  SetFocus(view->hwnd);
  return WINDOW_SUCCESS;
}

double window_view_scale_factor(const window_view* view) {
  if (view == nullptr) return 1.0;
  // GetDpiForWindow exists from Windows 10 1607; older systems answer with the screen's DPI.
  if (view->realized && !view->window_gone) {
    auto get_dpi = reinterpret_cast<get_dpi_for_window_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (get_dpi != nullptr) {
      const UINT dpi = get_dpi(view->hwnd);
      if (dpi > 0) return double(dpi) / 96.0;
    }
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? double(dpi) / 96.0 : 1.0;
}

uintptr_t window_view_native(const window_view* view) {
  return view && view->realized ? reinterpret_cast<uintptr_t>(view->hwnd) : 0;
}

window_gl_proc window_gl_get_proc_address(const char* name) {
  // wglGetProcAddress knows only what lies beyond OpenGL 1.1 and marks a miss with 0 or small values;
  // the 1.1 functions come from opengl32.dll itself.
  PROC p = wglGetProcAddress(name);
  const intptr_t v = reinterpret_cast<intptr_t>(p);
  if (v == 0 || v == 1 || v == 2 || v == 3 || v == -1) {
    HMODULE gl = GetModuleHandleA("opengl32.dll");
    p = gl ? GetProcAddress(gl, name) : nullptr;
  }
  return reinterpret_cast<window_gl_proc>(reinterpret_cast<void*>(p));
}

// ---------------------------------------------------------------------------------------------------
// Message window

window_status window_native_size(window_world*, uintptr_t native, uint32_t* width, uint32_t* height) {
  if (width) *width = 0;
  if (height) *height = 0;
  RECT r;
  if (native == 0 || !GetClientRect(reinterpret_cast<HWND>(native), &r)) return WINDOW_FAILURE;
  if (width) *width = uint32_t(r.right - r.left);
  if (height) *height = uint32_t(r.bottom - r.top);
  return WINDOW_SUCCESS;
}

window_message* window_message_new(window_world* world, uintptr_t parent, int32_t x, int32_t y,
                                   uint32_t width, uint32_t height, const char* text) {
  if (world == nullptr || parent == 0 || width == 0 || height == 0 || text == nullptr) return nullptr;
  window_message* m = static_cast<window_message*>(std::calloc(1, sizeof(window_message)));
  if (m == nullptr) return nullptr;
  char copy[1024];
  std::snprintf(copy, sizeof copy, "%s", text);
  m->hwnd = CreateWindowExA(0, "STATIC", copy, WS_CHILD | WS_VISIBLE | SS_CENTER, x, y, int(width),
                            int(height), reinterpret_cast<HWND>(parent), nullptr,
                            GetModuleHandleA(nullptr), nullptr);
  if (m->hwnd == nullptr) {
    std::free(m);
    return nullptr;
  }
  ++g_window_counts.native_windows;
  ++g_window_counts.messages;
  return m;
}

void window_message_free(window_message* m) {
  if (m == nullptr) return;
  if (IsWindow(m->hwnd)) DestroyWindow(m->hwnd);
  --g_window_counts.native_windows;
  --g_window_counts.messages;
  std::free(m);
}

uintptr_t window_message_native(const window_message* m) {
  return m ? reinterpret_cast<uintptr_t>(m->hwnd) : 0;
}
