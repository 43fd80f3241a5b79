// The OpenGL 3.2 core back end: the frame's draws are queued (vertices, per-draw uniforms) and
// drawn at flush with one shader program, one vertex buffer and one uniform buffer.
//
// Fills of one convex path are drawn directly: the inset inside as a fan, then the fringe strip.
// Other fills go through the stencil buffer: every path's fan adds +1 (front-facing triangles) or
// -1 (back-facing) with wrapping, with colour writes off; the fringe is drawn where the count is
// still 0 (outside, so the fringe never darkens the inside); then a rectangle over the bounds
// covers where the count is not 0 and clears it on the way (nonzero rule).
// Stencil strokes cover each pixel once: a first pass draws only the fully covered parts of the
// strip and marks them with the stroke's own stencil value, a second adds the antialiased fringe
// where that stroke drew nothing yet. Overlapping parts of the strip (joins, a path crossing itself)
// so do not blend twice, which would show as darker knots in translucent lines. The marks stay
// until a fill needs the stencil, 255 strokes have used up the values, or the flush ends; each of
// these clears the stencil once.
// Every pass uses the shader variant of its paint kind and scissor (built on first use), so a
// pixel only pays for the arithmetic its paint needs; a pass with colour writes off runs an empty
// shader. A scissor that is an upright rectangle on whole device pixels is the rasteriser's scissor
// test rather than the shader's mask, and the inside of an opaque convex fill is drawn without
// blending: both give the same pixels for less work per pixel.
// Layers are framebuffers over an RGBA texture with a depth-stencil renderbuffer; a change of target
// is a queued call like any draw, so a frame can redraw part of a layer and then copy it. The
// stencil of every target is zero whenever the queue moves to another one.
// At flush, calls of one state are drawn together where that gives the same pixels (see gl_batch),
// and the paths of one call are joined into one draw of each kind.
// Colours are premultiplied; blending is ONE, ONE_MINUS_SRC_ALPHA.
#include "vg_gl3.h"

#include "gl_table.h"
#include "vg_internal.h"

#include <math.h>
#include <stdio.h>

#include <new>

namespace {

// The per-draw uniforms: one list feeds the C layout (offsets in vec4 units) and the shader's
// names for the same slots, so the layout is written once.
#define VG_UNIFORM_SLOTS(X)                                                                                          \
    X(scissor_col0) /* frame units to scissor space, mat3 columns */                                                 \
    X(scissor_col1)                                                                                                  \
    X(scissor_col2)                                                                                                  \
    X(paint_col0) /* frame units to paint space */                                                                   \
    X(paint_col1)                                                                                                    \
    X(paint_col2)                                                                                                    \
    X(inner_col)         /* premultiplied */                                                                         \
    X(outer_col)         /* premultiplied */                                                                         \
    X(scissor_ext_scale) /* half extents; device pixels per scissor unit */                                          \
    X(paint_params)      /* per paint kind */                                                                        \
    X(misc)              /* stroke multiplier, discard threshold, paint kind, unused */

enum uniform_slot : int32_t {
#define VG_SLOT_ENUM(name) U_##name,
    VG_UNIFORM_SLOTS(VG_SLOT_ENUM)
#undef VG_SLOT_ENUM
        U_COUNT
};

struct frag_uniforms {
    float v[U_COUNT][4];
};

const char* const kSlotNames[U_COUNT] = {
#define VG_SLOT_NAME(name) #name,
    VG_UNIFORM_SLOTS(VG_SLOT_NAME)
#undef VG_SLOT_NAME
};

const char* const kVertexShader = R"(#version 150 core
uniform vec2 view;
in vec2 vertex;
in vec2 tcoord;
out vec2 fpos;
out vec2 ftc;
void main() {
    ftc = tcoord;
    fpos = vertex;
    gl_Position = vec4(2.0 * vertex.x / view.x - 1.0, 1.0 - 2.0 * vertex.y / view.y, 0.0, 1.0);
}
)";

// Preceded by "#version", the uniform block, one #define per slot and the variant's three: KIND
// (-1: a pass with colour writes off, which computes nothing; 0..5: the paint kind, so the
// compiler keeps only that paint's arithmetic; 6: the paint kind read from the block), SCISSOR and
// DISCARD (the threshold test; only the first pass of a stencil stroke needs it).
const char* const kFragmentBody = R"(
uniform sampler2D tex;
in vec2 fpos;
in vec2 ftc;
out vec4 out_color;

// Signed distance to a rounded box of half extents ext and corner radius r centred at 0.
float box_distance(vec2 p, vec2 ext, float r) {
    vec2 q = abs(p) - (ext - vec2(r));
    return min(max(q.x, q.y), 0.0) + length(max(q, 0.0)) - r;
}

// 1 inside the scissor, 0 outside, a one-pixel ramp across its edges.
float scissor_mask(vec2 p) {
    vec2 d = abs((mat3(scissor_col0.xyz, scissor_col1.xyz, scissor_col2.xyz) * vec3(p, 1.0)).xy) -
             scissor_ext_scale.xy;
    d = vec2(0.5) - d * scissor_ext_scale.zw;
    return clamp(d.x, 0.0, 1.0) * clamp(d.y, 0.0, 1.0);
}

void main() {
#if KIND < 0
    out_color = vec4(0.0);
#else
#if KIND > 5
    float kind = misc.z;
#else
    const float kind = float(KIND);
#endif
    vec4 color;
    if (kind > 4.5) {
        // A layer, rows stored bottom up; ftc counts texels from its top left.
        vec2 size = vec2(textureSize(tex, 0));
        color = texture(tex, vec2(ftc.x, size.y - ftc.y) / size);
    } else if (kind > 3.5) {
        color = inner_col * texture(tex, ftc / vec2(textureSize(tex, 0))).r;
    } else {
        float coverage = min(1.0, (1.0 - abs(ftc.x * 2.0 - 1.0)) * misc.x) * min(1.0, ftc.y);
#if DISCARD
        if (coverage < misc.y) discard;
#endif
        if (kind < 0.5) {
            color = inner_col * coverage;
        } else {
            vec2 pt = (mat3(paint_col0.xyz, paint_col1.xyz, paint_col2.xyz) * vec3(fpos, 1.0)).xy;
            float t;
            if (kind > 2.5) {
                t = clamp((box_distance(pt, paint_params.xy, paint_params.z) + paint_params.w * 0.5) /
                          max(paint_params.w, 0.0001), 0.0, 1.0);
            } else if (kind > 1.5) {
                t = clamp((length(pt) - paint_params.x) / max(paint_params.y - paint_params.x, 0.0001), 0.0, 1.0);
            } else {
                t = clamp(pt.x, 0.0, 1.0);
            }
            color = mix(inner_col, outer_col, t) * coverage;
        }
    }
#if SCISSOR
    color *= scissor_mask(fpos);
#endif
    out_color = color;
#endif
}
)";

