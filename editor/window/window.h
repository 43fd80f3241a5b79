// The editor's window layer: one world per process (display connection, clock, event pass) and views
// (a child window of the host's window with an OpenGL context). The X11 + GLX port serves Linux, the
// Win32 + WGL port the Windows build; both implement exactly this header.
//
// Threading: everything here runs on the thread that created the world, which for a plug-in is the
// host's main thread: [main-thread] throughout.
//
// Environment: LODRIN_FORCE_NO_GL makes context creation fail, so the fallback paths can be tested on a
// machine that has OpenGL. Unset, empty or "0": off. "core" refuses only core-profile contexts, so a
// compatibility-profile retry succeeds; any other value refuses every context. Realize then fails with
// WINDOW_CREATE_CONTEXT_FAILED and leaves no window behind.
#pragma once

#include <cstddef>
#include <cstdint>

struct window_world;
struct window_view;
struct window_message;

enum window_status : int32_t {
  WINDOW_SUCCESS = 0,
  WINDOW_FAILURE,                 // a platform call failed for a reason not listed below
  WINDOW_BAD_PARAMETER,           // a null handle, an unknown hint, a size of 0
  WINDOW_BAD_CONFIGURATION,       // the hints ask for a pixel format the display does not offer
  WINDOW_BACKEND_FAILED,          // no display connection, or the GL entry points for contexts missing
  WINDOW_REGISTRATION_FAILED,     // the window class could not be registered
  WINDOW_REALIZE_FAILED,          // the native window could not be created (bad parent, ...)
  WINDOW_CREATE_CONTEXT_FAILED,   // no OpenGL context with the requested version and profile
  WINDOW_SET_FORMAT_FAILED,       // the pixel format could not be set on the window
  WINDOW_NO_MEMORY,
  WINDOW_UNSUPPORTED,             // the call makes no sense in the view's state (realize twice, ...)
};

// A fixed English text for a status, never null; unknown values give "Unknown error". [any-thread]
const char* window_strerror(window_status status);

// ---------------------------------------------------------------------------------------------------
// World

// Opens the display connection and starts the clock. class_name names the native window class (Win32)
// and the WM_CLASS of top-level windows (X11); it is copied (at most 63 characters). Returns null when
// no display can be opened or memory runs out. The caller owns the world and frees it with
// window_world_free after freeing every view and message window made on it. [main-thread]
window_world* window_world_new(const char* class_name);

// Frees the world and closes its display connection; null is a no-op. [main-thread]
void window_world_free(window_world* world);

// The class name given to window_world_new; owned by the world. [main-thread]
const char* window_world_class_name(const window_world* world);

// Seconds since the world was created, from a monotonic clock (input events carry the platform's
// own times, see Events).
// [main-thread]
double window_world_time(const window_world* world);

// One pass over the world: dispatches every pending native event, fires every due timer, then sends one
// expose event to each shown view that has been obscured (or exposed by the system) since its last
// frame. With timeout > 0 it first waits up to that many seconds for an event or the next timer; 0
// never blocks. Returns WINDOW_SUCCESS (WINDOW_BAD_PARAMETER for a null world). On Windows a pass
// handles at most 1/60 s of messages, since timer and paint messages are made whenever the queue is
// looked at. [main-thread]
window_status window_world_update(window_world* world, double timeout);

// The file descriptor of the display connection, to be watched for reading by the host (X11); -1 on
// Windows, where the host's message loop delivers the events. [main-thread]
int window_world_fd(const window_world* world);

// The native display (an X11 Display*); null on Windows. Owned by the world. [main-thread]
void* window_world_native(const window_world* world);

// ---------------------------------------------------------------------------------------------------
// View

enum window_hint : int32_t {
  WINDOW_CONTEXT_VERSION_MAJOR = 0,  // default 3
  WINDOW_CONTEXT_VERSION_MINOR,      // default 2
  WINDOW_CONTEXT_PROFILE,            // window_profile, default WINDOW_PROFILE_CORE
  WINDOW_DOUBLE_BUFFER,              // 0 or 1, default 1
  WINDOW_STENCIL_BITS,               // default 8; like the depth bits a minimum: the closest
  WINDOW_DEPTH_BITS,                 // default 0    format the display offers is taken
  WINDOW_SWAP_INTERVAL,              // default 0 (no wait for the vertical blank)
  WINDOW_RESIZABLE,                  // 0 or 1, default 1
  WINDOW_N_HINTS,
};

