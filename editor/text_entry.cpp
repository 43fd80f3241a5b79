// The one-line text entry laid over the canvas: an exact value for a parameter control, or the name
// of a user preset about to be saved. Only printable ASCII is typed, at most 63 characters; the
// whole text starts selected, so the first key replaces it.
//
// Everything here runs on the editor's thread (the host's main thread).
#include <cstdio>
#include <cstring>

#include "edit_internal.h"
#include "editor.h"

void begin_value_entry(editor_state* editor, const hit_entry* entry, int32_t param_index) {
    if (param_index < 0 || param_index >= PARAM_COUNT) return;
    const int32_t index = entry->index;
    // The picked stage is missing from the list: a value typed for it would reach no stage.
    if (index == EDITOR_FOCUS_MISSING && !editor->chain_mode) return;
    shm_slot* slot = (index >= 0 && index < editor->group_count) ? editor->group[index].slot
                                                                  : focused_stage_record(editor);
    text_entry_state& t = editor->entry;
    t.active = 1;
    t.select_all = 1;
    t.mode = TEXT_ENTRY_VALUE;
    t.stage_index = index;
    t.param_index = param_index;
    t.slot = slot;
    t.instance_id = slot != nullptr ? shm_load(slot->instance_id) : 0;
    t.text[0] = '\0';
    if (slot != nullptr) format_param_value(param_index, slot_value(slot, param_index), t.text, sizeof t.text);
    // A 76 x 22 box centred on the control, kept inside the canvas with a 4-unit margin.
    float x = entry->x + entry->w / 2.0f - 38.0f;
    if (x < 4.0f) x = 4.0f;
    if (x + 76.0f > 956.0f) x = 880.0f;
    t.x = x;
    t.y = entry->y + entry->h / 2.0f - 11.0f;
    t.w = 76.0f;
    t.h = 22.0f;
}

void begin_name_entry(editor_state* editor, int32_t mode, const char* name) {
    text_entry_state& t = editor->entry;
    t.mode = mode;
    t.active = 1;
    t.select_all = 1;
    t.stage_index = -1;
    snprintf(t.text, sizeof t.text, "%s", name ? name : "");
    t.x = editor->menu_x;
    t.y = editor->menu_y;
    t.w = editor->menu_w;
    t.h = 24.0f;
}

void text_entry_key(editor_state* editor, int32_t key) {
    text_entry_state& t = editor->entry;
    if (!t.active) return;
    const size_t len = strnlen(t.text, sizeof t.text - 1);
    if (key == 13) {
        commit_text_entry(editor);
    } else if (key == 27) {
        t.active = 0;
    } else if (key == 8) {
        if (t.select_all) {
            t.text[0] = '\0';
            t.select_all = 0;
        } else if (len > 0) {
            t.text[len - 1] = '\0';
        }
    } else if (key >= 32 && key <= 126) {
        if (t.select_all) {
            t.text[0] = static_cast<char>(key);
            t.text[1] = '\0';
            t.select_all = 0;
        } else if (len < sizeof t.text - 1) {
            t.text[len] = static_cast<char>(key);
            t.text[len + 1] = '\0';
        }
    }
}

void commit_text_entry(editor_state* editor) {
    text_entry_state& t = editor->entry;
    if (!t.active) return;
    t.active = 0;
    if (t.mode == TEXT_ENTRY_VALUE) {
        if (t.param_index < 0 || t.param_index >= PARAM_COUNT) return;
        double v = 0.0;
        if (!param_text_to_value(t.param_index, t.text, &v)) return;
        // The value goes to the stage the entry was opened on, wherever the list has moved it since,
        // and to nobody when another stage has taken its slot; in chain mode to the group as listed.
        if (editor->chain_mode) {
            editor_set_param(editor, t.stage_index, t.param_index, v);
        } else {
            editor_write_param(editor, &t.slot, &t.instance_id, 1, t.param_index, v,
                               edit_press_key(t.stage_index, t.param_index));
        }
        return;
    }
    const char* s = t.text;
    while (*s == ' ')
        ++s;
    char name[64];
    size_t n = strnlen(s, sizeof name - 1);
    memcpy(name, s, n);
    while (n > 0 && name[n - 1] == ' ')
        --n;
    name[n] = '\0';
    if (n == 0) return;
    preset_save_current(editor, t.mode, name);
}