// Shader variants: the paint kind (KIND + 1, 0..7) times scissor times discard. The last kind (6,
// read from the block, with scissor and discard) is the general program: built with the back end,
// and used for any variant that fails to build.
enum : int32_t {
    V_SCISSOR = 1,
    V_DISCARD = 2,
    V_KIND_SHIFT = 2,
    KIND_MASK_ONLY = -1,
    KIND_GENERAL = 6,
    VARIANT_COUNT = (KIND_GENERAL + 2) << V_KIND_SHIFT,
};

constexpr int32_t variant_of(int32_t kind, bool scissor, bool discard) {
    return ((kind + 1) << V_KIND_SHIFT) | (scissor ? V_SCISSOR : 0) | (discard ? V_DISCARD : 0);
}
constexpr int32_t VARIANT_MASK_ONLY = variant_of(KIND_MASK_ONLY, false, false);
constexpr int32_t VARIANT_GENERAL = variant_of(KIND_GENERAL, true, true);

enum call_type : int32_t { CALL_FILL, CALL_CONVEX_FILL, CALL_STROKE, CALL_TRIANGLES, CALL_TARGET, CALL_CLEAR };

struct gl_call {
    int32_t type;
    int32_t tex;
    int32_t path_at, n_paths;
    int32_t tri_at, n_tri; // triangles, or the cover rectangle of a stencil fill (4 vertices)
    int32_t block;         // first uniform block
    int32_t stencil;       // strokes: drawn through the stencil (each pixel once)
    int32_t opaque;        // convex fills: the inside replaces what lies under it (no blending)
    int32_t clipped;       // the scissor is the rasteriser's: clip (x, y from the bottom, w, h)
    int32_t clip[4];
    int32_t variant;       // the shader variant of the paint and scissor
    float view[2];         // targets: the frame size of the new target
    float box[4];          // the bounds of its vertices: x0, y0, x1, y1 in frame units
    int32_t next;          // at flush: the next call of its batch, or -1
};

// At flush the calls are gathered into batches: a call joins an earlier batch of the same state
// (type, shader variant, scissor, texture, uniform block) when that gives the same pixels, and each
// batch is one set of draws. A call may move back past batches its bounds do not touch (what it
// covers then lies under nothing drawn in between), and into a batch that draws in order
// (non-stencil strokes, triangles) or one whose members it does not touch. Targets and clears are
// never passed.
struct gl_batch {
    int32_t head, tail; // calls, linked through `next`
    float box[4];
};

// One batch's geometry, laid out for its draws: the inside (fans: one fan, or a triangle list of
// all of them; triangles) and all strips joined into one through degenerate triangles.
struct gl_draw {
    int32_t call; // the batch's first call, whose state it draws with
    GLenum inside_mode;
    int32_t inside_at, n_inside;
    int32_t strip_at, n_strip;
};

struct gl_path {
    int32_t fill_at, n_fill;
    int32_t stroke_at, n_stroke;
};

struct gl_texture {
    GLuint id;
    GLuint fbo, depth_stencil; // layers only
    int32_t w, h;
    int32_t doomed; // delete after the queued draws
};

// One shader variant: built on first use (state 1) or failed for good (state -1).
struct gl_program {
    GLuint id;
    GLint loc_view;
    int32_t state;
    uint32_t view_flush; // the view serial whose size the program holds
};

struct gl3_backend {
    uint32_t flags;
    GLuint vao, vbo, ubo;
    GLsizeiptr vbo_capacity, ubo_capacity; // bytes of the buffers' stores
    gl_program programs[VARIANT_COUNT];
    GLuint bound;        // the program in use during a flush
    int32_t bound_block, bound_tex; // ... and the uniform block and texture (-1: none yet)
    int32_t clip_on;     // the scissor test's state during a flush, and its box
    int32_t clip[4];
    int32_t stroke_mark; // the stencil value of the last stencil stroke since the stencil was clear
    int32_t block_size; // bytes per uniform block, rounded up to the buffer offset alignment
    float view[2];       // frame size of the target draws are queued for
    float frame_view[2]; // ... of the frame's own target
    float play_view[2];  // ... of the target being drawn to during a flush
    uint32_t view_serial; // counts the view sizes programs were given
    GLint frame_fbo;      // the frame's own framebuffer and viewport, read at flush
    GLint frame_viewport[4];
    float dpr;
    vg_array<gl_call> calls;
    vg_array<gl_path> paths;
    vg_array<vg_vertex> verts;
    vg_array<uint8_t> uniforms;
    vg_array<gl_texture> textures;
    vg_array<gl_batch> batches; // at flush
    vg_array<gl_draw> draws;
    vg_array<vg_vertex> drawn; // the vertices as the draws use them
};

const gl_functions& gl = gl_table;

void premultiply(const vg_color& c, float out[4]) {
    out[0] = c.r * c.a;
    out[1] = c.g * c.a;
    out[2] = c.b * c.a;
    out[3] = c.a;
}

void set_mat(frag_uniforms* u, int32_t slot, const float t[6]) {
    float* c0 = u->v[slot];
    float* c1 = u->v[slot + 1];
    float* c2 = u->v[slot + 2];
    c0[0] = t[0];
    c0[1] = t[1];
    c0[2] = 0;
    c0[3] = 0;
    c1[0] = t[2];
    c1[1] = t[3];
    c1[2] = 0;
    c1[3] = 0;
    c2[0] = t[4];
    c2[1] = t[5];
    c2[2] = 1;
    c2[3] = 0;
}

// Appends one uniform block for the paint and scissor; returns its index or -1.
int32_t add_block(gl3_backend* b, const vg_paint* paint, const vg_scissor_data* sc, float stroke_mult, float threshold) {
    uint8_t* at = b->uniforms.push(b->block_size);
    if (!at) return -1;
    frag_uniforms u;
    memset(&u, 0, sizeof(u));
    if (sc->extent[0] < 0) {
        // No scissor: a zero map puts every point at the centre of a 1 x 1 box.
        u.v[U_scissor_ext_scale][0] = 1;
        u.v[U_scissor_ext_scale][1] = 1;
        u.v[U_scissor_ext_scale][2] = 1;
        u.v[U_scissor_ext_scale][3] = 1;
        float zero[6] = {0, 0, 0, 0, 0, 0};
        set_mat(&u, U_scissor_col0, zero);
    } else {
        set_mat(&u, U_scissor_col0, sc->xform);
        u.v[U_scissor_ext_scale][0] = sc->extent[0];
        u.v[U_scissor_ext_scale][1] = sc->extent[1];
        // Scissor units per frame unit along each axis are the norms of the inverse map's rows.
        float rx = sqrtf(sc->xform[0] * sc->xform[0] + sc->xform[2] * sc->xform[2]);
        float ry = sqrtf(sc->xform[1] * sc->xform[1] + sc->xform[3] * sc->xform[3]);
        u.v[U_scissor_ext_scale][2] = b->dpr / (rx > 1e-6f ? rx : 1e-6f);
        u.v[U_scissor_ext_scale][3] = b->dpr / (ry > 1e-6f ? ry : 1e-6f);
    }
    float inv[6];
    vg_xform_inverse(inv, paint->xform);
    set_mat(&u, U_paint_col0, inv);
    premultiply(paint->inner, u.v[U_inner_col]);
    premultiply(paint->outer, u.v[U_outer_col]);
    for (int32_t i = 0; i < 4; ++i) u.v[U_paint_params][i] = paint->params[i];
    u.v[U_misc][0] = stroke_mult;
    u.v[U_misc][1] = threshold;
    u.v[U_misc][2] = float(paint->kind);
    memcpy(at, &u, sizeof(u));
    return (b->uniforms.n_items - b->block_size) / b->block_size;
}

