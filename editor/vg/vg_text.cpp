// Text: fonts from memory, glyphs rasterised with stb_truetype at their size in device pixels
// into one single-channel atlas, and the layout of a run (advances, kerning, letter spacing,
// alignment).
//
// Crispness. A glyph is rendered for its exact device-pixel size (in steps of a quarter pixel) and
// its quad is placed on whole device pixels, so atlas texels map one to one onto the screen; the
// pen's fractional horizontal position is kept by rendering the glyph shifted by a quarter, half or
// three quarters of a pixel. The baseline is snapped to a whole device pixel.
//
// The cache key is (font, glyph, size in quarter pixels, horizontal shift). The atlas starts at
// 512 x 512 and grows up to 4096 x 4096; vertices carry texel coordinates, so a grown atlas (a new
// texture holding the old one's texels at the same places) leaves earlier quads valid. When even
// the largest is full, the glyphs that did not fit are skipped for that frame and the atlas is
// emptied at the next vg_begin_frame.
#include "vg_internal.h"

#include <math.h>
#include <stdio.h>

#include <new>

#include <stb_truetype.h>

struct vg_font {
    char name[64];
    stbtt_fontinfo info;
    const uint8_t* data;
    int32_t size;
    int32_t free_data;
    float em;        // font units to size-1 units (the em square is 1)
    float ascender;  // per unit of font size, positive up
    float descender; // per unit of font size, negative down
    float line_gap;
    int32_t glyph_of[256]; // glyph index of code points below 256; -1 until looked up
};

namespace {

struct glyph_slot {
    uint64_t key; // 0: empty
    int16_t x0, y0; // bitmap offset from the pen position, device pixels
    int16_t w, h;
    int16_t ax, ay; // place in the atlas
};

struct shelf {
    int32_t y, h, x;
};

constexpr int32_t kAtlasStart = 512;
constexpr int32_t kAtlasMax = 4096;

} // namespace

struct vg_glyph_table {
    glyph_slot* slots;
    int32_t cap;
    int32_t count;
    uint8_t* atlas;
    int32_t aw, ah;
    int32_t tex;
    vg_array<shelf> shelves;
    int32_t next_y;
    int32_t dirty[4]; // x0, y0, x1, y1; empty when x0 >= x1
    int32_t full;
};

namespace {

uint64_t glyph_key(int32_t font, int32_t glyph, int32_t size_q, int32_t shift) {
    return ((uint64_t(font) & 0xff) << 56) | ((uint64_t(shift) & 3) << 52) | ((uint64_t(size_q) & 0xfffff) << 32) |
           (uint64_t(uint32_t(glyph)) & 0xffffffffu) | (uint64_t(1) << 62 /* never 0 */);
}

uint32_t hash64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    return uint32_t(k);
}

void mark_dirty(vg_glyph_table* t, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    if (t->dirty[0] >= t->dirty[2]) {
        t->dirty[0] = x0;
        t->dirty[1] = y0;
        t->dirty[2] = x1;
        t->dirty[3] = y1;
        return;
    }
    if (x0 < t->dirty[0]) t->dirty[0] = x0;
    if (y0 < t->dirty[1]) t->dirty[1] = y0;
    if (x1 > t->dirty[2]) t->dirty[2] = x1;
    if (y1 > t->dirty[3]) t->dirty[3] = y1;
}

bool table_rehash(vg_glyph_table* t, int32_t cap) {
    glyph_slot* slots = static_cast<glyph_slot*>(calloc(size_t(cap), sizeof(glyph_slot)));
    if (!slots) return false;
    for (int32_t i = 0; i < t->cap; ++i) {
        if (!t->slots[i].key) continue;
        uint32_t h = hash64(t->slots[i].key) & uint32_t(cap - 1);
        while (slots[h].key) h = (h + 1) & uint32_t(cap - 1);
        slots[h] = t->slots[i];
    }
    free(t->slots);
    t->slots = slots;
    t->cap = cap;
    return true;
}

void table_clear(vg_glyph_table* t) {
    memset(t->slots, 0, sizeof(glyph_slot) * size_t(t->cap));
    t->count = 0;
    t->shelves.clear();
    t->next_y = 0;
    memset(t->atlas, 0, size_t(t->aw) * size_t(t->ah));
    mark_dirty(t, 0, 0, t->aw, t->ah);
    t->full = 0;
}

