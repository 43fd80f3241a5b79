// Input handling: turns the view's keyboard, text, button, motion and wheel events into actions on
// the widgets the last frame recorded in its hit list. Input never looks at pixel positions of its
// own: a widget is whatever hit entry lies under the pointer, topmost first.
//
// A press runs through a fixed ladder: an open text entry, the about box and an open menu each take
// the press for themselves (it does nothing else); then MIDI-learn arming; then the double-click
// test; then the widget's own action, by column: press, double-click, or reset (Ctrl or Alt held).
//
// Everything here runs on the editor's thread (the host's main thread).
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "edit_internal.h"
#include "edit_queue.h"
#include "editor.h"
#include "platform.h"
#include "plugin_instance.h"
#include "registry.h"
#include "window/window.h"

namespace {

double (*clock_source)() = nullptr;

bool key_debug() {
    const char* v = getenv("LODRIN_KEYDBG");
    return v != nullptr;
}

shm_slot* own_slot(const editor_state* editor) {
    return editor->instance ? editor->instance->slot : nullptr;
}

// The slot a hit entry stands for: its group-list entry, else the focused stage's (the own stage's
// while the list is empty).
shm_slot* entry_slot(const editor_state* editor, const hit_entry& e) {
    if (e.index >= 0 && e.index < editor->group_count) return editor->group[e.index].slot;
    return focused_stage_record(editor);
}

double entry_value(const editor_state* editor, const hit_entry& e, int32_t p) {
    const shm_slot* slot = entry_slot(editor, e);
    return slot ? slot_value(slot, p) : param_table[p].default_value;
}

bool valid_param(int32_t p) {
    return p >= 0 && p < PARAM_COUNT;
}

void mark_dirty(plugin_instance* instance) {
    if (instance && instance->host_state && instance->host_state->mark_dirty)
        instance->host_state->mark_dirty(instance->host);
}

uint32_t toggled(uint32_t v) {
    return v == 0 ? 1u : 0u;
}

void open_menu(editor_state* editor, int32_t kind, int32_t owner, float x, float y, float w) {
    editor->menu_kind = kind;
    editor->menu_owner = owner;
    editor->menu_x = x;
    editor->menu_y = y;
    editor->menu_w = w;
}

// A switch flips between 0 and 1 from the value its stage holds now.
void press_switch(editor_state* editor, const hit_entry& e) {
    if (!valid_param(e.sub)) return;
    editor_set_param(editor, e.index, e.sub, entry_value(editor, e, e.sub) >= 0.5 ? 0.0 : 1.0);
}

void set_default(editor_state* editor, const hit_entry& e, int32_t p) {
    if (valid_param(p)) editor_set_param(editor, e.index, p, param_table[p].default_value);
}

// Only the own stage moves to another group: other stages move from their own editors. The undo
// point records the own stage even when the shown group (another one, after a first press on its
// button) does not list it, so that the move is undone like any other.
void move_to_group(editor_state* editor, int32_t sub) {
    const int32_t target = sub >= 100 ? sub - 100 : sub;
    shm_slot* own = own_slot(editor);
    if (own != nullptr) {
        if (value_would_change(own, PARAM_GROUP, static_cast<double>(target)))
            history_push_including(editor, 0, own);
        slot_begin_gesture(own, PARAM_GROUP);
        slot_set_value(own, PARAM_GROUP, static_cast<double>(target));
        slot_end_gesture(own, PARAM_GROUP);
    }
    editor->shown_group = target < 0 ? 0 : target > 15 ? 15 : target;
    editor_clear_focus(editor);
}

// Every listed stage's slot, then the own slot.
void request_loudness_reset(editor_state* editor) {
    for (int32_t i = 0; i < editor->group_count; ++i) {
        if (editor->group[i].slot != nullptr) shm_exchange(editor->group[i].slot->reset_loudness, 1u);
    }
    if (shm_slot* own = own_slot(editor)) shm_exchange(own->reset_loudness, 1u);
}

void press_midi_learn_button(editor_state* editor) {
    shm_slot* slot = focused_stage_record(editor);
    if (slot != nullptr && shm_load(slot->midi_learn_param) >= 0) {
        shm_exchange(slot->midi_learn_param, -1);
        editor->midi_learn_armed = 0;
        return;
    }
    editor->midi_learn_armed = editor->midi_learn_armed ? 0 : 1;
}

// A press while learn is armed: unmap the control when it has a controller, else arm the stage to
// bind the next controller to it. Only one stage of the group may wait for a controller.
void learn_press(editor_state* editor, const hit_entry& e) {
    const int32_t k = e.kind;
    if (k == WIDGET_KNOB || k == WIDGET_SWITCH || k == WIDGET_GAIN_FADER || k == WIDGET_STAGE ||
        k == WIDGET_GRID_CELL) {
        // A control of the picked stage while it is missing from the list learns nothing.
        shm_slot* slot = (e.index >= 0 && e.index < editor->group_count) ? editor->group[e.index].slot
                         : e.index == EDITOR_FOCUS_MISSING                ? nullptr
                                                                          : own_slot(editor);
        const int32_t p = k == WIDGET_STAGE ? PARAM_GAIN : e.sub;
        for (int32_t i = 0; i < editor->group_count; ++i) {
            if (editor->group[i].slot != nullptr) shm_exchange(editor->group[i].slot->midi_learn_param, -1);
        }
        if (slot != nullptr && valid_param(p)) {
            if (shm_load(slot->midi_cc[p]) >= 0) {
                shm_exchange(slot->midi_cc[p], -1);
            } else {
                shm_exchange(slot->midi_learn_param, p);
            }
        }
    }
    editor->midi_learn_armed = 0;
}

void grip_begin(editor_state* editor, double x, double y) {
    editor->grip_start_width = editor->width;
    editor->drag_start_x = x;
    editor->drag_start_y = y;
    editor->drag_kind = WIDGET_RESIZE_GRIP;
    editor->grip_start_device_x = ui_scale(editor) * x;
}

// A press on a menu row while a menu is open.
void menu_choice(editor_state* editor, int32_t menu, const hit_entry& e) {
    switch (menu) {
    case MENU_PRESETS: preset_menu_action(editor, e.index, e.sub); break;
    case MENU_STYLE: editor_set_param(editor, editor->menu_owner, PARAM_STYLE, static_cast<double>(e.sub)); break;
    case MENU_LOUDNESS_TARGET:
        if (editor->instance && e.sub >= 0) editor->instance->ui.loudness_target_index = static_cast<uint32_t>(e.sub);
        break;
    default: break;
    }
}

enum column { PRESS, DOUBLE_CLICK, RESET };

// The widget's action for one column of the action table.
void widget_action(editor_state* editor, const hit_entry& e, column c, double x, double y) {
    plugin_instance* inst = editor->instance;
    switch (e.kind) {
    case WIDGET_KNOB:
    case WIDGET_GAIN_FADER:
        if (c == PRESS) group_drag_begin(editor, e.kind, e.index, e.sub, x, y);
        else if (c == DOUBLE_CLICK) begin_value_entry(editor, &e, e.sub);
        else set_default(editor, e, e.sub);
        break;
    case WIDGET_SWITCH: press_switch(editor, e); break;
    case WIDGET_STAGE:
        editor_focus_stage(editor, e.index);
        if (c == PRESS) group_drag_begin(editor, WIDGET_STAGE, e.index, PARAM_GAIN, x, y);
        else if (c == DOUBLE_CLICK) begin_value_entry(editor, &e, PARAM_GAIN);
        else editor_set_param(editor, e.index, PARAM_GAIN, 0.0);
        break;
    case WIDGET_CHAIN_MODE: editor->chain_mode = editor->chain_mode ? 0 : 1; break;
    case WIDGET_GROUP:
        if (c == PRESS && e.sub < 100) {
            editor->shown_group = e.sub < 0 ? 0 : e.sub > 15 ? 15 : e.sub;
            editor_clear_focus(editor);
        } else {
            move_to_group(editor, e.sub);
        }
        break;
    case WIDGET_PRESET_PREV: preset_step(editor, -1); break;
    case WIDGET_PRESET_NEXT: preset_step(editor, +1); break;
    case WIDGET_PRESET_MENU:
        preset_list_refresh(editor);
        open_menu(editor, MENU_PRESETS, -1, e.x, e.y + e.h + 4.0f, e.w);
        break;
    case WIDGET_LOUDNESS_TARGET: open_menu(editor, MENU_LOUDNESS_TARGET, -1, e.x - 60.0f, e.y + e.h + 4.0f, e.w + 60.0f); break;
    case WIDGET_READOUT_MODE:
        if (inst) inst->ui.readout_mode = (inst->ui.readout_mode + 1) % 3;
        break;
    case WIDGET_LOUDNESS_RESET: request_loudness_reset(editor); break;
    case WIDGET_LOUDNESS_PAUSE: editor->loudness_paused = editor->loudness_paused ? 0 : 1; break;
    case WIDGET_POSITION:
        if (c == DOUBLE_CLICK) editor_set_param(editor, e.index, PARAM_STAGE, 0.0);
        else group_drag_begin(editor, WIDGET_POSITION, e.index, PARAM_STAGE, x, y);
        break;
    case WIDGET_RESIZE_GRIP: grip_begin(editor, x, y); break;
    case WIDGET_SPREAD:
        if (inst) inst->ui.spread = (inst->ui.spread + 1) % 3;
        break;
    case WIDGET_GRID:
        if (inst) inst->ui.grid_open = toggled(inst->ui.grid_open);
        mark_dirty(inst);
        break;
    case WIDGET_GRID_CELL:
        if (!valid_param(e.sub)) break;
        if ((param_table[e.sub].flags & PARAM_IS_STEPPED) && param_table[e.sub].max == 1.0) press_switch(editor, e);
        else if (c == PRESS) group_drag_begin(editor, WIDGET_GRID_CELL, e.index, e.sub, x, y);
        else if (c == DOUBLE_CLICK) begin_value_entry(editor, &e, e.sub);
        else set_default(editor, e, e.sub);
        break;
    case WIDGET_MIDI_LEARN: press_midi_learn_button(editor); break;
    case WIDGET_CONTROLS:
        if (inst) inst->ui.controls_open = toggled(inst->ui.controls_open);
        mark_dirty(inst);
        break;
    case WIDGET_AB: ab_swap(editor); break;
    case WIDGET_COPY: ab_copy(editor); break;
    case WIDGET_STYLE:
        if (c == RESET) set_default(editor, e, PARAM_STYLE);
        else open_menu(editor, MENU_STYLE, e.index, e.x - 30.0f, e.y + e.h + 4.0f, e.w + 60.0f);
        break;
    case WIDGET_UNDO: history_undo(editor); break;
    case WIDGET_REDO: history_redo(editor); break;
    case WIDGET_DITHER:
    case WIDGET_SHAPING:
        if (!valid_param(e.sub)) break;
        if (c == RESET) set_default(editor, e, e.sub);
        else editor_set_param(editor, e.index, e.sub, std::fmod(entry_value(editor, e, e.sub) + 1.0, 3.0));
        break;
    case WIDGET_ABOUT: editor->about_open = 1; break;
    case WIDGET_GAIN_TO_TARGET: gain_to_target(editor); break;
    default: break; // 14 (readout), 17 (menu row outside its menu) and unknown kinds
    }
}

// The control character a Ctrl+letter key press also produces as a text event.
uint32_t control_character(uint32_t key) {
    if (key >= 'a' && key <= 'z') return key - 'a' + 1;
    if (key >= 'A' && key <= 'Z') return key - 'A' + 1;
    return 0;
}

} // namespace

