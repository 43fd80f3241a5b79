// History time alignment: one anchor on the clock_ns axis, a filtered offset per stage. The maths is
// in history_align.h; the comments below explain the choices. [main-thread]
#include "history_align.h"

#include <cmath>
#include <cstring>

namespace {

constexpr int64_t STALE_NS = 250000000;        // a stage more than 250 ms behind the anchor is stale
constexpr int64_t ANCHOR_HANDOVER_NS = 100000000; // clock lead a new anchor needs without steady times
constexpr int64_t DISPLAY_DELAY_NS = 40000000;  // the right edge shows the moment 40 ms ago
constexpr int32_t REAPPEAR_FRAMES = 30;

// Rounding to the nearest integer with halves away from zero.
int32_t round_i32(double v) {
    return static_cast<int32_t>(std::llround(v));
}

// What one frame reads of a stage, each field with one atomic load.
struct stage_reading {
    int32_t cnt;   // history write counter
    int64_t last;  // clock_ns of the last history entry
    int64_t st1;   // steady time of the last completed call, -1 none
    int64_t st0;   // of the one before, -1 none
    int64_t block; // st1 - st0 when both are known and rising, else 0
    int32_t gap;   // idle-gap start, -1 none
};

stage_reading read_stage(const shm_slot* s) {
    stage_reading r{};
    r.cnt = static_cast<int32_t>(shm_load(s->history_counter));
    r.last = shm_load(s->history_time_ns);
    const uint32_t tc = shm_load(s->timing_count);
    r.st1 = tc >= 1 ? shm_load(s->timing_steady[(tc - 1) & (TIMING_RING_SIZE - 1)]) : -1;
    r.st0 = tc >= 2 ? shm_load(s->timing_steady[(tc - 2) & (TIMING_RING_SIZE - 1)]) : -1;
    r.block = (r.st1 >= 0 && r.st0 >= 0 && r.st1 > r.st0) ? r.st1 - r.st0 : 0;
    r.gap = shm_load(s->history_gap_start);
    return r;
}

// Ends a segment at `end` with the record's current offset (dropping the oldest of 8) and empties
// the observations: estimates made before the break say nothing about the offset after it.
void close_segment(struct ui_slot_record* r, int32_t end) {
    if (r->segment_count >= SLOT_RECORD_RING) {
        std::memmove(r->segment_ends, r->segment_ends + 1, sizeof(int32_t) * (SLOT_RECORD_RING - 1));
        std::memmove(r->segment_offsets, r->segment_offsets + 1, sizeof(int32_t) * (SLOT_RECORD_RING - 1));
        r->segment_count = SLOT_RECORD_RING - 1;
    }
    r->segment_ends[r->segment_count] = end;
    r->segment_offsets[r->segment_count] = r->offset;
    ++r->segment_count;
    r->observation_count = 0;
    r->observation_position = 0;
    r->disagreements = 0;
}

int32_t median_of(const int32_t* obs, int32_t count) {
    int32_t sorted[SLOT_RECORD_RING] = {};
    for (int32_t i = 0; i < count; ++i) sorted[i] = obs[i];
    for (int32_t i = 1; i < count; ++i) // insertion sort: at most 8 values
        for (int32_t j = i; j > 0 && sorted[j - 1] > sorted[j]; --j) {
            const int32_t t = sorted[j];
            sorted[j] = sorted[j - 1];
            sorted[j - 1] = t;
        }
    return sorted[count / 2];
}

int32_t index_of_slot(const chain_member* members, int32_t n, const shm_slot* slot) {
    for (int32_t i = 0; i < n; ++i)
        if (members[i].slot == slot) return i;
    return -1;
}

} // namespace

struct ui_slot_record* ui_slot_record(editor_state* editor, shm_slot* slot) {
    for (int32_t i = 0; i < editor->slot_record_count; ++i)
        if (editor->slot_records[i].slot == slot) return &editor->slot_records[i];
    if (editor->slot_record_count >= SLOT_RECORD_MAX) {
        std::memmove(editor->slot_records, editor->slot_records + 1, sizeof(struct ui_slot_record) * (SLOT_RECORD_MAX - 1));
        editor->slot_record_count = SLOT_RECORD_MAX - 1;
    }
    struct ui_slot_record* r = &editor->slot_records[editor->slot_record_count++];
    std::memset(r, 0, sizeof *r);
    r->slot = slot;
    r->floor = -1;
    return r;
}