// Picks the call's shader variant. A scissor that is an upright rectangle on whole device pixels
// goes to the rasteriser's scissor test instead: there the shader's mask is 1 at every pixel
// centre inside and 0 outside, which is what the test does, and the pixels skip its arithmetic.
void set_variant(gl3_backend* b, gl_call* c, const vg_paint* paint, const vg_scissor_data* sc) {
    bool scissor = sc->extent[0] >= 0;
    c->clipped = 0;
    const float* t = sc->xform;
    if (scissor && t[1] == 0.0f && t[2] == 0.0f && t[0] > 0.0f && t[3] > 0.0f) {
        // Frame x lies inside where |x a + e| <= extent, y likewise; in device pixels from the top.
        const float d = b->dpr;
        const float edges[5] = {(-sc->extent[0] - t[4]) / t[0] * d, (sc->extent[0] - t[4]) / t[0] * d,
                                (-sc->extent[1] - t[5]) / t[3] * d, (sc->extent[1] - t[5]) / t[3] * d,
                                b->view[1] * d};
        int32_t px[5];
        bool whole = true;
        for (int32_t i = 0; i < 5; ++i) {
            const float r = roundf(edges[i]);
            whole = whole && fabsf(edges[i] - r) < 1e-3f && fabsf(r) < 1e7f;
            px[i] = int32_t(r);
        }
        if (whole) {
            c->clipped = 1;
            c->clip[0] = px[0];
            c->clip[1] = px[4] - px[3];
            c->clip[2] = px[1] - px[0] > 0 ? px[1] - px[0] : 0;
            c->clip[3] = px[3] - px[2] > 0 ? px[3] - px[2] : 0;
            scissor = false;
        }
    }
    c->variant = variant_of(paint->kind, scissor, false);
}

// Appends n vertices to `to`; returns where they start, or -1 when memory fails.
int32_t append_verts(vg_array<vg_vertex>& to, const vg_vertex* v, int32_t n) {
    int32_t at = to.n_items;
    if (n > 0) {
        vg_vertex* w = to.push(n);
        if (!w) return -1;
        memcpy(w, v, sizeof(vg_vertex) * size_t(n));
    }
    return at;
}

int32_t copy_verts(gl3_backend* b, const vg_vertex* v, int32_t n) {
    return append_verts(b->verts, v, n);
}

// Widens `box` (x0, y0, x1, y1) to take in the vertices.
void add_bounds(float box[4], const vg_vertex* v, int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
        box[0] = fminf(box[0], v[i].x);
        box[1] = fminf(box[1], v[i].y);
        box[2] = fmaxf(box[2], v[i].x);
        box[3] = fmaxf(box[3], v[i].y);
    }
}

void empty_bounds(float box[4]) {
    box[0] = box[1] = 3e38f;
    box[2] = box[3] = -3e38f;
}

bool copy_paths(gl3_backend* b, gl_call* c, const vg_path_data* paths, int32_t n) {
    c->path_at = b->paths.n_items;
    c->n_paths = n;
    empty_bounds(c->box);
    gl_path* p = b->paths.push(n);
    if (!p) return false;
    for (int32_t i = 0; i < n; ++i) {
        p[i].fill_at = copy_verts(b, paths[i].fill, paths[i].n_fill);
        p[i].n_fill = paths[i].n_fill;
        p[i].stroke_at = copy_verts(b, paths[i].stroke, paths[i].n_stroke);
        p[i].n_stroke = paths[i].n_stroke;
        if (p[i].fill_at < 0 || p[i].stroke_at < 0) return false;
        add_bounds(c->box, paths[i].fill, paths[i].n_fill);
        add_bounds(c->box, paths[i].stroke, paths[i].n_stroke);
    }
    return true;
}

gl_texture* find_texture(gl3_backend* b, int32_t id) {
    if (id <= 0 || id > b->textures.n_items) return nullptr;
    gl_texture* t = &b->textures.items[id - 1];
    return t->id ? t : nullptr;
}

void delete_texture(gl_texture* t) {
    if (t->fbo) gl.glDeleteFramebuffers(1, &t->fbo);
    if (t->depth_stencil) gl.glDeleteRenderbuffers(1, &t->depth_stencil);
    gl.glDeleteTextures(1, &t->id);
    memset(t, 0, sizeof(*t));
}

void reset_queue(gl3_backend* b) {
    b->calls.clear();
    b->paths.clear();
    b->verts.clear();
    b->uniforms.clear();
    for (int32_t i = 0; i < b->textures.n_items; ++i) {
        gl_texture* t = &b->textures.items[i];
        if (t->id && t->doomed) delete_texture(t);
    }
}

// Gives the bound texture an empty w x h image and clamped sampling with `filter`.
void set_texture_image(GLint internal_format, GLenum format, int32_t w, int32_t h, GLenum filter) {
    gl.glTexImage2D(glc::TEXTURE_2D, 0, internal_format, w, h, 0, format, glc::UNSIGNED_BYTE, nullptr);
    gl.glTexParameteri(glc::TEXTURE_2D, glc::TEXTURE_MIN_FILTER, GLint(filter));
    gl.glTexParameteri(glc::TEXTURE_2D, glc::TEXTURE_MAG_FILTER, GLint(filter));
    gl.glTexParameteri(glc::TEXTURE_2D, glc::TEXTURE_WRAP_S, GLint(glc::CLAMP_TO_EDGE));
    gl.glTexParameteri(glc::TEXTURE_2D, glc::TEXTURE_WRAP_T, GLint(glc::CLAMP_TO_EDGE));
}

// ---- The back-end table ----------------------------------------------------------------------------

int32_t gl3_texture_create(void* user, int32_t w, int32_t h) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_texture* t = b->textures.push();
    if (!t) return 0;
    memset(t, 0, sizeof(*t));
    gl.glGenTextures(1, &t->id);
    if (!t->id) {
        b->textures.n_items--;
        return 0;
    }
    t->w = w;
    t->h = h;
    gl.glBindTexture(glc::TEXTURE_2D, t->id);
    gl.glPixelStorei(glc::UNPACK_ALIGNMENT, 1);
    set_texture_image(GLint(glc::R8), glc::RED, w, h, glc::LINEAR);
    gl.glPixelStorei(glc::UNPACK_ALIGNMENT, 4);
    gl.glBindTexture(glc::TEXTURE_2D, 0);
    return b->textures.n_items;
}

