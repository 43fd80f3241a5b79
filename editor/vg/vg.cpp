// The drawing layer's front end: state stack, path commands, flattening of curves and the
// tessellation of fills and strokes into antialiased triangle fans and strips.
//
// Antialiasing. Every edge gets a fringe one device pixel wide, centred on the true edge, across
// which the vertex coordinate u falls from full to no coverage; the back end interpolates it. A
// pixel whose centre lies on the edge is so half covered, as an exact area coverage would give.
// Strokes carry u from 0 on one side to 1 on the other and the back end turns it into a tent
// clipped at full coverage: coverage = min(1, (1 - |2u - 1|) x m) with m = (w/2 + f/2) / f for a
// stroke of width w whose vertices sit at w/2 + f/2 from the centre line (f = fringe width).
//
// Orientation. Flattened paths are turned so that solid ones run clockwise on screen (positive
// shoelace area with y down) and holes the other way; the normal (dy, -dx) of a segment then points
// out of the filled region for both, which is the side the fringe grows to. The stencil fill counts
// front faces +1 and back faces -1, so holes subtract from solids (nonzero rule).
#include "vg_internal.h"

#include <math.h>

#include <new>

namespace {

constexpr float kPi = 3.14159265358979323846f;
// Cubic control distance of a quarter circle of radius 1.
constexpr float kKappa90 = 0.5522847493f;

enum : int32_t { CMD_MOVE = 0, CMD_LINE = 1, CMD_BEZIER = 2, CMD_CLOSE = 3, CMD_WINDING = 4 };

enum : uint8_t { PT_CORNER = 1 };

float clampf(float v, float lo, float hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

float xform_average_scale(const float t[6]) {
    float sx = sqrtf(t[0] * t[0] + t[1] * t[1]);
    float sy = sqrtf(t[2] * t[2] + t[3] * t[3]);
    return (sx + sy) * 0.5f;
}

void set_paint_color(vg_paint* p, vg_color c) {
    memset(p, 0, sizeof(*p));
    vg_xform_identity(p->xform);
    p->kind = VG_PAINT_SOLID;
    p->inner = c;
    p->outer = c;
}

void state_defaults(vg_state* s) {
    set_paint_color(&s->fill, vg_rgbaf(1, 1, 1, 1));
    set_paint_color(&s->stroke, vg_rgbaf(0, 0, 0, 1));
    s->stroke_width = 1.0f;
    s->miter_limit = 10.0f;
    s->alpha = 1.0f;
    s->line_cap = VG_CAP_BUTT;
    s->line_join = VG_JOIN_MITER;
    s->shape_aa = 1;
    vg_xform_identity(s->xform);
    vg_xform_identity(s->scissor_xform);
    s->scissor_extent[0] = -1.0f;
    s->scissor_extent[1] = -1.0f;
    s->font_size = 16.0f;
    s->letter_spacing = 0.0f;
    s->align = VG_ALIGN_LEFT | VG_ALIGN_BASELINE;
    s->font = 0;
}

// Appends one command with n points given in user units (mapped to frame units here).
void append_command(vg_context* ctx, int32_t op, const float* xy, int32_t n_points) {
    float* c = ctx->commands.push(1 + 2 * n_points);
    if (!c) return;
    c[0] = float(op);
    const float* t = vg_top(ctx)->xform;
    for (int32_t i = 0; i < n_points; ++i) vg_xform_point(t, xy[2 * i], xy[2 * i + 1], &c[1 + 2 * i], &c[2 + 2 * i]);
    if (n_points > 0) {
        ctx->last_x = c[2 * n_points - 1];
        ctx->last_y = c[2 * n_points];
        ctx->has_point = 1;
    }
    ctx->cache_valid = 0;
}

// ---- Flattening ----------------------------------------------------------------------------------

void add_path(vg_context* ctx) {
    vg_path_cache* p = ctx->paths.push();
    if (!p) return;
    memset(p, 0, sizeof(*p));
    p->first = ctx->points.n_items;
    p->winding = VG_WINDING_SOLID;
}

void add_point(vg_context* ctx, float x, float y, uint8_t flags) {
    // A coordinate that is not a number (a reading gone bad upstream) would poison the bounds and
    // every triangle it touches: it is left out.
    if (ctx->paths.n_items == 0 || !isfinite(x) || !isfinite(y)) return;
    vg_path_cache* path = &ctx->paths.items[ctx->paths.n_items - 1];
    if (path->count > 0) {
        vg_point* last = &ctx->points.items[ctx->points.n_items - 1];
        float dx = x - last->x, dy = y - last->y;
        if (dx * dx + dy * dy < ctx->dist_tol * ctx->dist_tol) {
            last->flags |= flags;
            return;
        }
    }
    vg_point* pt = ctx->points.push();
    if (!pt) return;
    memset(pt, 0, sizeof(*pt));
    pt->x = x;
    pt->y = y;
    pt->flags = flags;
    path->count++;
}

// Subdivides the cubic until it lies within the tolerance of its chord. d2 and d3 are the
// distances of the inner controls from the chord times the chord's length; the curve strays at
// most 3/4 of the larger control distance from the chord, so a sum of control distances below
// 4/3 of the tolerance keeps every chord within the tolerance of the curve.
void tessellate_bezier(vg_context* ctx, float x1, float y1, float x2, float y2, float x3, float y3, float x4,
                       float y4, int32_t level) {
    float dx = x4 - x1, dy = y4 - y1;
    float d2 = fabsf((x2 - x4) * dy - (y2 - y4) * dx);
    float d3 = fabsf((x3 - x4) * dy - (y3 - y4) * dx);
    float lim = ctx->tess_tol * (4.0f / 3.0f);
    if (level >= 10 || (d2 + d3) * (d2 + d3) < lim * lim * (dx * dx + dy * dy)) {
        add_point(ctx, x4, y4, level == 0 ? PT_CORNER : 0);
        return;
    }
    float x12 = (x1 + x2) * 0.5f, y12 = (y1 + y2) * 0.5f;
    float x23 = (x2 + x3) * 0.5f, y23 = (y2 + y3) * 0.5f;
    float x34 = (x3 + x4) * 0.5f, y34 = (y3 + y4) * 0.5f;
    float x123 = (x12 + x23) * 0.5f, y123 = (y12 + y23) * 0.5f;
    float x234 = (x23 + x34) * 0.5f, y234 = (y23 + y34) * 0.5f;
    float x1234 = (x123 + x234) * 0.5f, y1234 = (y123 + y234) * 0.5f;
    tessellate_bezier(ctx, x1, y1, x12, y12, x123, y123, x1234, y1234, level + 1);
    tessellate_bezier(ctx, x1234, y1234, x234, y234, x34, y34, x4, y4, level + 1);
}

float polygon_area(const vg_point* pts, int32_t n) {
    float a = 0;
    for (int32_t i = 0; i < n; ++i) {
        const vg_point& p = pts[i];
        const vg_point& q = pts[(i + 1) % n];
        a += p.x * q.y - q.x * p.y;
    }
    return a * 0.5f;
}

void reverse_points(vg_point* pts, int32_t n) {
    for (int32_t i = 0, j = n - 1; i < j; ++i, --j) {
        vg_point t = pts[i];
        pts[i] = pts[j];
        pts[j] = t;
    }
}

// Flattens the current path into points. For a fill, paths are turned to the orientation their
// winding asks for; a stroke keeps the order the points were given in (its caps and any later
// reading of the points follow the drawing direction), so a cache made for a fill that turned a
// path is made again for a stroke.
void flatten(vg_context* ctx, bool for_fill) {
    if (ctx->cache_valid && (for_fill ? ctx->cache_oriented : !ctx->cache_reversed)) return;
    ctx->cache_oriented = for_fill;
    ctx->cache_reversed = 0;
    ctx->points.clear();
    ctx->paths.clear();
    const float* c = ctx->commands.items;
    int32_t i = 0, n = ctx->commands.n_items;
    float lx = 0, ly = 0;
    while (i < n) {
        int32_t op = int32_t(c[i]);
        switch (op) {
        case CMD_MOVE:
        case CMD_LINE:
            // A move always starts a path; a line starts one only when it comes first.
            if (op == CMD_MOVE || ctx->paths.n_items == 0) add_path(ctx);
            add_point(ctx, c[i + 1], c[i + 2], PT_CORNER);
            lx = c[i + 1];
            ly = c[i + 2];
            i += 3;
            break;
        case CMD_BEZIER:
            if (ctx->paths.n_items == 0) {
                add_path(ctx);
                add_point(ctx, lx, ly, PT_CORNER);
            }
            tessellate_bezier(ctx, lx, ly, c[i + 1], c[i + 2], c[i + 3], c[i + 4], c[i + 5], c[i + 6], 0);
            lx = c[i + 5];
            ly = c[i + 6];
            i += 7;
            break;
        case CMD_CLOSE:
            if (ctx->paths.n_items > 0) ctx->paths.items[ctx->paths.n_items - 1].closed = 1;
            i += 1;
            break;
        case CMD_WINDING:
            if (ctx->paths.n_items > 0) ctx->paths.items[ctx->paths.n_items - 1].winding = int32_t(c[i + 1]);
            i += 2;
            break;
        default:
            i = n;
            break;
        }
    }

    float minx = 1e30f, miny = 1e30f, maxx = -1e30f, maxy = -1e30f;
    for (int32_t k = 0; k < ctx->paths.n_items; ++k) {
        vg_path_cache* path = &ctx->paths.items[k];
        vg_point* pts = ctx->points.items + path->first;
        // A closing point on top of the first is dropped: closed paths wrap around by themselves.
        if (path->count > 1) {
            float dx = pts[path->count - 1].x - pts[0].x, dy = pts[path->count - 1].y - pts[0].y;
            if (dx * dx + dy * dy < ctx->dist_tol * ctx->dist_tol) {
                path->count--;
                path->closed = 1;
            }
        }
        if (for_fill && path->count > 2) {
            float area = polygon_area(pts, path->count);
            if ((path->winding == VG_WINDING_SOLID && area < 0) || (path->winding == VG_WINDING_HOLE && area > 0)) {
                reverse_points(pts, path->count);
                ctx->cache_reversed = 1;
            }
        }
        for (int32_t j = 0; j < path->count; ++j) {
            vg_point* p = &pts[j];
            const vg_point* q = &pts[(j + 1) % path->count];
            float dx = q->x - p->x, dy = q->y - p->y;
            float len = sqrtf(dx * dx + dy * dy);
            if (len > 1e-6f) {
                dx /= len;
                dy /= len;
            }
            p->dx = dx;
            p->dy = dy;
            p->len = len;
            if (p->x < minx) minx = p->x;
            if (p->y < miny) miny = p->y;
            if (p->x > maxx) maxx = p->x;
            if (p->y > maxy) maxy = p->y;
        }
    }
    ctx->bounds[0] = minx;
    ctx->bounds[1] = miny;
    ctx->bounds[2] = maxx;
    ctx->bounds[3] = maxy;
    ctx->cache_valid = 1;
}

// Averaged normals and convexity. The turn at a point is the cross product of the incoming and
// outgoing directions; a convex path turns the same way at every corner (positive for solids).
void compute_normals(vg_context* ctx) {
    for (int32_t k = 0; k < ctx->paths.n_items; ++k) {
        vg_path_cache* path = &ctx->paths.items[k];
        vg_point* pts = ctx->points.items + path->first;
        int32_t n = path->count;
        int32_t n_left = 0, n_right = 0;
        for (int32_t j = 0; j < n; ++j) {
            const vg_point* p0 = &pts[(j + n - 1) % n];
            vg_point* p1 = &pts[j];
            float dmx = (p0->dy + p1->dy) * 0.5f;
            float dmy = (-p0->dx - p1->dx) * 0.5f;
            float dmr2 = dmx * dmx + dmy * dmy;
            if (dmr2 > 1e-6f) {
                float s = 1.0f / dmr2;
                if (s > 600.0f) s = 600.0f;
                dmx *= s;
                dmy *= s;
            }
            p1->dmx = dmx;
            p1->dmy = dmy;
            float turn = p0->dx * p1->dy - p0->dy * p1->dx;
            if (turn < -1e-4f) n_left++;
            if (turn > 1e-4f) n_right++;
        }
        path->convex = n >= 3 && (n_left == 0 || n_right == 0);
    }
}

vg_vertex* put(vg_context* ctx, float x, float y, float u, float v) {
    vg_vertex* w = ctx->verts.push();
    if (w) {
        w->x = x;
        w->y = y;
        w->u = u;
        w->v = v;
    }
    return w;
}

int32_t curve_divisions(float r, float arc, float tol) {
    float da = acosf(r / (r + tol)) * 2.0f;
    int32_t n = int32_t(ceilf(arc / (da > 1e-4f ? da : 1e-4f)));
    return n < 2 ? 2 : (n > 64 ? 64 : n);
}

// ---- Fills ----------------------------------------------------------------------------------------

void expand_fill(vg_context* ctx, float fringe) {
    ctx->verts.clear();
    float woff = 0.5f * fringe;
    for (int32_t k = 0; k < ctx->paths.n_items; ++k) {
        vg_path_cache* path = &ctx->paths.items[k];
        const vg_point* pts = ctx->points.items + path->first;
        int32_t n = path->count;
        path->fill_at = ctx->verts.n_items;
        path->n_fill = 0;
        path->stroke_at = ctx->verts.n_items;
        path->n_stroke = 0;
        if (n < 3) continue;
        // The inside is inset by half the fringe so that the fringe's inner half completes it.
        // The miter vector grows as 1/cos of half the corner angle; at sharp corners it is capped so
        // that the fringe stays near the tip instead of shooting out.
        for (int32_t j = 0; j < n; ++j) {
            float dmx = pts[j].dmx, dmy = pts[j].dmy;
            float l2 = dmx * dmx + dmy * dmy;
            if (l2 > 16.0f) {
                float s = 4.0f / sqrtf(l2);
                dmx *= s;
                dmy *= s;
            }
            put(ctx, pts[j].x - dmx * woff, pts[j].y - dmy * woff, 0.5f, 1.0f);
        }
        path->n_fill = n;
        if (fringe > 0) {
            path->stroke_at = ctx->verts.n_items;
            for (int32_t j = 0; j <= n; ++j) {
                const vg_point& p = pts[j % n];
                float dmx = p.dmx, dmy = p.dmy;
                float l2 = dmx * dmx + dmy * dmy;
                if (l2 > 16.0f) {
                    float s = 4.0f / sqrtf(l2);
                    dmx *= s;
                    dmy *= s;
                }
                put(ctx, p.x - dmx * woff, p.y - dmy * woff, 0.5f, 1.0f);
                put(ctx, p.x + dmx * woff, p.y + dmy * woff, 0.0f, 1.0f);
            }
            path->n_stroke = 2 * (n + 1);
        }
    }
}

// ---- Strokes --------------------------------------------------------------------------------------

struct stroke_ctx {
    vg_context* ctx;
    float w;     // half width plus half fringe: where the strip's edges lie
    float aa;    // fringe width (0 without antialiasing)
    int32_t join;
    float miter_limit;
    int32_t ncap; // divisions of a half circle of radius w
};

// The pair across the stroke at (x, y) with normal (nx, ny).
void pair(stroke_ctx* s, float x, float y, float nx, float ny, float v) {
    put(s->ctx, x + nx * s->w, y + ny * s->w, 0.0f, v);
    put(s->ctx, x - nx * s->w, y - ny * s->w, 1.0f, v);
}

void cap_start(stroke_ctx* s, const vg_point& p, float dx, float dy, int32_t cap) {
    float nx = dy, ny = -dx;
    if (cap == VG_CAP_ROUND) {
        // Half circle behind the start, as a fan around p.
        for (int32_t i = 0; i <= s->ncap; ++i) {
            float a = kPi * float(i) / float(s->ncap);
            float ca = cosf(a), sa = sinf(a);
            put(s->ctx, p.x + (nx * ca - dx * sa) * s->w, p.y + (ny * ca - dy * sa) * s->w, 0.0f, 1.0f);
            put(s->ctx, p.x, p.y, 0.5f, 1.0f);
        }
        pair(s, p.x, p.y, nx, ny, 1.0f);
        return;
    }
    float ex = p.x, ey = p.y;
    if (cap == VG_CAP_SQUARE) {
        float hw = s->w - s->aa * 0.5f;
        ex -= dx * hw;
        ey -= dy * hw;
    }
    if (s->aa > 0) {
        pair(s, ex - dx * s->aa * 0.5f, ey - dy * s->aa * 0.5f, nx, ny, 0.0f);
        pair(s, ex + dx * s->aa * 0.5f, ey + dy * s->aa * 0.5f, nx, ny, 1.0f);
    } else {
        pair(s, ex, ey, nx, ny, 1.0f);
    }
}

void cap_end(stroke_ctx* s, const vg_point& p, float dx, float dy, int32_t cap) {
    float nx = dy, ny = -dx;
    if (cap == VG_CAP_ROUND) {
        pair(s, p.x, p.y, nx, ny, 1.0f);
        for (int32_t i = 0; i <= s->ncap; ++i) {
            float a = kPi * float(i) / float(s->ncap);
            float ca = cosf(a), sa = sinf(a);
            put(s->ctx, p.x + (nx * ca + dx * sa) * s->w, p.y + (ny * ca + dy * sa) * s->w, 0.0f, 1.0f);
            put(s->ctx, p.x, p.y, 0.5f, 1.0f);
        }
        return;
    }
    float ex = p.x, ey = p.y;
    if (cap == VG_CAP_SQUARE) {
        float hw = s->w - s->aa * 0.5f;
        ex += dx * hw;
        ey += dy * hw;
    }
    if (s->aa > 0) {
        pair(s, ex - dx * s->aa * 0.5f, ey - dy * s->aa * 0.5f, nx, ny, 1.0f);
        pair(s, ex + dx * s->aa * 0.5f, ey + dy * s->aa * 0.5f, nx, ny, 0.0f);
    } else {
        pair(s, ex, ey, nx, ny, 1.0f);
    }
}

// The joint at p between the segment arriving with direction d0 (length len0) and the one leaving
// with d1 (length len1). Where a miter is wanted (or the turn is too slight for a round join to
// show) and the inner miter point stays within both segments, one pair across the mitered
// corner does. Otherwise the segments end and start square across their own directions (their
// inner ends overlap inside the turn) and the outer wedge between them is a fan around p: two
// points for a bevel, the miter tip between them, or an arc.
void join(stroke_ctx* s, const vg_point& p, float d0x, float d0y, float len0, float d1x, float d1y, float len1) {
    float n0x = d0y, n0y = -d0x, n1x = d1y, n1y = -d1x;
    float dmx = p.dmx, dmy = p.dmy;
    float dm2 = dmx * dmx + dmy * dmy;
    float turn = d0x * d1y - d0y * d1x;
    float cosang = clampf(d0x * d1x + d0y * d1y, -1.0f, 1.0f);
    float angle = acosf(cosang);
    float lmin = len0 < len1 ? len0 : len1;
    bool inner_ok = s->w * s->w * (dm2 - 1.0f) <= lmin * lmin;
    bool miter_ok = dm2 <= s->miter_limit * s->miter_limit;
    int32_t nround = 0;
    if (s->join == VG_JOIN_ROUND) nround = curve_divisions(s->w, angle, s->ctx->tess_tol);
    bool slight = angle < 1e-3f || (s->join == VG_JOIN_ROUND && angle * s->w * angle * 0.125f < s->ctx->tess_tol * 0.5f);
    if (inner_ok && ((s->join == VG_JOIN_MITER && miter_ok) || slight)) {
        pair(s, p.x, p.y, dmx, dmy, 1.0f);
        return;
    }
    // Outer side: +normal when the path turns positive, -normal otherwise.
    float side = turn > 0 ? 1.0f : -1.0f;
    pair(s, p.x, p.y, n0x, n0y, 1.0f);
    auto fan = [&](float ox, float oy) {
        if (side > 0) {
            put(s->ctx, ox, oy, 0.0f, 1.0f);
            put(s->ctx, p.x, p.y, 0.5f, 1.0f);
        } else {
            put(s->ctx, p.x, p.y, 0.5f, 1.0f);
            put(s->ctx, ox, oy, 1.0f, 1.0f);
        }
    };
    float o0x = p.x + side * n0x * s->w, o0y = p.y + side * n0y * s->w;
    float o1x = p.x + side * n1x * s->w, o1y = p.y + side * n1y * s->w;
    fan(o0x, o0y);
    if (s->join == VG_JOIN_ROUND) {
        float a0 = atan2f(side * n0y, side * n0x);
        // The outer normal turns with the direction: by +angle for a positive turn.
        float da = turn > 0 ? angle : -angle;
        for (int32_t i = 1; i < nround; ++i) {
            float a = a0 + da * float(i) / float(nround);
            fan(p.x + cosf(a) * s->w, p.y + sinf(a) * s->w);
        }
    } else if (s->join == VG_JOIN_MITER && miter_ok) {
        fan(p.x + side * dmx * s->w, p.y + side * dmy * s->w);
    }
    fan(o1x, o1y);
    pair(s, p.x, p.y, n1x, n1y, 1.0f);
}

void expand_stroke(vg_context* ctx, float half_width, float fringe, int32_t cap, int32_t join_kind, float miter) {
    ctx->verts.clear();
    stroke_ctx s;
    s.ctx = ctx;
    s.aa = fringe;
    s.w = half_width + fringe * 0.5f;
    s.join = join_kind;
    s.miter_limit = miter;
    s.ncap = curve_divisions(s.w, kPi, ctx->tess_tol);
    for (int32_t k = 0; k < ctx->paths.n_items; ++k) {
        vg_path_cache* path = &ctx->paths.items[k];
        const vg_point* pts = ctx->points.items + path->first;
        int32_t n = path->count;
        path->fill_at = ctx->verts.n_items;
        path->n_fill = 0;
        path->stroke_at = ctx->verts.n_items;
        if (n < 2) {
            path->n_stroke = 0;
            continue;
        }
        if (path->closed) {
            for (int32_t j = 0; j < n; ++j) {
                const vg_point& p0 = pts[(j + n - 1) % n];
                const vg_point& p1 = pts[j];
                join(&s, p1, p0.dx, p0.dy, p0.len, p1.dx, p1.dy, p1.len);
            }
            // Close the strip on the first pair.
            vg_vertex* first = ctx->verts.items + path->stroke_at;
            vg_vertex a = first[0], b = first[1];
            vg_vertex* w = ctx->verts.push(2);
            if (w) {
                w[0] = a;
                w[1] = b;
            }
        } else {
            cap_start(&s, pts[0], pts[0].dx, pts[0].dy, cap);
            for (int32_t j = 1; j < n - 1; ++j) {
                const vg_point& p0 = pts[j - 1];
                const vg_point& p1 = pts[j];
                join(&s, p1, p0.dx, p0.dy, p0.len, p1.dx, p1.dy, p1.len);
            }
            cap_end(&s, pts[n - 1], pts[n - 2].dx, pts[n - 2].dy, cap);
        }
        path->n_stroke = ctx->verts.n_items - path->stroke_at;
    }
}

// The per-path records the back end receives; valid until the next tessellation.
void build_path_data(vg_context* ctx) {
    ctx->path_data.clear();
    if (!ctx->path_data.reserve(ctx->paths.n_items)) return;
    for (int32_t k = 0; k < ctx->paths.n_items; ++k) {
        const vg_path_cache& p = ctx->paths.items[k];
        vg_path_data* d = ctx->path_data.push();
        d->points = ctx->points.items + p.first;
        d->n_points = p.count;
        d->fill = ctx->verts.items + p.fill_at;
        d->n_fill = p.n_fill;
        d->stroke = ctx->verts.items + p.stroke_at;
        d->n_stroke = p.n_stroke;
        d->closed = p.closed;
        d->winding = p.winding;
        d->convex = p.convex;
    }
}

vg_paint make_paint(const float local[6], const float user_xform[6], int32_t kind, const float params[4],
                    vg_color inner, vg_color outer) {
    vg_paint p;
    vg_xform_compose(p.xform, local, user_xform);
    for (int32_t i = 0; i < 4; ++i) p.params[i] = params[i];
    p.inner = inner;
    p.outer = outer;
    p.kind = kind;
    return p;
}

} // namespace

// ---- Transforms -----------------------------------------------------------------------------------

void vg_xform_identity(float t[6]) {
    t[0] = 1;
    t[1] = 0;
    t[2] = 0;
    t[3] = 1;
    t[4] = 0;
    t[5] = 0;
}

void vg_xform_compose(float out[6], const float f[6], const float t[6]) {
    float r[6];
    r[0] = t[0] * f[0] + t[2] * f[1];
    r[1] = t[1] * f[0] + t[3] * f[1];
    r[2] = t[0] * f[2] + t[2] * f[3];
    r[3] = t[1] * f[2] + t[3] * f[3];
    r[4] = t[0] * f[4] + t[2] * f[5] + t[4];
    r[5] = t[1] * f[4] + t[3] * f[5] + t[5];
    memcpy(out, r, sizeof(r));
}

int32_t vg_xform_inverse(float out[6], const float t[6]) {
    double det = double(t[0]) * t[3] - double(t[2]) * t[1];
    if (det > -1e-12 && det < 1e-12) {
        vg_xform_identity(out);
        return 0;
    }
    double inv = 1.0 / det;
    float r[6];
    r[0] = float(t[3] * inv);
    r[2] = float(-t[2] * inv);
    r[4] = float((double(t[2]) * t[5] - double(t[3]) * t[4]) * inv);
    r[1] = float(-t[1] * inv);
    r[3] = float(t[0] * inv);
    r[5] = float((double(t[1]) * t[4] - double(t[0]) * t[5]) * inv);
    memcpy(out, r, sizeof(r));
    return 1;
}

void vg_xform_point(const float t[6], float x, float y, float* ox, float* oy) {
    *ox = t[0] * x + t[2] * y + t[4];
    *oy = t[1] * x + t[3] * y + t[5];
}

// ---- Colours and paints ---------------------------------------------------------------------------

vg_color vg_rgb(uint8_t r, uint8_t g, uint8_t b) {
    return vg_rgba(r, g, b, 255);
}
vg_color vg_rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return vg_color{r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f};
}
vg_color vg_rgbf(float r, float g, float b) {
    return vg_color{r, g, b, 1.0f};
}
vg_color vg_rgbaf(float r, float g, float b, float a) {
    return vg_color{r, g, b, a};
}

