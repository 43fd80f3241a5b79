// The host window of `lodrin-host gui` on X11: a plain top-level window on the host's own display
// connection (the plug-in opens its own).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>

#include "gui_host.h"

struct gui_window {
    Display* display;
    Window win;
    Atom wm_delete;
    uint32_t width, height;
};

const char* gui_window_api() {
    return "x11";
}

gui_window* gui_window_open(uint32_t width, uint32_t height, const char* title, char* err, size_t cap) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::snprintf(err, cap, "cannot open the X display \"%s\"", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return nullptr;
    }
    auto* w = static_cast<gui_window*>(std::calloc(1, sizeof(gui_window)));
    w->display = d;
    w->width = width;
    w->height = height;
    w->win = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, width, height, 0, BlackPixel(d, DefaultScreen(d)),
                                 BlackPixel(d, DefaultScreen(d)));
    XStoreName(d, w->win, title);
    XSelectInput(d, w->win, StructureNotifyMask);
    w->wm_delete = XInternAtom(d, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(d, w->win, &w->wm_delete, 1);
    XMapWindow(d, w->win);
    // The plug-in's child must land in a mapped window: wait for the map.
    for (XEvent e;;) {
        XWindowEvent(d, w->win, StructureNotifyMask, &e);
        if (e.type == MapNotify) break;
    }
    return w;
}

uintptr_t gui_window_native(const gui_window* w) {
    return uintptr_t(w->win);
}

void gui_window_resize(gui_window* w, uint32_t width, uint32_t height) {
    w->width = width;
    w->height = height;
    XResizeWindow(w->display, w->win, width, height);
    XFlush(w->display);
}

bool gui_window_pump(gui_window* w, bool* resized, uint32_t* width, uint32_t* height) {
    bool open = true;
    *resized = false;
    while (XPending(w->display)) {
        XEvent e;
        XNextEvent(w->display, &e);
        if (e.type == ClientMessage && Atom(e.xclient.data.l[0]) == w->wm_delete) open = false;
        if (e.type == ConfigureNotify && e.xconfigure.window == w->win &&
            (uint32_t(e.xconfigure.width) != w->width || uint32_t(e.xconfigure.height) != w->height)) {
            w->width = uint32_t(e.xconfigure.width);
            w->height = uint32_t(e.xconfigure.height);
            *resized = true;
        }
    }
    *width = w->width;
    *height = w->height;
    return open;
}

void gui_window_close(gui_window* w) {
    if (!w) return;
    XDestroyWindow(w->display, w->win);
    XCloseDisplay(w->display);
    std::free(w);
}
