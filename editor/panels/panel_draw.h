// Small drawing steps the panels repeat, on the canvas of the frame being drawn (canvas units).
// Unlike the painters these are not shapes of their own, only one path each with one paint, so
// that a panel reads as the list of shapes it draws. Every text helper aligns vertically to the
// middle, as every text of the panels does. [main-thread]
#pragma once

#include <cstdint>

#include "theme.h"

struct vg_context;

enum panel_align : int32_t { ALIGN_LEFT = 0, ALIGN_CENTRE = 1, ALIGN_RIGHT = 2 };

// Filled rectangle / rounded rectangle in one colour.
void panel_fill_rect(vg_context* vg, float x, float y, float w, float h, theme_colour c);
void panel_fill_rrect(vg_context* vg, float x, float y, float w, float h, float r, theme_colour c);

// Rounded rectangle filled with a linear gradient from (x0, y0) in c0 to (x1, y1) in c1.
void panel_fill_rrect_linear(vg_context* vg, float x, float y, float w, float h, float r, float x0,
                             float y0, float x1, float y1, theme_colour c0, theme_colour c1);

// Rounded rectangle outline exactly on (x, y, w, h) (callers give the half-unit inset themselves).
void panel_stroke_rrect(vg_context* vg, float x, float y, float w, float h, float r, float width,
                        theme_colour c);

// Fills the current path with the current fill paint but not inside `hole`: once for each band
// around it, under a scissor on whole device pixels, so that pixels the caller knows the fill
// changes nothing in (or that something opaque covers later) are not shaded. `outer` bounds the
// path; both are (x0, y0, x1, y1) in canvas units. With a hole smaller than a pixel, or under a
// transform other than a translation, one plain fill. Leaves no scissor.
void panel_fill_around(vg_context* vg, const float outer[4], const float hole[4]);

// One straight line with butt caps.
void panel_line(vg_context* vg, float x0, float y0, float x1, float y1, float width, theme_colour c);

// Filled circle.
void panel_fill_circle(vg_context* vg, float cx, float cy, float r, theme_colour c);

// Text at (x, y) with the given size and letter spacing, aligned horizontally by `align` and
// vertically to the middle. The spacing is set back to 0 afterwards.
void panel_text(vg_context* vg, float x, float y, float size, float spacing, panel_align align,
                theme_colour c, const char* text);

// The advance width of `text` at that size and spacing.
float panel_text_width(vg_context* vg, float size, float spacing, const char* text);

// `text` cut to at most `max_width` into out (out_size bytes, caller's): whole when it fits, else its
// longest beginning that fits with an ellipsis after it, else "" when not even the ellipsis fits.
// Cuts fall between UTF-8 characters; out_size at least 4. Returns the width of what out holds.
float panel_fit_text(vg_context* vg, float size, float spacing, const char* text, float max_width, char* out,
                     int32_t out_size);

// panel_text of `text` shortened by panel_fit_text to `max_width`; nothing when nothing fits.
void panel_text_fit(vg_context* vg, float x, float y, float size, float spacing, panel_align align,
                    theme_colour c, const char* text, float max_width);

// The product logo centred at (cx, cy): a dot in orange with two opposite arcs around it.
void panel_logo(vg_context* vg, float cx, float cy);
