// The pop-up menus (preset menu, loudness-target list, style list) and the text entry box, drawn
// above the panels. [main-thread]
#include <cmath>
#include <cstdio>
#include <cstring>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

namespace {

constexpr theme_colour menu_fill = theme_rgb(34, 37, 46);
constexpr theme_colour menu_outline = theme_rgba(255, 255, 255, 40);
constexpr theme_colour row_highlight = theme_rgba(255, 182, 74, 40);

void menu_box(vg_context* vg, float x, float y, float w, float h) {
    draw_drop_shadow(vg, x, y, w, h, 6, 14, theme_rgba(0, 0, 0, 160));
    panel_fill_rrect(vg, x, y, w, h, 6, menu_fill);
    draw_stroke_rounded(vg, x, y, w, h, 6, 1, menu_outline);
}

// One row: highlight when hovered, label, and the dot of the current row.
void menu_row(editor_state* e, float x, float top, float w, int32_t index, int32_t sub, const char* label,
              theme_colour normal, bool current) {
    vg_context* vg = e->vg;
    const bool hot = e->hover_kind == WIDGET_MENU_ROW && e->hover_sub == sub;
    if (hot) panel_fill_rrect(vg, x + 4, top, w - 8, 24, 4, row_highlight);
    panel_text(vg, x + 28, top + 12, 11.5f, 0, ALIGN_LEFT, hot ? colours.orange : normal, label);
    if (current) panel_fill_circle(vg, x + 15, top + 12, 2.5f, colours.orange);
    hit_record(e, WIDGET_MENU_ROW, index, sub, x, top, w, 24);
}

} // namespace

void draw_popup_menu(editor_state* e) {
    if (e->menu_kind == MENU_PRESETS) {
        draw_preset_menu(e);
        return;
    }
    if (e->menu_kind != MENU_LOUDNESS_TARGET && e->menu_kind != MENU_STYLE) return;
    const bool styles = e->menu_kind == MENU_STYLE;
    const int32_t rows = styles ? STYLE_COUNT : LOUDNESS_TARGET_COUNT;
    int32_t current;
    if (styles) {
        const shm_slot* owner = (e->menu_owner >= 0 && e->menu_owner < e->group_count)
                                    ? e->group[e->menu_owner].slot
                                : e->menu_owner == EDITOR_FOCUS_MISSING ? focused_stage_record(e)
                                                                        : e->instance->slot;
        current = owner ? static_cast<int32_t>(std::lround(slot_value(owner, PARAM_STYLE))) : 0;
    } else {
        const uint32_t t = e->instance->ui.loudness_target_index;
        current = t > 4 ? 1 : static_cast<int32_t>(t);
    }
    const float h = rows * 24.0f + 8.0f;
    float x = e->menu_x, y = e->menu_y;
    const float w = e->menu_w;
    if (y + h > 596.0f) y = y - h - 28.0f; // no room below: open upwards, above the button
    if (x + w > 956.0f) x = 956.0f - w;
    menu_box(e->vg, x, y, w, h);
    for (int32_t i = 0; i < rows; ++i)
        menu_row(e, x, y + 4.0f + 24.0f * i, w, -1, i, styles ? style_name(i) : loudness_targets[i].label,
                 colours.text_white, i == current);
}

int32_t preset_menu_user_rows(int32_t users, bool delete_row) {
    // The separators (30) and the fixed rows: 13 built-in presets, the two save rows and the delete row.
    const int32_t fixed = PRESET_USER_FIRST + 2 + (delete_row ? 1 : 0);
    const int32_t room = static_cast<int32_t>((PRESET_MENU_BOTTOM - PRESET_MENU_TOP - 8.0f - 30.0f) / 24.0f) - fixed;
    return users < room ? users : room;
}

namespace {

// `text` into `out`, shortened at a character boundary and ended with "..." when it is wider than
// max_w at the menu's font size.
const char* fit_label(vg_context* vg, const char* text, float max_w, char* out, size_t capacity) {
    if (panel_text_width(vg, 11.5f, 0, text) <= max_w) return text;
    size_t n = std::strlen(text);
    if (n + 4 > capacity) n = capacity - 4;
    for (;;) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) // not inside a character
            --n;
        std::memcpy(out, text, n);
        std::memcpy(out + n, "...", 4);
        if (n == 0 || panel_text_width(vg, 11.5f, 0, out) <= max_w) return out;
        --n;
    }
}