double editor_clock_seconds(const editor_state* editor) {
    if (editor != nullptr && editor->view != nullptr) return window_world_time(window_view_world(editor->view));
    if (clock_source != nullptr) return clock_source();
    return static_cast<double>(clock_ns()) * 1e-9;
}

void editor_set_clock_source(double (*source)()) {
    clock_source = source;
}

void editor_on_button_press(editor_state* editor, double x, double y, double time, bool reset_modifier) {
    reap_web_helpers();
    const hit_entry* hit = editor_hit_test(editor, x, y);
    if (editor->view != nullptr) window_view_grab_focus(editor->view);

    text_entry_state& t = editor->entry;
    if (t.active) {
        // In value mode a press elsewhere keeps what was typed; a name is only saved by Enter.
        if (t.mode == TEXT_ENTRY_VALUE) commit_text_entry(editor);
        t.active = 0;
        return;
    }
    if (editor->about_open) {
        if (hit != nullptr && hit->kind == WIDGET_ABOUT && hit->sub == 2) open_web_address(LODRIN_WEB_ADDRESS);
        editor->about_open = 0;
        return;
    }
    if (editor->menu_kind != MENU_NONE) {
        const int32_t menu = editor->menu_kind;
        editor->menu_kind = MENU_NONE;
        if (hit != nullptr && hit->kind == WIDGET_MENU_ROW) {
            const hit_entry row = *hit;
            menu_choice(editor, menu, row);
        }
        return;
    }
    if (hit == nullptr) return;
    // Copied: the actions below may refresh lists, but never the hit list; a copy keeps it simple.
    const hit_entry e = *hit;
    // While learn is armed a press does the learning and nothing else; on the MIDI button itself that
    // is just the disarming.
    if (editor->midi_learn_armed) {
        learn_press(editor, e);
        return;
    }
    // Times are the events' own: two clicks far apart stay two clicks even when the editor only gets
    // to handle them together. A time before the last click's (another clock) is no double-click.
    const double since = time - editor->last_click_time;
    const bool double_click = since >= 0.0 && since < 0.35 && e.kind == editor->last_click_kind &&
                              e.index == editor->last_click_index && e.sub == editor->last_click_sub;
    editor->last_click_time = time;
    editor->last_click_kind = e.kind;
    editor->last_click_index = e.index;
    editor->last_click_sub = e.sub;

    column c = PRESS;
    if (reset_modifier && e.kind != WIDGET_POSITION) c = RESET;
    else if (double_click) c = DOUBLE_CLICK;
    widget_action(editor, e, c, x, y);
}

