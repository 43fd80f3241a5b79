// The editor's shared drawing routines: the shapes every panel repeats. They only draw, on the
// canvas `vg` inside a frame (canvas units); none records hit entries, reads parameters or touches
// editor state. Each sets the fill, stroke, width, font size, spacing and alignment it needs and
// does not restore them; only draw_circular_arrow saves and restores the canvas state, and
// draw_knob leaves the line cap butt and the letter spacing 0. [main-thread]
#pragma once

#include "theme.h"

struct vg_context;

// A halo of `colour` fading out over `feather` around the rounded rectangle, its inside left alone.
void draw_drop_shadow(vg_context* vg, float x, float y, float w, float h, float radius, float feather,
                      theme_colour colour);

// Rotary knob centred at (cx, cy): 270-degree track from lower left, value arc, pointer, label above
// and value text below; `hot` while hovered or dragged. value is normalised 0..1. The value text is
// orange while hot, else white, unless `value_colour` names its colour.
void draw_knob(vg_context* vg, float cx, float cy, float radius, double value, const char* label,
               const char* value_text, bool hot, const theme_colour* value_colour = nullptr);

// Vertical level bar from `floor` dB (bottom) to 0 dB (top), with segment lines inside the fill and
// a peak-hold line (red when `alert`).
void draw_meter_bar(vg_context* vg, float x, float y, float w, float h, float value, float peak,
                    float floor_db, theme_colour top, theme_colour bottom, bool alert);

// The background of the controls panel and the stage grid.
void draw_header_panel(vg_context* vg, float x, float y, float w, float h);

// A pill button: active (orange label and border tint) and highlighted (solid orange border).
void draw_button(vg_context* vg, float x, float y, float w, float h, const char* label, bool active,
                 bool highlighted);

// One filled rounded rectangle.
void draw_fill_rounded(vg_context* vg, float x, float y, float w, float h, float radius, theme_colour colour);

// One rounded rectangle outline, inset half a unit.
void draw_stroke_rounded(vg_context* vg, float x, float y, float w, float h, float radius, float width,
                         theme_colour colour);

// The undo icon at (cx, cy); mirrored left to right it is the redo icon.
void draw_circular_arrow(vg_context* vg, float cx, float cy, bool mirrored, theme_colour colour);