// Doubles the atlas (height first, then width), keeping every texel where it was.
bool atlas_grow(vg_context* ctx) {
    vg_glyph_table* t = ctx->glyphs;
    int32_t nw = t->aw, nh = t->ah;
    if (nh < nw)
        nh *= 2;
    else
        nw *= 2;
    if (nw > kAtlasMax || nh > kAtlasMax) return false;
    uint8_t* a = static_cast<uint8_t*>(calloc(size_t(nw) * size_t(nh), 1));
    if (!a) return false;
    int32_t tex = ctx->be->texture_create(ctx->user, nw, nh);
    if (!tex) {
        free(a);
        return false;
    }
    for (int32_t y = 0; y < t->ah; ++y) memcpy(a + size_t(y) * size_t(nw), t->atlas + size_t(y) * size_t(t->aw), size_t(t->aw));
    free(t->atlas);
    if (t->tex) ctx->be->texture_delete(ctx->user, t->tex);
    t->atlas = a;
    t->aw = nw;
    t->ah = nh;
    t->tex = tex;
    t->dirty[0] = t->dirty[2] = 0;
    mark_dirty(t, 0, 0, nw, nh);
    return true;
}

// Finds room for a w x h box (1 texel of padding around it): the first shelf tall enough with room
// left, else a new shelf below the last one, else a larger atlas.
bool atlas_place(vg_context* ctx, int32_t w, int32_t h, int32_t* ox, int32_t* oy) {
    vg_glyph_table* t = ctx->glyphs;
    int32_t pw = w + 1, ph = h + 1;
    for (;;) {
        for (int32_t i = 0; i < t->shelves.n_items; ++i) {
            shelf* s = &t->shelves.items[i];
            if (ph <= s->h && s->x + pw <= t->aw && ph * 4 >= s->h * 3) {
                *ox = s->x;
                *oy = s->y;
                s->x += pw;
                return true;
            }
        }
        if (t->next_y + ph <= t->ah && pw <= t->aw) {
            shelf* s = t->shelves.push();
            if (!s) return false;
            s->y = t->next_y;
            s->h = ph;
            s->x = pw;
            t->next_y += ph;
            *ox = 0;
            *oy = s->y;
            return true;
        }
        if (!atlas_grow(ctx)) return false;
    }
}

// The cached glyph, rasterised on first use; null when it cannot be placed.
const glyph_slot* get_glyph(vg_context* ctx, int32_t font_id, int32_t glyph, int32_t size_q, int32_t shift) {
    vg_glyph_table* t = ctx->glyphs;
    uint64_t key = glyph_key(font_id, glyph, size_q, shift);
    uint32_t mask = uint32_t(t->cap - 1);
    uint32_t h = hash64(key) & mask;
    while (t->slots[h].key) {
        if (t->slots[h].key == key) return &t->slots[h];
        h = (h + 1) & mask;
    }
    if (t->full) return nullptr;
    vg_font* f = ctx->fonts.items[font_id];
    float scale = stbtt_ScaleForMappingEmToPixels(&f->info, float(size_q) * 0.25f);
    float sx = float(shift) * 0.25f;
    int32_t x0, y0, x1, y1;
    stbtt_GetGlyphBitmapBoxSubpixel(&f->info, glyph, scale, scale, sx, 0.0f, &x0, &y0, &x1, &y1);
    int32_t w = x1 - x0, gh = y1 - y0;
    int32_t ax = 0, ay = 0;
    if (w > 0 && gh > 0) {
        if (!atlas_place(ctx, w, gh, &ax, &ay)) {
            t->full = 1;
            return nullptr;
        }
        stbtt_MakeGlyphBitmapSubpixel(&f->info, t->atlas + size_t(ay) * size_t(t->aw) + size_t(ax), w, gh, t->aw, scale,
                                      scale, sx, 0.0f, glyph);
        mark_dirty(t, ax, ay, ax + w, ay + gh);
    } else {
        w = gh = 0;
    }
    // Keep the table at most half full; a rehash moves slots, so look the place up again.
    if ((t->count + 1) * 2 > t->cap) {
        if (!table_rehash(t, t->cap * 2)) return nullptr;
        mask = uint32_t(t->cap - 1);
        h = hash64(key) & mask;
        while (t->slots[h].key) h = (h + 1) & mask;
    }
    glyph_slot* s = &t->slots[h];
    s->key = key;
    s->x0 = int16_t(x0);
    s->y0 = int16_t(y0);
    s->w = int16_t(w);
    s->h = int16_t(gh);
    s->ax = int16_t(ax);
    s->ay = int16_t(ay);
    t->count++;
    return s;
}

