// The recording back end: copies each draw's description into buffers that keep their memory.
#include "vg_record.h"

#include "vg_internal.h"

#include <math.h>

#include <new>

struct vg_recorder {
    vg_array<vg_record_call> calls;
    vg_array<vg_record_path> paths;
    vg_array<float> points;
    vg_array<char> text; // every run's bytes, each followed by a NUL
    float width, height, dpr;
    int32_t flushed;
    int32_t next_tex;
};

namespace {

void bounds_of(const vg_vertex* v, int32_t n, float b[4]) {
    b[0] = b[1] = 1e30f;
    b[2] = b[3] = -1e30f;
    for (int32_t i = 0; i < n; ++i) {
        if (v[i].x < b[0]) b[0] = v[i].x;
        if (v[i].y < b[1]) b[1] = v[i].y;
        if (v[i].x > b[2]) b[2] = v[i].x;
        if (v[i].y > b[3]) b[3] = v[i].y;
    }
    if (n == 0) b[0] = b[1] = b[2] = b[3] = 0;
}

vg_record_call* new_call(vg_recorder* r, int32_t kind, const vg_paint* paint, const vg_scissor_data* scissor, float fringe) {
    vg_record_call* c = r->calls.push();
    if (!c) return nullptr;
    memset(c, 0, sizeof(*c));
    c->kind = kind;
    c->paint = *paint;
    c->scissor = *scissor;
    c->fringe = fringe;
    c->first_path = r->paths.n_items;
    return c;
}

void add_paths(vg_recorder* r, vg_record_call* c, const vg_path_data* paths, int32_t n) {
    float b[4] = {1e30f, 1e30f, -1e30f, -1e30f};
    for (int32_t i = 0; i < n; ++i) {
        vg_record_path* p = r->paths.push();
        if (!p) return;
        p->first_point = r->points.n_items / 2;
        p->n_points = paths[i].n_points;
        p->closed = paths[i].closed;
        p->winding = paths[i].winding;
        p->convex = paths[i].convex;
        float* xy = r->points.push(2 * paths[i].n_points);
        if (!xy) return;
        for (int32_t k = 0; k < paths[i].n_points; ++k) {
            xy[2 * k] = paths[i].points[k].x;
            xy[2 * k + 1] = paths[i].points[k].y;
        }
        float pb[4];
        bounds_of(paths[i].fill, paths[i].n_fill, pb);
        if (paths[i].n_fill > 0) {
            b[0] = fminf(b[0], pb[0]);
            b[1] = fminf(b[1], pb[1]);
            b[2] = fmaxf(b[2], pb[2]);
            b[3] = fmaxf(b[3], pb[3]);
        }
        bounds_of(paths[i].stroke, paths[i].n_stroke, pb);
        if (paths[i].n_stroke > 0) {
            b[0] = fminf(b[0], pb[0]);
            b[1] = fminf(b[1], pb[1]);
            b[2] = fmaxf(b[2], pb[2]);
            b[3] = fmaxf(b[3], pb[3]);
        }
        c->n_verts += paths[i].n_fill + paths[i].n_stroke;
        c->n_paths++;
    }
    if (b[0] > b[2]) b[0] = b[1] = b[2] = b[3] = 0;
    memcpy(c->bounds, b, sizeof(b));
}

int32_t rec_texture_create(void* user, int32_t, int32_t) {
    return ++static_cast<vg_recorder*>(user)->next_tex;
}
void rec_texture_update(void*, int32_t, int32_t, int32_t, int32_t, int32_t, const uint8_t*) {}
void rec_texture_delete(void*, int32_t) {}

void rec_viewport(void* user, float w, float h, float dpr) {
    vg_recorder* r = static_cast<vg_recorder*>(user);
    r->calls.clear();
    r->paths.clear();
    r->points.clear();
    r->text.clear();
    r->width = w;
    r->height = h;
    r->dpr = dpr;
    r->flushed = 0;
}

void rec_cancel(void* user) {
    vg_recorder* r = static_cast<vg_recorder*>(user);
    r->calls.clear();
    r->paths.clear();
    r->points.clear();
    r->text.clear();
    r->flushed = 0;
}

void rec_flush(void* user) {
    static_cast<vg_recorder*>(user)->flushed = 1;
}

void rec_fill(void* user, const vg_paint* paint, const vg_scissor_data* scissor, float fringe, const float*,
              const vg_path_data* paths, int32_t n) {
    vg_recorder* r = static_cast<vg_recorder*>(user);
    vg_record_call* c = new_call(r, VG_RECORD_FILL, paint, scissor, fringe);
    if (c) add_paths(r, c, paths, n);
}

void rec_stroke(void* user, const vg_paint* paint, const vg_scissor_data* scissor, float fringe, float,
                const vg_stroke_style* style, const vg_path_data* paths, int32_t n) {
    vg_recorder* r = static_cast<vg_recorder*>(user);
    vg_record_call* c = new_call(r, VG_RECORD_STROKE, paint, scissor, fringe);
    if (!c) return;
    c->stroke = *style;
    add_paths(r, c, paths, n);
}

void rec_triangles(void* user, const vg_paint* paint, const vg_scissor_data* scissor, const vg_vertex* verts, int32_t n,
                   int32_t, const vg_text_run* run) {
    vg_recorder* r = static_cast<vg_recorder*>(user);
    int32_t at = r->text.n_items;
    if (run) {
        char* t = r->text.push(run->len + 1);
        if (!t) return;
        memcpy(t, run->text, size_t(run->len));
        t[run->len] = 0;
    }
    vg_record_call* c = new_call(r, run ? VG_RECORD_TEXT : VG_RECORD_TRIANGLES, paint, scissor, 0);
    if (!c) return;
    bounds_of(verts, n, c->bounds);
    c->n_verts = n;
    if (run) {
        c->run = *run;
        c->text_at = at;
        c->run.text = nullptr; // set when read: the text buffer may still move
    }
}

const vg_backend record_backend = {
    .texture_create = rec_texture_create,
    .texture_update = rec_texture_update,
    .texture_delete = rec_texture_delete,
    .viewport = rec_viewport,
    .cancel = rec_cancel,
    .flush = rec_flush,
    .fill = rec_fill,
    .stroke = rec_stroke,
    .triangles = rec_triangles,
    .destroy = nullptr,
    // No layers: what a layer would hold is recorded as drawn into the frame.
    .layer_create = nullptr,
    .target = nullptr,
    .clear = nullptr,
};

} // namespace

