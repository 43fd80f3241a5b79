// The vector drawing layer: a small immediate-mode canvas. A frame is begun with the window size in
// logical units and the device pixel ratio, paths are built from move/line/curve commands or shape
// helpers, then filled or stroked with the current paint; text is laid out from a glyph atlas. All
// geometry is flattened and tessellated here (antialiased by a one-pixel fringe whose coverage the
// back end interpolates) and handed to a back-end table: the OpenGL 3.2 one (vg_gl3.h) or the
// recording one for tests (vg_record.h).
//
// Coordinates: x right, y down, in user units mapped by the current transform to frame units (the
// logical size given to vg_begin_frame); one frame unit is `device pixel ratio` device pixels.
// Angles are radians, 0 along +x, growing clockwise on screen.
//
// Memory: every per-frame buffer keeps its memory across frames, so once a scene has been drawn
// once, drawing it again allocates nothing (new glyphs and fonts excepted).
//
// Threads: a context and everything drawn through it belong to one thread, the one that created
// it (the editor's main thread). All functions here are [main-thread].
#pragma once

#include <stdint.h>

struct vg_context;

// ---- Colours and paints -------------------------------------------------------------------------

// A colour, components 0..1, not premultiplied.
struct vg_color {
    float r, g, b, a;
};

// Paint kinds.
enum vg_paint_kind : int32_t {
    VG_PAINT_SOLID = 0,  // inner colour everywhere
    VG_PAINT_LINEAR = 1, // inner at paint-space x = 0, outer at x = 1
    VG_PAINT_RADIAL = 2, // inner up to radius params[0], outer from params[1] on (paint space)
    VG_PAINT_BOX = 3,    // rounded box centred at the paint origin: half extents params[0..1],
                         // corner radius params[2], feather params[3]; inner inside, outer outside
    VG_PAINT_IMAGE = 4,  // single-channel texture (glyph coverage) times the inner colour
    VG_PAINT_LAYER = 5,  // a layer's premultiplied colours, as they are (vg_draw_layer)
};

// A paint: how a fill or stroke is coloured. `xform` maps paint space to frame units (it is the
// current transform at the time the paint was made, composed with the gradient's own placement).
struct vg_paint {
    float xform[6];
    float params[4];
    vg_color inner;
    vg_color outer;
    int32_t kind;
};

// Opaque colours and colours with alpha, from bytes 0..255 or floats 0..1. [any-thread]
vg_color vg_rgb(uint8_t r, uint8_t g, uint8_t b);
vg_color vg_rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a);
vg_color vg_rgbf(float r, float g, float b);
vg_color vg_rgbaf(float r, float g, float b, float a);

// Gradients, in user units under the current transform.
// Linear: from colour `inner` at (sx, sy) to `outer` at (ex, ey), constant across the line.
vg_paint vg_linear_gradient(vg_context* ctx, float sx, float sy, float ex, float ey, vg_color inner,
                            vg_color outer);
// Radial: centred at (cx, cy), `inner` up to radius r0, blending to `outer` at radius r1.
vg_paint vg_radial_gradient(vg_context* ctx, float cx, float cy, float r0, float r1, vg_color inner,
                            vg_color outer);
// Box: the rounded rectangle (x, y, w, h, radius) blurred by `feather`: `inner` deep inside,
// `outer` far outside, half way at the rectangle's edge. Drop shadows and inner glows.
vg_paint vg_box_gradient(vg_context* ctx, float x, float y, float w, float h, float radius,
                         float feather, vg_color inner, vg_color outer);

// ---- Back ends ------------------------------------------------------------------------------------

// One vertex as the back end draws it: position in frame units and two coverage coordinates.
// u runs across a stroke from 0 (left edge) to 1 (right edge); coverage = min(1, (1 - |2u - 1|) x
// stroke multiplier) x min(1, v). Fills use u = 0.5 inside and u = 0 on the outer fringe edge; v
// falls to 0 only over the antialiased end of a butt or square cap. For text, (u, v) are texel
// coordinates in the glyph atlas.
struct vg_vertex {
    float x, y, u, v;
};

