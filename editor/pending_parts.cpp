// Placeholders for the editor operations that the lifecycle and the frame call and that are not
// built yet: each does nothing (or answers "nothing there"), so that an editor opens, draws its
// background and reacts to no input. Each group below is replaced by its own file as it lands;
// delete a placeholder in the same commit that adds the real function.
#include "editor.h"

// Input handling.

void editor_on_button_press(editor_state*, double, double, double, bool) {}

void editor_on_button_release(editor_state*) {}

void editor_on_motion(editor_state*, double, double, bool) {}

void editor_on_pointer_out(editor_state*) {}

void editor_on_scroll(editor_state*, double, double, double) {}

void editor_on_key_press(editor_state*, uint32_t, uint32_t) {}

void editor_on_text(editor_state*, uint32_t, uint32_t) {}

// Edit operations.

void editor_refresh_group(editor_state*) {}

// Presets.

int32_t preset_list(char (*)[PRESET_NAME_SIZE], int32_t) {
    return 0;
}

// History graph.

void draw_history_graph(editor_state*, int64_t) {}

// Header bar and about overlay.

void draw_header_bar(editor_state*) {}

void draw_about_overlay(editor_state*) {}

// Chain panel.

void draw_chain_panel(editor_state*) {}

// Loudness panel.

void draw_loudness_panel(editor_state*, double) {}

// Stage controls.

void draw_stage_grid(editor_state*) {}

void draw_controls_panel(editor_state*) {}

void draw_gain_fader(editor_state*) {}

// Footer, pop-up menus, entry box and tooltips.

void draw_footer_bar(editor_state*) {}

void draw_popup_menu(editor_state*) {}

void draw_tooltip(editor_state*, double) {}

void draw_text_entry_box(editor_state*) {}