vg_recorder* vg_record_new() {
    void* p = calloc(1, sizeof(vg_recorder));
    if (!p) return nullptr;
    return new (p) vg_recorder();
}

void vg_record_free(vg_recorder* rec) {
    if (!rec) return;
    rec->calls.release();
    rec->paths.release();
    rec->points.release();
    rec->text.release();
    free(rec);
}

const vg_backend* vg_record_backend() {
    return &record_backend;
}

float vg_record_width(const vg_recorder* rec) {
    return rec->width;
}
float vg_record_height(const vg_recorder* rec) {
    return rec->height;
}
float vg_record_device_pixel_ratio(const vg_recorder* rec) {
    return rec->dpr;
}
int32_t vg_record_flushed(const vg_recorder* rec) {
    return rec->flushed;
}

int32_t vg_record_count(const vg_recorder* rec) {
    return rec->calls.n_items;
}

const vg_record_call* vg_record_call_at(const vg_recorder* rec, int32_t i) {
    if (i < 0 || i >= rec->calls.n_items) return nullptr;
    vg_record_call* c = &rec->calls.items[i];
    if (c->kind == VG_RECORD_TEXT) c->run.text = rec->text.items + c->text_at;
    return c;
}

const vg_record_path* vg_record_path_at(const vg_recorder* rec, int32_t i) {
    if (i < 0 || i >= rec->paths.n_items) return nullptr;
    return &rec->paths.items[i];
}

const float* vg_record_points(const vg_recorder* rec) {
    return rec->points.items;
}

int32_t vg_record_find_text(const vg_recorder* rec, const char* text, int32_t from) {
    for (int32_t i = from < 0 ? 0 : from; i < rec->calls.n_items; ++i) {
        const vg_record_call& c = rec->calls.items[i];
        if (c.kind == VG_RECORD_TEXT && strcmp(rec->text.items + c.text_at, text) == 0) return i;
    }
    return -1;
}
