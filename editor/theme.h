// The editor's look in one place: one colour table and one font table, named by role and read by
// every panel and painter, and the stage colours by place in the chain. A panel that needs a colour
// or text style not listed here writes its own constant next to the drawing call that uses it (the
// many one-off tints of gradients and shadows), but never a second copy of a role below.
#pragma once

#include <cstdint>

// An 8-bit RGBA colour; rgb(r,g,b) means alpha 255.
struct theme_colour {
    uint8_t r, g, b, a;
};

inline constexpr theme_colour theme_rgb(uint8_t r, uint8_t g, uint8_t b) {
    return theme_colour{r, g, b, 255};
}
inline constexpr theme_colour theme_rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return theme_colour{r, g, b, a};
}
inline constexpr theme_colour theme_with_alpha(theme_colour c, uint8_t a) {
    return theme_colour{c.r, c.g, c.b, a};
}

struct colour_table {
    theme_colour orange;      // what is active, hovered, dragged or focused
    theme_colour text_white;  // text
    theme_colour grey;        // secondary text, captions
    theme_colour dim;         // dim text, disabled icons
    theme_colour alert;       // alert red: over the ceiling, the ceiling line
    theme_colour faint;       // faint outline of panels and idle controls
    theme_colour background_top;    // window clear colour and top of the canvas gradient
    theme_colour background_bottom; // bottom of the canvas gradient
    theme_colour on_orange;   // text on an orange fill
    theme_colour peak_hold;   // a peak-hold line that is not alerting
};

inline constexpr colour_table colours = {
    .orange = theme_rgb(255, 182, 74),
    .text_white = theme_rgb(226, 229, 237),
    .grey = theme_rgb(124, 130, 148),
    .dim = theme_rgb(78, 83, 98),
    .alert = theme_rgb(236, 86, 74),
    .faint = theme_rgba(255, 255, 255, 14),
    .background_top = theme_rgb(12, 13, 18),
    .background_bottom = theme_rgb(21, 23, 30),
    .on_orange = theme_rgb(20, 18, 14),
    .peak_hold = theme_rgba(240, 244, 255, 220),
};

// Stage colours by 0-based place in the chain listing; places 5 and above share the last.
inline constexpr int32_t STAGE_COLOUR_COUNT = 6;
inline constexpr theme_colour stage_colours[STAGE_COLOUR_COUNT] = {
    theme_rgb(236, 86, 74),  theme_rgb(242, 122, 78),  theme_rgb(246, 154, 84),
    theme_rgb(248, 184, 96), theme_rgb(236, 206, 120), theme_rgb(220, 220, 150),
};
inline constexpr theme_colour stage_colour(int32_t place) {
    return stage_colours[place < 0 ? 0 : (place >= STAGE_COLOUR_COUNT ? STAGE_COLOUR_COUNT - 1 : place)];
}

// One text style: size and letter spacing in canvas units.
struct font_role {
    float size;
    float spacing;
};

struct font_table {
    font_role label;        // button and switch labels, knob values (11)
    font_role caption;      // captions above switches, grid row captions (7.5, spaced)
    font_role knob_label;   // knob captions, section titles (8.5, spaced)
    font_role column_title; // meter column titles, fader caption (8, spaced)
    font_role scale;        // dB scale numbers (7)
    font_role small_mark;   // the "M" mark of a mapped controller (7, spaced)
    font_role readout;      // numbers below the meters (9)
    font_role menu_row;     // pop-up menu rows, preset name (11.5)
    font_role tooltip_title; // (11)
    font_role tooltip_help;  // (9.5)
    font_role entry;        // text entry box (12)
    font_role big_number;   // the loudness readout (26)
    font_role product;      // the product name in the header (17, spaced)
};

inline constexpr font_table fonts = {
    .label = {11.0f, 0.0f},
    .caption = {7.5f, 0.9f},
    .knob_label = {8.5f, 1.02f},
    .column_title = {8.0f, 0.96f},
    .scale = {7.0f, 0.0f},
    .small_mark = {7.0f, 0.84f},
    .readout = {9.0f, 0.0f},
    .menu_row = {11.5f, 0.0f},
    .tooltip_title = {11.0f, 0.0f},
    .tooltip_help = {9.5f, 0.0f},
    .entry = {12.0f, 0.0f},
    .big_number = {26.0f, 0.0f},
    .product = {17.0f, 2.04f},
};
