// The chain panel: the CHAIN button and one card per stage of the shown group in chain order,
// with position, Gain, state word and a falling gain-reduction bar. [main-thread]
#include <cmath>
#include <cstdio>

#include "editor.h"
#include "painters.h"
#include "panel_draw.h"
#include "plugin_instance.h"

namespace {

// Gain reduction of a stage in dB from its lowest applied gain (meter 0); 0 for a stage that is
// not processing, whose meters are stale.
float stage_reduction_db(const chain_member& m) {
    if (!m.live) return 0.0f;
    const double g = shm_load(m.slot->min_gain);
    const double r = -20.0 * std::log10(g > 0.000001 ? g : 0.000001);
    return static_cast<float>(r > 0.0 ? r : 0.0);
}

} // namespace

void draw_chain_panel(editor_state* e) {
    vg_context* vg = e->vg;
    const int32_t n = e->group_count;
    const int32_t f = focused_stage_index(e);
    int32_t own = -1;
    for (int32_t i = 0; i < n; ++i)
        if (e->group[i].slot == e->instance->slot) own = i;

    // Cards of 132 with gaps of 10 after a 74-wide CHAIN column; beyond 920 the cards shrink.
    // An empty group shows a note right of the CHAIN button instead of cards.
    constexpr char empty_note[] = "no stages in this group";
    float cw = 132.0f;
    float width = 74.0f + panel_text_width(vg, 11, 0, empty_note);
    if (n >= 1) {
        width = 74.0f + n * cw + 10.0f * (n - 1);
        if (width > 920.0f) {
            width = 920.0f;
            cw = (846.0f - 10.0f * (n - 1)) / n;
        }
    }
    const float x0 = (960.0f - width) / 2.0f;

    draw_button(vg, x0, 53, 64, 26, "CHAIN", e->chain_mode != 0, e->hover_kind == WIDGET_CHAIN_MODE);
    hit_record(e, WIDGET_CHAIN_MODE, -1, 0, x0, 47, 64, 38);

    if (n == 0) {
        panel_text(vg, x0 + 74.0f, 66, 11, 0, ALIGN_LEFT, colours.grey, empty_note);
        return;
    }

    for (int32_t i = 0; i < n; ++i) {
        const chain_member& m = e->group[i];
        const float x = x0 + 74.0f + i * (cw + 10.0f);
        const bool focused = i == f;
        if (focused) draw_drop_shadow(vg, x, 47, cw, 38, 6, 10, theme_rgba(255, 182, 74, 70));
        if (focused)
            panel_fill_rrect_linear(vg, x, 47, cw, 38, 6, x, 47, x, 85, theme_rgb(46, 44, 42), theme_rgb(30, 29, 30));
        else
            panel_fill_rrect_linear(vg, x, 47, cw, 38, 6, x, 47, x, 85, theme_rgb(34, 37, 46), theme_rgb(22, 24, 31));
        if (focused)
            panel_stroke_rrect(vg, x + 0.5f, 47.5f, cw - 1, 37, 6, 1.5f, colours.orange);
        else if (e->hover_kind == WIDGET_STAGE && e->hover_index == i)
            panel_stroke_rrect(vg, x + 0.5f, 47.5f, cw - 1, 37, 6, 1, theme_rgba(255, 182, 74, 140));
        else
            panel_stroke_rrect(vg, x + 0.5f, 47.5f, cw - 1, 37, 6, 1, colours.faint);

        const bool bypassed = slot_value(m.slot, PARAM_BYPASS) >= 0.5;
        const double gain = slot_value(m.slot, PARAM_GAIN);
        const bool bright = m.live && !bypassed;

        // Every text keeps to its card: the position at the left, the Gain right of it (without its
        // unit, then whole dB, then shortened, when the card is narrow), the word under them; on cards too narrow
        // for a text it is left out.
        char pos[16];
        std::snprintf(pos, sizeof pos, "%d", m.position >= 99 ? 0 : m.position);
        char fitted[24];
        const float pos_w = panel_fit_text(vg, 16, 0, pos, cw - 8, fitted, sizeof fitted);
        const float pos_x = cw >= 28 ? x + 14 : x + cw / 2;
        if (pos_w > 0)
            panel_text(vg, pos_x, 62, 16, 0, ALIGN_CENTRE,
                       focused ? colours.orange : (bright ? colours.text_white : colours.dim), fitted);
        const float gain_room = (x + cw - 10) - (pos_w > 0 ? pos_x + pos_w / 2 + 4 : x + 4);
        char gain_text[24];
        std::snprintf(gain_text, sizeof gain_text, "%+.1f dB", gain);
        if (panel_text_width(vg, 11, 0, gain_text) > gain_room) std::snprintf(gain_text, sizeof gain_text, "%+.1f", gain);
        if (panel_text_width(vg, 11, 0, gain_text) > gain_room) std::snprintf(gain_text, sizeof gain_text, "%+.0f", gain);
        const float gain_w = panel_fit_text(vg, 11, 0, gain_text, gain_room, fitted, sizeof fitted);
        if (gain_w > 0)
            panel_text(vg, x + cw - 10, 59, 11, 0, ALIGN_RIGHT, bright ? colours.text_white : colours.dim, fitted);

        const char* word = "IDLE";
        theme_colour word_colour = colours.grey;
        if (m.live && bypassed) {
            word = "BYPASS";
            word_colour = colours.orange;
        } else if (m.live) {
            word = m.manual ? "MANUAL" : "AUTO";
        }
        // On narrow cards (seven stages and more) the word would run into the Gain: it then sits
        // on its own line under the Gain, above the bar.
        const float gain_left = x + cw - 10 - gain_w;
        const float word_y = x + 30 + panel_text_width(vg, 7.5f, 0.9f, word) + 4 > gain_left ? 69.0f : 60.0f;
        panel_text_fit(vg, x + 30, word_y, 7.5f, 0.9f, ALIGN_LEFT, word_colour, word, cw - 36);

        if (i == own) panel_fill_circle(vg, x + cw - 8, 55, 2.2f, colours.orange);

        // The bar rises at once and falls 0.5 dB per frame; 12 dB fills the track.
        const float r = stage_reduction_db(m);
        float& shown = e->stage_gr_shown[i];
        shown = r > shown - 0.5f ? r : shown - 0.5f;
        panel_fill_rrect(vg, x + 10, 75, cw - 20, 3, 1.5f, theme_rgba(0, 0, 0, 120));
        const float q = shown / 12.0f < 1.0f ? shown / 12.0f : 1.0f;
        if (q > 0.01f) {
            const theme_colour c = stage_colour(i);
            panel_fill_rrect_linear(vg, x + 10, 75, q * (cw - 20), 3, 1.5f, x + 10, 75, x + cw - 10, 75,
                                    theme_with_alpha(c, 255), theme_with_alpha(c, 127));
        }
        hit_record(e, WIDGET_STAGE, i, 0, x, 47, cw, 38);
    }
}