void ui_position_tracker(struct ui_slot_record* r, bool fresh, int32_t estimate, int32_t count, bool warm,
                         int32_t gap) {
    if (r->floor < 0) {
        // First sight. While the editor warms up the whole ring is drawn; a stage listed later starts
        // its history at the moment it was listed.
        r->offset = estimate;
        r->segment_count = 0;
        r->floor = warm ? count : 0;
        r->last_gap = gap;
        r->observation_position = 0;
        r->observation_count = 0;
        r->stale = fresh ? 0 : 1;
        r->stale_start = count;
    }
    if (gap >= 0 && gap != r->last_gap) {
        // A new pause: the entries before it keep the offset valid now.
        if (!(r->segment_count > 0 && gap <= r->segment_ends[r->segment_count - 1])) close_segment(r, gap);
        r->last_gap = gap;
    }
    if (fresh) {
        if (r->stale) {
            if (!(r->segment_count > 0 && r->stale_start <= r->segment_ends[r->segment_count - 1]))
                close_segment(r, r->stale_start);
            r->stale = 0;
        }
        r->observations[r->observation_position] = estimate;
        r->observation_position = (r->observation_position + 1) & (SLOT_RECORD_RING - 1);
        if (r->observation_count < SLOT_RECORD_RING) ++r->observation_count;
        const int32_t med = median_of(r->observations, r->observation_count);
        if (r->observation_count < SLOT_RECORD_RING) {
            r->offset = med;
            r->disagreements = 0;
        } else if (med == r->offset) {
            r->disagreements = 0;
        } else if (++r->disagreements >= 8) {
            // Hysteresis: a full ring must disagree for 8 frames in a row before the history moves.
            r->offset = med;
            r->disagreements = 0;
        }
    } else if (!r->stale) {
        r->stale = 1;
        r->stale_start = count;
    }
    // Segments whose entries have all left the 8192-entry ring.
    int32_t drop = 0;
    while (drop < r->segment_count &&
           static_cast<int64_t>(r->segment_ends[drop]) <= static_cast<int64_t>(count) - HISTORY_SIZE)
        ++drop;
    if (drop > 0) {
        for (int32_t d = drop; d < r->segment_count; ++d) {
            r->segment_ends[d - drop] = r->segment_ends[d];
            r->segment_offsets[d - drop] = r->segment_offsets[d];
        }
        r->segment_count -= drop;
    }
}