vg_paint vg_linear_gradient(vg_context* ctx, float sx, float sy, float ex, float ey, vg_color inner, vg_color outer) {
    float dx = ex - sx, dy = ey - sy;
    if (dx * dx + dy * dy < 1e-8f) dx = 1e-4f;
    // Paint space: x = 0 at the start, 1 at the end; y across.
    float local[6] = {dx, dy, -dy, dx, sx, sy};
    float params[4] = {0, 0, 0, 0};
    return make_paint(local, vg_top(ctx)->xform, VG_PAINT_LINEAR, params, inner, outer);
}

vg_paint vg_radial_gradient(vg_context* ctx, float cx, float cy, float r0, float r1, vg_color inner, vg_color outer) {
    float local[6] = {1, 0, 0, 1, cx, cy};
    float params[4] = {r0, r1, 0, 0};
    return make_paint(local, vg_top(ctx)->xform, VG_PAINT_RADIAL, params, inner, outer);
}

vg_paint vg_box_gradient(vg_context* ctx, float x, float y, float w, float h, float radius, float feather,
                         vg_color inner, vg_color outer) {
    float local[6] = {1, 0, 0, 1, x + w * 0.5f, y + h * 0.5f};
    float params[4] = {w * 0.5f, h * 0.5f, radius, feather};
    return make_paint(local, vg_top(ctx)->xform, VG_PAINT_BOX, params, inner, outer);
}