void editor_on_button_release(editor_state* editor) {
    if (editor->drag_kind == WIDGET_RESIZE_GRIP) {
        editor->drag_kind = 0;
        editor->last_request_time = 0;
        if (editor->deferred) {
            editor->deferred = 0;
            editor->last_request_width = 0;
            editor->last_request_height = 0;
            editor_request_zoom(editor, editor->deferred_factor);
        }
        return;
    }
    editor_end_drag(editor);
}

void editor_on_motion(editor_state* editor, double x, double y, bool shift) {
    if (editor->drag_kind == 0) {
        const hit_entry* hit = editor_hit_test(editor, x, y);
        const int32_t kind = hit ? hit->kind : 0, index = hit ? hit->index : -1, sub = hit ? hit->sub : -1;
        if (kind != editor->hover_kind || index != editor->hover_index || sub != editor->hover_sub)
            editor->hover_start = editor_clock_seconds(editor);
        editor->pointer_x = x;
        editor->pointer_y = y;
        editor->hover_kind = kind;
        editor->hover_index = index;
        editor->hover_sub = sub;
        return;
    }
    if (editor->drag_kind == WIDGET_RESIZE_GRIP) {
        // Only the horizontal travel counts: the window keeps the canvas's aspect.
        const double device_x = ui_scale(editor) * x;
        const double factor = (device_x - editor->grip_start_device_x + editor->grip_start_width) / 960.0;
        if (key_debug())
            fprintf(stderr, "[grip] dev=%.1f x0=%.1f s=%.3f w=%u%c", device_x, editor->grip_start_device_x, factor,
                    editor->width, '\n');
        editor_request_zoom(editor, factor);
        return;
    }
    const int32_t p = editor->drag_param;
    if (!valid_param(p)) return;
    const double travel = editor->drag_start_y - y;
    // Pixels of travel for the full range: the long fader is finer than the knobs.
    const double full = editor->drag_kind == WIDGET_GAIN_FADER ? 424.0 : editor->drag_kind == WIDGET_POSITION ? 120.0
                                                                                                            : 160.0;
    double d = travel / full;
    if (shift) d *= 0.1;
    const int32_t count = editor->drag_count < 0 ? 0 : editor->drag_count > EDITOR_GROUP_MAX ? EDITOR_GROUP_MAX
                                                                                                : editor->drag_count;
    const int32_t n = editor->group_count;
    // The chain-mode fader shows the chain's total: the full travel moves it by 30 dB per stage,
    // shared out by the spread weights (which sum to 1).
    const bool chain_fader = editor->chain_mode && editor->drag_kind == WIDGET_GAIN_FADER && n > 0;
    if (chain_fader) d *= 30.0 * n;
    const double lo = param_table[p].min, hi = param_table[p].max;
    double values[EDITOR_GROUP_MAX];
    bool changes = false;
    for (int32_t i = 0; i < count; ++i) {
        shm_slot* slot = editor->drag_slots[i];
        // A slot that another stage took since the press (its host quit, another claimed the slot)
        // leaves the drag: the newcomer never hears of it, not even the gesture's end.
        if (slot != nullptr && !slot_is_instance(slot, static_cast<int64_t>(editor->drag_ids[i])))
            editor->drag_slots[i] = slot = nullptr;
        if (slot == nullptr) continue;
        if (chain_fader) {
            double start = editor->drag_start_values[i];
            start = start < 0.0 ? 0.0 : start > 1.0 ? 1.0 : start;
            values[i] = 0.0 + 30.0 * start + gain_share_weight(editor, i, n) * d;
        } else {
            double t = editor->drag_start_values[i] + d;
            t = t < 0.0 ? 0.0 : t > 1.0 ? 1.0 : t;
            values[i] = (p == PARAM_RELEASE || p == PARAM_LOOKAHEAD) ? lo * std::pow(hi / lo, t) : lo + (hi - lo) * t;
        }
        changes = changes || value_would_change(slot, p, values[i]);
    }
    // The drag's undo point, once, before the first write that changes a value.
    if (changes && !editor->drag_changed) {
        history_push(editor, 0);
        editor->drag_changed = 1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (editor->drag_slots[i] != nullptr) slot_set_value(editor->drag_slots[i], p, values[i]);
    }
}

