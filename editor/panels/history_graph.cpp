// The history graph: the last six seconds of the whole chain on one level axis (0 dB at the top,
// -30 dB at the bottom): the level entering the chain, the level leaving it, every stage's gain
// reduction stacked from the top in the stage colours, the output's short-term loudness, the
// ceiling and a tag with the focused stage's largest reduction. It records no hit entries; it
// leaves a probe header and one probe record per column, and on request a column dump.
//
// Column maths runs in window pixels so that a column stays about two pixels wide at any zoom.
// Everything per frame lives in one process-wide scratch (all editors draw on the main thread, one
// at a time), so a frame allocates nothing. [main-thread]
#include <cmath>
#include <cstdio>
#include <cstring>

#include "editor.h"
#include "history_align.h"
#include "panel_draw.h"
#include "plugin_instance.h"
#include "vg/vg.h"

namespace {

constexpr float GRAPH_X = 10.0f, GRAPH_Y = 100.0f, GRAPH_W = 676.0f, GRAPH_H = 464.0f;
constexpr float NO_LEVEL = -120.0f;
constexpr float NO_LOUDNESS = -100.0f;

struct column {
    float x;  // centre, canvas units
    float dx; // where it is drawn, in units of the target it is drawn into
    int32_t number;
    int8_t first_active, last_active;
    float in, out, loudness, smoothed, stack;
};

// Per stage and column.
struct stage_columns {
    float gr[GRAPH_MAX_COLUMNS];
    float in[GRAPH_MAX_COLUMNS];
    float out[GRAPH_MAX_COLUMNS];
    float loudness[GRAPH_MAX_COLUMNS];
};

struct graph_scratch {
    column cols[GRAPH_MAX_COLUMNS];
    float xs[GRAPH_MAX_COLUMNS], tops[GRAPH_MAX_COLUMNS], bottoms[GRAPH_MAX_COLUMNS];
    stage_columns stages[GRAPH_MAX_STAGES];
};
graph_scratch scratch;

float y_level(float v) {
    float t = (0.0f - v) / 30.0f;
    t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
    return GRAPH_Y + GRAPH_H * t;
}

float y_reduction(float g) {
    float t = g / 30.0f;
    t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
    return GRAPH_Y + GRAPH_H * t;
}

vg_color vgc(theme_colour c) {
    return vg_rgba(c.r, c.g, c.b, c.a);
}

float db_of(float linear) {
    return static_cast<float>(20.0 * std::log10(linear > 0.000001f ? static_cast<double>(linear) : 0.000001));
}

// Reads the entries of one column of every drawn stage (ages a0..a1 before the anchor's newest
// entry c), and fills the stage values and the column's chain values.
void fill_column(column& col, int32_t ci, int32_t n8, const struct ui_slot_record* const* records,
                 const int32_t* counts, const shm_slot* const* slots, int32_t c, int32_t a0, int32_t a1) {
    col.first_active = -1;
    col.last_active = -1;
    for (int32_t s = 0; s < n8; ++s) {
        float gr = 0.0f, peak_in = 0.0f, peak_out = 0.0f, ld_sum = 0.0f;
        int32_t ld_count = 0;
        bool audio = false;
        for (int32_t a = a0; a <= a1; ++a) {
            const int32_t idx = history_lookup(records[s], c - a, counts[s]);
            if (idx < 0) continue;
            const uint32_t at = static_cast<uint32_t>(idx) & (HISTORY_SIZE - 1);
            const float level = shm_load(slots[s]->history[HISTORY_LEVEL][at]);
            if (level < 0.0f || level != level) continue; // idle: this stage had no audio then
            audio = true;
            if (level > peak_in) peak_in = level;
            const float tp = shm_load(slots[s]->history[HISTORY_TRUE_PEAK][at]);
            if (tp > peak_out) peak_out = tp;
            const float lufs = shm_load(slots[s]->history[HISTORY_SHORT_TERM][at]);
            if (lufs > -99.0f) {
                ld_sum += lufs;
                ++ld_count;
            }
            const float g = shm_load(slots[s]->history[HISTORY_GAIN][at]);
            const float r = -db_of(g);
            if (r > gr) gr = r;
        }
        stage_columns& sc = scratch.stages[s];
        sc.gr[ci] = gr;
        sc.in[ci] = (audio && peak_in > 0.0f) ? db_of(peak_in) : NO_LEVEL;
        sc.out[ci] = (audio && peak_out > 0.0f) ? db_of(peak_out) : NO_LEVEL;
        sc.loudness[ci] = ld_count > 0 ? ld_sum / ld_count : NO_LOUDNESS;
        if (audio) {
            if (col.first_active < 0) col.first_active = static_cast<int8_t>(s);
            col.last_active = static_cast<int8_t>(s);
        }
    }
    col.in = col.first_active >= 0 ? scratch.stages[col.first_active].in[ci] : NO_LEVEL;
    col.out = col.last_active >= 0 ? scratch.stages[col.last_active].out[ci] : NO_LEVEL;
    col.loudness = col.last_active >= 0 ? scratch.stages[col.last_active].loudness[ci] : NO_LOUDNESS;
}

// Where the last (or first) active stage changes, the chain's output (or input) curve is blended
// over S newer columns from the stage that ended to the one that took over, so a stage going idle
// does not cut a step into the curve.
void join_columns(int32_t count, int32_t span) {
    column* cols = scratch.cols;
    for (int32_t i = 0; i + 1 < count; ++i) {
        const int32_t li = cols[i].last_active, ln = cols[i + 1].last_active;
        if (li >= 0 && ln >= 0 && li != ln) {
            const stage_columns& si = scratch.stages[li];
            const stage_columns& sn = scratch.stages[ln];
            const float a = si.out[i + 1];
            float d_out = 0.0f, d_ld = 0.0f;
            if (a > -119.0f) {
                d_out = sn.out[i + 1] - a;
                d_ld = (sn.loudness[i + 1] <= -99.0f || si.loudness[i + 1] <= -99.0f)
                           ? 0.0f
                           : sn.loudness[i + 1] - si.loudness[i + 1];
            }
            for (int32_t m = 0; m < span && i - m >= 0; ++m) {
                const int32_t t = i - m;
                const float w = (m + 0.5f) / span;
                const float u = si.out[t], v = sn.out[t];
                if (u > -119.0f && v > -119.0f) {
                    cols[t].out = v + (u - v) * w;
                    if (si.loudness[t] > -99.0f && sn.loudness[t] > -99.0f)
                        cols[t].loudness = sn.loudness[t] + (si.loudness[t] - sn.loudness[t]) * w;
                } else if (v <= -119.0f && a > -119.0f && u > -119.0f) {
                    const float lo = sn.out[i + 1] > u ? sn.out[i + 1] : u;
                    const float ramp = u + (1.0f - w) * d_out;
                    cols[t].out = lo < ramp ? lo : ramp;
                    if (si.loudness[t] > -99.0f) cols[t].loudness = si.loudness[t] + (1.0f - w) * d_ld;
                }
            }
        }
        const int32_t fi = cols[i].first_active, fn = cols[i + 1].first_active;
        if (fi >= 0 && fn >= 0 && fi != fn) {
            const stage_columns& si = scratch.stages[fi];
            const stage_columns& sn = scratch.stages[fn];
            const float a = si.in[i + 1];
            const float d_in = a <= -119.0f ? 0.0f : sn.in[i + 1] - a;
            for (int32_t m = 0; m < span && i - m >= 0; ++m) {
                const int32_t t = i - m;
                const float w = (m + 0.5f) / span;
                const float u = si.in[t], v = sn.in[t];
                if (u > -119.0f && v > -119.0f)
                    cols[t].in = v + (u - v) * w;
                else if (a > -119.0f && u > -119.0f)
                    cols[t].in = u + (1.0f - w) * d_in;
            }
        }
    }
}

// After the loudness readings stop, the line fades by 10 log10(1 - age / 3) for up to 2.9 s
// (14.8 dB at most) and then ends, instead of dropping off at once.
void loudness_tail(int32_t count, double seconds_per_column) {
    float last = NO_LOUDNESS;
    double age = 0.0;
    for (int32_t i = count - 1; i >= 0; --i) {
        column& col = scratch.cols[i];
        if (col.loudness > -99.0f) {
            last = col.loudness;
            age = 0.0;
        } else if (last > -99.0f) {
            age += seconds_per_column;
            if (age >= 2.9) {
                last = NO_LOUDNESS;
                continue;
            }
            const float faded = last + static_cast<float>(10.0 * std::log10(1.0 - age / 3.0));
            if (faded <= -99.0f)
                last = NO_LOUDNESS;
            else
                col.loudness = faded;
        }
    }
}

void smooth_loudness(int32_t count, int32_t span) {
    for (int32_t i = 0; i < count; ++i) {
        double sum = 0.0;
        int32_t k = 0;
        const int32_t end = i + 2 * span < count - 1 ? i + 2 * span : count - 1;
        for (int32_t j = i; j <= end; ++j)
            if (scratch.cols[j].loudness > -99.0f) {
                sum += scratch.cols[j].loudness;
                ++k;
            }
        scratch.cols[i].smoothed = k > 0 ? static_cast<float>(sum / k) : NO_LOUDNESS;
    }
}

void write_column_dump(const editor_state* e, double width_px, int32_t b, double ppx, int32_t newest,
                       double frac, int32_t count, int32_t n8) {
    char name[560];
    std::snprintf(name, sizeof name, "%s.cols.txt", e->dump_path);
    FILE* f = std::fopen(name, "w");
    if (!f) return;
    std::fprintf(f, "W %.1f B %d ppx %.4f newest %d frac %.3f nv %d\n", width_px, b, ppx, newest, frac, count);
    for (int32_t i = 0; i < count; ++i) {
        const column& c = scratch.cols[i];
        std::fprintf(f, "%4d x %8.2f in %7.2f out %7.2f gr %6.2f %6.2f %6.2f\n", i, c.x, c.in, c.out,
                     n8 > 0 ? scratch.stages[0].gr[i] : 0.0f, n8 > 1 ? scratch.stages[1].gr[i] : 0.0f,
                     n8 > 2 ? scratch.stages[2].gr[i] : 0.0f);
    }
    std::fclose(f);
}

// Fills the region between top(i) and bottom(i) over all columns: one trapezoid per pair of
// neighbouring columns, drawn in one batch (no stencil passes over the whole graph).
template <typename top_fn, typename bottom_fn>
void fill_between(vg_context* vg, int32_t count, top_fn top, bottom_fn bottom) {
    for (int32_t i = 0; i < count; ++i) {
        scratch.xs[i] = scratch.cols[i].dx;
        scratch.tops[i] = top(i);
        scratch.bottoms[i] = bottom(i);
    }
    vg_fill_columns(vg, scratch.xs, scratch.tops, scratch.bottoms, count);
}

// The area from the bottom edge up to (x, y(level)) of every column, oldest to newest.
void fill_level_area(vg_context* vg, int32_t count, bool output, theme_colour top, theme_colour bottom) {
    const column* cols = scratch.cols;
    vg_fill_paint(vg, vg_linear_gradient(vg, 0, GRAPH_Y, 0, GRAPH_Y + GRAPH_H, vgc(top), vgc(bottom)));
    fill_between(
        vg, count, [&](int32_t i) { return y_level(output ? cols[i].out : cols[i].in); },
        [](int32_t) { return GRAPH_Y + GRAPH_H; });
}

void stroke_level_line(vg_context* vg, int32_t count, bool output) {
    vg_begin_path(vg);
    for (int32_t i = count - 1; i >= 0; --i) {
        const float y = y_level(output ? scratch.cols[i].out : scratch.cols[i].in);
        if (i == count - 1)
            vg_move_to(vg, scratch.cols[i].dx, y);
        else
            vg_line_to(vg, scratch.cols[i].dx, y);
    }
}

void draw_columns(vg_context* vg, int32_t count, int32_t n8, int32_t focused) {
    column* cols = scratch.cols;
    vg_shape_anti_alias(vg, 0);
    fill_level_area(vg, count, false, theme_rgba(120, 130, 160, 90), theme_rgba(60, 66, 92, 20));
    fill_level_area(vg, count, true, theme_rgba(172, 182, 212, 230), theme_rgba(72, 82, 116, 60));

    for (int32_t i = 0; i < count; ++i) cols[i].stack = 0.0f;
    for (int32_t s = 0; s < n8; ++s) {
        const float* gr = scratch.stages[s].gr;
        const theme_colour c = stage_colour(s);
        const bool f = s == focused;
        vg_fill_paint(vg, vg_linear_gradient(vg, 0, GRAPH_Y, 0, 285.6f, vg_rgba(c.r, c.g, c.b, f ? 242 : 174),
                                             vg_rgba(c.r, c.g, c.b, f ? 89 : 64)));
        fill_between(
            vg, count, [&](int32_t i) { return y_reduction(cols[i].stack); },
            [&](int32_t i) { return y_reduction(cols[i].stack + gr[i]); });
        for (int32_t i = 0; i < count; ++i) cols[i].stack += gr[i];
    }

    vg_shape_anti_alias(vg, 1);
    vg_line_join(vg, VG_JOIN_ROUND);
    vg_line_cap(vg, VG_CAP_ROUND);
    stroke_level_line(vg, count, false);
    vg_stroke_width(vg, 1.0f);
    vg_stroke_color(vg, vg_rgba(150, 160, 195, 120));
    vg_stroke(vg);
    stroke_level_line(vg, count, true);
    vg_stroke_width(vg, 3.5f);
    vg_stroke_color(vg, vg_rgba(190, 205, 245, 40));
    vg_stroke(vg);
    vg_stroke_width(vg, 1.3f);
    vg_stroke_color(vg, vg_rgba(222, 230, 250, 235));
    vg_stroke(vg);

    // Edges of the bands, only where a stage reduces (or a neighbouring column does).
    for (int32_t i = 0; i < count; ++i) cols[i].stack = 0.0f;
    for (int32_t s = 0; s < n8; ++s) {
        const float* gr = scratch.stages[s].gr;
        vg_begin_path(vg);
        bool open = false;
        for (int32_t i = count - 1; i >= 0; --i) {
            const bool active = gr[i] > 0.02f || (i + 1 < count && gr[i + 1] > 0.02f) || (i > 0 && gr[i - 1] > 0.02f);
            if (!active) {
                open = false;
                continue;
            }
            const float y = y_reduction(cols[i].stack + gr[i]);
            if (open)
                vg_line_to(vg, cols[i].dx, y);
            else
                vg_move_to(vg, cols[i].dx, y);
            open = true;
        }
        const theme_colour c = stage_colour(s);
        vg_stroke_width(vg, s == focused ? 1.4f : 1.1f);
        vg_stroke_color(vg, vg_rgba(c.r, c.g, c.b, s == focused ? 255 : 156));
        vg_stroke(vg);
        for (int32_t i = 0; i < count; ++i) cols[i].stack += gr[i];
    }
}

void draw_loudness_line(vg_context* vg, int32_t count) {
    vg_begin_path(vg);
    bool open = false;
    for (int32_t i = count - 1; i >= 0; --i) {
        const float ls = scratch.cols[i].smoothed;
        if (ls <= -99.0f) {
            open = false;
            continue;
        }
        if (open)
            vg_line_to(vg, scratch.cols[i].dx, y_level(ls));
        else
            vg_move_to(vg, scratch.cols[i].dx, y_level(ls));
        open = true;
    }
    vg_line_join(vg, VG_JOIN_ROUND);
    vg_stroke_width(vg, 6.0f);
    vg_stroke_color(vg, vg_rgba(255, 200, 110, 45));
    vg_stroke(vg);
    vg_stroke_width(vg, 2.0f);
    vg_stroke_color(vg, vg_rgba(255, 220, 150, 240));
    vg_stroke(vg);
}

void draw_reduction_tag(vg_context* vg, int32_t count, int32_t focused) {
    int32_t m = -1;
    float best = 0.0f;
    for (int32_t i = 0; i < count; ++i)
        if (m < 0 || scratch.stages[focused].gr[i] > best) {
            m = i;
            best = scratch.stages[focused].gr[i];
        }
    if (m < 0 || !(best > 0.05f)) return;
    char text[16];
    std::snprintf(text, sizeof text, "-%.1f dB", best);
    const float bw = panel_text_width(vg, 10, 0, text) + 12.0f;
    float above = 0.0f;
    for (int32_t s = 0; s < focused; ++s) above += scratch.stages[s].gr[m];
    const float by = y_reduction(best + above) + 6.0f;
    // Never under the gain fader over the graph's left edge (16 to 56).
    float bx = scratch.cols[m].x - bw / 2.0f;
    if (bx < 60.0f)
        bx = 60.0f;
    else if (bx > 686.0f - bw - 4.0f)
        bx = 686.0f - bw - 4.0f;
    panel_fill_rrect(vg, bx, by, bw, 16, 3, theme_rgba(255, 208, 90, 230));
    panel_text(vg, bx + bw / 2, by + 8, 10, 0, ALIGN_CENTRE, theme_rgb(30, 24, 10), text);
}

void draw_ceiling(vg_context* vg, const editor_state* e) {
    int32_t ci = e->group_count - 1;
    for (int32_t i = e->group_count - 1; i >= 0; --i)
        if (e->group[i].live) {
            ci = i;
            break;
        }
    const shm_slot* ceiling_stage = e->group[ci].slot;
    const float c1 = static_cast<float>(slot_value(ceiling_stage, PARAM_CEILING));
    panel_line(vg, GRAPH_X, y_level(c1), GRAPH_X + GRAPH_W, y_level(c1), 1, theme_rgba(236, 86, 74, 150));
    const shm_slot* focused = focused_stage_record(e);
    if (!focused || focused == ceiling_stage) return;
    const float c2 = static_cast<float>(slot_value(focused, PARAM_CEILING));
    if (!(std::fabs(c2 - c1) > 0.05f)) return;
    const float y = y_level(c2);
    vg_begin_path(vg);
    for (int32_t k = 0; GRAPH_X + 10.0f * k < GRAPH_X + GRAPH_W; ++k) {
        const float x = GRAPH_X + 10.0f * k;
        vg_move_to(vg, x, y);
        vg_line_to(vg, x + 5.0f < GRAPH_X + GRAPH_W ? x + 5.0f : GRAPH_X + GRAPH_W, y);
    }
    vg_line_cap(vg, VG_CAP_BUTT);
    vg_stroke_width(vg, 1.0f);
    vg_stroke_color(vg, vg_rgba(236, 86, 74, 80));
    vg_stroke(vg);
}

// The level grid every 3 dB from x0 to x1.
void draw_grid(vg_context* vg, float x0, float x1) {
    for (int32_t d = 0; d >= -30; d -= 3)
        panel_line(vg, x0, y_level(static_cast<float>(d)), x1, y_level(static_cast<float>(d)), 1,
                   theme_rgba(255, 255, 255, d % 12 == 0 ? 22 : 10));
}

void draw_frame_and_labels(vg_context* vg) {
    vg_reset_scissor(vg);
    panel_stroke_rrect(vg, 10.5f, 100.5f, 675, 463, 6, 1, theme_rgba(255, 255, 255, 14));
    char text[12];
    // The scale stops at -24: the bottom edge's place (-30 at y 564) is taken by the unit "DB" two
    // units above it, and the two texts would print over each other.
    for (int32_t d = 0; d >= -24; d -= 6) {
        std::snprintf(text, sizeof text, "%d", d);
        panel_text(vg, 692, y_level(static_cast<float>(d)), 8.5f, 0, ALIGN_LEFT, colours.grey, text);
    }
    panel_text(vg, 692, 562, 7, 0.84f, ALIGN_LEFT, colours.dim, "DB");
    // The time span at the graph's top left corner: the gain fader lies over its left edge (16 to
    // 56) with its caption, the controls panel over its bottom.
    panel_text(vg, 62, 109, 8, 0.96f, ALIGN_LEFT, colours.dim, "6 S");
}

// ---- The content layer -----------------------------------------------------------------------------
//
// The grid and the columns (areas, bands, curves, the loudness line) are drawn into a layer of twice the graph's
// width and kept there; the frame copies the part the graph shows, under the graph's scissor, after
// the ground and its shadow and before the ceiling, the tag and the labels, which stay live. Columns sit
// at fixed layer positions, so as time passes the part shown slides right, by whole device pixels;
// once it reaches the layer's end every column is drawn again. Otherwise a frame draws again only
// from the oldest column that may have changed since the last frame: the newest one then (it was
// still filling) or the first one any stage had no entry for yet. A column's values depend only on
// its own entries and on older columns (joins, the loudness tail and the smoothing look back), so
// nothing older changes; what the alignment, the scale, the stages or the focus change draws all.

struct graph_cache_input {
    editor_state* e;
    const float* t; // the frame's transform
    double d, s;    // device pixels per canvas unit, window pixels per canvas unit
    double fs;
    int32_t b;
    double ppx; // device pixels per entry
    int32_t n8, focused;
    const history_frame* hf;
    const struct ui_slot_record* const* records;
    const int32_t* counts;
    double scroll; // device x of the newest entry's column, before the snap
    int32_t drawn;
};

graph_layer_key layer_key(const graph_cache_input& in) {
    graph_layer_key k;
    std::memset(&k, 0, sizeof k);
    k.scale = in.d;
    k.fs = in.fs;
    k.pixels_per_entry = in.ppx;
    k.tx = in.t[4];
    k.ty = in.t[5];
    k.entries_per_column = in.b;
    k.stage_count = in.n8;
    k.focused = in.focused;
    k.anchor = in.hf->anchor;
    k.shift = in.hf->virtual_newest - in.hf->newest;
    for (int32_t i = 0; i < in.n8; ++i) {
        const shm_slot* slot = in.e->group[i].slot;
        const struct ui_slot_record* r = in.records[i];
        k.slots[i] = slot;
        k.generations[i] = shm_load(slot->generation);
        k.offsets[i] = r->offset;
        k.floors[i] = r->floor;
        k.segments[i] = r->segment_count;
        k.stale[i] = r->stale;
    }
    return k;
}

bool draw_through_layer(vg_context* vg, const graph_cache_input& in) {
    graph_layer_state& g = in.e->graph_layer;
    const double d = in.d;
    const int32_t gx0 = static_cast<int32_t>(std::floor((in.t[4] + GRAPH_X) * d));
    const int32_t gx1 = static_cast<int32_t>(std::ceil((in.t[4] + GRAPH_X + GRAPH_W) * d));
    const int32_t gy0 = static_cast<int32_t>(std::floor((in.t[5] + GRAPH_Y) * d));
    const int32_t gy1 = static_cast<int32_t>(std::ceil((in.t[5] + GRAPH_Y + GRAPH_H) * d));
    const int32_t shown = gx1 - gx0, w = 2 * shown, h = gy1 - gy0;
    if (shown <= 0 || h <= 0) return false;
    if (g.layer && (g.w != w || g.h != h)) {
        vg_layer_delete(vg, g.layer);
        g.layer = 0;
        g.valid = 0;
    }
    if (!g.layer) {
        if (g.failed_w == w && g.failed_h == h) return false;
        g.layer = vg_layer_create(vg, w, h);
        if (!g.layer) {
            g.failed_w = w;
            g.failed_h = h;
            return false;
        }
        g.w = w;
        g.h = h;
        g.valid = 0;
    }

    const graph_layer_key key = layer_key(in);
    const double whole = std::round(in.scroll);
    // Window device x of layer x 0 this frame; the part shown starts `left` pixels into the layer.
    double left = gx0 - (whole + g.origin);
    const bool all = !g.valid || std::memcmp(&key, &g.key, sizeof key) != 0 || left < 0.0 || left + shown > w;
    if (all) {
        g.key = key;
        g.origin = gx0 - whole;
        left = 0.0;
    }
    // A column's layer x is fixed: its window device x (snapped) is round(scroll) plus a term of its
    // number alone, and layer x 0 lies at round(scroll) + g.origin.
    column* cols = scratch.cols;
    const double b = in.b;
    const auto layer_x = [&](double number) { return (number * b + (b - 1.0) / 2.0) * in.ppx - g.origin; };
    int32_t from = 0; // the first layer pixel drawn again
    int32_t count = in.drawn;
    const double reach = 4.0 * d + 2.0; // the widest stroke's half width and its fringe
    if (!all) {
        // From the dirty column's older neighbour on: the line into the dirty column changes too.
        from = static_cast<int32_t>(std::floor(layer_x(g.dirty - 1.0) - reach));
        if (from < 0) from = 0;
        count = 0;
        while (count < in.drawn && layer_x(cols[count].number) >= from - reach) ++count;
        // Two columns left of the strip carry the lines into it.
        count = count + 2 < in.drawn ? count + 2 : in.drawn;
    }
    for (int32_t i = 0; i < count; ++i) cols[i].dx = static_cast<float>(layer_x(cols[i].number) / d);

    vg_begin_layer(vg, g.layer, w, h);
    vg_clear_layer(vg, from, 0, w - from, h);
    vg_scissor(vg, static_cast<float>(from / d), 0.0f, static_cast<float>((w - from) / d), static_cast<float>(h / d));
    vg_translate(vg, 0.0f, static_cast<float>(in.t[5] - gy0 / d));
    // The grid lies under the columns, the same at every x: the layer holds it too, across its width.
    draw_grid(vg, static_cast<float>((from - 2.0) / d), static_cast<float>((w + 2.0) / d));
    if (count >= 2) draw_columns(vg, count, in.n8, in.focused);
    draw_loudness_line(vg, count);
    vg_end_layer(vg);
    vg_draw_layer(vg, g.layer, static_cast<int32_t>(left), 0, shown, h, gx0, gy0);
    g.valid = 1;

    // The next frame draws again from the newest column of this one (still filling) or from the
    // first column some stage had no entry for yet, whichever is older. A stage that stopped writing
    // is left out: its history no longer grows.
    int64_t first_missing = in.hf->newest + 1;
    for (int32_t i = 0; i < in.n8; ++i) {
        if (in.records[i]->stale) continue;
        const int64_t m = static_cast<int64_t>(in.counts[i]) + in.records[i]->offset;
        if (m < first_missing) first_missing = m;
    }
    const int64_t virtual_missing = first_missing + key.shift;
    int64_t dirty = virtual_missing >= 0 ? virtual_missing / in.b : 0;
    if (dirty > cols[0].number) dirty = cols[0].number;
    g.dirty = static_cast<int32_t>(dirty);
    return true;
}

} // namespace

