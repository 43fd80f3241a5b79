// The preset list of the editor: 7 built-in stage presets (positions 0..6), 6 built-in chain presets
// (7..12) and up to 24 user presets (13 + i), with stepping, loading and saving.
//
// A preset touches the sound of a stage and nothing of its wiring or monitoring: Stage, Group,
// Bypass, Delta listen and Unity gain are never written by any preset, and the built-in ones also
// leave Input and Mix alone. Loading is one undo step: the caller (or apply_user_preset) makes one
// undo point with key 0 and raises the loading flag, so the many writes make no points of their own.
//
// Everything here runs on the editor's thread (the host's main thread).
#include <cstdio>
#include <cstring>

#include "edit_internal.h"
#include "edit_queue.h"
#include "editor.h"
#include "platform.h"
#include "plugin_instance.h"

namespace {

// The parameters a built-in preset sets, in the order its rows hold them.
constexpr int32_t builtin_params[10] = {PARAM_GAIN,      PARAM_CEILING,          PARAM_RELEASE,   PARAM_STEREO_LINK,
                                        PARAM_TRUE_PEAK, PARAM_ADAPTIVE_RELEASE, PARAM_LOOKAHEAD, PARAM_STYLE,
                                        PARAM_DITHER,    PARAM_NOISE_SHAPING};

// The parameters a user preset sets, in this order.
constexpr int32_t user_params[12] = {PARAM_INPUT,     PARAM_GAIN,        PARAM_CEILING,         PARAM_RELEASE,
                                     PARAM_STEREO_LINK, PARAM_TRUE_PEAK, PARAM_ADAPTIVE_RELEASE, PARAM_LOOKAHEAD,
                                     PARAM_STYLE,     PARAM_DITHER,      PARAM_NOISE_SHAPING,   PARAM_MIX};

struct stage_setting {
    double v[10];
};

struct builtin_stage_preset {
    const char* name;
    stage_setting s;
};

constexpr builtin_stage_preset stage_presets[PRESET_BUILTIN_STAGE] = {
    {"Default", {{0, -0.3, 100, 100, 1, 1, 1.5, 0, 0, 2}}},
    {"Gentle bus stage", {{2, -0.3, 160, 100, 1, 1, 2, 4, 0, 2}}},
    {"Transparent stage", {{3, -0.3, 260, 100, 1, 1, 3, 0, 0, 2}}},
    {"Punchy stage", {{3, -0.3, 40, 60, 1, 0, 1, 2, 0, 2}}},
    {"Final 24 bit (-1 dBTP)", {{4, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}}},
    {"Final CD 16 bit (-0.3 dB)", {{4, -0.3, 120, 100, 1, 1, 1.5, 5, 2, 2}}},
    {"Loud", {{8, -0.1, 60, 100, 1, 1, 1, 3, 0, 2}}},
};

// The stage settings the chain presets are built from.
constexpr stage_setting G = {{2, -0.3, 160, 100, 1, 1, 2, 4, 0, 2}};
constexpr stage_setting T = {{3, -0.3, 260, 100, 1, 1, 3, 0, 0, 2}};
constexpr stage_setting P = {{3, -0.3, 40, 60, 1, 0, 1, 2, 0, 2}};
constexpr stage_setting F2 = {{2, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}};
constexpr stage_setting B = {{1.5, -0.3, 200, 100, 1, 1, 2, 4, 0, 2}};
constexpr stage_setting L = {{4, -0.3, 80, 100, 1, 1, 1.5, 3, 0, 2}};
constexpr stage_setting LF = {{4, -0.5, 60, 100, 1, 1, 1, 1, 1, 2}};
constexpr stage_setting F3 = {{3, -1, 120, 100, 1, 1, 1.5, 5, 1, 2}};
constexpr stage_setting FC = {{3, -0.3, 120, 100, 1, 1, 1.5, 5, 2, 2}};

struct builtin_chain_preset {
    const char* name;
    int32_t count; // 1..4
    stage_setting stages[4];
};

constexpr builtin_chain_preset chain_presets[PRESET_BUILTIN_CHAIN] = {
    {"Chain: 3 x gentle (2 dB each)", 3, {G, G, G, {}}},
    {"Chain: transparent > punchy > final", 3, {T, P, F2, {}}},
    {"Chain: bus 4 x 1.5 dB", 4, {B, B, B, B}},
    {"Chain: loud (3 x 4 dB, -0.5 dBTP)", 3, {L, L, LF, {}}},
    {"Master: streaming (-1 dBTP, 24 bit)", 3, {G, T, F3, {}}},
    {"Master: CD (-0.3 dB, 16 bit)", 3, {T, P, FC, {}}},
};

void write_gesture(shm_slot* slot, int32_t p, double v) {
    slot_begin_gesture(slot, p);
    slot_set_value(slot, p, v);
    slot_end_gesture(slot, p);
}

int32_t user_count(const editor_state* editor) {
    const int32_t n = editor->user_preset_count;
    return n < 0 ? 0 : n > USER_PRESET_MAX ? USER_PRESET_MAX : n;
}

// The name the entry is prefilled with: the selected user preset's, else "New preset".
const char* prefill_name(const editor_state* editor) {
    const int32_t i = editor->preset_selection - PRESET_USER_FIRST;
    return (i >= 0 && i < user_count(editor)) ? editor->user_presets[i] : "New preset";
}

// A built-in preset applied as one undo step.
void load_builtin(editor_state* editor, int32_t index) {
    history_push(editor, 0);
    editor->loading = 1;
    apply_builtin_preset(editor, index);
    editor->loading = 0;
}

} // namespace

