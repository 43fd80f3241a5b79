// How an editor action becomes parameter writes: which stages of the shown group an edit reaches
// (one stage, or the whole chain in chain mode), the one write path every click, typed value, menu
// choice and preset takes (undo point, then begin, value, end on each target's slot), the start of
// a drag over one or many stages, and how a change of the chain's total gain is shared out.
//
// The editor never stores a slot value itself: slot_set_value clamps, stores and queues the event
// for the stage's owner, wherever it runs. Every read of a slot value is one atomic load.
//
// Everything here runs on the editor's thread (the host's main thread).
#include <cmath>

#include "chain_order.h"
#include "edit_internal.h"
#include "edit_queue.h"
#include "editor.h"
#include "plugin_instance.h"
#include "registry.h"

namespace {

shm_slot* own_slot(const editor_state* editor) {
    return editor->instance ? editor->instance->slot : nullptr;
}

// Release and Lookahead span more than two decades, so their controls move logarithmically: equal
// travel gives equal ratios.
bool is_log_param(int32_t p) {
    return p == PARAM_RELEASE || p == PARAM_LOOKAHEAD;
}

} // namespace

bool value_would_change(const shm_slot* slot, int32_t p, double value) {
    return !(std::fabs(slot_value(slot, p) - clamp_param_value(p, value)) < 1e-9);
}

namespace {

// The picked stage is still one of the shown group's stages: its slot holds it (a live owner, the
// same instance id) and its Group is the one shown. Otherwise it has gone for good: its host closed
// it, another stage took the slot, or it moved to another group.
bool focused_stage_present(const editor_state* editor) {
    const shm_slot* s = editor->focused_slot;
    if (!slot_is_instance(s, static_cast<int64_t>(editor->focused_id))) return false;
    const double v = slot_value(s, PARAM_GROUP);
    return v > -1.0 && v < 16.0 && static_cast<int32_t>(v) == editor->shown_group;
}

} // namespace

double focus_hold_seconds(const shm_slot* slot) {
    // A listing compares the last 62 calls of every stage. Whatever one call shows that puts a stage
    // into another chain (an overlap with a neighbour, a block in the other order) has left that
    // history 62 calls later, and the listing after that takes the stage back. 64 of the stage's own
    // periods is that span with a margin; at least 1 s, so that small blocks or a stalled host cannot
    // cut it short, at most 10 s for a period from the segment that is not to be trusted, or a stage
    // that stopped processing.
    double hold = 1.0;
    if (slot != nullptr) {
        const int64_t start = shm_load(slot->start_ns), prev = shm_load(slot->prev_start_ns);
        const double period = static_cast<double>(static_cast<uint64_t>(start) - static_cast<uint64_t>(prev));
        if (start > prev && prev > 0) hold = 64.0 * period * 1e-9;
    }
    return hold < 1.0 ? 1.0 : hold > 10.0 ? 10.0 : hold;
}

void editor_focus_stage(editor_state* editor, int32_t index) {
    if (index < 0 || index >= editor->group_count || editor->group[index].slot == nullptr) {
        editor_clear_focus(editor);
        return;
    }
    editor->focused_index = index;
    editor->focused_slot = editor->group[index].slot;
    editor->focused_id = shm_load(editor->focused_slot->instance_id);
    editor->focused_position = editor->group[index].position;
    editor->focus_missing = 0;
    editor->focus_missing_since = 0.0;
}

void editor_clear_focus(editor_state* editor) {
    editor->focused_index = -1;
    editor->focused_slot = nullptr;
    editor->focused_id = 0;
    editor->focused_position = 0;
    editor->focus_missing = 0;
    editor->focus_missing_since = 0.0;
}

