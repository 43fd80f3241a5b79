// The host window of `lodrin-host gui` on Windows: a top-level window whose message loop also
// dispatches the plug-in's messages (a DAW's loop does the same for every window of its thread).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "gui_host.h"

struct gui_window {
    HWND hwnd;
    uint32_t width, height;
    bool resized;
    bool closed;
};

namespace {

LRESULT CALLBACK host_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* w = reinterpret_cast<gui_window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (w && msg == WM_SIZE && wp != SIZE_MINIMIZED) {
        const uint32_t nw = LOWORD(lp), nh = HIWORD(lp);
        if (nw != w->width || nh != w->height) {
            w->width = nw;
            w->height = nh;
            w->resized = true;
        }
        return 0;
    }
    if (w && msg == WM_CLOSE) {
        w->closed = true;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

} // namespace

const char* gui_window_api() {
    return "win32";
}

gui_window* gui_window_open(uint32_t width, uint32_t height, const char* title, char* err, size_t cap) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = host_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = "LodrinHostWindow";
    RegisterClassA(&wc);
    RECT r = {0, 0, LONG(width), LONG(height)};
    AdjustWindowRect(&r, kStyle, FALSE);
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, title, kStyle, 0, 0, r.right - r.left, r.bottom - r.top,
                                nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) {
        std::snprintf(err, cap, "cannot create the host window (error %lu)", GetLastError());
        return nullptr;
    }
    auto* w = static_cast<gui_window*>(std::calloc(1, sizeof(gui_window)));
    w->hwnd = hwnd;
    w->width = width;
    w->height = height;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    return w;
}

uintptr_t gui_window_native(const gui_window* w) {
    return reinterpret_cast<uintptr_t>(w->hwnd);
}

void gui_window_resize(gui_window* w, uint32_t width, uint32_t height) {
    RECT r = {0, 0, LONG(width), LONG(height)};
    AdjustWindowRect(&r, kStyle, FALSE);
    w->width = width;
    w->height = height;
    SetWindowPos(w->hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    w->resized = false; // the host's own resize is no user resize
}

bool gui_window_pump(gui_window* w, bool* resized, uint32_t* width, uint32_t* height) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    *resized = w->resized;
    w->resized = false;
    *width = w->width;
    *height = w->height;
    return !w->closed;
}

void gui_window_close(gui_window* w) {
    if (!w) return;
    SetWindowLongPtrA(w->hwnd, GWLP_USERDATA, 0);
    DestroyWindow(w->hwnd);
    std::free(w);
}
