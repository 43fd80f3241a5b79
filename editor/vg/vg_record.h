// The recording back end: it keeps what one frame asked to draw (fills, strokes, text runs with their
// paints, scissors, stroke styles, flattened points and bounds) so that panels can be checked without
// a display. Each vg_begin_frame on its context starts a new recording; the buffers keep their memory.
// [main-thread]
#pragma once

#include "vg.h"

struct vg_recorder;

enum vg_record_kind : int32_t {
    VG_RECORD_FILL = 1,
    VG_RECORD_STROKE = 2,
    VG_RECORD_TEXT = 3,      // a vg_text call (its glyph triangles)
    VG_RECORD_TRIANGLES = 4, // other triangles
};

// One recorded draw. Paths index vg_record_path_at; text lies in vg_record_text.
struct vg_record_call {
    int32_t kind;           // vg_record_kind
    vg_paint paint;         // global alpha applied
    vg_scissor_data scissor;
    float fringe;           // antialiasing width in frame units, 0 when off
    float bounds[4];        // min x, min y, max x, max y in frame units of what the call covers
    int32_t first_path, n_paths;
    vg_stroke_style stroke; // strokes only
    vg_text_run run;        // text only; run.text (NUL-terminated) points into the recorder, valid
                            // until the next call is recorded
    int32_t text_at;        // text only: the run's offset in the recorder's text buffer
    int32_t n_verts;        // vertices the back end received (strips, fans, triangles)
};

// One recorded path: its flattened points, (x, y) pairs in frame units at vg_record_points.
struct vg_record_path {
    int32_t first_point, n_points;
    int32_t closed, winding, convex;
};

// Makes an empty recorder; null when memory fails. The caller owns it and frees it with
// vg_record_free after deleting every context made over it.
vg_recorder* vg_record_new();
void vg_record_free(vg_recorder* rec);

// The back-end table to pass to vg_create with the recorder as `user` (it has no destroy: the
// context does not own the recorder).
const vg_backend* vg_record_backend();

// The last frame's size and device pixel ratio (as given to vg_begin_frame).
float vg_record_width(const vg_recorder* rec);
float vg_record_height(const vg_recorder* rec);
float vg_record_device_pixel_ratio(const vg_recorder* rec);
// 1 once the frame was ended with vg_end_frame, 0 while open or after vg_cancel_frame.
int32_t vg_record_flushed(const vg_recorder* rec);

// Calls of the current (or last) frame in drawing order; i in 0..count-1.
int32_t vg_record_count(const vg_recorder* rec);
const vg_record_call* vg_record_call_at(const vg_recorder* rec, int32_t i);
const vg_record_path* vg_record_path_at(const vg_recorder* rec, int32_t i);
// Flattened points of every recorded path, x then y; valid until the next frame.
const float* vg_record_points(const vg_recorder* rec);

// Index of the first text call at or after `from` whose text equals `text` (NUL-terminated), or
// -1. A convenience for panel tests.
int32_t vg_record_find_text(const vg_recorder* rec, const char* text, int32_t from);