void editor_refresh_group(editor_state* editor) {
    shm_slot* own = own_slot(editor);
    if (own != nullptr) {
        // The truncation of a value from shared memory: only (-1, 16) truncates into a Group.
        const double v = slot_value(own, PARAM_GROUP);
        const int32_t g = (v > -1.0 && v < 16.0) ? static_cast<int32_t>(v) : 0;
        if (g != editor->last_own_group) {
            editor->last_own_group = g;
            editor->shown_group = g;
        }
    }
    // A focused index set without the picking (a place in the list as it stands) picks that entry.
    const int32_t fi = editor->focused_index;
    if (fi >= 0 && fi < editor->group_count && editor->group[fi].slot != editor->focused_slot)
        editor_focus_stage(editor, fi);
    const int32_t shown = editor->shown_group < 0 || editor->shown_group > 15 ? 0 : editor->shown_group;
    const int32_t n = registry_collect_chain(own, static_cast<uint32_t>(shown), editor->group, EDITOR_GROUP_MAX);
    editor->group_count = n < 0 ? 0 : n > EDITOR_GROUP_MAX ? EDITOR_GROUP_MAX : n;

    // The focused index is a place in the list, and the list is listed anew here: a learned order
    // that settles, or a stage that comes or goes, moves the other stages to other places. The focus
    // stays with the stage the user picked, found by its instance id, instead of passing silently to
    // whichever stage now stands at the old place.
    editor->focused_index = -1;
    if (editor->focused_slot == nullptr) return;
    for (int32_t i = 0; i < editor->group_count; ++i) {
        shm_slot* s = editor->group[i].slot;
        if (s == nullptr || shm_load(s->instance_id) != editor->focused_id) continue;
        editor->focused_index = i;
        editor->focused_slot = s;
        editor->focused_position = editor->group[i].position;
        editor->focus_missing = 0;
        return;
    }
    // Missing from this listing. A stage that has gone (closed, replaced, moved to another group)
    // lets the focus go at once. A live stage of the group can miss a listing or a few while the
    // chain inference weighs a disturbed block; meanwhile the focus waits for it, and the controls
    // meant for it edit no stage, rather than another one.
    if (!focused_stage_present(editor)) {
        editor_clear_focus(editor);
        return;
    }
    const double now = editor_clock_seconds(editor);
    if (!editor->focus_missing) {
        editor->focus_missing = 1;
        editor->focus_missing_since = now;
    } else if (now - editor->focus_missing_since > focus_hold_seconds(editor->focused_slot)) {
        editor_clear_focus(editor);
    }
}

int32_t focused_stage_index(const editor_state* editor) {
    const int32_t n = editor->group_count;
    if (editor->focused_index >= 0 && editor->focused_index < n) return editor->focused_index;
    if (editor->focused_slot != nullptr && editor->focus_missing) return EDITOR_FOCUS_MISSING;
    if (n <= 0) return 0;
    const shm_slot* own = own_slot(editor);
    for (int32_t i = 0; i < n; ++i) {
        if (editor->group[i].slot == own) return i;
    }
    return 0;
}

shm_slot* focused_stage_record(const editor_state* editor) {
    const int32_t n = editor->group_count;
    shm_slot* own = own_slot(editor);
    if (editor->focused_index >= 0 && editor->focused_index < n) return editor->group[editor->focused_index].slot;
    // The refresh checked that the slot still holds the picked stage.
    if (editor->focused_slot != nullptr && editor->focus_missing) return editor->focused_slot;
    if (n <= 0) return own;
    for (int32_t i = 0; i < n; ++i) {
        if (editor->group[i].slot == own) return own;
    }
    return editor->group[0].slot;
}

int32_t collect_target_stages(const editor_state* editor, int32_t stage_index, shm_slot** out, uint64_t* ids) {
    const int32_t n = editor->group_count;
    int32_t count = 0;
    if (!editor->chain_mode && stage_index == EDITOR_FOCUS_MISSING) return 0;
    if (!editor->chain_mode && stage_index >= 0) {
        out[0] = stage_index < n ? editor->group[stage_index].slot : own_slot(editor);
        count = 1;
    } else if (n <= 0) {
        out[0] = own_slot(editor);
        count = 1;
    } else {
        for (int32_t i = 0; i < n; ++i)
            out[i] = editor->group[i].slot;
        count = n;
    }
    if (ids != nullptr) {
        for (int32_t i = 0; i < count; ++i)
            ids[i] = out[i] != nullptr ? shm_load(out[i]->instance_id) : 0;
    }
    return count;
}

void editor_write_param(editor_state* editor, shm_slot* const* slots, const uint64_t* ids, int32_t n,
                        int32_t param_index, double value, uint32_t key) {
    if (param_index < 0 || param_index >= PARAM_COUNT) return;
    shm_slot* targets[EDITOR_GROUP_MAX];
    int32_t count = 0;
    bool changes = false;
    for (int32_t i = 0; i < n && i < EDITOR_GROUP_MAX; ++i) {
        if (!slot_is_instance(slots[i], static_cast<int64_t>(ids[i]))) continue;
        targets[count++] = slots[i];
        changes = changes || value_would_change(slots[i], param_index, value);
    }
    if (changes && !editor->loading) history_push(editor, key);
    for (int32_t i = 0; i < count; ++i) {
        slot_begin_gesture(targets[i], param_index);
        slot_set_value(targets[i], param_index, value);
        slot_end_gesture(targets[i], param_index);
    }
}