vg_paint vg_apply_alpha(const vg_paint& p, float alpha) {
    vg_paint q = p;
    q.inner.a *= alpha;
    q.outer.a *= alpha;
    return q;
}

vg_scissor_data vg_current_scissor(const vg_state* s) {
    vg_scissor_data sc;
    if (s->scissor_extent[0] < 0) {
        memset(sc.xform, 0, sizeof(sc.xform));
        sc.extent[0] = -1.0f;
        sc.extent[1] = -1.0f;
        return sc;
    }
    vg_xform_inverse(sc.xform, s->scissor_xform);
    sc.extent[0] = s->scissor_extent[0];
    sc.extent[1] = s->scissor_extent[1];
    return sc;
}

// ---- Context --------------------------------------------------------------------------------------

vg_context* vg_create(const vg_backend* backend, void* user, uint32_t flags) {
    if (!backend) return nullptr;
    vg_context* ctx = static_cast<vg_context*>(calloc(1, sizeof(vg_context)));
    if (!ctx) {
        if (backend->destroy) backend->destroy(user);
        return nullptr;
    }
    new (ctx) vg_context();
    ctx->be = backend;
    ctx->user = user;
    ctx->flags = flags;
    ctx->n_states = 1;
    state_defaults(&ctx->states[0]);
    ctx->dpr = 1.0f;
    ctx->tess_tol = 0.25f;
    ctx->dist_tol = 0.01f;
    ctx->fringe = 1.0f;
    if (!ctx->commands.reserve(256) || !ctx->points.reserve(128) || !ctx->verts.reserve(256) || !vg_text_init(ctx)) {
        vg_delete(ctx);
        return nullptr;
    }
    return ctx;
}

