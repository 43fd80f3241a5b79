// Guards the tooltips: they must wait 0.55 s, stay away while dragging or with a menu open, speak
// of the right stage with the right value, and stay inside the canvas.
#include "panels_test_support.h"

namespace {

std::string tip_title(const panel_fixture& f, int32_t kind, int32_t index, int32_t sub, std::string* help = nullptr) {
    const hit_entry w{kind, index, sub, 0, 0, 0, 0};
    char title[96], h[200];
    if (!editor_widget_tooltip(f.e, &w, title, sizeof title, h, sizeof h)) return "<none>";
    if (help) *help = h;
    return title;
}

std::string formatted(int32_t param, double v) {
    char text[32];
    format_param_value(param, v, text, sizeof text);
    return text;
}

TEST(Tooltips, TextsNameTheWidgetAndItsStage) {
    panel_fixture f(3);
    f.e->group[2].position = 99; // not placed yet
    f.slots[1]->values[PARAM_GAIN] = 7.5;
    f.slots[1]->values[PARAM_RELEASE] = 250;
    f.slots[0]->values[PARAM_GAIN] = 2.0;
    f.e->focused_index = 0;
    struct tip_case {
        int32_t kind, index, sub;
        std::string title;
        std::string help; // empty: not checked
    };
    const std::string drag = "  Drag, wheel, double-click to type, Shift = fine.";
    const tip_case cases[] = {
        {WIDGET_KNOB, 1, PARAM_RELEASE, "Release  " + formatted(PARAM_RELEASE, 250),
         std::string(param_tooltip_text(PARAM_RELEASE)) + drag},
        {WIDGET_GRID_CELL, 1, PARAM_GAIN, "Gain  " + formatted(PARAM_GAIN, 7.5),
         std::string(param_tooltip_text(PARAM_GAIN)) + drag},
        {WIDGET_SWITCH, 5, PARAM_TRUE_PEAK, "True peak  " + formatted(PARAM_TRUE_PEAK, 1),
         std::string(param_tooltip_text(PARAM_TRUE_PEAK)) + "  Click toggles."},
        {WIDGET_GAIN_FADER, 0, PARAM_GAIN, "Gain  " + formatted(PARAM_GAIN, 2.0),
         std::string(param_tooltip_text(PARAM_GAIN)) + "  Drag, wheel, double-click to type."},
        {WIDGET_STAGE, 1, 0, "Stage 2  gain " + formatted(PARAM_GAIN, 7.5),
         "Click focuses it; drag or wheel changes its gain, double-click to type it, Ctrl+click = 0 dB."},
        {WIDGET_STAGE, 2, 0, "Stage, place not known yet  gain " + formatted(PARAM_GAIN, 0.0), ""},
        {WIDGET_POSITION, 1, PARAM_STAGE, "Stage  " + formatted(PARAM_STAGE, 0),
         std::string(param_tooltip_text(PARAM_STAGE)) + "  Drag or wheel to choose the place, double-click = Auto."},
        {WIDGET_STYLE, 1, PARAM_STYLE, "Style  " + formatted(PARAM_STYLE, 0),
         std::string(param_tooltip_text(PARAM_STYLE)) + "  Click opens the list, wheel steps through it."},
        {WIDGET_STAGE, 9, 0, "Stage 0  gain " + formatted(PARAM_GAIN, 2.0), ""}, // outside: the focused one
        {WIDGET_GROUP, -1, 103, "New group", "Put this instance alone in a chain of its own (group D)."},
        {WIDGET_GROUP, -1, 2, "Group C", ""},
        {WIDGET_INTEGRATED, -1, 0, "Integrated loudness", ""},
        {WIDGET_GAIN_TO_TARGET, -1, 0, "Gain to target", ""},
        {WIDGET_ABOUT, -1, 0, "Lodrin", "About this plugin."},
        {WIDGET_MENU_ROW, -1, 0, "<none>", ""},
        {0, -1, 0, "<none>", ""},
        {30, -1, 0, "<none>", ""},
        {33, -1, 0, "<none>", ""},
    };
    for (const tip_case& c : cases) {
        std::string help;
        EXPECT_EQ(tip_title(f, c.kind, c.index, c.sub, &help), c.title) << "kind " << c.kind;
        if (!c.help.empty()) {
            EXPECT_EQ(help, c.help) << "kind " << c.kind;
        }
    }
    f.e->chain_mode = 1;
    std::string help;
    EXPECT_EQ(tip_title(f, WIDGET_GAIN_FADER, 0, 1, &help), "Chain total  +9.5 dB");
    EXPECT_EQ(help, "Drag: the change is shared by every stage (see Spread).");
    EXPECT_STREQ(param_tooltip_text(17), "");
    EXPECT_STREQ(param_tooltip_text(-1), "");
}

TEST(Tooltips, AppearAfterTheDelayOnlyWhenNothingElseIsGoingOn) {
    struct delay_case {
        double waited;
        int32_t drag_kind;
        int32_t menu_kind;
        bool shown;
    };
    const delay_case cases[] = {{0.54, 0, MENU_NONE, false},
                                {0.55, 0, MENU_NONE, true},
                                {2.0, WIDGET_KNOB, MENU_NONE, false},
                                {2.0, 0, MENU_LOUDNESS_TARGET, false},
                                {2.0, 0, -1, false}}; // -1: the about box just closed under the pointer
    for (const delay_case& c : cases) {
        panel_fixture f(1);
        const bool about = c.menu_kind < 0;
        f.e->hover_kind = about ? WIDGET_ABOUT : WIDGET_COPY;
        f.e->hover_index = -1;
        f.e->hover_sub = about ? 1 : 0;
        f.e->hover_start = 10.0;
        f.e->pointer_x = 300;
        f.e->pointer_y = 20;
        f.e->drag_kind = c.drag_kind;
        f.e->menu_kind = about ? MENU_NONE : c.menu_kind;
        f.e->menu_x = 756;
        f.e->menu_y = 514;
        f.e->menu_w = 184;
        f.frame(10.0 + c.waited);
        EXPECT_EQ(f.text_at(about ? "Lodrin" : "Copy", 326, 54) != nullptr, c.shown) << "waited " << c.waited;
    }
}

TEST(Tooltips, StayInsideTheCanvas) {
    struct place_case {
        double px, py;
        bool right_edge;
        float y;
    };
    // Near the right edge the bubble ends at 954; near the bottom it goes 50 above the pointer.
    const place_case cases[] = {{100, 100, false, 120}, {930, 300, true, 320}, {100, 570, false, 520}};
    for (const place_case& c : cases) {
        panel_fixture f(1);
        f.e->hover_kind = WIDGET_GAIN_TO_TARGET;
        f.e->hover_start = 0.0;
        f.e->pointer_x = c.px;
        f.e->pointer_y = c.py;
        f.frame(5.0);
        char title[96], help[200];
        const hit_entry w{WIDGET_GAIN_TO_TARGET, -1, 0, 0, 0, 0, 0};
        ASSERT_TRUE(editor_widget_tooltip(f.e, &w, title, sizeof title, help, sizeof help));
        vg_font_size(f.vg, 9.5f);
        const float width = vg_text_bounds(f.vg, 0, 0, help, nullptr, nullptr) + 24.0f; // help is the wider
        const float x = c.right_edge ? 954.0f - width : static_cast<float>(c.px) + 14.0f;
        EXPECT_NE(f.text_at("Gain to target", x + 12, c.y + 14), nullptr) << c.px << "," << c.py;
        EXPECT_NE(f.text_at(help, x + 12, c.y + 28), nullptr) << c.px << "," << c.py;
    }
}

} // namespace