// A small chevron at the right end of a row whose list goes on above (up) or below.
void more_mark(vg_context* vg, float x, float top, bool up) {
    const float cy = top + 12.0f, d = up ? -2.0f : 2.0f;
    panel_line(vg, x - 4.0f, cy - d, x, cy + d, 1.2f, colours.grey);
    panel_line(vg, x, cy + d, x + 4.0f, cy - d, 1.2f, colours.grey);
}

} // namespace

void draw_preset_menu(editor_state* e) {
    const int32_t users = e->user_preset_count < 0 ? 0 : (e->user_preset_count > USER_PRESET_MAX ? USER_PRESET_MAX : e->user_preset_count);
    const int32_t sel = e->preset_selection;
    const bool delete_row = sel >= PRESET_USER_FIRST && sel < PRESET_USER_FIRST + users;
    const int32_t rows = PRESET_USER_FIRST + users + 2 + (delete_row ? 1 : 0);
    // With more user presets than the window holds, a run of them is shown (scrolled by the wheel),
    // so that the save and delete rows below stay inside the window.
    const int32_t shown_users = preset_menu_user_rows(users, delete_row);
    int32_t first = e->preset_menu_first;
    if (first > users - shown_users) first = users - shown_users;
    if (first < 0) first = 0;
    const int32_t shown_rows = rows - (users - shown_users);
    const float h = shown_rows * 24.0f + 8.0f + (users > 0 ? 30.0f : 20.0f);
    vg_context* vg = e->vg;

    // Row i's section and text as listed (the delete row's text is made in `own`).
    char own[96];
    const auto row_text = [&](int32_t i, int32_t* section) -> const char* {
        if (i < PRESET_BUILTIN_STAGE) {
            *section = PRESET_ACTION_STAGE;
            return builtin_preset_name(i);
        }
        if (i < PRESET_USER_FIRST) {
            *section = PRESET_ACTION_CHAIN;
            return builtin_preset_name(i);
        }
        if (i < PRESET_USER_FIRST + users) {
            *section = PRESET_ACTION_USER;
            return e->user_presets[i - PRESET_USER_FIRST];
        }
        if (i == PRESET_USER_FIRST + users) {
            *section = PRESET_ACTION_SAVE_STAGE;
            return "Save stage preset...";
        }
        if (i == PRESET_USER_FIRST + users + 1) {
            *section = PRESET_ACTION_SAVE_CHAIN;
            return "Save chain preset...";
        }
        *section = PRESET_ACTION_DELETE;
        std::snprintf(own, sizeof own, "Delete \"%s\"", e->user_presets[sel - PRESET_USER_FIRST]);
        return own;
    };
    // The menu is a pop-up over the panels, not a part of the selector: it takes the width its
    // longest row needs (the label from 28 in, 8 clear of the right end, user rows 14 more for the
    // marks of a cut list), at least the selector's, and at most the window's.
    float w = e->menu_w;
    for (int32_t i = 0; i < rows; ++i) {
        int32_t section;
        const char* text = row_text(i, &section);
        if (section == PRESET_ACTION_USER) {
            const int32_t u = i - PRESET_USER_FIRST;
            if (u < first || u >= first + shown_users) continue;
        }
        const float need = panel_text_width(vg, 11.5f, 0, text) + 36.0f + (section == PRESET_ACTION_USER ? 14.0f : 0.0f);
        if (need > w) w = std::ceil(need);
    }
    if (w > 952.0f) w = 952.0f;
    float x = e->menu_x, y = e->menu_y;
    if (x + w > 956.0f) x = 956.0f - w;
    if (x < 4.0f) x = 4.0f;
    if (y + h > PRESET_MENU_BOTTOM) y = PRESET_MENU_BOTTOM - h;
    if (y < PRESET_MENU_TOP) y = PRESET_MENU_TOP;
    menu_box(vg, x, y, w, h);

    float top = y + 4.0f;
    const auto separator = [&]() {
        panel_line(vg, x + 10, top + 5, x + w - 10, top + 5, 1, menu_outline);
        top += 10.0f;
    };
    // Labels end 8 before the row's right end; user rows leave room for the marks of a cut list.
    const float label_w = w - 28.0f - 8.0f, user_label_w = label_w - 14.0f;
    char label[96], fitted[96];
    for (int32_t i = 0; i < rows; ++i) {
        if (i == PRESET_BUILTIN_STAGE) separator();
        if (i == PRESET_USER_FIRST && users > 0) separator();
        if (i == PRESET_USER_FIRST + users) separator();
        int32_t section;
        const char* text = row_text(i, &section);
        if (section == PRESET_ACTION_USER) {
            const int32_t u = i - PRESET_USER_FIRST;
            if (u < first || u >= first + shown_users) continue;
        } else if (section == PRESET_ACTION_DELETE) {
            const float quotes = panel_text_width(vg, 11.5f, 0, "Delete \"\"");
            std::snprintf(label, sizeof label, "Delete \"%s\"",
                          fit_label(vg, e->user_presets[sel - PRESET_USER_FIRST], label_w - quotes, fitted, sizeof fitted));
            text = label;
        }
        const bool preset_row = section <= PRESET_ACTION_USER;
        if (section != PRESET_ACTION_DELETE)
            text = fit_label(vg, text, section == PRESET_ACTION_USER ? user_label_w : label_w, fitted, sizeof fitted);
        menu_row(e, x, top, w, section, i, text, preset_row ? colours.text_white : colours.grey,
                 preset_row && i == sel);
        if (section == PRESET_ACTION_USER) {
            const int32_t u = i - PRESET_USER_FIRST;
            if (u == first && first > 0) more_mark(vg, x + w - 16.0f, top, true);
            if (u == first + shown_users - 1 && u < users - 1) more_mark(vg, x + w - 16.0f, top, false);
        }
        top += 24.0f;
    }
}