void gl3_texture_update(void* user, int32_t tex, int32_t x, int32_t y, int32_t w, int32_t h, const uint8_t* data) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_texture* t = find_texture(b, tex);
    if (!t) return;
    gl.glBindTexture(glc::TEXTURE_2D, t->id);
    gl.glPixelStorei(glc::UNPACK_ALIGNMENT, 1);
    gl.glPixelStorei(glc::UNPACK_ROW_LENGTH, t->w);
    gl.glPixelStorei(glc::UNPACK_SKIP_PIXELS, x);
    gl.glPixelStorei(glc::UNPACK_SKIP_ROWS, y);
    gl.glTexSubImage2D(glc::TEXTURE_2D, 0, x, y, w, h, glc::RED, glc::UNSIGNED_BYTE, data);
    gl.glPixelStorei(glc::UNPACK_ALIGNMENT, 4);
    gl.glPixelStorei(glc::UNPACK_ROW_LENGTH, 0);
    gl.glPixelStorei(glc::UNPACK_SKIP_PIXELS, 0);
    gl.glPixelStorei(glc::UNPACK_SKIP_ROWS, 0);
    gl.glBindTexture(glc::TEXTURE_2D, 0);
}

void gl3_texture_delete(void* user, int32_t tex) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_texture* t = find_texture(b, tex);
    if (!t) return;
    if (b->calls.n_items > 0) {
        t->doomed = 1; // queued draws may still sample it
        return;
    }
    delete_texture(t);
}

int32_t gl3_layer_create(void* user, int32_t w, int32_t h) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    GLint max = 0;
    gl.glGetIntegerv(glc::MAX_TEXTURE_SIZE, &max);
    if (w > max || h > max) return 0;
    gl_texture* t = b->textures.push();
    if (!t) return 0;
    memset(t, 0, sizeof(*t));
    const int32_t id = b->textures.n_items;
    gl.glGenTextures(1, &t->id);
    gl.glGenRenderbuffers(1, &t->depth_stencil);
    gl.glGenFramebuffers(1, &t->fbo);
    t->w = w;
    t->h = h;
    gl.glBindTexture(glc::TEXTURE_2D, t->id);
    // Copies are pixel for pixel: each pixel centre samples one texel centre.
    set_texture_image(GLint(glc::RGBA8), glc::RGBA, w, h, glc::NEAREST);
    gl.glBindTexture(glc::TEXTURE_2D, 0);
    gl.glBindRenderbuffer(glc::RENDERBUFFER, t->depth_stencil);
    gl.glRenderbufferStorage(glc::RENDERBUFFER, glc::DEPTH24_STENCIL8, w, h);
    gl.glBindRenderbuffer(glc::RENDERBUFFER, 0);
    GLint previous = 0;
    gl.glGetIntegerv(glc::FRAMEBUFFER_BINDING, &previous);
    gl.glBindFramebuffer(glc::FRAMEBUFFER, t->fbo);
    gl.glFramebufferTexture2D(glc::FRAMEBUFFER, glc::COLOR_ATTACHMENT0, glc::TEXTURE_2D, t->id, 0);
    gl.glFramebufferRenderbuffer(glc::FRAMEBUFFER, glc::DEPTH_STENCIL_ATTACHMENT, glc::RENDERBUFFER, t->depth_stencil);
    const bool complete = gl.glCheckFramebufferStatus(glc::FRAMEBUFFER) == glc::FRAMEBUFFER_COMPLETE;
    if (complete) {
        gl.glDisable(glc::SCISSOR_TEST);
        gl.glColorMask(1, 1, 1, 1);
        gl.glStencilMask(0xffffffffu);
        gl.glClearColor(0, 0, 0, 0);
        gl.glClear(glc::COLOR_BUFFER_BIT | glc::DEPTH_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
    }
    gl.glBindFramebuffer(glc::FRAMEBUFFER, GLuint(previous));
    if (!complete || !t->id || !t->fbo || !t->depth_stencil) {
        delete_texture(t);
        return 0;
    }
    return id;
}

void gl3_target(void* user, int32_t layer, float w, float h) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_call* c = b->calls.push();
    if (!c) return;
    memset(c, 0, sizeof(*c));
    c->type = CALL_TARGET;
    c->tex = layer;
    c->view[0] = w;
    c->view[1] = h;
    // Scissors queued from now on are turned into rasteriser boxes for this target's height.
    b->view[0] = w;
    b->view[1] = h;
}

void gl3_clear(void* user, const int32_t rect[4]) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_call* c = b->calls.push();
    if (!c) return;
    memset(c, 0, sizeof(*c));
    c->type = CALL_CLEAR;
    // The rasteriser counts rows from the bottom.
    const int32_t height = int32_t(lroundf(b->view[1] * b->dpr));
    c->clip[0] = rect[0];
    c->clip[1] = height - rect[1] - rect[3];
    c->clip[2] = rect[2];
    c->clip[3] = rect[3];
}

void gl3_viewport(void* user, float w, float h, float dpr) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    b->view[0] = b->frame_view[0] = w;
    b->view[1] = b->frame_view[1] = h;
    b->dpr = dpr;
}

void gl3_cancel(void* user) {
    reset_queue(static_cast<gl3_backend*>(user));
}

void gl3_fill(void* user, const vg_paint* paint, const vg_scissor_data* sc, float fringe, const float bounds[4],
              const vg_path_data* paths, int32_t n) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_call* c = b->calls.push();
    if (!c) return;
    memset(c, 0, sizeof(*c));
    c->type = (n == 1 && paths[0].convex) ? CALL_CONVEX_FILL : CALL_FILL;
    set_variant(b, c, paint, sc);
    (void)fringe;
    (void)bounds; // the cover pass redraws the paths' fans, which touch every counted pixel
    if (!copy_paths(b, c, paths, n)) {
        b->calls.n_items--;
        return;
    }
    // Inside a convex fill every pixel is covered whole; with an opaque paint and no scissor mask
    // (whose edge ramp could lower the coverage; the rasteriser's scissor has none) blending gives
    // the paint's colour exactly, so the inside is drawn without it and the rasteriser need not
    // read what lies under it.
    c->opaque = c->type == CALL_CONVEX_FILL && paint->kind < VG_PAINT_IMAGE && (sc->extent[0] < 0 || c->clipped) &&
                paint->inner.a >= 1.0f && (paint->kind == VG_PAINT_SOLID || paint->outer.a >= 1.0f);
    if (c->type == CALL_FILL) {
        vg_paint plain;
        memset(&plain, 0, sizeof(plain));
        vg_xform_identity(plain.xform);
        plain.inner = plain.outer = vg_color{1, 1, 1, 1};
        c->block = add_block(b, &plain, sc, 1.0f, -1.0f);
        add_block(b, paint, sc, 1.0f, -1.0f);
    } else {
        c->block = add_block(b, paint, sc, 1.0f, -1.0f);
    }
    if (c->block < 0 || c->tri_at < 0) b->calls.n_items--;
}

