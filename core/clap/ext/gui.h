// clap.gui: the plug-in's editor window, embedded in a host window or floating.
#pragma once

#include <cstdint>

#include "../host.h"
#include "../plugin.h"

inline constexpr char CLAP_EXT_GUI[] = "clap.gui";

inline constexpr char CLAP_WINDOW_API_WIN32[] = "win32";
inline constexpr char CLAP_WINDOW_API_COCOA[] = "cocoa";
inline constexpr char CLAP_WINDOW_API_X11[] = "x11";
inline constexpr char CLAP_WINDOW_API_WAYLAND[] = "wayland";
inline constexpr char CLAP_WINDOW_API_UIKIT[] = "uikit";

typedef void* clap_hwnd;
typedef void* clap_nsview;
typedef unsigned long clap_xwnd; // an X11 Window: 8 bytes on Linux x86-64, 4 on Win64
typedef void* clap_uiview;

// A window handle of one of the APIs above.
struct clap_window {
    const char* api; // CLAP_WINDOW_API_*
    union {
        clap_nsview cocoa;
        clap_xwnd x11;
        clap_hwnd win32;
        void* ptr; // for any other API
        clap_uiview uikit;
    };
};

struct clap_gui_resize_hints {
    bool can_resize_horizontally;
    bool can_resize_vertically;
    bool preserve_aspect_ratio; // only when both directions can resize
    uint32_t aspect_ratio_width;
    uint32_t aspect_ratio_height;
};

struct clap_plugin_gui {
    // True when the editor can be made for api, embedded (is_floating false) or floating. [main-thread]
    bool (*is_api_supported)(const clap_plugin* plugin, const char* api, bool is_floating);

    // The preferred api and mode; api points to a string owned by the plug-in. [main-thread]
    bool (*get_preferred_api)(const clap_plugin* plugin, const char** api, bool* is_floating);

    // Creates the editor's resources; the window appears after set_parent and show. [main-thread]
    bool (*create)(const clap_plugin* plugin, const char* api, bool is_floating);

    // Frees everything create made. [main-thread]
    void (*destroy)(const clap_plugin* plugin);

    // Sets the absolute scale factor of the window. Returns false when the plug-in derives it itself.
    // [main-thread]
    bool (*set_scale)(const clap_plugin* plugin, double scale);

    // The current size in physical pixels. [main-thread]
    bool (*get_size)(const clap_plugin* plugin, uint32_t* width, uint32_t* height);

    // True when the user may resize the window. [main-thread & !floating]
    bool (*can_resize)(const clap_plugin* plugin);

    // Fills the resize constraints. [main-thread & !floating]
    bool (*get_resize_hints)(const clap_plugin* plugin, clap_gui_resize_hints* hints);

    // Changes width and height to the nearest size the editor accepts. [main-thread & !floating]
    bool (*adjust_size)(const clap_plugin* plugin, uint32_t* width, uint32_t* height);

    // Resizes the editor to width x height. [main-thread & !floating]
    bool (*set_size)(const clap_plugin* plugin, uint32_t width, uint32_t height);

    // Embeds the editor in window. [main-thread & !floating]
    bool (*set_parent)(const clap_plugin* plugin, const clap_window* window);

    // Keeps a floating editor above window. [main-thread & floating]
    bool (*set_transient)(const clap_plugin* plugin, const clap_window* window);

    // Suggests a title for a floating window. [main-thread & floating]
    void (*suggest_title)(const clap_plugin* plugin, const char* title);

    // Shows the window. [main-thread]
    bool (*show)(const clap_plugin* plugin);

    // Hides the window without destroying it. [main-thread]
    bool (*hide)(const clap_plugin* plugin);
};

struct clap_host_gui {
    // The plug-in's resize hints changed. [main-thread]
    void (*resize_hints_changed)(const clap_host* host);

    // Asks the host to resize the parent window to width x height; true when it will. [thread-safe]
    bool (*request_resize)(const clap_host* host, uint32_t width, uint32_t height);

    // Asks the host to show the editor. [thread-safe]
    bool (*request_show)(const clap_host* host);

    // Asks the host to hide the editor. [thread-safe]
    bool (*request_hide)(const clap_host* host);

    // A floating window was closed by the user (was_destroyed: its resources are gone). [thread-safe]
    void (*closed)(const clap_host* host, bool was_destroyed);
};