void draw_text_entry_box(editor_state* e) {
    const text_entry_state& t = e->entry;
    if (!t.active) return;
    vg_context* vg = e->vg;
    draw_drop_shadow(vg, t.x, t.y, t.w, t.h, 4, 8, theme_rgba(255, 182, 74, 60));
    panel_fill_rrect(vg, t.x, t.y, t.w, t.h, 4, theme_rgb(14, 16, 22));
    panel_stroke_rrect(vg, t.x + 0.5f, t.y + 0.5f, t.w - 1, t.h - 1, 4, 1, colours.orange);
    // A text wider than the box (6 clear of each side) shows its end, where the caret is: the
    // characters before it scroll out at the left.
    const float room = t.w - 12.0f;
    const char* shown = t.text;
    float tw = panel_text_width(vg, 12, 0, shown);
    while (tw > room && *shown != '\0') {
        ++shown;
        while ((static_cast<uint8_t>(*shown) & 0xC0) == 0x80) ++shown;
        tw = panel_text_width(vg, 12, 0, shown);
    }
    const float cx = tw > room - 4.0f ? t.x + t.w - 6.0f - tw / 2 - 2.0f : t.x + t.w / 2;
    if (t.select_all)
        panel_fill_rrect(vg, cx - tw / 2 - 2, t.y + 4, tw + 4, t.h - 8, 2, theme_rgba(255, 182, 74, 70));
    if (*shown != '\0') panel_text(vg, cx, t.y + t.h / 2, 12, 0, ALIGN_CENTRE, colours.text_white, shown);
    if (t.mode == TEXT_ENTRY_STAGE_PRESET || t.mode == TEXT_ENTRY_CHAIN_PRESET) {
        // The hint under the box lies on a plate of its own, over whatever the panels show there.
        const char* hint = t.mode == TEXT_ENTRY_STAGE_PRESET ? "NAME FOR THE STAGE PRESET  -  ENTER SAVES, ESC CANCELS"
                                                             : "NAME FOR THE CHAIN PRESET  -  ENTER SAVES, ESC CANCELS";
        const float hw = panel_text_width(vg, 7, 0.84f, hint) + 16.0f;
        float hx = t.x + t.w / 2 - hw / 2;
        if (hx < 4.0f) hx = 4.0f;
        if (hx + hw > 956.0f) hx = 956.0f - hw;
        panel_fill_rrect(vg, hx, t.y + t.h + 1, hw, 16, 3, theme_rgb(14, 16, 22));
        panel_text(vg, hx + hw / 2, t.y + t.h + 9, 7, 0.84f, ALIGN_CENTRE, colours.orange, hint);
    }
    if (!t.select_all) panel_fill_rect(vg, cx + tw / 2 + 1, t.y + 5, 1, t.h - 10, colours.orange);
}