void vg_delete(vg_context* ctx) {
    if (!ctx) return;
    vg_text_shutdown(ctx);
    ctx->commands.release();
    ctx->points.release();
    ctx->paths.release();
    ctx->verts.release();
    ctx->path_data.release();
    ctx->text_verts.release();
    ctx->column_verts.release();
    ctx->column_spans.release();
    if (ctx->be->destroy) ctx->be->destroy(ctx->user);
    free(ctx);
}

uint32_t vg_flags(const vg_context* ctx) {
    return ctx->flags;
}

void vg_begin_frame(vg_context* ctx, float width, float height, float device_pixel_ratio) {
    ctx->n_states = 1;
    state_defaults(&ctx->states[0]);
    if (!(device_pixel_ratio > 0.01f)) device_pixel_ratio = 1.0f;
    ctx->dpr = device_pixel_ratio;
    ctx->frame_w = width;
    ctx->frame_h = height;
    ctx->in_layer = 0;
    ctx->tess_tol = 0.25f / device_pixel_ratio;
    ctx->dist_tol = 0.01f / device_pixel_ratio;
    ctx->fringe = 1.0f / device_pixel_ratio;
    vg_text_begin_frame(ctx);
    ctx->be->viewport(ctx->user, width, height, device_pixel_ratio);
    vg_begin_path(ctx);
}