void gl3_stroke(void* user, const vg_paint* paint, const vg_scissor_data* sc, float, float stroke_mult,
                const vg_stroke_style*, const vg_path_data* paths, int32_t n) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    gl_call* c = b->calls.push();
    if (!c) return;
    memset(c, 0, sizeof(*c));
    c->type = CALL_STROKE;
    if (!copy_paths(b, c, paths, n)) {
        b->calls.n_items--;
        return;
    }
    set_variant(b, c, paint, sc);
    c->block = add_block(b, paint, sc, stroke_mult, -1.0f);
    // An opaque solid stroke looks the same blended once or twice where it overlaps itself: it
    // takes the single pass.
    bool opaque = paint->kind == VG_PAINT_SOLID && paint->inner.a >= 1.0f;
    c->stencil = (b->flags & VG_STENCIL_STROKES) && !opaque;
    if (c->stencil) add_block(b, paint, sc, stroke_mult, 1.0f - 0.5f / 255.0f);
    if (c->block < 0) b->calls.n_items--;
}

void gl3_triangles(void* user, const vg_paint* paint, const vg_scissor_data* sc, const vg_vertex* verts, int32_t n,
                   int32_t tex, const vg_text_run*) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    if (n <= 0) return;
    // Runs of text in one colour under one scissor (labels of a column, digits of a scale) join the
    // previous draw when it was the last thing queued: one draw instead of many.
    if (b->calls.n_items > 0) {
        gl_call* last = &b->calls.items[b->calls.n_items - 1];
        if (last->type == CALL_TRIANGLES && last->tex == tex && last->tri_at + last->n_tri == b->verts.n_items &&
            (last->block + 1) * b->block_size == b->uniforms.n_items) {
            int32_t block = add_block(b, paint, sc, 1.0f, -1.0f);
            if (block < 0) return;
            const uint8_t* u = b->uniforms.items;
            bool same = memcmp(u + size_t(block) * size_t(b->block_size), u + size_t(last->block) * size_t(b->block_size),
                               sizeof(frag_uniforms)) == 0;
            b->uniforms.n_items -= b->block_size;
            if (same && copy_verts(b, verts, n) >= 0) {
                last->n_tri += n;
                add_bounds(last->box, verts, n);
                return;
            }
        }
    }
    gl_call* c = b->calls.push();
    if (!c) return;
    memset(c, 0, sizeof(*c));
    c->type = CALL_TRIANGLES;
    set_variant(b, c, paint, sc);
    c->tex = tex;
    c->tri_at = copy_verts(b, verts, n);
    c->n_tri = n;
    empty_bounds(c->box);
    add_bounds(c->box, verts, n);
    c->block = add_block(b, paint, sc, 1.0f, -1.0f);
    if (c->block < 0 || c->tri_at < 0) b->calls.n_items--;
}

bool table_loaded() {
    gl_proc p[gl_function_count];
    static_assert(sizeof(p) == sizeof(gl_table), "the table is a row of pointers");
    memcpy(p, &gl_table, sizeof(p));
    for (int32_t i = 0; i < gl_function_count; ++i)
        if (!p[i]) return false;
    return true;
}

// Prints the info log of a shader or program whose compile or link step failed; `get_log` is the
// matching glGet*InfoLog.
template <class F>
void print_gl_log(F get_log, GLuint object, const char* what) {
    char log[1024];
    GLsizei len = 0;
    get_log(object, sizeof(log), &len, log);
    fprintf(stderr, "vg: %s: %.*s\n", what, int(len), log);
}

GLuint compile(GLenum type, const char* const* sources, int32_t n) {
    GLuint s = gl.glCreateShader(type);
    if (!s) return 0;
    gl.glShaderSource(s, n, sources, nullptr);
    gl.glCompileShader(s);
    GLint ok = 0;
    gl.glGetShaderiv(s, glc::COMPILE_STATUS, &ok);
    if (!ok) {
        print_gl_log(gl.glGetShaderInfoLog, s, "shader does not compile");
        gl.glDeleteShader(s);
        return 0;
    }
    return s;
}

// Builds the program of one variant; false (with the log on stderr) when it does not compile or
// link.
bool build_program(gl3_backend* b, int32_t variant) {
    gl_program& prog = b->programs[variant];
    prog.state = -1;
    // The fragment shader's uniform block: its size and slot names come from VG_UNIFORM_SLOTS.
    char head[2048];
    int32_t at = snprintf(head, sizeof(head),
                          "#version 150 core\n#define KIND %d\n#define SCISSOR %d\n#define DISCARD %d\n"
                          "layout(std140) uniform frag { vec4 u[%d]; };\n",
                          int((variant >> V_KIND_SHIFT) - 1), (variant & V_SCISSOR) ? 1 : 0,
                          (variant & V_DISCARD) ? 1 : 0, int(U_COUNT));
    for (int32_t i = 0; i < U_COUNT && at < int32_t(sizeof(head)); ++i)
        at += snprintf(head + at, sizeof(head) - size_t(at), "#define %s u[%d]\n", kSlotNames[i], int(i));
    if (at >= int32_t(sizeof(head))) return false;
    const char* vs[] = {kVertexShader};
    const char* fs[] = {head, kFragmentBody};
    GLuint v = compile(glc::VERTEX_SHADER, vs, 1);
    GLuint f = compile(glc::FRAGMENT_SHADER, fs, 2);
    if (!v || !f) {
        if (v) gl.glDeleteShader(v);
        if (f) gl.glDeleteShader(f);
        return false;
    }
    GLuint p = gl.glCreateProgram();
    gl.glAttachShader(p, v);
    gl.glAttachShader(p, f);
    gl.glBindAttribLocation(p, 0, "vertex");
    gl.glBindAttribLocation(p, 1, "tcoord");
    gl.glLinkProgram(p);
    gl.glDeleteShader(v);
    gl.glDeleteShader(f);
    GLint ok = 0;
    gl.glGetProgramiv(p, glc::LINK_STATUS, &ok);
    if (!ok) {
        print_gl_log(gl.glGetProgramInfoLog, p, "shader program does not link");
        gl.glDeleteProgram(p);
        return false;
    }
    prog.id = p;
    prog.state = 1;
    prog.loc_view = gl.glGetUniformLocation(p, "view");
    // A pass with colour writes off reads neither the block nor the texture.
    const GLuint block = gl.glGetUniformBlockIndex(p, "frag");
    if (block != GLuint(0xffffffffu)) gl.glUniformBlockBinding(p, block, 0);
    const GLint loc_tex = gl.glGetUniformLocation(p, "tex");
    if (loc_tex >= 0) {
        gl.glUseProgram(p);
        gl.glUniform1i(loc_tex, 0);
        gl.glUseProgram(b->bound);
    }
    return true;
}

// Makes the variant's program current (building it on first use; the general one stands in for a
// variant that cannot be built) with this flush's view size.
void use_program(gl3_backend* b, int32_t variant) {
    gl_program* p = &b->programs[variant];
    if (p->state == 0) build_program(b, variant);
    if (p->state < 0) p = &b->programs[VARIANT_GENERAL];
    if (p->id != b->bound) {
        gl.glUseProgram(p->id);
        b->bound = p->id;
    }
    if (p->view_flush != b->view_serial) {
        gl.glUniform2fv(p->loc_view, 1, b->play_view);
        p->view_flush = b->view_serial;
    }
}

