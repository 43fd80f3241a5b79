// Undo, redo and A/B compare of a whole chain.
//
// Both live in the plugin_instance of the stage whose editor is open, so they outlast the editor
// window. An undo point is a snapshot of the shown group's stages taken before an edit that changes
// a value (a press, drag or typed value that changes nothing makes none); restoring one writes back,
// through the ordinary edit calls, only the values that differ now, so every stage's host (in
// whatever process) hears of the change as plain parameter gestures.
//
// Slot references in the records are only trusted after a check: undo asks the registry whether
// the slot still holds the stage it held (instance id and a live owner), A/B applies a record only
// to slots found in the present group list.
//
// Everything here runs on the editor's thread (the host's main thread).
#include <cmath>
#include <cstring>

#include "edit_queue.h"
#include "edit_internal.h"
#include "editor.h"
#include "plugin_instance.h"
#include "registry.h"

namespace {

// Parameters A/B leaves alone: where a stage sits, which group it is in, and the three monitoring
// switches. Compare settings are about the sound, not about the session's wiring.
bool ab_skips(int32_t p) {
    return p == PARAM_STAGE || p == PARAM_GROUP || p == PARAM_BYPASS || p == PARAM_DELTA_LISTEN ||
           p == PARAM_UNITY_GAIN;
}

// One parameter of one stage written as a complete gesture, only when it differs.
void write_if_different(shm_slot* slot, int32_t p, double value) {
    if (std::fabs(slot_value(slot, p) - value) < 1e-9) return;
    slot_begin_gesture(slot, p);
    slot_set_value(slot, p, value);
    slot_end_gesture(slot, p);
}

// Drops the oldest entry of a full stack so that one more fits on top.
void make_room(undo_snapshot* stack, uint32_t* count) {
    if (*count > static_cast<uint32_t>(UNDO_DEPTH)) *count = UNDO_DEPTH;
    if (*count < static_cast<uint32_t>(UNDO_DEPTH)) return;
    memmove(&stack[0], &stack[1], sizeof(undo_snapshot) * (UNDO_DEPTH - 1));
    *count = UNDO_DEPTH - 1;
}

} // namespace

void history_capture_snapshot(editor_state* editor, undo_snapshot* out) {
    out->count = 0;
    const int32_t n = editor->group_count < UNDO_STAGES ? editor->group_count : UNDO_STAGES;
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = editor->group[i].slot;
        if (slot == nullptr) continue;
        const int32_t k = out->count++;
        out->slots[k] = slot;
        out->ids[k] = shm_load(slot->instance_id);
        for (int32_t p = 0; p < PARAM_COUNT; ++p)
            out->values[k][p] = slot_value(slot, p);
    }
}

bool history_continues(const editor_state* editor, uint32_t key) {
    const plugin_instance* inst = editor->instance;
    // The monotonic clock, not the window world's: a world starts at 0 with each reopened editor,
    // while the history lives on in the instance.
    const double now = editor_clock_seconds(nullptr);
    return key != 0 && key == inst->last_undo_key && now - inst->last_push_time >= 0.0 &&
           now - inst->last_push_time < 0.5 && inst->undo_count > 0;
}

void history_push_including(editor_state* editor, uint32_t key, shm_slot* slot) {
    plugin_instance* inst = editor->instance;
    const double now = editor_clock_seconds(nullptr);
    if (history_continues(editor, key)) {
        inst->last_push_time = now;
        return;
    }
    make_room(inst->undo, &inst->undo_count);
    undo_snapshot* point = &inst->undo[inst->undo_count];
    history_capture_snapshot(editor, point);
    if (slot != nullptr) {
        bool recorded = false;
        for (int32_t i = 0; i < point->count && !recorded; ++i)
            recorded = point->slots[i] == slot;
        if (!recorded) {
            const int32_t k = point->count < UNDO_STAGES ? point->count++ : UNDO_STAGES - 1;
            point->slots[k] = slot;
            point->ids[k] = shm_load(slot->instance_id);
            for (int32_t p = 0; p < PARAM_COUNT; ++p)
                point->values[k][p] = slot_value(slot, p);
        }
    }
    ++inst->undo_count;
    inst->redo_count = 0;
    inst->last_undo_key = key;
    inst->last_push_time = now;
}