// Decodes one UTF-8 code point at *s (before end) and advances past it; malformed input gives
// U+FFFD and moves one byte on.
uint32_t next_code_point(const char** s, const char* end) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(*s);
    const uint8_t* e = reinterpret_cast<const uint8_t*>(end);
    uint32_t c = p[0];
    int32_t n = 0;
    if (c < 0x80) {
        *s += 1;
        return c;
    }
    if ((c & 0xe0) == 0xc0) {
        n = 1;
        c &= 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
        n = 2;
        c &= 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
        n = 3;
        c &= 0x07;
    } else {
        *s += 1;
        return 0xfffd;
    }
    if (e - p <= n) {
        *s += 1;
        return 0xfffd;
    }
    for (int32_t i = 1; i <= n; ++i) {
        if ((p[i] & 0xc0) != 0x80) {
            *s += 1;
            return 0xfffd;
        }
        c = (c << 6) | (p[i] & 0x3f);
    }
    *s += 1 + n;
    return c;
}

int32_t glyph_index(vg_font* f, uint32_t cp) {
    if (cp < 256) {
        if (f->glyph_of[cp] < 0) f->glyph_of[cp] = stbtt_FindGlyphIndex(&f->info, int(cp));
        return f->glyph_of[cp];
    }
    return stbtt_FindGlyphIndex(&f->info, int(cp));
}

vg_font* current_font(vg_context* ctx) {
    int32_t id = vg_top(ctx)->font;
    if (id < 0 || id >= ctx->fonts.n_items) return nullptr;
    return ctx->fonts.items[id];
}

const char* text_end(const char* str, const char* end) {
    return end ? end : str + strlen(str);
}

// Advance of the run in user units at `size`.
float measure(vg_font* f, float size, float spacing, const char* s, const char* end) {
    float em = f->em * size;
    float x = 0;
    int32_t prev = -1;
    while (s < end) {
        int32_t g = glyph_index(f, next_code_point(&s, end));
        int32_t adv, lsb;
        stbtt_GetGlyphHMetrics(&f->info, g, &adv, &lsb);
        if (prev >= 0) x += float(stbtt_GetGlyphKernAdvance(&f->info, prev, g)) * em;
        x += float(adv) * em + spacing;
        prev = g;
    }
    return x;
}

// Where the run starts (x) and its baseline (y) for the alignment.
void aligned_origin(const vg_state* st, const vg_font* f, float x, float y, float advance, float* ox, float* oy) {
    int32_t a = st->align;
    if (a & VG_ALIGN_CENTER)
        x -= advance * 0.5f;
    else if (a & VG_ALIGN_RIGHT)
        x -= advance;
    float asc = f->ascender * st->font_size, desc = f->descender * st->font_size;
    if (a & VG_ALIGN_TOP)
        y += asc;
    else if (a & VG_ALIGN_MIDDLE)
        y += (asc + desc) * 0.5f;
    else if (a & VG_ALIGN_BOTTOM)
        y += desc;
    *ox = x;
    *oy = y;
}

} // namespace

bool vg_text_init(vg_context* ctx) {
    vg_glyph_table* t = static_cast<vg_glyph_table*>(calloc(1, sizeof(vg_glyph_table)));
    if (!t) return false;
    new (&t->shelves) vg_array<shelf>();
    ctx->glyphs = t;
    t->cap = 1024;
    t->slots = static_cast<glyph_slot*>(calloc(size_t(t->cap), sizeof(glyph_slot)));
    t->aw = t->ah = kAtlasStart;
    t->atlas = static_cast<uint8_t*>(calloc(size_t(t->aw) * size_t(t->ah), 1));
    if (!t->slots || !t->atlas || !t->shelves.reserve(64) || !ctx->text_verts.reserve(1024)) return false;
    t->tex = ctx->be->texture_create(ctx->user, t->aw, t->ah);
    if (!t->tex) return false;
    mark_dirty(t, 0, 0, t->aw, t->ah);
    return true;
}