void use_block(gl3_backend* b, int32_t block, int32_t tex) {
    if (block != b->bound_block) {
        gl.glBindBufferRange(glc::UNIFORM_BUFFER, 0, b->ubo, GLintptr(block) * b->block_size,
                             GLsizeiptr(sizeof(frag_uniforms)));
        b->bound_block = block;
    }
    if (tex != b->bound_tex) {
        gl_texture* t = find_texture(b, tex);
        gl.glBindTexture(glc::TEXTURE_2D, t ? t->id : 0);
        b->bound_tex = tex;
    }
}

void draw_inside(const gl_draw* d) {
    if (d->n_inside > 2) gl.glDrawArrays(d->inside_mode, d->inside_at, d->n_inside);
}

void draw_strip(const gl_draw* d) {
    if (d->n_strip > 0) gl.glDrawArrays(glc::TRIANGLE_STRIP, d->strip_at, d->n_strip);
}

// Stencil strokes leave their marks (the stroke's own reference value) behind; a fill counts
// windings from 0, so the marks are cleared first.
void clear_stroke_marks(gl3_backend* b) {
    if (b->stroke_mark == 0) return;
    gl.glStencilMask(0xff);
    if (b->clip_on) gl.glDisable(glc::SCISSOR_TEST); // the clear is scissored too
    gl.glClear(glc::DEPTH_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
    if (b->clip_on) gl.glEnable(glc::SCISSOR_TEST);
    b->stroke_mark = 0;
}

// Sets the rasteriser's scissor test to the call's.
void use_clip(gl3_backend* b, const gl_call* c) {
    if (!c->clipped) {
        if (b->clip_on) gl.glDisable(glc::SCISSOR_TEST);
        b->clip_on = 0;
        return;
    }
    if (!b->clip_on) gl.glEnable(glc::SCISSOR_TEST);
    if (!b->clip_on || memcmp(b->clip, c->clip, sizeof(b->clip)) != 0)
        gl.glScissor(c->clip[0], c->clip[1], c->clip[2], c->clip[3]);
    b->clip_on = 1;
    memcpy(b->clip, c->clip, sizeof(b->clip));
}

void draw_fill(gl3_backend* b, const gl_call* c, const gl_draw* d) {
    clear_stroke_marks(b);
    // Count windings in the stencil, colour off.
    gl.glEnable(glc::STENCIL_TEST);
    gl.glStencilMask(0xff);
    gl.glStencilFunc(glc::ALWAYS, 0, 0xff);
    gl.glColorMask(0, 0, 0, 0);
    use_program(b, VARIANT_MASK_ONLY);
    use_block(b, c->block, 0);
    gl.glStencilOpSeparate(glc::FRONT, glc::KEEP, glc::KEEP, glc::INCR_WRAP);
    gl.glStencilOpSeparate(glc::BACK, glc::KEEP, glc::KEEP, glc::DECR_WRAP);
    draw_inside(d);
    gl.glColorMask(1, 1, 1, 1);
    use_program(b, c->variant);
    use_block(b, c->block + 1, 0);
    // Fringe outside the filled area only.
    gl.glStencilFunc(glc::EQUAL, 0, 0xff);
    gl.glStencilOp(glc::KEEP, glc::KEEP, glc::KEEP);
    draw_strip(d);
    // Cover and clear: the fans again, since every pixel they counted lies under one of them; each
    // pixel is drawn once (its count is cleared on the way) and nothing outside the paths is shaded.
    gl.glStencilFunc(glc::NOTEQUAL, 0, 0xff);
    gl.glStencilOp(glc::ZERO, glc::ZERO, glc::ZERO);
    draw_inside(d);
    gl.glDisable(glc::STENCIL_TEST);
}

void draw_convex_fill(gl3_backend* b, const gl_call* c, const gl_draw* d) {
    use_program(b, c->variant);
    use_block(b, c->block, 0);
    if (c->opaque) gl.glDisable(glc::BLEND);
    draw_inside(d);
    if (c->opaque) gl.glEnable(glc::BLEND);
    draw_strip(d);
}

void draw_stroke(gl3_backend* b, const gl_call* c, const gl_draw* d) {
    if (!c->stencil) {
        use_program(b, c->variant);
        use_block(b, c->block, 0);
        draw_strip(d);
        return;
    }
    // Each stencil stroke marks what it drew with a value of its own, so its passes tell its own
    // pixels from everyone else's and nothing has to be cleared after it; after 255 strokes (or
    // before a fill) the stencil is cleared once.
    if (b->stroke_mark == 255) clear_stroke_marks(b);
    const GLint mark = ++b->stroke_mark;
    gl.glEnable(glc::STENCIL_TEST);
    gl.glStencilMask(0xff);
    // Fully covered parts, each pixel once.
    gl.glStencilFunc(glc::NOTEQUAL, mark, 0xff);
    gl.glStencilOp(glc::KEEP, glc::KEEP, glc::REPLACE);
    use_program(b, c->variant | V_DISCARD);
    use_block(b, c->block + 1, 0);
    draw_strip(d);
    // The antialiased fringe where the stroke drew nothing yet.
    use_program(b, c->variant);
    use_block(b, c->block, 0);
    gl.glStencilOp(glc::KEEP, glc::KEEP, glc::KEEP);
    draw_strip(d);
    gl.glDisable(glc::STENCIL_TEST);
}

// ---- Batches ---------------------------------------------------------------------------------------

bool boxes_touch(const float a[4], const float c[4]) {
    // Closed intervals with a margin for the rasteriser's snapping of vertices to its sub-pixel grid.
    const float m = 1.0f / 64.0f;
    return a[0] <= c[2] + m && c[0] <= a[2] + m && a[1] <= c[3] + m && c[1] <= a[3] + m;
}

// Whether call c can be drawn with the draws of the batch whose first call is h: the same state,
// and a type whose batches are drawn as one.
bool same_state(const gl3_backend* b, const gl_call* h, const gl_call* c) {
    if (h->type != c->type || (c->type != CALL_CONVEX_FILL && c->type != CALL_STROKE && c->type != CALL_TRIANGLES))
        return false;
    if (h->variant != c->variant || h->tex != c->tex || h->opaque != c->opaque || h->stencil != c->stencil ||
        h->clipped != c->clipped || (c->clipped && memcmp(h->clip, c->clip, sizeof(c->clip)) != 0))
        return false;
    const uint8_t* u = b->uniforms.items;
    return memcmp(u + size_t(h->block) * size_t(b->block_size), u + size_t(c->block) * size_t(b->block_size),
                  sizeof(frag_uniforms)) == 0;
}

// Draws in order: a call appended to such a batch may overlap its members.
bool draws_in_order(const gl_call* c) {
    return (c->type == CALL_STROKE && !c->stencil) || c->type == CALL_TRIANGLES;
}

// How far back a call looks for a batch to join.
constexpr int32_t kBatchReach = 48;

bool gather_batches(gl3_backend* b) {
    b->batches.clear();
    int32_t floor = 0; // batches before a target or clear are closed
    for (int32_t i = 0; i < b->calls.n_items; ++i) {
        gl_call* c = &b->calls.items[i];
        c->next = -1;
        int32_t join = -1;
        if (c->type != CALL_TARGET && c->type != CALL_CLEAR) {
            const int32_t stop = b->batches.n_items - kBatchReach > floor ? b->batches.n_items - kBatchReach : floor;
            for (int32_t j = b->batches.n_items - 1; j >= stop; --j) {
                const gl_batch* g = &b->batches.items[j];
                const bool touch = boxes_touch(g->box, c->box);
                if (same_state(b, &b->calls.items[g->head], c) &&
                    (!touch || (draws_in_order(c) && j == b->batches.n_items - 1))) {
                    join = j;
                    break;
                }
                if (touch) break;
            }
        }
        if (join >= 0) {
            gl_batch* g = &b->batches.items[join];
            b->calls.items[g->tail].next = i;
            g->tail = i;
            g->box[0] = fminf(g->box[0], c->box[0]);
            g->box[1] = fminf(g->box[1], c->box[1]);
            g->box[2] = fmaxf(g->box[2], c->box[2]);
            g->box[3] = fmaxf(g->box[3], c->box[3]);
            continue;
        }
        gl_batch* g = b->batches.push();
        if (!g) return false;
        g->head = g->tail = i;
        memcpy(g->box, c->box, sizeof(g->box));
        if (c->type == CALL_TARGET || c->type == CALL_CLEAR) floor = b->batches.n_items;
    }
    return true;
}

// Appends a strip to the joined one at `d`: the last vertex so far and the new first one repeated
// give zero-area triangles between them.
bool join_strip(gl3_backend* b, gl_draw* d, const vg_vertex* v, int32_t n) {
    if (n <= 0) return true;
    const int32_t extra = d->n_strip > 0 ? 2 : 0;
    vg_vertex* w = b->drawn.push(n + extra);
    if (!w) return false;
    if (extra) {
        w[0] = w[-1];
        w[1] = v[0];
        w += 2;
    }
    memcpy(w, v, sizeof(vg_vertex) * size_t(n));
    d->n_strip += n + extra;
    return true;
}

// Appends a fan as the triangles it stands for.
bool fan_to_list(gl3_backend* b, gl_draw* d, const vg_vertex* v, int32_t n) {
    if (n < 3) return true;
    vg_vertex* w = b->drawn.push(3 * (n - 2));
    if (!w) return false;
    for (int32_t k = 1; k + 1 < n; ++k) {
        *w++ = v[0];
        *w++ = v[k];
        *w++ = v[k + 1];
    }
    d->n_inside += 3 * (n - 2);
    return true;
}

// Lays out each batch's vertices for its draws: insides first, then the joined strips.
bool lay_out_draws(gl3_backend* b) {
    b->draws.clear();
    b->drawn.clear();
    const vg_vertex* v = b->verts.items;
    for (int32_t j = 0; j < b->batches.n_items; ++j) {
        const gl_batch* g = &b->batches.items[j];
        gl_draw* d = b->draws.push();
        if (!d) return false;
        memset(d, 0, sizeof(*d));
        d->call = g->head;
        const gl_call* h = &b->calls.items[g->head];
        d->inside_at = b->drawn.n_items;
        if (h->type == CALL_TRIANGLES) {
            d->inside_mode = glc::TRIANGLES;
            for (int32_t i = g->head; i >= 0; i = b->calls.items[i].next) {
                const gl_call* c = &b->calls.items[i];
                if (append_verts(b->drawn, v + c->tri_at, c->n_tri) < 0) return false;
                d->n_inside += c->n_tri;
            }
        } else if (h->type == CALL_FILL || h->type == CALL_CONVEX_FILL) {
            const gl_path* p = b->paths.items + h->path_at;
            if (h->next < 0 && h->n_paths == 1) {
                // One fan stays a fan.
                d->inside_mode = glc::TRIANGLE_FAN;
                if (append_verts(b->drawn, v + p->fill_at, p->n_fill) < 0) return false;
                d->n_inside = p->n_fill;
            } else {
                d->inside_mode = glc::TRIANGLES;
                for (int32_t i = g->head; i >= 0; i = b->calls.items[i].next) {
                    const gl_call* c = &b->calls.items[i];
                    for (int32_t k = 0; k < c->n_paths; ++k) {
                        const gl_path* q = b->paths.items + c->path_at + k;
                        if (!fan_to_list(b, d, v + q->fill_at, q->n_fill)) return false;
                    }
                }
            }
        }
        d->strip_at = b->drawn.n_items;
        if (h->type == CALL_FILL || h->type == CALL_CONVEX_FILL || h->type == CALL_STROKE) {
            for (int32_t i = g->head; i >= 0; i = b->calls.items[i].next) {
                const gl_call* c = &b->calls.items[i];
                for (int32_t k = 0; k < c->n_paths; ++k) {
                    const gl_path* q = b->paths.items + c->path_at + k;
                    if (!join_strip(b, d, v + q->stroke_at, q->n_stroke)) return false;
                }
            }
        }
    }
    return true;
}

// Makes the call's target current: the frame's own framebuffer or a layer's, with its viewport. The
// marks of stencil strokes are cleared on the target being left.
void use_target(gl3_backend* b, const gl_call* c) {
    clear_stroke_marks(b);
    const gl_texture* t = find_texture(b, c->tex);
    if (t && t->fbo) {
        gl.glBindFramebuffer(glc::FRAMEBUFFER, t->fbo);
        gl.glViewport(0, 0, t->w, t->h);
    } else {
        gl.glBindFramebuffer(glc::FRAMEBUFFER, GLuint(b->frame_fbo));
        gl.glViewport(b->frame_viewport[0], b->frame_viewport[1], b->frame_viewport[2], b->frame_viewport[3]);
    }
    b->play_view[0] = c->view[0];
    b->play_view[1] = c->view[1];
    ++b->view_serial;
    // No layer stays bound for sampling while it may be drawn into.
    gl.glBindTexture(glc::TEXTURE_2D, 0);
    b->bound_tex = 0;
}

void clear_rect(gl3_backend* b, const gl_call* c) {
    clear_stroke_marks(b);
    gl.glEnable(glc::SCISSOR_TEST);
    gl.glScissor(c->clip[0], c->clip[1], c->clip[2], c->clip[3]);
    gl.glStencilMask(0xff);
    gl.glClearColor(0, 0, 0, 0);
    gl.glClear(glc::COLOR_BUFFER_BIT | glc::DEPTH_BUFFER_BIT | glc::STENCIL_BUFFER_BIT);
    gl.glDisable(glc::SCISSOR_TEST);
    b->clip_on = 0;
}

// Copies `size` bytes into the bound buffer, growing its store (doubling) when it is too small.
void upload(GLenum target, GLsizeiptr* capacity, const void* data, GLsizeiptr size) {
    if (size > *capacity) {
        GLsizeiptr cap = *capacity > 0 ? *capacity : 65536;
        while (cap < size) cap *= 2;
        gl.glBufferData(target, cap, nullptr, glc::DYNAMIC_DRAW);
        *capacity = cap;
    }
    if (size > 0) gl.glBufferSubData(target, 0, size, data);
}

void gl3_flush(void* user) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    // Without memory for the batches the frame is dropped whole rather than drawn in part.
    if (b->calls.n_items > 0 && gather_batches(b) && lay_out_draws(b)) {
        ++b->view_serial;
        b->play_view[0] = b->frame_view[0];
        b->play_view[1] = b->frame_view[1];
        gl.glGetIntegerv(glc::FRAMEBUFFER_BINDING, &b->frame_fbo);
        gl.glGetIntegerv(glc::VIEWPORT, b->frame_viewport);
        int32_t in_layer = 0;
        b->bound = 0;
        b->bound_block = b->bound_tex = -1;
        b->stroke_mark = 0; // the stencil is clear between flushes
        gl.glEnable(glc::BLEND);
        gl.glBlendFuncSeparate(glc::ONE, glc::ONE_MINUS_SRC_ALPHA, glc::ONE, glc::ONE_MINUS_SRC_ALPHA);
        gl.glDisable(glc::CULL_FACE);
        gl.glDisable(glc::DEPTH_TEST);
        gl.glDisable(glc::SCISSOR_TEST);
        gl.glDisable(glc::STENCIL_TEST);
        gl.glColorMask(1, 1, 1, 1);
        gl.glStencilMask(0xffffffffu);
        gl.glStencilOp(glc::KEEP, glc::KEEP, glc::KEEP);
        gl.glStencilFunc(glc::ALWAYS, 0, 0xffffffffu);
        gl.glActiveTexture(glc::TEXTURE0);
        gl.glBindTexture(glc::TEXTURE_2D, 0);

        // The buffers' storage is only made anew when a frame needs more than they hold: a new
        // store every frame costs the driver an allocation (and the kernel fresh pages) of the
        // whole vertex data each time.
        gl.glBindBuffer(glc::UNIFORM_BUFFER, b->ubo);
        upload(glc::UNIFORM_BUFFER, &b->ubo_capacity, b->uniforms.items, b->uniforms.n_items);
        gl.glBindVertexArray(b->vao);
        gl.glBindBuffer(glc::ARRAY_BUFFER, b->vbo);
        upload(glc::ARRAY_BUFFER, &b->vbo_capacity, b->drawn.items, GLsizeiptr(sizeof(vg_vertex)) * b->drawn.n_items);
        gl.glEnableVertexAttribArray(0);
        gl.glEnableVertexAttribArray(1);
        gl.glVertexAttribPointer(0, 2, glc::FLOAT, 0, sizeof(vg_vertex), nullptr);
        gl.glVertexAttribPointer(1, 2, glc::FLOAT, 0, sizeof(vg_vertex),
                                 reinterpret_cast<const void*>(uintptr_t(2 * sizeof(float))));

        b->clip_on = 0;
        for (int32_t i = 0; i < b->draws.n_items; ++i) {
            const gl_draw* d = &b->draws.items[i];
            const gl_call* c = &b->calls.items[d->call];
            use_clip(b, c);
            switch (c->type) {
            case CALL_FILL:
                draw_fill(b, c, d);
                break;
            case CALL_CONVEX_FILL:
                draw_convex_fill(b, c, d);
                break;
            case CALL_STROKE:
                draw_stroke(b, c, d);
                break;
            case CALL_TRIANGLES:
                use_program(b, c->variant);
                use_block(b, c->block, c->tex);
                draw_inside(d);
                break;
            case CALL_TARGET:
                use_target(b, c);
                in_layer = c->tex > 0;
                break;
            case CALL_CLEAR:
                clear_rect(b, c);
                break;
            }
        }
        clear_stroke_marks(b);
        if (in_layer) {
            gl.glBindFramebuffer(glc::FRAMEBUFFER, GLuint(b->frame_fbo));
            gl.glViewport(b->frame_viewport[0], b->frame_viewport[1], b->frame_viewport[2], b->frame_viewport[3]);
        }
        if (b->clip_on) gl.glDisable(glc::SCISSOR_TEST);
        b->clip_on = 0;
        gl.glDisableVertexAttribArray(0);
        gl.glDisableVertexAttribArray(1);
        gl.glBindVertexArray(0);
        gl.glBindBuffer(glc::ARRAY_BUFFER, 0);
        gl.glBindBuffer(glc::UNIFORM_BUFFER, 0);
        gl.glBindTexture(glc::TEXTURE_2D, 0);
        gl.glUseProgram(0);
        b->bound = 0;
        b->bound_block = b->bound_tex = -1;
    }
    reset_queue(b);
}