const char* builtin_preset_name(int32_t index) {
    if (index >= 0 && index < PRESET_BUILTIN_STAGE) return stage_presets[index].name;
    if (index >= PRESET_BUILTIN_STAGE && index < PRESET_USER_FIRST)
        return chain_presets[index - PRESET_BUILTIN_STAGE].name;
    return stage_presets[0].name;
}

void preset_list_refresh(editor_state* editor) {
    editor->user_preset_count = preset_list(editor->user_presets, USER_PRESET_MAX, editor->user_preset_files);
    if (editor->preset_selection >= PRESET_USER_FIRST + user_count(editor) || editor->preset_selection < 0)
        editor->preset_selection = 0;
    // A menu too long for the window opens with the selected user preset in the middle of its run.
    const int32_t selected = editor->preset_selection - PRESET_USER_FIRST;
    const int32_t shown = preset_menu_user_rows(user_count(editor), selected >= 0);
    editor->preset_menu_first = selected >= 0 ? selected - shown / 2 : 0;
    preset_menu_scroll(editor, 0.0);
}

void preset_menu_scroll(editor_state* editor, double dy) {
    const int32_t users = user_count(editor);
    const int32_t selected = editor->preset_selection - PRESET_USER_FIRST;
    const int32_t last = users - preset_menu_user_rows(users, selected >= 0 && selected < users);
    int32_t first = editor->preset_menu_first + (dy > 0.0 ? -1 : dy < 0.0 ? 1 : 0);
    first = first > last ? last : first;
    editor->preset_menu_first = first < 0 ? 0 : first;
}

void apply_builtin_preset(editor_state* editor, int32_t index) {
    if (index >= 0 && index < PRESET_BUILTIN_STAGE) {
        editor->preset_selection = index;
        const int32_t stage = focused_stage_index(editor);
        for (int32_t k = 0; k < 10; ++k)
            editor_set_param(editor, stage, builtin_params[k], stage_presets[index].s.v[k]);
        return;
    }
    if (index < PRESET_BUILTIN_STAGE || index >= PRESET_USER_FIRST) return;
    const builtin_chain_preset& row = chain_presets[index - PRESET_BUILTIN_STAGE];
    // Position i takes setting min(i, count - 1): a longer chain repeats the last setting.
    for (int32_t i = 0; i < editor->group_count; ++i) {
        shm_slot* slot = editor->group[i].slot;
        if (slot == nullptr) continue;
        const stage_setting& s = row.stages[i < row.count - 1 ? i : row.count - 1];
        for (int32_t k = 0; k < 10; ++k)
            write_gesture(slot, builtin_params[k], s.v[k]);
    }
    editor->preset_selection = index;
}

void apply_user_preset(editor_state* editor, int32_t i) {
    if (i < 0 || i >= user_count(editor)) return;
    preset_record record;
    if (!preset_read_file(editor->user_preset_files[i], editor->user_presets[i], &record)) return;
    history_push(editor, 0);
    editor->loading = 1;
    if (record.stages <= 1) {
        const int32_t stage = focused_stage_index(editor);
        for (int32_t p : user_params)
            editor_set_param(editor, stage, p, record.values[0][p]);
    } else {
        for (int32_t g = 0; g < editor->group_count; ++g) {
            shm_slot* slot = editor->group[g].slot;
            if (slot == nullptr) continue;
            const int32_t s = g < record.stages - 1 ? g : record.stages - 1;
            for (int32_t p : user_params)
                write_gesture(slot, p, record.values[s][p]);
        }
    }
    editor->preset_selection = PRESET_USER_FIRST + i;
    editor->loading = 0;
}

