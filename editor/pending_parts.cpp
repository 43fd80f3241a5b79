// Placeholders for the editor operations that the lifecycle and the frame call and that are not
// built yet: each does nothing (or answers "nothing there"), so that an editor opens, draws its
// background and reacts to no input. Each group below is replaced by its own file as it lands;
// delete a placeholder in the same commit that adds the real function.
#include "editor.h"

// History graph.

void draw_history_graph(editor_state*, int64_t) {}

// Header bar and about overlay.

void draw_header_bar(editor_state*) {}

void draw_about_overlay(editor_state*) {}

// Chain panel.

void draw_chain_panel(editor_state*) {}

// Loudness panel.

void draw_loudness_panel(editor_state*, double) {}

void gain_to_target(editor_state*) {}

// Stage controls.

void draw_stage_grid(editor_state*) {}

void draw_controls_panel(editor_state*) {}

void draw_gain_fader(editor_state*) {}

// Footer, pop-up menus, entry box and tooltips.

void draw_footer_bar(editor_state*) {}

void draw_popup_menu(editor_state*) {}

void draw_tooltip(editor_state*, double) {}

void draw_text_entry_box(editor_state*) {}