// One flattened point of a path, in frame units (tessellation data besides x and y).
struct vg_point {
    float x, y;
    float dx, dy; // unit direction to the next point
    float len;    // distance to the next point
    float dmx, dmy; // averaged normal of the two segments meeting here, scaled for a miter
    uint8_t flags;
};

// One path of a fill or stroke, as the back end receives it. Pointers are valid during the call.
struct vg_path_data {
    const vg_point* points; // the flattened outline; a closed path does not repeat its first point
    int32_t n_points;
    const vg_vertex* fill;  // triangle fan of the inside (fills only), n_fill vertices
    int32_t n_fill;
    const vg_vertex* stroke; // triangle strip: the fringe of a fill, or the whole stroke
    int32_t n_stroke;
    int32_t closed;  // 1 when closed
    int32_t winding; // vg_winding the path was given
    int32_t convex;  // 1 when the path is convex (fills of one convex path skip the stencil)
};

// The scissor of a draw: a rectangle of half extents extent[0..1] centred at the origin of the
// space that `xform` maps to frame units (xform here is the inverse: frame units to scissor space).
// extent[0] < 0 means no scissor.
struct vg_scissor_data {
    float xform[6];
    float extent[2];
};

// How a stroke was asked for (the geometry already carries it; recorded for tests).
struct vg_stroke_style {
    float width; // in frame units, after the transform's scale
    int32_t line_cap;
    int32_t line_join;
    float miter_limit;
};

// A run of text behind a triangles call (null for plain triangles).
struct vg_text_run {
    const char* text; // the drawn bytes (UTF-8), `len` long, not NUL-terminated
    int32_t len;
    float x, y;       // the position given to vg_text, user units
    float frame_x, frame_y; // the same mapped to frame units
    float size;       // font size, user units
    float letter_spacing;
    int32_t align;
    int32_t font;
    float advance;    // user units
};

// The drawing back end. Every call receives `user`. The front end calls viewport once per frame,
// then any number of fill/stroke/triangles calls, then flush (end of frame) or cancel. Vertex,
// path and paint pointers are valid only during the call: a back end that defers drawing copies
// them. Paint colours arrive with the global alpha already applied.
struct vg_backend {
    // Makes a single-channel texture of w x h texels; returns its id (> 0) or 0 on failure.
    int32_t (*texture_create)(void* user, int32_t w, int32_t h);
    // Uploads the region (x, y, w, h) of `data`, a whole texture image of the texture's width.
    void (*texture_update)(void* user, int32_t tex, int32_t x, int32_t y, int32_t w, int32_t h,
                           const uint8_t* data);
    void (*texture_delete)(void* user, int32_t tex);
    void (*viewport)(void* user, float width, float height, float device_pixel_ratio);
    void (*cancel)(void* user);
    void (*flush)(void* user);
    // A fill of n_paths paths under the nonzero rule (solid paths count +1, holes -1). `fringe`
    // is the antialiasing width in frame units (0 when antialiasing is off); bounds is the box
    // (min x, min y, max x, max y) of all paths including the fringe.
    void (*fill)(void* user, const vg_paint* paint, const vg_scissor_data* scissor, float fringe,
                 const float bounds[4], const vg_path_data* paths, int32_t n_paths);
    // A stroke: each path's strip covers the stroke; `stroke_mult` is the coverage multiplier of
    // vg_vertex; `fringe` as above.
    void (*stroke)(void* user, const vg_paint* paint, const vg_scissor_data* scissor, float fringe,
                   float stroke_mult, const vg_stroke_style* style, const vg_path_data* paths,
                   int32_t n_paths);
    // Triangles (three vertices each) painted with `paint`; for text the paint is VG_PAINT_IMAGE
    // over texture `tex` and `run` tells what was written.
    void (*triangles)(void* user, const vg_paint* paint, const vg_scissor_data* scissor,
                      const vg_vertex* verts, int32_t n_verts, int32_t tex, const vg_text_run* run);
    // Frees the back end's state (`user`); null when the caller owns it.
    void (*destroy)(void* user);