void editor_set_param(editor_state* editor, int32_t stage_index, int32_t param_index, double value) {
    if (param_index < 0 || param_index >= PARAM_COUNT) return;
    shm_slot* targets[EDITOR_GROUP_MAX];
    uint64_t ids[EDITOR_GROUP_MAX];
    const int32_t n = collect_target_stages(editor, stage_index, targets, ids);
    editor_write_param(editor, targets, ids, n, param_index, value, edit_press_key(stage_index, param_index));
}

void group_drag_begin(editor_state* editor, int32_t kind, int32_t stage_index, int32_t param_index, double x,
                      double y) {
    if (param_index < 0 || param_index >= PARAM_COUNT) return;
    // The undo point waits for the first motion that changes a value: a press alone (the first half
    // of a double-click, a click that does not move) leaves the history as it was.
    if (editor->instance != nullptr) editor->instance->last_undo_key = 0;
    editor->drag_changed = 0;
    editor->drag_kind = kind;
    editor->drag_stage = stage_index;
    editor->drag_param = param_index;
    editor->drag_start_x = x;
    editor->drag_start_y = y;
    editor->drag_count = collect_target_stages(editor, stage_index, editor->drag_slots, editor->drag_ids);
    for (int32_t i = 0; i < editor->drag_count; ++i) {
        shm_slot* slot = editor->drag_slots[i];
        if (!slot_is_instance(slot, static_cast<int64_t>(editor->drag_ids[i]))) {
            editor->drag_slots[i] = nullptr;
            continue;
        }
        editor->drag_start_values[i] = param_to_normalized(param_index, slot_value(slot, param_index));
        // The gesture stays open until the release: the begin names this editor's stage, so that
        // another process's owner can end it should this process die first.
        slot_begin_held_gesture(slot, param_index, own_slot(editor));
    }
}

void editor_end_drag(editor_state* editor) {
    if (editor->drag_kind == 0) return;
    if (editor->drag_kind != WIDGET_RESIZE_GRIP) {
        const int32_t n = editor->drag_count < 0                  ? 0
                          : editor->drag_count > EDITOR_GROUP_MAX ? EDITOR_GROUP_MAX
                                                                  : editor->drag_count;
        for (int32_t i = 0; i < n; ++i) {
            shm_slot* slot = editor->drag_slots[i];
            if (slot_is_instance(slot, static_cast<int64_t>(editor->drag_ids[i])))
                slot_end_gesture(slot, editor->drag_param);
            editor->drag_slots[i] = nullptr;
        }
    }
    editor->drag_count = 0;
    editor->drag_kind = 0;
}

double chain_total_gain(const editor_state* editor) {
    double sum = 0.0;
    for (int32_t i = 0; i < editor->group_count; ++i) {
        if (editor->group[i].slot != nullptr) sum += slot_value(editor->group[i].slot, PARAM_GAIN);
    }
    return sum;
}

double gain_share_weight(const editor_state* editor, int32_t k, int32_t n) {
    if (n < 2) return 1.0;
    const double s = n * (n + 1) / 2.0;
    switch (editor->instance ? editor->instance->ui.spread : 0) {
    case 1: return (n - k) / s;
    case 2: return (k + 1) / s;
    default: return 1.0 / n;
    }
}

double param_to_normalized(int32_t p, double v) {
    if (p < 0 || p >= PARAM_COUNT) return 0.0;
    const double lo = param_table[p].min, hi = param_table[p].max;
    if (is_log_param(p)) return std::log(v / lo) / std::log(hi / lo);
    return (v - lo) / (hi - lo);
}

double param_from_normalized(int32_t p, double t) {
    if (p < 0 || p >= PARAM_COUNT) return 0.0;
    t = t < 0.0 ? 0.0 : t > 1.0 ? 1.0 : t;
    const double lo = param_table[p].min, hi = param_table[p].max;
    if (is_log_param(p)) return lo * std::pow(hi / lo, t);
    return lo + t * (hi - lo);
}

bool stage_lookahead_waits(const shm_slot* s, double* runs_ms) {
    if (!s || shm_load(s->active) != 1) return false;
    const double rate = shm_load(s->sample_rate);
    const uint32_t latency = shm_load(s->latency);
    if (!(rate >= 1000.0 && rate <= 768000.0) || latency < uint32_t(LIMITER_EXTRA_DELAY)) return false;
    const int32_t k = lookahead_samples(slot_value(s, PARAM_LOOKAHEAD), rate);
    if (latency == uint32_t(k + LIMITER_EXTRA_DELAY)) return false;
    if (runs_ms) *runs_ms = (latency - uint32_t(LIMITER_EXTRA_DELAY)) * 1000.0 / rate;
    return true;
}