history_frame history_align_step(editor_state* editor, int32_t frame, int64_t now, double fs) {
    const chain_member* members = editor->group;
    const int32_t n = editor->group_count;
    history_frame out{};
    out.dt_ns = 64.0 * 1e9 / fs;
    const double dt_ns = out.dt_ns;
    const double display = static_cast<double>(now - DISPLAY_DELAY_NS);
    const int64_t two_seconds = static_cast<int64_t>(2.0 * fs);

    // 1. The newest stage.
    int32_t p = 0;
    stage_reading rp = read_stage(members[0].slot);
    for (int32_t i = 1; i < n; ++i) {
        const stage_reading ri = read_stage(members[i].slot);
        if (ri.last > rp.last) {
            p = i;
            rp = ri;
        }
    }

    // 2. The anchor stays unless another stage is clearly ahead: by more than two of its blocks of
    // steady time when both hosts give steady times (and they lie within two seconds of each other),
    // else by more than 100 ms of clock.
    int32_t k = p;
    const int32_t j = editor->anchor_valid ? index_of_slot(members, n, editor->anchor_slot) : -1;
    if (j >= 0 && j != p) {
        const stage_reading rj = read_stage(members[j].slot);
        if (rp.st1 >= 0 && rj.st1 >= 0 && rp.block > 0 && rp.st1 - rj.st1 > -two_seconds &&
            rp.st1 - rj.st1 < two_seconds)
            k = (rp.st1 - rj.st1 > 2 * rp.block) ? p : j;
        else
            k = (rp.last - rj.last > ANCHOR_HANDOVER_NS) ? p : j;
    } else if (j == p) {
        k = j;
    }

    // 3. The anchor time.
    shm_slot* ks = members[k].slot;
    const stage_reading rk = read_stage(ks);
    const int32_t c = rk.cnt - 1;
    const double base = static_cast<double>(rk.last) - static_cast<double>(c) * dt_ns;
    if (!editor->anchor_valid) {
        editor->anchor_slot = ks;
        editor->anchor_time = base;
        editor->anchor_correction = 0.0;
        editor->anchor_shift = ALIGN_SHIFT_START;
        editor->anchor_valid = 1;
    } else if (editor->anchor_slot == ks) {
        const struct ui_slot_record* r = ui_slot_record(editor, ks);
        // The anchor has just begun a new pause: hold A where it is instead of following the raw
        // base, which jumps by the idle columns the pause writes.
        if (r->floor >= 0 && rk.gap != r->last_gap) editor->anchor_correction = editor->anchor_time - base;
        editor->anchor_time += ((base + editor->anchor_correction) - editor->anchor_time) * 0.05;
    } else {
        struct ui_slot_record* r = ui_slot_record(editor, ks);
        const int32_t h = r->offset;
        // The new anchor's entry x is the old anchor's entry x + h: moving A and the shift by h keeps
        // every moment and every virtual entry number where it was, so the picture does not jump.
        const int32_t old = index_of_slot(members, n, editor->anchor_slot);
        if (old >= 0 && shm_load(members[old].slot->history_counter) >= 1)
            editor->anchor_time += static_cast<double>(h) * dt_ns;
        else
            editor->anchor_time = base;
        for (int32_t i = 0; i < editor->slot_record_count; ++i) {
            struct ui_slot_record* q = &editor->slot_records[i];
            q->offset -= h;
            for (int32_t o = 0; o < SLOT_RECORD_RING; ++o) q->observations[o] -= h;
            for (int32_t d = 0; d < q->segment_count; ++d) q->segment_offsets[d] -= h;
        }
        editor->anchor_shift += h;
        editor->anchor_slot = ks;
        editor->anchor_correction = editor->anchor_time - base;
    }

    // 4. Where the display time lies; a smoothed A that drifted more than 80 entries from a writing
    // anchor is reset at once rather than crawling back at 5% per frame. Above 48 kHz the limit keeps
    // the time 80 entries take at 48 kHz: the 40 ms display delay alone is 120 entries at 192 kHz, and
    // a fixed limit would reset A on every frame there and never let the smoothing run.
    const double reset_entries = fs > 48000.0 ? 80.0 * fs / 48000.0 : 80.0;
    double frac = (display - editor->anchor_time) / dt_ns - c;
    if (now - rk.last < STALE_NS && (frac < -reset_entries || frac > reset_entries)) {
        editor->anchor_time = base;
        editor->anchor_correction = 0.0;
        frac = (display - base) / dt_ns - c;
    }

    // 5. Every stage's offset.
    const bool warm = frame > REAPPEAR_FRAMES;
    const int32_t steady_tolerance = round_i32(2.0 * fs / 64.0);
    for (int32_t i = 0; i < n; ++i) {
        struct ui_slot_record* r = ui_slot_record(editor, members[i].slot);
        const stage_reading ri = read_stage(members[i].slot);
        if (r->floor >= 0 && r->last_frame < frame - REAPPEAR_FRAMES) r->floor = ri.cnt;
        r->last_frame = frame;
        const int32_t e_clock =
            (rk.cnt - ri.cnt) - round_i32(static_cast<double>(rk.last - ri.last) / dt_ns);
        int32_t estimate = e_clock;
        if (ri.st1 >= 0 && rk.st1 >= 0) {
            // Steady times count samples exactly; trust them unless they disagree with the clocks by
            // more than two seconds (a host that restarted its transport, say).
            const int32_t e_steady =
                (rk.cnt - ri.cnt) - round_i32(static_cast<double>(rk.st1 - ri.st1) / 64.0);
            const int64_t diff = static_cast<int64_t>(e_steady) - e_clock;
            if ((diff < 0 ? -diff : diff) <= steady_tolerance) estimate = e_steady;
        }
        const bool fresh = (i == k) || (rk.last - ri.last < STALE_NS);
        ui_position_tracker(r, fresh, estimate, ri.cnt, warm, ri.gap);
    }

    out.anchor = k;
    out.newest = c;
    out.frac = frac;
    out.virtual_newest = editor->anchor_shift + c;
    return out;
}

int32_t history_lookup(const struct ui_slot_record* r, int32_t e, int32_t cnt) {
    int32_t idx = 0;
    bool decided = false;
    for (int32_t d = r->segment_count - 1; d >= 0 && !decided; --d) {
        const int32_t end = r->segment_ends[d];
        const int32_t off = r->segment_offsets[d];
        const int32_t start = d > 0 ? r->segment_ends[d - 1] : 0;
        if (static_cast<int64_t>(e) >= static_cast<int64_t>(end) + off) break; // current offset
        idx = e - off;
        if (idx >= start) {
            if (idx >= end) return -1;
            decided = true;
        }
    }
    if (!decided) {
        idx = e - r->offset;
        const int32_t start = r->segment_count > 0 ? r->segment_ends[r->segment_count - 1] : 0;
        if (idx < start || idx >= cnt) return -1;
    }
    if (idx < 0 || idx < r->floor || static_cast<int64_t>(idx) <= static_cast<int64_t>(cnt) - HISTORY_SIZE)
        return -1;
    return idx;
}