void history_graph_covered(float box[4]) {
    // Inside the corner radius across, one unit inside the top and bottom edges (their fringe).
    box[0] = GRAPH_X + 6;
    box[1] = GRAPH_Y + 1;
    box[2] = GRAPH_X + GRAPH_W - 6;
    box[3] = GRAPH_Y + GRAPH_H - 1;
}

void draw_history_graph(editor_state* e, int64_t now) {
    vg_context* vg = e->vg;
    const int32_t focused = focused_stage_index(e);
    const double s = ui_scale(e);
    const int32_t n = e->group_count;

    ++e->graph_frame;
    graph_probe_header& hdr = e->probe_header;
    std::memset(&hdr, 0, sizeof hdr);
    e->probe_record_count = 0;
    hdr.frame = e->graph_frame;
    hdr.stage_count = n;
    hdr.left = GRAPH_X;
    hdr.width = GRAPH_W;

    panel_fill_rrect(vg, GRAPH_X, GRAPH_Y, GRAPH_W, GRAPH_H, 6, theme_rgb(8, 9, 12));
    // The inner shadow is clear from 20 units inside the edges on (half its feather): not drawn there.
    vg_begin_path(vg);
    vg_rounded_rect(vg, GRAPH_X, GRAPH_Y, GRAPH_W, GRAPH_H, 6);
    vg_fill_paint(vg, vg_box_gradient(vg, GRAPH_X, GRAPH_Y, GRAPH_W, GRAPH_H, 6, 40, vg_rgba(0, 0, 0, 0),
                                      vg_rgba(0, 0, 0, 140)));
    const float outer[4] = {GRAPH_X, GRAPH_Y, GRAPH_X + GRAPH_W, GRAPH_Y + GRAPH_H};
    const float clear[4] = {GRAPH_X + 20, GRAPH_Y + 20, GRAPH_X + GRAPH_W - 20, GRAPH_Y + GRAPH_H - 20};
    panel_fill_around(vg, outer, clear);
    vg_scissor(vg, GRAPH_X, GRAPH_Y, GRAPH_W, GRAPH_H);

    if (n == 0) {
        draw_grid(vg, GRAPH_X, GRAPH_X + GRAPH_W);
        e->probe_valid = 1;
        draw_frame_and_labels(vg);
        return;
    }

    const double rate = shm_load(e->group[0].slot->sample_rate);
    const double fs = rate > 0.0 ? rate : 48000.0;

    // Time scale: B entries per column keep columns about two pixels wide and the scratch within
    // 2048 columns even with the left margin that the joins and smoothing need.
    const double width_px = GRAPH_W * s;
    const double right = width_px + GRAPH_X * s;
    const double dt = 64.0 / fs;
    const double e6 = 6.0 / dt;
    const double ppx = width_px / e6;
    const int32_t n8 = n < GRAPH_MAX_STAGES ? n : GRAPH_MAX_STAGES;
    int32_t b = static_cast<int32_t>(std::ceil(e6 / (2.0 * width_px)));
    if (b < 1) b = 1;
    while ((e6 + 3.6 * fs / 64.0) / b + 3.0 > GRAPH_MAX_COLUMNS) ++b;
    int32_t span = static_cast<int32_t>(0.1 * fs / (64.0 * b) + 0.5);
    if (span < 2) span = 2;
    const double margin = ((3.0 * span + 2.0) * b + 3.2 * fs / 64.0) * ppx;

    const history_frame hf = history_align_step(e, e->graph_frame, now, fs);

    const struct ui_slot_record* records[GRAPH_MAX_STAGES];
    int32_t counts[GRAPH_MAX_STAGES];
    const shm_slot* slots[GRAPH_MAX_STAGES];
    for (int32_t i = 0; i < n8; ++i) {
        slots[i] = e->group[i].slot;
        records[i] = ui_slot_record(e, e->group[i].slot);
        counts[i] = static_cast<int32_t>(shm_load(slots[i]->history_counter));
    }

    // The columns scroll by whole device pixels: every one is drawn shifted by the same amount, less
    // than half a pixel (`snap`), so that a layer holding them can be copied pixel for pixel. Device
    // pixels are window pixels times `kr`.
    float t[6];
    vg_current_transform(vg, t);
    const double d = vg_device_pixel_ratio(vg);
    const double kr = d / s;
    const bool upright = t[0] == 1.0f && t[3] == 1.0f && t[1] == 0.0f && t[2] == 0.0f;
    const double scroll =
        hf.newest >= 0 ? t[4] * d + (right - (static_cast<double>(hf.virtual_newest) + hf.frac) * ppx) * kr : 0.0;
    const double snap = upright ? std::round(scroll) - scroll : 0.0;

    int32_t count = 0;
    bool edge_fixed = false; // the oldest column is where the history starts, or beyond the margin
    if (hf.newest >= 0) {
        const int32_t v = hf.virtual_newest;
        const int32_t q = v / b;
        int32_t j = -2 - static_cast<int32_t>(hf.frac / b);
        if (j < -512) j = -512;
        for (; count < GRAPH_MAX_COLUMNS; ++j) {
            const int32_t number = q - j;
            const int64_t first = static_cast<int64_t>(number) * b;
            if (first < 0) {
                edge_fixed = true;
                break;
            }
            const int64_t a1 = v - first;
            if (a1 >= static_cast<int64_t>(HISTORY_SIZE) - 1) break;
            const int64_t a0 = a1 - b + 1 > 0 ? a1 - b + 1 : 0;
            const double x = right - (static_cast<double>(a1) - (b - 1) / 2.0 + hf.frac) * ppx;
            if (x > right + 2.0 * b * ppx) continue;
            column& col = scratch.cols[count];
            fill_column(col, count, n8, records, counts, slots, hf.newest, static_cast<int32_t>(a0),
                        static_cast<int32_t>(a1));
            col.x = static_cast<float>(x / s);
            col.dx = static_cast<float>(x / s + snap / d);
            col.number = number;
            ++count;
            if (x < GRAPH_X * s - margin) {
                edge_fixed = true;
                break;
            }
        }
        join_columns(count, span);
    }
    loudness_tail(count, 64.0 * b / fs);
    smooth_loudness(count, span);

    // Probes.
    hdr.anchor_index = hf.anchor;
    for (int32_t i = 0; i < n && i <= 30; ++i)
        if (e->group[i].live) hdr.live_mask |= 1u << i;
    hdr.entries_per_column = b;
    hdr.newest_virtual = hf.virtual_newest;
    hdr.frac = hf.frac;
    hdr.seconds_per_entry = dt;
    for (int32_t i = 0; i < n8; ++i) hdr.offsets[i] = records[i]->offset;
    for (int32_t i = 0; i < count; ++i) {
        graph_probe_record& r = e->probe_records[i];
        const column& c = scratch.cols[i];
        r.column = c.number;
        r.x = c.x;
        r.in = c.in;
        r.out = c.out;
        r.loudness = c.smoothed;
        for (int32_t k = 0; k < 4; ++k) r.gr[k] = k < n8 ? scratch.stages[k].gr[i] : 0.0f;
        r.first_active = c.first_active;
        r.last_active = c.last_active;
        r.zero[0] = r.zero[1] = 0;
    }
    e->probe_record_count = count;
    e->probe_valid = 1;

    if (e->dump_requested) write_column_dump(e, width_px, b, ppx, hf.newest, hf.frac, count, n8);

    // Columns kept for the joins and the smoothing lie further left than the graph shows: curves
    // are drawn up to the first column a stroke's widest join cannot reach into the graph from.
    int32_t drawn = count;
    for (int32_t i = 0; i < count; ++i)
        if (scratch.cols[i].x < GRAPH_X - 8.0f) {
            drawn = i + 1;
            break;
        }
    graph_cache_input in{};
    in.e = e;
    in.t = t;
    in.d = d;
    in.s = s;
    in.fs = fs;
    in.b = b;
    in.ppx = ppx * kr;
    in.n8 = n8;
    in.focused = focused;
    in.hf = &hf;
    in.records = records;
    in.counts = counts;
    in.scroll = scroll;
    in.drawn = drawn;
    const bool cached = upright && edge_fixed && drawn >= 2 && !e->graph_layer_off && draw_through_layer(vg, in);
    if (!cached) {
        e->graph_layer.valid = 0;
        draw_grid(vg, GRAPH_X, GRAPH_X + GRAPH_W);
        if (drawn >= 2) draw_columns(vg, drawn, n8, focused);
        draw_loudness_line(vg, drawn);
    }
    if (focused >= 0 && focused < n8) draw_reduction_tag(vg, count, focused);
    draw_ceiling(vg, e);
    draw_frame_and_labels(vg);
}