    // Layers (all three null when the back end has none). layer_create makes an offscreen target of
    // w x h device pixels with a stencil, transparent, and returns its texture id (> 0; deleted
    // with texture_delete) or 0. target queues a change of target: later draws go to the layer (0:
    // the frame's own target), whose frame size is w x h units. clear queues the clearing of the
    // device pixel rectangle (x, y from the top, w, h) of the current target to transparent, its
    // stencil to 0. Triangles with a VG_PAINT_LAYER paint sample texture `tex` at their (u, v),
    // texel coordinates from the layer's top left.
    int32_t (*layer_create)(void* user, int32_t w, int32_t h);
    void (*target)(void* user, int32_t layer, float w, float h);
    void (*clear)(void* user, const int32_t rect[4]);
};

// ---- Context ------------------------------------------------------------------------------------

enum vg_create_flags : uint32_t {
    VG_ANTIALIAS = 1u << 0,       // one-pixel coverage fringe on every edge
    VG_STENCIL_STROKES = 1u << 1, // strokes cover each pixel once (overlaps do not blend twice)
};

// Makes a context over `backend` (a static table that must outlive the context) and its `user`
// state. flags: vg_create_flags. Returns null when memory or the back end's atlas texture cannot
// be had. The context owns `user` only when backend->destroy is set.
vg_context* vg_create(const vg_backend* backend, void* user, uint32_t flags);

// Frees the context, its fonts (those registered with free_data) and, through backend->destroy,
// the back end. Null is a no-op.
void vg_delete(vg_context* ctx);

// The flags the context was made with.
uint32_t vg_flags(const vg_context* ctx);

// Begins a frame of `width` x `height` frame units drawn at `device_pixel_ratio` device pixels per
// unit; resets the state stack to one default state.
void vg_begin_frame(vg_context* ctx, float width, float height, float device_pixel_ratio);
// The device pixel ratio the frame was begun with.
float vg_device_pixel_ratio(const vg_context* ctx);
// Ends the frame: the back end draws everything queued since vg_begin_frame.
void vg_end_frame(vg_context* ctx);
// Drops everything queued since vg_begin_frame.
void vg_cancel_frame(vg_context* ctx);

// ---- State ---------------------------------------------------------------------------------------

// The state stack holds VG_MAX_STATES states. vg_save pushes a copy of the current state (ignored
// when full); vg_restore pops it (ignored at the bottom). vg_reset sets the current state to the
// defaults: white fill, black stroke, width 1, butt caps, miter joins, miter limit 10, alpha 1,
// identity transform, no scissor, font 0 at size 16, spacing 0, left + baseline alignment,
// shape antialiasing on.
enum { VG_MAX_STATES = 32 };
void vg_save(vg_context* ctx);
void vg_restore(vg_context* ctx);
void vg_reset(vg_context* ctx);

// Multiplies every paint's alpha by `alpha` (0..1).
void vg_global_alpha(vg_context* ctx, float alpha);
// Turns the antialiasing fringe of fills and strokes off (0) or on (1); text is not affected.
void vg_shape_anti_alias(vg_context* ctx, int32_t enabled);

// Transform: user units to frame units, the matrix [a c e; b d f]. New operations apply to user
// units first (translate then draw at 0 moves the drawing).
void vg_reset_transform(vg_context* ctx);
void vg_transform(vg_context* ctx, float a, float b, float c, float d, float e, float f);
void vg_translate(vg_context* ctx, float x, float y);
void vg_scale(vg_context* ctx, float x, float y);
void vg_rotate(vg_context* ctx, float angle);
// Copies the current transform (a, b, c, d, e, f) into out.
void vg_current_transform(const vg_context* ctx, float out[6]);