void editor_on_pointer_out(editor_state* editor) {
    if (editor->drag_kind != 0) return;
    editor->hover_kind = 0;
    editor->hover_index = -1;
    editor->hover_sub = -1;
}

void editor_on_scroll(editor_state* editor, double x, double y, double dy) {
    const hit_entry* hit = editor_hit_test(editor, x, y);
    if (hit == nullptr) return;
    const hit_entry e = *hit;
    int32_t p = -1;
    switch (e.kind) {
    case WIDGET_KNOB:
    case WIDGET_GAIN_FADER:
    case WIDGET_POSITION:
    case WIDGET_GRID_CELL:
    case WIDGET_STYLE:
    case WIDGET_DITHER:
    case WIDGET_SHAPING: p = e.sub; break;
    case WIDGET_STAGE: p = PARAM_GAIN; break;
    case WIDGET_MENU_ROW:
        if (editor->menu_kind == MENU_PRESETS) preset_menu_scroll(editor, dy);
        return;
    case WIDGET_LOUDNESS_TARGET: {
        plugin_instance* inst = editor->instance;
        if (inst && inst->ui.loudness_target_index == 4) {
            const double v = inst->ui.custom_target_lufs + 0.5 * dy;
            inst->ui.custom_target_lufs = v < -40.0 ? -40.0 : v > 0.0 ? 0.0 : v;
        }
        return;
    }
    default: return;
    }
    if (!valid_param(p)) return;
    shm_slot* targets[EDITOR_GROUP_MAX];
    uint64_t ids[EDITOR_GROUP_MAX];
    const int32_t n = collect_target_stages(editor, e.index, targets, ids);
    const uint32_t key = 0x100001u + 256u * (static_cast<uint32_t>(e.index) & 0xFFu) + (static_cast<uint32_t>(p) & 0xFFu);
    // A run of notches is one undo step and reaches the stages of its first notch: a slot that
    // another stage took since then is left out of the rest of the run.
    const bool run = history_continues(editor, key);
    if (!run) {
        editor->wheel_count = n;
        for (int32_t i = 0; i < n; ++i) {
            editor->wheel_slots[i] = targets[i];
            editor->wheel_ids[i] = ids[i];
        }
    }
    const bool stepped = (param_table[p].flags & PARAM_IS_STEPPED) != 0;
    double next[EDITOR_GROUP_MAX];
    bool changes = false;
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = targets[i];
        if (run) {
            for (int32_t k = 0; k < editor->wheel_count && k < EDITOR_GROUP_MAX; ++k) {
                if (editor->wheel_slots[k] == slot && editor->wheel_ids[k] != ids[i]) slot = nullptr;
            }
        }
        if (slot != nullptr && !slot_is_instance(slot, static_cast<int64_t>(ids[i]))) slot = nullptr;
        targets[i] = slot;
        if (slot == nullptr) continue;
        const double v = slot_value(slot, p);
        // A stepped control moves one step per event, downwards for anything but an upward notch.
        next[i] = stepped ? (dy > 0.0 ? v + 1.0 : v - 1.0)
                          : param_from_normalized(p, param_to_normalized(p, v) + 0.02 * dy);
        changes = changes || value_would_change(slot, p, next[i]);
    }
    if (changes) history_push(editor, key);
    for (int32_t i = 0; i < n; ++i) {
        shm_slot* slot = targets[i];
        if (slot == nullptr) continue;
        slot_begin_gesture(slot, p);
        slot_set_value(slot, p, next[i]);
        slot_end_gesture(slot, p);
    }
}