void history_push(editor_state* editor, uint32_t key) {
    history_push_including(editor, key, nullptr);
}

void history_apply_snapshot(editor_state* editor, const undo_snapshot* snapshot) {
    const int32_t n = snapshot->count < 0 ? 0 : snapshot->count > UNDO_STAGES ? UNDO_STAGES : snapshot->count;
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = snapshot->slots[i];
        if (!slot_is_instance(slot, static_cast<int64_t>(snapshot->ids[i]))) continue;
        for (int32_t p = 0; p < PARAM_COUNT; ++p)
            write_if_different(slot, p, snapshot->values[i][p]);
    }
    editor_refresh_group(editor);
}

// Undo and redo are one operation with the two stacks swapped: the present state goes on top of
// the other stack, the top of this one is taken off and applied.
static void history_step(editor_state* editor, undo_snapshot* from, uint32_t* from_count, undo_snapshot* to,
                         uint32_t* to_count) {
    if (*from_count == 0) return;
    if (*from_count > static_cast<uint32_t>(UNDO_DEPTH)) *from_count = UNDO_DEPTH;
    make_room(to, to_count);
    history_capture_snapshot(editor, &to[*to_count]);
    ++*to_count;
    // Copied out first: applying rebuilds the group list, and the entry's place may be reused.
    const undo_snapshot taken = from[--*from_count];
    history_apply_snapshot(editor, &taken);
    editor->instance->last_undo_key = 0;
}

void history_undo(editor_state* editor) {
    plugin_instance* inst = editor->instance;
    history_step(editor, inst->undo, &inst->undo_count, inst->redo, &inst->redo_count);
}

void history_redo(editor_state* editor) {
    plugin_instance* inst = editor->instance;
    history_step(editor, inst->redo, &inst->redo_count, inst->undo, &inst->undo_count);
}

void editor_snapshot_members(editor_state* editor, int32_t which) {
    ab_slot* ab = &editor->instance->ab[which & 1];
    ab->count = 0;
    const int32_t n = editor->group_count < AB_STAGES ? editor->group_count : AB_STAGES;
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = editor->group[i].slot;
        if (slot == nullptr) continue;
        const int32_t k = ab->count++;
        ab->slots[k] = slot;
        for (int32_t p = 0; p < PARAM_COUNT; ++p)
            ab->values[k][p] = slot_value(slot, p);
    }
    ab->valid = 1;
}

void ab_swap(editor_state* editor) {
    plugin_instance* inst = editor->instance;
    const uint32_t c = inst->ab_current & 1;
    const uint32_t o = 1 - c;
    history_push(editor, 0);
    editor_snapshot_members(editor, static_cast<int32_t>(c));
    if (!inst->ab[o].valid) inst->ab[o] = inst->ab[c];
    inst->ab_current = o;
    const ab_slot* ab = &inst->ab[o];
    const int32_t n = ab->count < 0 ? 0 : ab->count > AB_STAGES ? AB_STAGES : ab->count;
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = ab->slots[i];
        bool listed = false;
        for (int32_t g = 0; g < editor->group_count && !listed; ++g)
            listed = editor->group[g].slot == slot;
        if (!listed || slot == nullptr) continue;
        for (int32_t p = 0; p < PARAM_COUNT; ++p) {
            if (!ab_skips(p)) write_if_different(slot, p, ab->values[i][p]);
        }
    }
}

void ab_copy(editor_state* editor) {
    plugin_instance* inst = editor->instance;
    const uint32_t c = inst->ab_current & 1;
    editor_snapshot_members(editor, static_cast<int32_t>(c));
    inst->ab[1 - c] = inst->ab[c];
}