float vg_device_pixel_ratio(const vg_context* ctx) {
    return ctx->dpr;
}

void vg_end_frame(vg_context* ctx) {
    if (ctx->in_layer) vg_end_layer(ctx);
    vg_text_flush(ctx);
    ctx->be->flush(ctx->user);
}

void vg_cancel_frame(vg_context* ctx) {
    ctx->be->cancel(ctx->user);
}

// ---- Layers ---------------------------------------------------------------------------------------

int32_t vg_layer_create(vg_context* ctx, int32_t w, int32_t h) {
    if (!ctx->be->layer_create || !ctx->be->target || !ctx->be->clear || w <= 0 || h <= 0) return 0;
    return ctx->be->layer_create(ctx->user, w, h);
}

void vg_layer_delete(vg_context* ctx, int32_t layer) {
    if (layer > 0) ctx->be->texture_delete(ctx->user, layer);
}

void vg_begin_layer(vg_context* ctx, int32_t layer, int32_t w, int32_t h) {
    if (ctx->in_layer || layer <= 0 || !ctx->be->target) return;
    vg_save(ctx);
    vg_reset(ctx);
    ctx->in_layer = 1;
    ctx->be->target(ctx->user, layer, float(w) / ctx->dpr, float(h) / ctx->dpr);
}

void vg_end_layer(vg_context* ctx) {
    if (!ctx->in_layer) return;
    ctx->in_layer = 0;
    ctx->be->target(ctx->user, 0, ctx->frame_w, ctx->frame_h);
    vg_restore(ctx);
}

void vg_clear_layer(vg_context* ctx, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (!ctx->in_layer || w <= 0 || h <= 0) return;
    const int32_t rect[4] = {x, y, w, h};
    ctx->be->clear(ctx->user, rect);
}

void vg_draw_layer(vg_context* ctx, int32_t layer, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t dx,
                   int32_t dy) {
    if (layer <= 0 || w <= 0 || h <= 0) return;
    const float k = 1.0f / ctx->dpr;
    const float x0 = float(dx) * k, y0 = float(dy) * k, x1 = float(dx + w) * k, y1 = float(dy + h) * k;
    const float u0 = float(sx), v0 = float(sy), u1 = float(sx + w), v1 = float(sy + h);
    const vg_vertex quad[6] = {{x0, y0, u0, v0}, {x1, y0, u1, v0}, {x1, y1, u1, v1},
                               {x0, y0, u0, v0}, {x1, y1, u1, v1}, {x0, y1, u0, v1}};
    vg_paint paint;
    memset(&paint, 0, sizeof(paint));
    vg_xform_identity(paint.xform);
    paint.inner = paint.outer = vg_color{1, 1, 1, 1};
    paint.kind = VG_PAINT_LAYER;
    vg_scissor_data sc = vg_current_scissor(vg_top(ctx));
    ctx->be->triangles(ctx->user, &paint, &sc, quad, 6, layer, nullptr);
}

// ---- State ----------------------------------------------------------------------------------------

void vg_save(vg_context* ctx) {
    if (ctx->n_states >= VG_MAX_STATES) return;
    ctx->states[ctx->n_states] = ctx->states[ctx->n_states - 1];
    ctx->n_states++;
}

void vg_restore(vg_context* ctx) {
    if (ctx->n_states <= 1) return;
    ctx->n_states--;
}

void vg_reset(vg_context* ctx) {
    state_defaults(vg_top(ctx));
}