void editor_on_key_press(editor_state* editor, uint32_t key, uint32_t mods) {
    text_entry_state& t = editor->entry;
    if (key_debug()) fprintf(stderr, "[key] press key=%u state=%x edit=%d%c", key, mods, t.active ? 1 : 0, '\n');
    // A key press that acts also arrives as a text event with its character (Ctrl+Z as 26,
    // Backspace as 8): that one event is the same keystroke and must not act a second time.
    editor->key_press_text = 0;
    if (t.active) {
        if (key == 13 || key == 10) {
            text_entry_key(editor, 13);
            editor->key_press_text = key;
        } else if (key == 27) {
            text_entry_key(editor, 27);
            editor->key_press_text = 27;
        } else if (key == 8) {
            text_entry_key(editor, 8);
            editor->key_press_text = 8;
        }
        return;
    }
    const bool shift = (mods & EDITOR_MOD_SHIFT) != 0;
    if (mods & EDITOR_MOD_CTRL) {
        const uint32_t k = key >= 'A' && key <= 'Z' ? key - 'A' + 'a' : key;
        if (k == 'z') {
            if (shift) history_redo(editor);
            else history_undo(editor);
        } else if (k == 'y') {
            history_redo(editor);
        } else if (k == 's') {
            preset_name_edit_begin(editor, shift ? TEXT_ENTRY_CHAIN_PRESET : TEXT_ENTRY_STAGE_PRESET);
        } else {
            return;
        }
        editor->key_press_text = control_character(k);
        return;
    }
    if (key == EDITOR_KEY_PAGE_UP) preset_step(editor, -1);
    else if (key == EDITOR_KEY_PAGE_DOWN) preset_step(editor, +1);
}