enum window_profile : int32_t {
  WINDOW_PROFILE_CORE = 0,
  WINDOW_PROFILE_COMPATIBILITY = 1,
};

enum window_size_hint : int32_t {
  WINDOW_DEFAULT_SIZE = 0,  // the size a view is realized at when no current size was set
  WINDOW_CURRENT_SIZE = 1,  // the window's size: setting it on a realized view resizes the window
};

// A new unrealized view on the world, with the hint defaults above and no size. Returns null when
// memory runs out. The caller owns it and frees it with window_view_free before the world. [main-thread]
window_view* window_view_new(window_world* world);

// Unrealizes the view when realized (delivering the unrealize event) and frees it; null is a no-op.
// [main-thread]
void window_view_free(window_view* view);

// The world the view was made on. [main-thread]
window_world* window_view_world(const window_view* view);

// An opaque pointer for the event function's use; not owned. [main-thread]
void window_view_set_handle(window_view* view, void* handle);
void* window_view_get_handle(const window_view* view);

union window_event;

// The event function of a view. event points to storage of the layer, valid during the call only.
// The return value is ignored except for logging. [main-thread]
typedef window_status (*window_event_func)(window_view* view, const window_event* event);

// Sets the function that receives the view's events; null drops them. [main-thread]
void window_view_set_event_func(window_view* view, window_event_func func);

// Sets or reads a hint. Hints take effect at the next realize. Unknown hints give
// WINDOW_BAD_PARAMETER (set) or -1 (get). [main-thread]
window_status window_view_set_hint(window_view* view, window_hint hint, int32_t value);
int32_t window_view_get_hint(const window_view* view, window_hint hint);

// The window title, copied (at most 255 bytes of UTF-8); a child window shows it nowhere but it names
// the window to tools. [main-thread]
window_status window_view_set_title(window_view* view, const char* title);

// Sets a size hint in pixels. WINDOW_CURRENT_SIZE on a realized view resizes the native window (the
// configure event follows); on an unrealized one it sets the size the view will be realized at.
// Width or height 0 gives WINDOW_BAD_PARAMETER. [main-thread]
window_status window_view_set_size_hint(window_view* view, window_size_hint which, uint32_t width,
                                        uint32_t height);

// Reads a size hint; 0 x 0 when unset. WINDOW_CURRENT_SIZE gives the last size the window was set to
// or reported by the system. [main-thread]
void window_view_get_size_hint(const window_view* view, window_size_hint which, uint32_t* width,
                               uint32_t* height);

// The native parent window (an X11 Window id or an HWND), set before realize; 0 makes a top-level
// window. Changing it on a realized view gives WINDOW_UNSUPPORTED. [main-thread]
window_status window_view_set_parent(window_view* view, uintptr_t parent);
uintptr_t window_view_get_parent(const window_view* view);

// Creates the native window (unmapped) and its OpenGL context from the hints, makes the context current
// and delivers the realize event, then a configure event with the window's size. On failure nothing
// is left behind and no event is delivered. Realizing a realized view gives WINDOW_UNSUPPORTED.
// [main-thread]
window_status window_view_realize(window_view* view);

// Delivers the unrealize event with the context current, stops every timer, then destroys the context
// and the native window. Unrealized views give WINDOW_UNSUPPORTED. [main-thread]
window_status window_view_unrealize(window_view* view);

// 1 between a successful realize and the unrealize. [main-thread]
int window_view_is_realized(const window_view* view);

// Maps the realized window without raising it or taking the keyboard focus, and schedules a frame.
// Unrealized views give WINDOW_UNSUPPORTED. [main-thread]
window_status window_view_show(window_view* view);

// Unmaps the realized window; frames stop until it is shown again. [main-thread]
window_status window_view_hide(window_view* view);

// 1 while the view is realized and shown. [main-thread]
int window_view_is_visible(const window_view* view);

