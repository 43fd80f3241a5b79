// `lodrin-host gui`: opens the editor of stage 1 inside a host window of its own, the way a DAW does
// (clap.gui with the host side of clap.timer-support and clap.posix-fd-support), keeps the rack's
// audio running in real time so the meters move, and can take a screenshot through the private
// debug extension. Every gui rule the plug-in breaks is recorded with host_rule_error.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "rack.h"

struct gui_options {
    uint32_t frames = 0;              // host frames (60 per second) before closing; 0: until closed
    const char* screenshot = nullptr; // PPM path handed to debug_request_screenshot
    double zoom = 0;                  // > 0: the host sizes the editor to zoom x 960 x 600 (x scale)
    double scale = 0;                 // > 0: given to set_scale before the editor opens
    const volatile std::sig_atomic_t* stop = nullptr;  // when set and nonzero, the editor closes
    // >= 0: a token pipe (host_os_token_open); the rack runs one block per token another host process
    // passes after each of its own blocks, instead of by the wall clock, so the two run as one serial
    // chain (equal steady times, this one after the other).
    int wait_token = -1;
    // Called once per host frame after the plug-in's timers ran (the caller's commands and reports);
    // ctx is handed back. [main-thread]
    void (*each_frame)(host_rack* r, void* ctx) = nullptr;
    void* frame_ctx = nullptr;
};

// The host window, one file per windowing system (gui_host_x11.cpp, gui_host_win32.cpp).
struct gui_window;

// The CLAP window API of this port ("x11" or "win32"). [main-thread]
const char* gui_window_api();

// Opens a visible top-level window with a client area of width x height. Null with a reason in err.
// [main-thread]
gui_window* gui_window_open(uint32_t width, uint32_t height, const char* title, char* err, size_t cap);

// The native handle a plug-in embeds into (X11 Window id or HWND). [main-thread]
uintptr_t gui_window_native(const gui_window* w);

// Resizes the client area. [main-thread]
void gui_window_resize(gui_window* w, uint32_t width, uint32_t height);

// Handles the window's pending events (on Windows: every message of the thread, the plug-in's
// included, as a DAW's message loop does). Returns false once the user closed the window; sets
// *resized and the new size when the user resized it. [main-thread]
bool gui_window_pump(gui_window* w, bool* resized, uint32_t* width, uint32_t* height);

// Closes the window. [main-thread]
void gui_window_close(gui_window* w);

// Runs the editor of the rack's first stage (the rack opened, set up and activated) until
// o.frames host frames have passed, the window is closed or *o.stop is set; the screenshot, when asked
// for, is of the last frames (requested once the run ends, written by the editor's next frame). Prints
// "window ID" (the host window's native handle) once the editor is shown. Returns 0, or 1 with a message in err
// when the editor cannot be opened or the screenshot was not written. Rule breaches are recorded, not
// returned. [main-thread]
int gui_run(host_rack* r, const gui_options& o, char* err, size_t cap);