void vg_text_shutdown(vg_context* ctx) {
    vg_glyph_table* t = ctx->glyphs;
    if (t) {
        if (t->tex) ctx->be->texture_delete(ctx->user, t->tex);
        free(t->slots);
        free(t->atlas);
        t->shelves.release();
        free(t);
        ctx->glyphs = nullptr;
    }
    for (int32_t i = 0; i < ctx->fonts.n_items; ++i) {
        vg_font* f = ctx->fonts.items[i];
        if (f->free_data) free(const_cast<uint8_t*>(f->data));
        free(f);
    }
    ctx->fonts.release();
}

void vg_text_flush(vg_context* ctx) {
    vg_glyph_table* t = ctx->glyphs;
    if (t->dirty[0] < t->dirty[2] && t->dirty[1] < t->dirty[3]) {
        ctx->be->texture_update(ctx->user, t->tex, t->dirty[0], t->dirty[1], t->dirty[2] - t->dirty[0],
                                t->dirty[3] - t->dirty[1], t->atlas);
    }
    t->dirty[0] = t->dirty[1] = t->dirty[2] = t->dirty[3] = 0;
}

void vg_text_begin_frame(vg_context* ctx) {
    if (ctx->glyphs->full) table_clear(ctx->glyphs);
}

int32_t vg_create_font_mem(vg_context* ctx, const char* name, const uint8_t* data, int32_t size, int32_t free_data) {
    vg_font* f = nullptr;
    vg_font** slot = nullptr;
    if (!data || size <= 0 || ctx->fonts.n_items >= 255) goto fail;
    f = static_cast<vg_font*>(calloc(1, sizeof(vg_font)));
    if (!f) goto fail;
    {
        int offset = stbtt_GetFontOffsetForIndex(data, 0);
        if (offset < 0 || !stbtt_InitFont(&f->info, data, offset)) goto fail;
    }
    snprintf(f->name, sizeof(f->name), "%s", name ? name : "");
    f->data = data;
    f->size = size;
    f->free_data = free_data;
    f->em = stbtt_ScaleForMappingEmToPixels(&f->info, 1.0f);
    {
        int asc, desc, gap;
        stbtt_GetFontVMetrics(&f->info, &asc, &desc, &gap);
        f->ascender = float(asc) * f->em;
        f->descender = float(desc) * f->em;
        f->line_gap = float(gap) * f->em;
    }
    for (int32_t i = 0; i < 256; ++i) f->glyph_of[i] = -1;
    slot = ctx->fonts.push();
    if (!slot) goto fail;
    *slot = f;
    return ctx->fonts.n_items - 1;
fail:
    free(f);
    if (free_data && data) free(const_cast<uint8_t*>(data));
    return -1;
}

int32_t vg_find_font(const vg_context* ctx, const char* name) {
    if (!name) return -1;
    for (int32_t i = 0; i < ctx->fonts.n_items; ++i)
        if (strcmp(ctx->fonts.items[i]->name, name) == 0) return i;
    return -1;
}

void vg_font_face_id(vg_context* ctx, int32_t font) {
    vg_top(ctx)->font = font;
}
void vg_font_size(vg_context* ctx, float size) {
    vg_top(ctx)->font_size = size > 0 ? size : 0;
}
void vg_letter_spacing(vg_context* ctx, float spacing) {
    vg_top(ctx)->letter_spacing = spacing;
}
void vg_text_align(vg_context* ctx, int32_t align) {
    vg_top(ctx)->align = align;
}

float vg_text_bounds(vg_context* ctx, float x, float y, const char* str, const char* end, float bounds[4]) {
    vg_font* f = current_font(ctx);
    if (!f || !str) {
        if (bounds) bounds[0] = bounds[1] = bounds[2] = bounds[3] = 0;
        return 0;
    }
    const vg_state* st = vg_top(ctx);
    end = text_end(str, end);
    float adv = measure(f, st->font_size, st->letter_spacing, str, end);
    float ox, base;
    aligned_origin(st, f, x, y, adv, &ox, &base);
    if (bounds) {
        bounds[0] = ox;
        bounds[1] = base - f->ascender * st->font_size;
        bounds[2] = ox + adv;
        bounds[3] = base - f->descender * st->font_size;
    }
    return adv;
}