void vg_global_alpha(vg_context* ctx, float alpha) {
    vg_top(ctx)->alpha = clampf(alpha, 0.0f, 1.0f);
}

void vg_shape_anti_alias(vg_context* ctx, int32_t enabled) {
    vg_top(ctx)->shape_aa = enabled ? 1 : 0;
}

void vg_reset_transform(vg_context* ctx) {
    vg_xform_identity(vg_top(ctx)->xform);
}

void vg_transform(vg_context* ctx, float a, float b, float c, float d, float e, float f) {
    float t[6] = {a, b, c, d, e, f};
    vg_state* s = vg_top(ctx);
    vg_xform_compose(s->xform, t, s->xform);
}

void vg_translate(vg_context* ctx, float x, float y) {
    vg_transform(ctx, 1, 0, 0, 1, x, y);
}

void vg_scale(vg_context* ctx, float x, float y) {
    vg_transform(ctx, x, 0, 0, y, 0, 0);
}

void vg_rotate(vg_context* ctx, float angle) {
    float c = cosf(angle), s = sinf(angle);
    vg_transform(ctx, c, s, -s, c, 0, 0);
}

void vg_current_transform(const vg_context* ctx, float out[6]) {
    memcpy(out, ctx->states[ctx->n_states - 1].xform, 6 * sizeof(float));
}

void vg_scissor(vg_context* ctx, float x, float y, float w, float h) {
    vg_state* s = vg_top(ctx);
    w = w > 0 ? w : 0;
    h = h > 0 ? h : 0;
    float local[6] = {1, 0, 0, 1, x + w * 0.5f, y + h * 0.5f};
    vg_xform_compose(s->scissor_xform, local, s->xform);
    s->scissor_extent[0] = w * 0.5f;
    s->scissor_extent[1] = h * 0.5f;
}

void vg_intersect_scissor(vg_context* ctx, float x, float y, float w, float h) {
    vg_state* s = vg_top(ctx);
    if (s->scissor_extent[0] < 0) {
        vg_scissor(ctx, x, y, w, h);
        return;
    }
    // Both rectangles as frame-unit boxes.
    float ax0 = 1e30f, ay0 = 1e30f, ax1 = -1e30f, ay1 = -1e30f;
    float bx0 = 1e30f, by0 = 1e30f, bx1 = -1e30f, by1 = -1e30f;
    for (int32_t i = 0; i < 4; ++i) {
        float ex = (i & 1) ? s->scissor_extent[0] : -s->scissor_extent[0];
        float ey = (i & 2) ? s->scissor_extent[1] : -s->scissor_extent[1];
        float px, py;
        vg_xform_point(s->scissor_xform, ex, ey, &px, &py);
        ax0 = fminf(ax0, px);
        ay0 = fminf(ay0, py);
        ax1 = fmaxf(ax1, px);
        ay1 = fmaxf(ay1, py);
        vg_xform_point(s->xform, (i & 1) ? x + w : x, (i & 2) ? y + h : y, &px, &py);
        bx0 = fminf(bx0, px);
        by0 = fminf(by0, py);
        bx1 = fmaxf(bx1, px);
        by1 = fmaxf(by1, py);
    }
    float x0 = fmaxf(ax0, bx0), y0 = fmaxf(ay0, by0);
    float x1 = fmaxf(x0, fminf(ax1, bx1)), y1 = fmaxf(y0, fminf(ay1, by1));
    vg_xform_identity(s->scissor_xform);
    s->scissor_xform[4] = (x0 + x1) * 0.5f;
    s->scissor_xform[5] = (y0 + y1) * 0.5f;
    s->scissor_extent[0] = (x1 - x0) * 0.5f;
    s->scissor_extent[1] = (y1 - y0) * 0.5f;
}

void vg_reset_scissor(vg_context* ctx) {
    vg_state* s = vg_top(ctx);
    vg_xform_identity(s->scissor_xform);
    s->scissor_extent[0] = -1.0f;
    s->scissor_extent[1] = -1.0f;
}

void vg_fill_color(vg_context* ctx, vg_color color) {
    set_paint_color(&vg_top(ctx)->fill, color);
}
void vg_fill_paint(vg_context* ctx, vg_paint paint) {
    vg_top(ctx)->fill = paint;
}
void vg_stroke_color(vg_context* ctx, vg_color color) {
    set_paint_color(&vg_top(ctx)->stroke, color);
}
void vg_stroke_paint(vg_context* ctx, vg_paint paint) {
    vg_top(ctx)->stroke = paint;
}
void vg_stroke_width(vg_context* ctx, float width) {
    vg_top(ctx)->stroke_width = width > 0 ? width : 0;
}
void vg_miter_limit(vg_context* ctx, float limit) {
    vg_top(ctx)->miter_limit = limit > 1 ? limit : 1;
}
void vg_line_cap(vg_context* ctx, int32_t cap) {
    if (cap >= VG_CAP_BUTT && cap <= VG_CAP_SQUARE) vg_top(ctx)->line_cap = cap;
}
void vg_line_join(vg_context* ctx, int32_t join_kind) {
    if (join_kind >= VG_JOIN_MITER && join_kind <= VG_JOIN_BEVEL) vg_top(ctx)->line_join = join_kind;
}

// ---- Paths ----------------------------------------------------------------------------------------

void vg_begin_path(vg_context* ctx) {
    ctx->commands.clear();
    ctx->has_point = 0;
    ctx->cache_valid = 0;
}

void vg_move_to(vg_context* ctx, float x, float y) {
    float p[2] = {x, y};
    append_command(ctx, CMD_MOVE, p, 1);
}

void vg_line_to(vg_context* ctx, float x, float y) {
    if (!ctx->has_point) {
        vg_move_to(ctx, x, y);
        return;
    }
    float p[2] = {x, y};
    append_command(ctx, CMD_LINE, p, 1);
}

void vg_bezier_to(vg_context* ctx, float c1x, float c1y, float c2x, float c2y, float x, float y) {
    if (!ctx->has_point) vg_move_to(ctx, c1x, c1y);
    float p[6] = {c1x, c1y, c2x, c2y, x, y};
    append_command(ctx, CMD_BEZIER, p, 3);
}

void vg_quad_to(vg_context* ctx, float cx, float cy, float x, float y) {
    if (!ctx->has_point) vg_move_to(ctx, cx, cy);
    // Raise the degree in frame units (an affine map keeps the relation): c1 = p0 + 2/3 (c - p0),
    // c2 = p1 + 2/3 (c - p1).
    float x0 = ctx->last_x, y0 = ctx->last_y;
    const float* t = vg_top(ctx)->xform;
    float fcx, fcy, fx, fy;
    vg_xform_point(t, cx, cy, &fcx, &fcy);
    vg_xform_point(t, x, y, &fx, &fy);
    float* c = ctx->commands.push(7);
    if (!c) return;
    c[0] = float(CMD_BEZIER);
    c[1] = x0 + 2.0f / 3.0f * (fcx - x0);
    c[2] = y0 + 2.0f / 3.0f * (fcy - y0);
    c[3] = fx + 2.0f / 3.0f * (fcx - fx);
    c[4] = fy + 2.0f / 3.0f * (fcy - fy);
    c[5] = fx;
    c[6] = fy;
    ctx->last_x = fx;
    ctx->last_y = fy;
    ctx->cache_valid = 0;
}