// 1 when the view can be seen now: realized and shown, its native window viewable (it and every
// ancestor mapped; X11 asks the server, one round trip), and not hidden as a whole (X11: fully
// obscured as the server last reported it; Win32: its top-level window minimised). A host may hide
// the editor by unmapping or minimising its own window without a word to the plug-in. [main-thread]
int window_view_is_viewable(window_view* view);

// What the view's last frame took: the seconds from the start of the world pass that drew it (X11) or
// of its paint message (Win32) to the end of the buffer swap, and the world time at which it ended;
// both 0 before the first frame. [main-thread]
void window_view_last_frame(const window_view* view, double* seconds, double* end_time);

// Starts (or restarts) a repeating timer that delivers timer events with this id every `seconds`
// (at least 1 ms). On X11 timers fire inside window_world_update, so their resolution is the rate at
// which the world is updated. Unrealized views give WINDOW_UNSUPPORTED. At most 8 timers per view.
// [main-thread]
window_status window_view_start_timer(window_view* view, uintptr_t id, double seconds);

// Stops the timer with this id; an id not running gives WINDOW_UNSUPPORTED. [main-thread]
window_status window_view_stop_timer(window_view* view, uintptr_t id);

// Marks the whole view for redrawing: the next world update (X11) or the system's paint message (Win32)
// delivers one expose event however often this was called. [main-thread]
window_status window_view_obscure(window_view* view);

// Gives the realized view the keyboard focus. [main-thread]
window_status window_view_grab_focus(window_view* view);

// The display's scale factor for this view: X11 reads the Xft.dpi resource / 96, Win32 the window's
// (or the screen's) DPI / 96; 1.0 when unknown. [main-thread]
double window_view_scale_factor(const window_view* view);

// The native window (X11 Window id or HWND); 0 while unrealized. [main-thread]
uintptr_t window_view_native(const window_view* view);

typedef void (*window_gl_proc)(void);

// The address of an OpenGL function, or null when the implementation has none. Call it with a context
// of the layer current (inside the realize, unrealize and expose events), as WGL requires.
// [main-thread]
window_gl_proc window_gl_get_proc_address(const char* name);

// ---------------------------------------------------------------------------------------------------
// Events. The view's context is current during the realize, unrealize and expose events; after the
// expose event returns the layer swaps the buffers. Positions are in window pixels from the top left.
// Input events carry their own time in seconds, when the input happened rather than when it is
// handled: the X server's timestamp, GetMessageTime on Windows (milliseconds, wrapping at 2^32). That
// clock is the platform's, not window_world_time: only differences between events mean something.

enum window_event_type : uint32_t {
  WINDOW_EVENT_NOTHING = 0,
  WINDOW_EVENT_REALIZE,
  WINDOW_EVENT_UNREALIZE,
  WINDOW_EVENT_CONFIGURE,
  WINDOW_EVENT_EXPOSE,
  WINDOW_EVENT_TIMER,
  WINDOW_EVENT_KEY_PRESS,
  WINDOW_EVENT_TEXT,
  WINDOW_EVENT_POINTER_OUT,
  WINDOW_EVENT_BUTTON_PRESS,
  WINDOW_EVENT_BUTTON_RELEASE,
  WINDOW_EVENT_MOTION,
  WINDOW_EVENT_SCROLL,
};

// Modifier bits of the state fields.
enum window_mod : uint32_t {
  WINDOW_MOD_SHIFT = 1u << 0,
  WINDOW_MOD_CTRL = 1u << 1,
  WINDOW_MOD_ALT = 1u << 2,
  WINDOW_MOD_SUPER = 1u << 3,
};

