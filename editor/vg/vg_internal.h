// What the drawing layer's own files share: the growable buffers, the context record and the text
// machinery's entry points. Not for use outside editor/vg/. [main-thread]
#pragma once

#include "vg.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// A growable array of plain records that keeps its memory: clearing sets the count to 0, and the
// capacity only grows (doubling), so a steady workload stops allocating after its first round.
template <typename T>
struct vg_array {
    T* items = nullptr;
    int32_t n_items = 0;
    int32_t cap_items = 0;

    bool reserve(int32_t n) {
        if (n <= cap_items) return true;
        int32_t cap = cap_items > 0 ? cap_items : 64;
        while (cap < n) cap *= 2;
        void* p = realloc(items, sizeof(T) * size_t(cap));
        if (!p) return false;
        items = static_cast<T*>(p);
        cap_items = cap;
        return true;
    }
    // Appends k records (uninitialised) and returns the first, or null when memory fails.
    T* push(int32_t k = 1) {
        if (n_items + k > cap_items && !reserve(n_items + k)) return nullptr;
        T* p = items + n_items;
        n_items += k;
        return p;
    }
    void clear() { n_items = 0; }
    void release() {
        free(items);
        items = nullptr;
        n_items = cap_items = 0;
    }
};

// 2x3 affine transforms [a b c d e f]: x' = a x + c y + e, y' = b x + d y + f.
void vg_xform_identity(float t[6]);
// out = `then` applied after `first`. out may alias either.
void vg_xform_compose(float out[6], const float first[6], const float then[6]);
// Returns 0 (and the identity) when t is singular.
int32_t vg_xform_inverse(float out[6], const float t[6]);
void vg_xform_point(const float t[6], float x, float y, float* ox, float* oy);

struct vg_state {
    vg_paint fill;
    vg_paint stroke;
    float stroke_width;
    float miter_limit;
    float alpha;
    int32_t line_cap;
    int32_t line_join;
    int32_t shape_aa;
    float xform[6];
    float scissor_xform[6]; // scissor space (centred rectangle) to frame units
    float scissor_extent[2]; // half extents; < 0: no scissor
    float font_size;
    float letter_spacing;
    int32_t align;
    int32_t font;
};

// A path of the flattened cache, indices into the cache's arrays.
struct vg_path_cache {
    int32_t first, count;
    int32_t closed, winding, convex;
    int32_t fill_at, n_fill;
    int32_t stroke_at, n_stroke;
};

struct vg_font;
struct vg_glyph_table;

struct vg_context {
    const vg_backend* be;
    void* user;
    uint32_t flags;

    vg_array<float> commands; // opcode, then its points in frame units
    float last_x, last_y;     // the current point, frame units
    int32_t has_point;

    vg_state states[VG_MAX_STATES];
    int32_t n_states;

    // The flattened form of the current path, rebuilt when the path changes.
    vg_array<vg_point> points;
    vg_array<vg_path_cache> paths;
    vg_array<vg_vertex> verts;
    vg_array<vg_path_data> path_data;
    int32_t cache_valid;
    int32_t cache_oriented; // made for a fill: paths turned to their winding
    int32_t cache_reversed; // ... and at least one of them was turned
    float bounds[4];

    float dpr;
    float frame_w, frame_h; // the frame's size in frame units (vg_begin_frame)
    int32_t in_layer;       // drawing into a layer (vg_begin_layer)
    float tess_tol, dist_tol, fringe;

    // Text.
    vg_array<vg_font*> fonts;
    vg_glyph_table* glyphs;
    vg_array<vg_vertex> text_verts;
    vg_array<vg_vertex> column_verts; // vg_fill_columns
    vg_array<float> column_spans;
};

// Text machinery (vg_text.cpp).
bool vg_text_init(vg_context* ctx);
void vg_text_shutdown(vg_context* ctx);
// Uploads atlas regions rasterised during the frame; called before the back end's flush.
void vg_text_flush(vg_context* ctx);
// Called at vg_begin_frame: a full atlas is emptied here, between frames.
void vg_text_begin_frame(vg_context* ctx);

// The current state.
inline vg_state* vg_top(vg_context* ctx) {
    return &ctx->states[ctx->n_states - 1];
}
// The paint with the state's global alpha applied.
vg_paint vg_apply_alpha(const vg_paint& p, float alpha);
// The scissor of the current state as the back end receives it.
vg_scissor_data vg_current_scissor(const vg_state* s);