void gl3_destroy(void* user) {
    gl3_backend* b = static_cast<gl3_backend*>(user);
    if (!b) return;
    for (int32_t i = 0; i < b->textures.n_items; ++i)
        if (b->textures.items[i].id) delete_texture(&b->textures.items[i]);
    if (b->vbo) gl.glDeleteBuffers(1, &b->vbo);
    if (b->ubo) gl.glDeleteBuffers(1, &b->ubo);
    if (b->vao) gl.glDeleteVertexArrays(1, &b->vao);
    for (gl_program& p : b->programs)
        if (p.id) gl.glDeleteProgram(p.id);
    b->calls.release();
    b->paths.release();
    b->verts.release();
    b->uniforms.release();
    b->textures.release();
    b->batches.release();
    b->draws.release();
    b->drawn.release();
    free(b);
}

const vg_backend gl3_table = {
    .texture_create = gl3_texture_create,
    .texture_update = gl3_texture_update,
    .texture_delete = gl3_texture_delete,
    .viewport = gl3_viewport,
    .cancel = gl3_cancel,
    .flush = gl3_flush,
    .fill = gl3_fill,
    .stroke = gl3_stroke,
    .triangles = gl3_triangles,
    .destroy = gl3_destroy,
    .layer_create = gl3_layer_create,
    .target = gl3_target,
    .clear = gl3_clear,
};

} // namespace

vg_context* vg_create_gl3(uint32_t flags) {
    if (!table_loaded()) return nullptr;
    void* mem = calloc(1, sizeof(gl3_backend));
    if (!mem) return nullptr;
    gl3_backend* b = new (mem) gl3_backend();
    b->flags = flags;
    b->dpr = 1.0f;
    // The general program stands in for any variant that cannot be built, so it must build here.
    if (!build_program(b, VARIANT_GENERAL)) {
        gl3_destroy(b);
        return nullptr;
    }
    gl.glGenVertexArrays(1, &b->vao);
    gl.glGenBuffers(1, &b->vbo);
    gl.glGenBuffers(1, &b->ubo);
    GLint align = 4;
    gl.glGetIntegerv(glc::UNIFORM_BUFFER_OFFSET_ALIGNMENT, &align);
    if (align < 1) align = 1;
    int32_t size = int32_t(sizeof(frag_uniforms));
    b->block_size = (size + align - 1) / align * align;
    gl.glFinish();
    return vg_create(&gl3_table, b, flags);
}