void preset_step(editor_state* editor, int32_t delta) {
    preset_list_refresh(editor);
    const int32_t total = PRESET_USER_FIRST + user_count(editor);
    int32_t selection = editor->preset_selection;
    if (selection >= total || selection < 0) selection = 0;
    const int32_t position = ((selection + delta) % total + total) % total;
    if (position < PRESET_USER_FIRST) {
        load_builtin(editor, position);
    } else {
        apply_user_preset(editor, position - PRESET_USER_FIRST);
    }
}

void preset_save_current(editor_state* editor, int32_t mode, const char* name) {
    // About 1 KB of values: static rather than on the host's stack, as this runs on one thread.
    static preset_record record;
    memset(&record, 0, sizeof record);
    snprintf(record.name, sizeof record.name, "%s", name ? name : "");
    if (mode == TEXT_ENTRY_CHAIN_PRESET && editor->group_count > 0) {
        const int32_t n = editor->group_count < PRESET_MAX_STAGES ? editor->group_count : PRESET_MAX_STAGES;
        record.stages = 0;
        for (int32_t i = 0; i < n; ++i) {
            const shm_slot* slot = editor->group[i].slot;
            if (slot == nullptr) continue;
            for (int32_t p = 0; p < PARAM_COUNT; ++p)
                record.values[record.stages][p] = slot_value(slot, p);
            ++record.stages;
        }
    } else {
        const shm_slot* slot = focused_stage_record(editor);
        record.stages = 1;
        for (int32_t p = 0; p < PARAM_COUNT; ++p)
            record.values[0][p] = slot ? slot_value(slot, p) : param_table[p].default_value;
    }
    if (!preset_write(&record)) return;
    preset_list_refresh(editor);
    // The listed name must be the record's and its file the one just written: "d." is written as
    // d.lodrin, and a listed d..lodrin is another preset.
    char written[PRESET_FILE_NAME_SIZE];
    char clean[PRESET_NAME_SIZE];
    if (!preset_sanitise_name(record.name, clean, sizeof clean)) return;
    snprintf(written, sizeof written, "%s.lodrin", clean);
    for (int32_t i = 0; i < user_count(editor); ++i) {
#if defined(_WIN32)
        const bool same_file = stricmp_compare(editor->user_preset_files[i], written) == 0; // names ignore case there
#else
        const bool same_file = strcmp(editor->user_preset_files[i], written) == 0;
#endif
        if (strcmp(editor->user_presets[i], record.name) == 0 && same_file) {
            editor->preset_selection = PRESET_USER_FIRST + i;
            break;
        }
    }
}

void preset_name_edit_begin(editor_state* editor, int32_t mode) {
    // Under the preset button as the last frame drew it; the canvas's top-left without one.
    float x = 0.0f, y = 0.0f, w = 0.0f;
    for (int32_t i = 0; i < editor->hit_count && i < HIT_LIST_CAPACITY; ++i) {
        if (editor->hits[i].kind == WIDGET_PRESET_MENU) {
            x = editor->hits[i].x;
            y = editor->hits[i].y + editor->hits[i].h + 2.0f;
            w = editor->hits[i].w;
            break;
        }
    }
    preset_list_refresh(editor);
    text_entry_state& t = editor->entry;
    t.mode = mode;
    t.active = 1;
    t.select_all = 1;
    t.stage_index = -1;
    t.param_index = -1;
    snprintf(t.text, sizeof t.text, "%s", prefill_name(editor));
    t.x = x;
    t.y = y;
    t.w = w;
    t.h = 24.0f;
}

void preset_menu_action(editor_state* editor, int32_t action, int32_t position) {
    switch (action) {
    case PRESET_ACTION_STAGE:
    case PRESET_ACTION_CHAIN: load_builtin(editor, position); break;
    case PRESET_ACTION_USER: apply_user_preset(editor, position - PRESET_USER_FIRST); break;
    case PRESET_ACTION_SAVE_STAGE: begin_name_entry(editor, TEXT_ENTRY_STAGE_PRESET, prefill_name(editor)); break;
    case PRESET_ACTION_SAVE_CHAIN: begin_name_entry(editor, TEXT_ENTRY_CHAIN_PRESET, prefill_name(editor)); break;
    case PRESET_ACTION_DELETE: {
        const int32_t i = editor->preset_selection - PRESET_USER_FIRST;
        if (i >= 0 && i < user_count(editor)) {
            preset_delete_file(editor->user_preset_files[i]);
            preset_list_refresh(editor);
            editor->preset_selection = 0;
        }
        break;
    }
    default: break;
    }
}