// Key codes of key press events: printable keys give their unshifted Unicode character (lower-case
// letters), Backspace 8, Tab 9, Enter 13 (keypad Enter too), Escape 27, Delete 127; the keys below
// lie in the Unicode private use area; anything else gives 0.
enum window_key : uint32_t {
  WINDOW_KEY_BACKSPACE = 8,
  WINDOW_KEY_TAB = 9,
  WINDOW_KEY_ENTER = 13,
  WINDOW_KEY_ESCAPE = 27,
  WINDOW_KEY_DELETE = 127,
  WINDOW_KEY_LEFT = 0xE000,
  WINDOW_KEY_RIGHT,
  WINDOW_KEY_UP,
  WINDOW_KEY_DOWN,
  WINDOW_KEY_PAGE_UP,
  WINDOW_KEY_PAGE_DOWN,
  WINDOW_KEY_HOME,
  WINDOW_KEY_END,
  WINDOW_KEY_INSERT,
  WINDOW_KEY_SHIFT,
  WINDOW_KEY_CTRL,
  WINDOW_KEY_ALT,
  WINDOW_KEY_SUPER,
  WINDOW_KEY_F1,  // F1 .. F12 follow in order
};

struct window_event_any {
  window_event_type type;
};

struct window_event_configure {
  window_event_type type;
  int32_t x, y;            // position in the parent
  uint32_t width, height;  // pixels
};

struct window_event_expose {
  window_event_type type;
  int32_t x, y;
  uint32_t width, height;  // the whole view: the layer always redraws all of it
};

struct window_event_timer {
  window_event_type type;
  uintptr_t id;
};

struct window_event_key {
  window_event_type type;
  uint32_t key;      // window_key or character, as above
  uint32_t keycode;  // the platform's raw key code
  uint32_t state;    // window_mod bits held at the press (not counting this key)
  double time;
};

// The character a key press produced, after the layout and modifiers: Ctrl+Z gives 26.
struct window_event_text {
  window_event_type type;
  uint32_t character;  // Unicode code point
  char utf8[8];        // the same, UTF-8, zero-terminated
  uint32_t state;
  double time;
};

struct window_event_crossing {
  window_event_type type;
  double x, y;
  uint32_t state;
  double time;
};

struct window_event_button {
  window_event_type type;
  uint32_t button;  // 0 primary, 1 secondary, 2 middle, 3.. others
  double x, y;
  uint32_t state;
  double time;
};

struct window_event_motion {
  window_event_type type;
  double x, y;
  uint32_t state;
  double time;
};

// One wheel notch is 1; dy is positive upwards, dx positive to the right.
struct window_event_scroll {
  window_event_type type;
  double x, y;
  double dx, dy;
  uint32_t state;
  double time;
};

union window_event {
  window_event_type type;
  window_event_any any;
  window_event_configure configure;
  window_event_expose expose;
  window_event_timer timer;
  window_event_key key;
  window_event_text text;
  window_event_crossing crossing;
  window_event_button button;
  window_event_motion motion;
  window_event_scroll scroll;
};

// ---------------------------------------------------------------------------------------------------
// Message window: a plain child window showing a text, for when OpenGL cannot start. The X11 port draws
// it with the server's core fonts, the Win32 port is a centred STATIC control.

// Reads the client size of a native window in pixels; WINDOW_FAILURE (and 0 x 0) when it cannot be read.
// [main-thread]
window_status window_native_size(window_world* world, uintptr_t native, uint32_t* width,
                                 uint32_t* height);

// Creates a visible child of `parent` at (x, y) with size width x height showing `text` (copied; line
// feeds break lines, at most 1023 bytes), centred line by line. Returns null on failure. The caller owns
// it and frees it with window_message_free before the world. [main-thread]
window_message* window_message_new(window_world* world, uintptr_t parent, int32_t x, int32_t y,
                                   uint32_t width, uint32_t height, const char* text);

// Destroys the message window; null is a no-op. [main-thread]
void window_message_free(window_message* message);

// The message window's native handle. [main-thread]
uintptr_t window_message_native(const window_message* message);

// ---------------------------------------------------------------------------------------------------
// Resource counts of the process, for leak tests: every native object the layer creates is counted
// from its creation to its destruction.

struct window_resource_counts {
  int32_t worlds;           // open display connections / registered classes
  int32_t views;            // window_view records
  int32_t native_windows;   // native windows of views and message windows
  int32_t gl_contexts;      // OpenGL contexts (a temporary context made to probe WGL counts while alive)
  int32_t messages;         // message windows
  int32_t other;            // fonts, graphics contexts, colormaps, device contexts
};

// The current counts. [main-thread]
window_resource_counts window_live_resources(void);