// Scissor: only what lies inside the rectangle (user units under the current transform) is drawn.
void vg_scissor(vg_context* ctx, float x, float y, float w, float h);
// Narrows the scissor to its intersection with the rectangle (axis-aligned in frame units).
void vg_intersect_scissor(vg_context* ctx, float x, float y, float w, float h);
void vg_reset_scissor(vg_context* ctx);

// Paints and stroke style.
void vg_fill_color(vg_context* ctx, vg_color color);
void vg_fill_paint(vg_context* ctx, vg_paint paint);
void vg_stroke_color(vg_context* ctx, vg_color color);
void vg_stroke_paint(vg_context* ctx, vg_paint paint);
void vg_stroke_width(vg_context* ctx, float width);
void vg_miter_limit(vg_context* ctx, float limit);

enum vg_line_cap : int32_t { VG_CAP_BUTT = 0, VG_CAP_ROUND = 1, VG_CAP_SQUARE = 2 };
enum vg_line_join : int32_t { VG_JOIN_MITER = 0, VG_JOIN_ROUND = 1, VG_JOIN_BEVEL = 2 };
void vg_line_cap(vg_context* ctx, int32_t cap);
void vg_line_join(vg_context* ctx, int32_t join);

// ---- Paths ----------------------------------------------------------------------------------------

enum vg_winding : int32_t {
    VG_WINDING_SOLID = 1, // the path adds to the filled area
    VG_WINDING_HOLE = 2,  // the path cuts a hole into the solid paths of the same fill
};
enum vg_direction : int32_t {
    VG_DIR_CCW = 1, // counter-clockwise on screen (decreasing angle)
    VG_DIR_CW = 2,  // clockwise on screen (increasing angle)
};

// Clears the current path (also done by vg_begin_frame).
void vg_begin_path(vg_context* ctx);
// Starts a new sub-path at (x, y).
void vg_move_to(vg_context* ctx, float x, float y);
void vg_line_to(vg_context* ctx, float x, float y);
// Cubic bezier from the last point through controls (c1x, c1y), (c2x, c2y) to (x, y).
void vg_bezier_to(vg_context* ctx, float c1x, float c1y, float c2x, float c2y, float x, float y);
// Quadratic bezier through control (cx, cy) to (x, y).
void vg_quad_to(vg_context* ctx, float cx, float cy, float x, float y);
// Circular arc around (cx, cy) of radius r from angle a0 to a1 in direction `dir` (vg_direction).
// It continues the current sub-path with a line to its start, or starts one when there is none.
void vg_arc(vg_context* ctx, float cx, float cy, float r, float a0, float a1, int32_t dir);
// Closes the current sub-path.
void vg_close_path(vg_context* ctx);
// Sets the winding of the current sub-path (vg_winding).
void vg_path_winding(vg_context* ctx, int32_t winding);
// Closed shape sub-paths (solid winding).
void vg_rect(vg_context* ctx, float x, float y, float w, float h);
void vg_rounded_rect(vg_context* ctx, float x, float y, float w, float h, float r);
void vg_ellipse(vg_context* ctx, float cx, float cy, float rx, float ry);
void vg_circle(vg_context* ctx, float cx, float cy, float r);

// Fills the current path with the fill paint (nonzero rule; holes subtract).
void vg_fill(vg_context* ctx);
// Strokes the current path with the stroke paint, width, caps and joins.
void vg_stroke(vg_context* ctx);

// Fills the area between two curves over shared x positions (user units, in increasing or
// decreasing order): between xs[i] and
// xs[i + 1] it lies below the straight line from (xs[i], tops[i]) to (xs[i + 1], tops[i + 1]) and
// above the one joining bottoms[i] and bottoms[i + 1]. The area is the one vg_fill gives the
// polygon around it with shape antialiasing off, drawn as one batch of triangles with the fill
// paint (no fringe, no stencil passes), so plots of many columns cost little. It leaves the
// current path alone; n < 2 draws nothing.
void vg_fill_columns(vg_context* ctx, const float* xs, const float* tops, const float* bottoms, int32_t n);

// ---- Layers ----------------------------------------------------------------------------------------