void editor_on_text(editor_state* editor, uint32_t ch, uint32_t mods) {
    text_entry_state& t = editor->entry;
    if (key_debug()) fprintf(stderr, "[key] text ch=%u key=%u edit=%d%c", ch, ch, t.active ? 1 : 0, '\n');
    const uint32_t same_keystroke = editor->key_press_text;
    editor->key_press_text = 0;
    if (same_keystroke != 0 && (ch == same_keystroke || (same_keystroke == 13 && ch == 10) ||
                                (same_keystroke == 10 && ch == 13)))
        return;
    if (t.active) {
        if (ch >= 32 && ch <= 126) text_entry_key(editor, static_cast<int32_t>(ch));
        else if (ch == 13 || ch == 10) commit_text_entry(editor);
        else if (ch == 27) t.active = 0;
        else if (ch == 8) text_entry_key(editor, 8);
        return;
    }
    const bool shift = (mods & EDITOR_MOD_SHIFT) != 0;
    switch (ch) {
    case 26:
        if (shift) history_redo(editor);
        else history_undo(editor);
        break;
    case 25: history_redo(editor); break;
    case ',':
    case '<': preset_step(editor, -1); break;
    case '.':
    case '>': preset_step(editor, +1); break;
    case 19: preset_name_edit_begin(editor, shift ? TEXT_ENTRY_CHAIN_PRESET : TEXT_ENTRY_STAGE_PRESET); break;
    default: break;
    }
}