void vg_text_metrics(vg_context* ctx, float* ascender, float* descender, float* line_height) {
    vg_font* f = current_font(ctx);
    float size = vg_top(ctx)->font_size;
    if (ascender) *ascender = f ? f->ascender * size : 0;
    if (descender) *descender = f ? f->descender * size : 0;
    if (line_height) *line_height = f ? (f->ascender - f->descender + f->line_gap) * size : 0;
}

float vg_text(vg_context* ctx, float x, float y, const char* str, const char* end) {
    vg_font* f = current_font(ctx);
    if (!f || !str) return 0;
    const vg_state* st = vg_top(ctx);
    end = text_end(str, end);
    float size = st->font_size;
    float adv = measure(f, size, st->letter_spacing, str, end);
    float ox, base;
    aligned_origin(st, f, x, y, adv, &ox, &base);

    const float* xf = st->xform;
    float dpr = ctx->dpr;
    float px_per_unit = sqrtf(xf[0] * xf[0] + xf[1] * xf[1]) * dpr;
    int32_t size_q = int32_t(size * px_per_unit * 4.0f + 0.5f);
    if (size_q > 4 * 512) size_q = 4 * 512;
    float fx, fy;
    vg_xform_point(xf, ox, base, &fx, &fy);
    float base_dev = floorf(fy * dpr + 0.5f);
    float step_dev = xf[0] * dpr; // device pixels per user unit along the run

    ctx->text_verts.clear();
    if (size_q > 0) {
        int32_t font_id = st->font;
        float em = f->em * size;
        float pen = 0;
        int32_t prev = -1;
        const char* s = str;
        while (s < end) {
            int32_t g = glyph_index(f, next_code_point(&s, end));
            int32_t gadv, lsb;
            stbtt_GetGlyphHMetrics(&f->info, g, &gadv, &lsb);
            if (prev >= 0) pen += float(stbtt_GetGlyphKernAdvance(&f->info, prev, g)) * em;
            float xd = fx * dpr + pen * step_dev;
            float ix = floorf(xd);
            int32_t q = int32_t((xd - ix) * 4.0f + 0.5f);
            if (q == 4) {
                ix += 1;
                q = 0;
            }
            const glyph_slot* gs = get_glyph(ctx, font_id, g, size_q, q);
            if (gs && gs->w > 0) {
                vg_vertex* v = ctx->text_verts.push(6);
                if (v) {
                    float x0 = (ix + gs->x0) / dpr, y0 = (base_dev + gs->y0) / dpr;
                    float x1 = x0 + gs->w / dpr, y1 = y0 + gs->h / dpr;
                    float u0 = gs->ax, v0 = gs->ay, u1 = gs->ax + gs->w, v1 = gs->ay + gs->h;
                    v[0] = {x0, y0, u0, v0};
                    v[1] = {x1, y1, u1, v1};
                    v[2] = {x1, y0, u1, v0};
                    v[3] = {x0, y0, u0, v0};
                    v[4] = {x0, y1, u0, v1};
                    v[5] = {x1, y1, u1, v1};
                }
            }
            pen += float(gadv) * em + st->letter_spacing;
            prev = g;
        }
    }

    vg_paint paint;
    memset(&paint, 0, sizeof(paint));
    vg_xform_identity(paint.xform);
    paint.kind = VG_PAINT_IMAGE;
    paint.inner = st->fill.inner;
    paint.inner.a *= st->alpha;
    paint.outer = paint.inner;
    vg_scissor_data sc = vg_current_scissor(st);
    vg_text_run run;
    run.text = str;
    run.len = int32_t(end - str);
    run.x = x;
    run.y = y;
    vg_xform_point(xf, x, y, &run.frame_x, &run.frame_y);
    run.size = size;
    run.letter_spacing = st->letter_spacing;
    run.align = st->align;
    run.font = st->font;
    run.advance = adv;
    ctx->be->triangles(ctx->user, &paint, &sc, ctx->text_verts.items, ctx->text_verts.n_items, ctx->glyphs->tex, &run);
    return adv;
}