// A layer is an offscreen image of device pixels that keeps what was drawn into it across frames, so
// that a part of the scene that changes little is drawn once and then copied. Its colours are
// premultiplied: what is drawn into it and then copied over the frame gives the colours drawing it
// into the frame directly gives (up to rounding).

// Makes a transparent layer of w x h device pixels; 0 when the back end has no layers or it cannot
// be made. vg_layer_delete frees it (0 is a no-op).
int32_t vg_layer_create(vg_context* ctx, int32_t w, int32_t h);
void vg_layer_delete(vg_context* ctx, int32_t layer);
// Between vg_begin_layer and vg_end_layer (inside a frame) everything drawn goes to the layer of
// w x h device pixels: its frame units are device pixels / device pixel ratio, from its top left.
// vg_begin_layer saves the state and resets it (identity transform, no scissor); vg_end_layer
// returns to the frame and restores it.
void vg_begin_layer(vg_context* ctx, int32_t layer, int32_t w, int32_t h);
void vg_end_layer(vg_context* ctx);
// Clears the device pixel rectangle (x, y from the top, w, h) of the layer being drawn to
// transparent.
void vg_clear_layer(vg_context* ctx, int32_t x, int32_t y, int32_t w, int32_t h);
// Copies the layer's device pixel rectangle (sx, sy, w, h) to the device pixels at (dx, dy) of the
// current target, blended over what lies there, inside the current scissor. The transform does
// not apply: the copy is pixel for pixel.
void vg_draw_layer(vg_context* ctx, int32_t layer, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t dx,
                   int32_t dy);

// ---- Text ------------------------------------------------------------------------------------------

enum vg_align : int32_t {
    VG_ALIGN_LEFT = 1 << 0,     // x is the left end of the text
    VG_ALIGN_CENTER = 1 << 1,   // x is its middle
    VG_ALIGN_RIGHT = 1 << 2,    // x is its right end
    VG_ALIGN_TOP = 1 << 3,      // y is the font's ascender line
    VG_ALIGN_MIDDLE = 1 << 4,   // y is half way between ascender and descender
    VG_ALIGN_BOTTOM = 1 << 5,   // y is the descender line
    VG_ALIGN_BASELINE = 1 << 6, // y is the baseline (the default)
};

// Registers a TrueType font from memory under `name`. `data` must stay valid while the context
// lives; with free_data = 1 the context frees it (with free()) when it is deleted or when the
// font cannot be used. Returns the font id (>= 0) or -1 when the data is no font or memory fails.
int32_t vg_create_font_mem(vg_context* ctx, const char* name, const uint8_t* data, int32_t size,
                           int32_t free_data);
// The id of the font registered under `name`, -1 when none.
int32_t vg_find_font(const vg_context* ctx, const char* name);

void vg_font_face_id(vg_context* ctx, int32_t font);
void vg_font_size(vg_context* ctx, float size);     // em size, user units
void vg_letter_spacing(vg_context* ctx, float spacing); // added after every glyph, user units
void vg_text_align(vg_context* ctx, int32_t align);  // vg_align bits: one horizontal, one vertical

// Draws the UTF-8 text [str, end) (end null: up to the NUL) at (x, y) with the fill paint's inner
// colour (times the global alpha), aligned as set. Glyphs are rasterised at their size in device
// pixels and the baseline is snapped to whole device pixels. Returns the advance: the width the
// pen moved, letter spacing included, in user units.
float vg_text(vg_context* ctx, float x, float y, const char* str, const char* end);
// Measures as vg_text would draw: bounds gets (min x, min y, max x, max y) in user units, x from
// the aligned start of the text to start + advance, y from the ascender to the descender line.
// bounds may be null. Returns the advance.
float vg_text_bounds(vg_context* ctx, float x, float y, const char* str, const char* end,
                     float bounds[4]);
// The current font's ascender (above the baseline, positive), descender (below it, negative) and
// line height, in user units at the current size. Any pointer may be null.
void vg_text_metrics(vg_context* ctx, float* ascender, float* descender, float* line_height);