void vg_arc(vg_context* ctx, float cx, float cy, float r, float a0, float a1, int32_t dir) {
    float da = a1 - a0;
    if (dir == VG_DIR_CW) {
        if (fabsf(da) >= 2 * kPi) {
            da = 2 * kPi;
        } else {
            while (da < 0) da += 2 * kPi;
        }
    } else {
        if (fabsf(da) >= 2 * kPi) {
            da = -2 * kPi;
        } else {
            while (da > 0) da -= 2 * kPi;
        }
    }
    // At most a quarter turn per cubic; the control distance of an arc of angle 2h is
    // 4/3 tan(h/2) x r, written here as 4/3 (1 - cos h) / sin h.
    int32_t ndivs = int32_t(ceilf(fabsf(da) / (kPi * 0.5f) - 1e-5f));
    if (ndivs < 1) ndivs = 1;
    if (ndivs > 5) ndivs = 5;
    float hda = da / float(ndivs) * 0.5f;
    float kappa = fabsf(4.0f / 3.0f * (1.0f - cosf(hda)) / sinf(hda));
    if (!(kappa == kappa) || fabsf(hda) < 1e-7f) kappa = 0;
    if (dir == VG_DIR_CCW) kappa = -kappa;
    float px = 0, py = 0, ptx = 0, pty = 0;
    for (int32_t i = 0; i <= ndivs; ++i) {
        float a = a0 + da * (float(i) / float(ndivs));
        float dx = cosf(a), dy = sinf(a);
        float x = cx + dx * r, y = cy + dy * r;
        float tx = -dy * r * kappa, ty = dx * r * kappa;
        if (i == 0) {
            if (ctx->has_point)
                vg_line_to(ctx, x, y);
            else
                vg_move_to(ctx, x, y);
        } else {
            vg_bezier_to(ctx, px + ptx, py + pty, x - tx, y - ty, x, y);
        }
        px = x;
        py = y;
        ptx = tx;
        pty = ty;
    }
}

void vg_close_path(vg_context* ctx) {
    append_command(ctx, CMD_CLOSE, nullptr, 0);
}

void vg_path_winding(vg_context* ctx, int32_t winding) {
    float* c = ctx->commands.push(2);
    if (!c) return;
    c[0] = float(CMD_WINDING);
    c[1] = float(winding == VG_WINDING_HOLE ? VG_WINDING_HOLE : VG_WINDING_SOLID);
    ctx->cache_valid = 0;
}

void vg_rect(vg_context* ctx, float x, float y, float w, float h) {
    vg_move_to(ctx, x, y);
    vg_line_to(ctx, x + w, y);
    vg_line_to(ctx, x + w, y + h);
    vg_line_to(ctx, x, y + h);
    vg_close_path(ctx);
}

void vg_rounded_rect(vg_context* ctx, float x, float y, float w, float h, float r) {
    if (w < 0) {
        x += w;
        w = -w;
    }
    if (h < 0) {
        y += h;
        h = -h;
    }
    float m = (w < h ? w : h) * 0.5f;
    if (r > m) r = m;
    if (r < 0.1f) {
        vg_rect(ctx, x, y, w, h);
        return;
    }
    float k = r * (1.0f - kKappa90);
    vg_move_to(ctx, x + r, y);
    vg_line_to(ctx, x + w - r, y);
    vg_bezier_to(ctx, x + w - k, y, x + w, y + k, x + w, y + r);
    vg_line_to(ctx, x + w, y + h - r);
    vg_bezier_to(ctx, x + w, y + h - k, x + w - k, y + h, x + w - r, y + h);
    vg_line_to(ctx, x + r, y + h);
    vg_bezier_to(ctx, x + k, y + h, x, y + h - k, x, y + h - r);
    vg_line_to(ctx, x, y + r);
    vg_bezier_to(ctx, x, y + k, x + k, y, x + r, y);
    vg_close_path(ctx);
}

void vg_ellipse(vg_context* ctx, float cx, float cy, float rx, float ry) {
    float kx = rx * kKappa90, ky = ry * kKappa90;
    vg_move_to(ctx, cx + rx, cy);
    vg_bezier_to(ctx, cx + rx, cy + ky, cx + kx, cy + ry, cx, cy + ry);
    vg_bezier_to(ctx, cx - kx, cy + ry, cx - rx, cy + ky, cx - rx, cy);
    vg_bezier_to(ctx, cx - rx, cy - ky, cx - kx, cy - ry, cx, cy - ry);
    vg_bezier_to(ctx, cx + kx, cy - ry, cx + rx, cy - ky, cx + rx, cy);
    vg_close_path(ctx);
}

void vg_circle(vg_context* ctx, float cx, float cy, float r) {
    vg_ellipse(ctx, cx, cy, r, r);
}

void vg_fill(vg_context* ctx) {
    vg_state* s = vg_top(ctx);
    flatten(ctx, true);
    compute_normals(ctx);
    bool aa = (ctx->flags & VG_ANTIALIAS) && s->shape_aa;
    float fringe = aa ? ctx->fringe : 0.0f;
    expand_fill(ctx, fringe);
    build_path_data(ctx);
    if (ctx->path_data.n_items == 0) return;
    float b[4] = {ctx->bounds[0] - fringe, ctx->bounds[1] - fringe, ctx->bounds[2] + fringe, ctx->bounds[3] + fringe};
    vg_paint paint = vg_apply_alpha(s->fill, s->alpha);
    vg_scissor_data sc = vg_current_scissor(s);
    ctx->be->fill(ctx->user, &paint, &sc, fringe, b, ctx->path_data.items, ctx->path_data.n_items);
}

// Pixel columns that share one rectangle over what all of them cover.
constexpr int32_t COLUMN_GROUP = 16;

void vg_fill_columns(vg_context* ctx, const float* xs, const float* tops, const float* bottoms, int32_t n) {
    if (n < 2) return;
    vg_state* s = vg_top(ctx);
    const float* t = s->xform;
    // Without antialiasing a pixel is filled when its centre lies inside; columns far narrower
    // than a pixel would make thousands of slivers, so the area is sampled at the centre of every
    // device pixel column instead: one rectangle per pixel column, from the top curve to the bottom
    // one where they cross its centre. Under a transform with rotation or shear the columns are
    // not upright and are drawn as they come.
    const bool upright = t[1] == 0.0f && t[2] == 0.0f;
    const float d = ctx->dpr;
    int32_t lo = 0, hi = n - 1, step = 1;
    if (upright && xs[0] * t[0] > xs[n - 1] * t[0]) {
        lo = n - 1;
        hi = 0;
        step = -1;
    }
    const float x_first = xs[0] * t[0] + t[4], x_last = xs[n - 1] * t[0] + t[4];
    float x_min = fminf(x_first, x_last), x_max = fmaxf(x_first, x_last);
    if (upright && s->scissor_extent[0] >= 0 && s->scissor_xform[1] == 0.0f && s->scissor_xform[2] == 0.0f) {
        const float half = fabsf(s->scissor_xform[0]) * s->scissor_extent[0];
        x_min = fmaxf(x_min, s->scissor_xform[4] - half);
        x_max = fminf(x_max, s->scissor_xform[4] + half);
    }
    ctx->column_verts.clear();
    if (upright) {
        const int32_t p0 = int32_t(ceilf(x_min * d - 0.5f)), p1 = int32_t(floorf(x_max * d - 0.5f));
        if (p1 < p0) return;
        const int32_t n_px = p1 - p0 + 1;
        ctx->column_spans.clear();
        float* span = ctx->column_spans.push(2 * n_px);
        if (!span || !ctx->column_verts.reserve(6 * (n_px + n_px / COLUMN_GROUP + 1) * 2)) return;
        // Where the curves cross each pixel column's centre (the upper and the lower end).
        int32_t k = lo; // the column at or left of the pixel centre
        for (int32_t i = 0; i < n_px; ++i) {
            const float xc = (float(p0 + i) + 0.5f) / d;
            while (k != hi && xs[k + step] * t[0] + t[4] < xc) k += step;
            float top = 0.0f, bottom = 0.0f;
            if (k != hi) {
                const float xa = xs[k] * t[0] + t[4], xb = xs[k + step] * t[0] + t[4];
                const float w = xb > xa ? (xc - xa) / (xb - xa) : 0.0f;
                top = (tops[k] + (tops[k + step] - tops[k]) * w) * t[3] + t[5];
                bottom = (bottoms[k] + (bottoms[k + step] - bottoms[k]) * w) * t[3] + t[5];
            }
            span[2 * i] = fminf(top, bottom);
            span[2 * i + 1] = fmaxf(top, bottom);
        }
        // A rasteriser shades in blocks of pixels, so rectangles one pixel wide waste most of its
        // work: every group of pixel columns gets one rectangle over the band all of them cover,
        // and thin rectangles only for what each column has above and below it. The pieces do not
        // overlap and their union is the same area.
        vg_vertex* v = ctx->column_verts.items;
        auto rect = [&v](float l, float r, float y0, float y1) {
            *v++ = {l, y0, 0.5f, 1.0f};
            *v++ = {r, y0, 0.5f, 1.0f};
            *v++ = {r, y1, 0.5f, 1.0f};
            *v++ = {l, y0, 0.5f, 1.0f};
            *v++ = {r, y1, 0.5f, 1.0f};
            *v++ = {l, y1, 0.5f, 1.0f};
        };
        for (int32_t g = 0; g < n_px; g += COLUMN_GROUP) {
            const int32_t e = g + COLUMN_GROUP < n_px ? g + COLUMN_GROUP : n_px;
            float inner_top = -1e30f, inner_bottom = 1e30f;
            for (int32_t i = g; i < e; ++i) {
                inner_top = fmaxf(inner_top, span[2 * i]);
                inner_bottom = fminf(inner_bottom, span[2 * i + 1]);
            }
            const bool inner = inner_top < inner_bottom;
            if (inner) rect(float(p0 + g) / d, float(p0 + e) / d, inner_top, inner_bottom);
            for (int32_t i = g; i < e; ++i) {
                const float l = float(p0 + i) / d, r = float(p0 + i + 1) / d;
                const float y0 = span[2 * i], y1 = span[2 * i + 1];
                if (!inner) {
                    if (y0 < y1) rect(l, r, y0, y1);
                    continue;
                }
                if (y0 < inner_top) rect(l, r, y0, inner_top);
                if (inner_bottom < y1) rect(l, r, inner_bottom, y1);
            }
        }
        ctx->column_verts.n_items = int32_t(v - ctx->column_verts.items);
    } else {
        vg_vertex* v = ctx->column_verts.push(6 * (n - 1));
        if (!v) return;
        float x0, t0, x1, b0;
        vg_xform_point(t, xs[0], tops[0], &x0, &t0);
        vg_xform_point(t, xs[0], bottoms[0], &x1, &b0);
        for (int32_t i = 1; i < n; ++i) {
            float xa, ta, xb, ba;
            vg_xform_point(t, xs[i], tops[i], &xa, &ta);
            vg_xform_point(t, xs[i], bottoms[i], &xb, &ba);
            *v++ = {x0, t0, 0.5f, 1.0f};
            *v++ = {xa, ta, 0.5f, 1.0f};
            *v++ = {xb, ba, 0.5f, 1.0f};
            *v++ = {x0, t0, 0.5f, 1.0f};
            *v++ = {xb, ba, 0.5f, 1.0f};
            *v++ = {x1, b0, 0.5f, 1.0f};
            x0 = xa;
            t0 = ta;
            x1 = xb;
            b0 = ba;
        }
    }
    if (ctx->column_verts.n_items == 0) return;
    vg_paint paint = vg_apply_alpha(s->fill, s->alpha);
    vg_scissor_data sc = vg_current_scissor(s);
    ctx->be->triangles(ctx->user, &paint, &sc, ctx->column_verts.items, ctx->column_verts.n_items, 0, nullptr);
}

void vg_stroke(vg_context* ctx) {
    vg_state* s = vg_top(ctx);
    float scale = xform_average_scale(s->xform);
    float width = clampf(s->stroke_width * scale, 0.0f, 200.0f);
    if (width <= 0) return;
    vg_paint paint = vg_apply_alpha(s->stroke, s->alpha);
    bool aa = (ctx->flags & VG_ANTIALIAS) && s->shape_aa;
    float fringe = aa ? ctx->fringe : 0.0f;
    if (aa && width < fringe) {
        // A line thinner than a pixel is drawn a pixel wide and fainter: its coverage falls with the
        // width (squared, which reads closer to the true weight than linear on thin lines).
        float a = clampf(width / fringe, 0.0f, 1.0f);
        paint.inner.a *= a * a;
        paint.outer.a *= a * a;
        width = fringe;
    }
    flatten(ctx, false);
    compute_normals(ctx);
    expand_stroke(ctx, width * 0.5f, fringe, s->line_cap, s->line_join, s->miter_limit);
    build_path_data(ctx);
    if (ctx->path_data.n_items == 0) return;
    float mult = aa ? (width * 0.5f + fringe * 0.5f) / fringe : 1e6f;
    vg_stroke_style style{width, s->line_cap, s->line_join, s->miter_limit};
    vg_scissor_data sc = vg_current_scissor(s);
    ctx->be->stroke(ctx->user, &paint, &sc, fringe, mult, &style, ctx->path_data.items, ctx->path_data.n_items);
}
