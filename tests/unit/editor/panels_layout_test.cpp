// Guards the clickable rectangles every panel leaves in the hit list: input acts on nothing else,
// so a wrong kind, index, sub or rectangle makes a widget dead or makes it edit the wrong stage.
#include "panels_test_support.h"

namespace {

struct layout_case {
    int32_t stages;
    bool chain_mode;
    bool grid_open;
    bool controls_open;
    float strip_x0;  // chain panel strip
    float card_w;
    float grid_pitch;
};

class PanelLayout : public ::testing::TestWithParam<layout_case> {};

TEST_P(PanelLayout, HitEntriesMatchTheLayout) {
    const layout_case c = GetParam();
    panel_fixture f(c.stages);
    f.e->chain_mode = c.chain_mode ? 1 : 0;
    f.inst->ui.grid_open = c.grid_open ? 1 : 0;
    f.inst->ui.controls_open = c.controls_open ? 1 : 0;
    f.e->focused_index = c.stages - 1; // the last stage: every "focused index" entry must carry it
    const int32_t fi = c.stages - 1;
    f.frame();

    // The header comes first, so its entries are never the ones dropped from a full list.
    ASSERT_GT(f.e->hit_count, 0);
    EXPECT_EQ(f.e->hits[0].kind, WIDGET_ABOUT);
    EXPECT_RECT(f.e->hits[0], 12, 4, 168, 32);
    struct fixed {
        int32_t kind;
        float x, y, w, h;
    } const header[] = {{WIDGET_UNDO, 188, 9, 22, 22},        {WIDGET_REDO, 213, 9, 22, 22},
                        {WIDGET_AB, 241, 9, 52, 22},          {WIDGET_COPY, 297, 9, 42, 22},
                        {WIDGET_PRESET_PREV, 350, 9, 28, 22}, {WIDGET_PRESET_NEXT, 582, 9, 28, 22},
                        {WIDGET_PRESET_MENU, 378, 9, 204, 22}, {WIDGET_MIDI_LEARN, 764, 9, 64, 22},
                        {WIDGET_READOUT_MODE, 728, 490, 82, 20}, {WIDGET_LOUDNESS_TARGET, 816, 490, 124, 20},
                        {WIDGET_LOUDNESS_PAUSE, 728, 516, 60, 20}, {WIDGET_LOUDNESS_RESET, 794, 516, 56, 20},
                        {WIDGET_CONTROLS, 12, 576, 96, 20},   {WIDGET_GRID, 116, 576, 76, 20},
                        {WIDGET_RESIZE_GRIP, 940, 580, 20, 20}};
    for (const fixed& w : header) {
        const auto v = f.hits(w.kind);
        ASSERT_EQ(v.size(), 1u) << "kind " << w.kind;
        EXPECT_EQ(v[0].index, -1) << "kind " << w.kind;
        EXPECT_EQ(v[0].sub, 0) << "kind " << w.kind;
        EXPECT_RECT(v[0], w.x, w.y, w.w, w.h);
    }

    // Group A alone: one letter and the new-group button for B.
    const auto groups = f.hits(WIDGET_GROUP);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].sub, 0);
    EXPECT_RECT(groups[0], 888, 10, 26, 20);
    EXPECT_EQ(groups[1].sub, 101);
    EXPECT_RECT(groups[1], 918, 10, 26, 20);

    // Chain panel.
    const auto chain = f.hits(WIDGET_CHAIN_MODE);
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_RECT(chain[0], c.strip_x0, 47, 64, 38);
    const auto stages = f.hits(WIDGET_STAGE);
    ASSERT_EQ(stages.size(), static_cast<size_t>(c.stages * (c.grid_open ? 2 : 1)));
    for (int32_t i = 0; i < c.stages; ++i) {
        EXPECT_EQ(stages[i].index, i);
        EXPECT_EQ(stages[i].sub, 0);
        EXPECT_RECT(stages[i], c.strip_x0 + 74 + i * (c.card_w + 10), 47, c.card_w, 38);
    }

    // Loudness panel: the integrated number ends at 944 whatever its width, and the three
    // switches act on the focused stage.
    const auto integ = f.hits(WIDGET_INTEGRATED);
    ASSERT_EQ(integ.size(), 1u);
    EXPECT_NEAR(integ[0].x + integ[0].w, 944, 0.01);
    EXPECT_NEAR(integ[0].y, 516, 0.01);
    struct sw {
        int32_t sub;
        float x, y, w, h;
    };
    std::vector<sw> switches = {{PARAM_DELTA_LISTEN, 728, 542, 64, 20},
                                {PARAM_UNITY_GAIN, 798, 542, 64, 20},
                                {PARAM_BYPASS, 868, 542, 72, 20}};
    if (c.controls_open) {
        switches.push_back({PARAM_TRUE_PEAK, 418, 514, 58, 20});
        switches.push_back({PARAM_ADAPTIVE_RELEASE, 482, 514, 58, 20});
    }
    const auto sws = f.hits(WIDGET_SWITCH);
    ASSERT_EQ(sws.size(), switches.size());
    for (size_t i = 0; i < switches.size(); ++i) {
        EXPECT_EQ(sws[i].sub, switches[i].sub);
        EXPECT_EQ(sws[i].index, fi);
        EXPECT_RECT(sws[i], switches[i].x, switches[i].y, switches[i].w, switches[i].h);
    }

    // Stage grid: column heads after the cards, then one cell per row and column.
    const auto cells = f.hits(WIDGET_GRID_CELL);
    if (c.grid_open) {
        const float top = c.controls_open ? 224.0f : 322.0f;
        ASSERT_EQ(cells.size(), static_cast<size_t>(12 * c.stages));
        const int32_t rows[12] = {1, 2, 3, 6, 16, 9, 7, 8, 10, 11, 12, 5};
        for (int32_t col = 0; col < c.stages; ++col) {
            const float x = 144 + col * c.grid_pitch;
            EXPECT_EQ(stages[c.stages + col].index, col);
            EXPECT_RECT(stages[c.stages + col], x, top + 6, c.grid_pitch - 6, 22);
            for (int32_t r = 0; r < 12; ++r) {
                const hit_entry& h = cells[col * 12 + r];
                EXPECT_EQ(h.index, col);
                EXPECT_EQ(h.sub, rows[r]);
                EXPECT_RECT(h, x, top + 6 + 22 + 17 * r, c.grid_pitch - 6, 17);
            }
        }
    } else {
        EXPECT_TRUE(cells.empty());
    }

    // Controls panel.
    const auto knobs = f.hits(WIDGET_KNOB);
    const auto to_target = f.hits(WIDGET_GAIN_TO_TARGET);
    const auto spread = f.hits(WIDGET_SPREAD);
    if (c.controls_open) {
        const int32_t params[5] = {2, 3, 6, 9, 16};
        ASSERT_EQ(knobs.size(), 5u);
        for (int32_t i = 0; i < 5; ++i) {
            EXPECT_EQ(knobs[i].sub, params[i]);
            EXPECT_EQ(knobs[i].index, fi);
            EXPECT_RECT(knobs[i], 80 + 64 * i, 496, 52, 52);
        }
        const auto pos = f.hits(WIDGET_POSITION);
        ASSERT_EQ(pos.size(), 1u);
        EXPECT_EQ(pos[0].sub, PARAM_STAGE);
        EXPECT_EQ(pos[0].index, fi);
        EXPECT_RECT(pos[0], 546, 514, 58, 20);
        const auto style = f.hits(WIDGET_STYLE);
        ASSERT_EQ(style.size(), 1u);
        EXPECT_EQ(style[0].sub, PARAM_STYLE);
        EXPECT_RECT(style[0], 610, 514, 68, 20);
        ASSERT_EQ(to_target.size(), 1u);
        EXPECT_RECT(to_target[0], c.chain_mode ? 474 : 578, 470, 92, 18);
        ASSERT_EQ(spread.size(), c.chain_mode ? 1u : 0u);
        if (c.chain_mode) EXPECT_RECT(spread[0], 578, 470, 92, 18);
    } else {
        EXPECT_TRUE(knobs.empty());
        EXPECT_TRUE(to_target.empty());
        EXPECT_TRUE(spread.empty());
    }

    // The fader, always there, and the footer's stage buttons.
    const auto fader = f.hits(WIDGET_GAIN_FADER);
    ASSERT_EQ(fader.size(), 1u);
    EXPECT_EQ(fader[0].index, fi);
    EXPECT_EQ(fader[0].sub, PARAM_GAIN);
    EXPECT_RECT(fader[0], 16, 100, 40, 464);
    const auto dither = f.hits(WIDGET_DITHER);
    const auto shaping = f.hits(WIDGET_SHAPING);
    ASSERT_EQ(dither.size(), 1u);
    ASSERT_EQ(shaping.size(), 1u);
    EXPECT_EQ(dither[0].index, fi);
    EXPECT_EQ(dither[0].sub, PARAM_DITHER);
    EXPECT_RECT(dither[0], 212, 576, 104, 20);
    EXPECT_EQ(shaping[0].sub, PARAM_NOISE_SHAPING);
    EXPECT_RECT(shaping[0], 324, 576, 128, 20);

    // Nothing is drawn open that is not: no menu rows, no overlay.
    EXPECT_TRUE(f.hits(WIDGET_MENU_ROW).empty());
    EXPECT_EQ(f.hits(WIDGET_ABOUT).size(), 1u);
}

// Strip: 1 stage 206 wide from 377; 4 stages 632 from 164; 8 stages capped at 920 from 20 with
// cards of (846 - 70) / 8. Grid pitch min(170, 526 / n).
INSTANTIATE_TEST_SUITE_P(
    Chains, PanelLayout,
    ::testing::Values(layout_case{1, false, false, true, 377, 132, 170},
                      layout_case{1, true, true, true, 377, 132, 170},
                      layout_case{4, false, true, false, 164, 132, 131.5f},
                      layout_case{4, true, false, true, 164, 132, 131.5f},
                      layout_case{8, false, true, true, 20, 97, 65.75f},
                      layout_case{8, true, true, false, 20, 97, 65.75f}));

TEST(PanelLayout, EmptyGroupShowsOnlyTheOwnStage) {
    panel_fixture f(0);
    f.inst->ui.grid_open = 1;
    f.frame();
    const auto chain = f.hits(WIDGET_CHAIN_MODE);
    ASSERT_EQ(chain.size(), 1u);
    // The note stands where the first card would, right of the button, the two centred together.
    const int32_t note = vg_record_find_text(f.rec, "no stages in this group", 0);
    ASSERT_GE(note, 0);
    const vg_record_call* c = vg_record_call_at(f.rec, note);
    EXPECT_NEAR(c->run.x, chain[0].x + 74, 0.01);
    EXPECT_NEAR(chain[0].x + c->run.x + c->run.advance, 960, 1.0);
    EXPECT_RECT(chain[0], chain[0].x, 47, 64, 38);
    EXPECT_TRUE(f.hits(WIDGET_STAGE).empty());
    EXPECT_TRUE(f.hits(WIDGET_GRID_CELL).empty());
    EXPECT_TRUE(f.has_text("STAGE 0"));
    EXPECT_TRUE(f.has_text("OUT CEILING")); // grid captions are drawn without members
    EXPECT_EQ(f.hits(WIDGET_KNOB)[0].index, 0);
}

TEST(PanelLayout, GroupButtonsFollowTheGroupsInUse) {
    struct group_case {
        int32_t own, shown;
        size_t letters;
        float x0, bw;
        bool new_group;
        float midi_x;
    };
    // Only A: N = 2, buttons 26 wide from 888. C shown: A..C and D new. P shown: 16 letters of 14
    // from 642, no new group, no GROUP label.
    const group_case cases[] = {{0, 0, 1, 888, 26, true, 764},
                                {0, 2, 3, 828, 26, true, 704},
                                {0, 15, 16, 642, 14, false, 570}};
    for (const group_case& g : cases) {
        panel_fixture f(1);
        f.slots[0]->values[PARAM_GROUP] = g.own;
        f.e->shown_group = g.shown;
        f.frame();
        const auto b = f.hits(WIDGET_GROUP);
        ASSERT_EQ(b.size(), g.letters + (g.new_group ? 1 : 0)) << "shown " << g.shown;
        for (size_t k = 0; k < g.letters; ++k) {
            EXPECT_EQ(b[k].sub, static_cast<int32_t>(k));
            EXPECT_RECT(b[k], g.x0 + k * (g.bw + 4), 10, g.bw, 20);
        }
        if (g.new_group) { EXPECT_EQ(b.back().sub, static_cast<int32_t>(100 + g.letters)); }
        EXPECT_RECT(f.hits(WIDGET_MIDI_LEARN)[0], g.midi_x, 9, 64, 22);
        EXPECT_EQ(f.has_text("GROUP"), g.letters + 1 <= 4);
    }
}

TEST(PanelLayout, ChainCardsShowTheStageState) {
    panel_fixture f(4);
    f.slots[1]->values[PARAM_BYPASS] = 1.0;
    f.e->group[2].manual = 1;
    f.e->group[2].position = 3;
    f.e->group[3].live = 0;
    f.e->group[3].position = 99;
    f.slots[1]->values[PARAM_GAIN] = 4.3;
    f.e->focused_index = 0;
    f.frame();
    EXPECT_TRUE(f.has_text("AUTO"));
    EXPECT_TRUE(same_colour(f.text_colour("BYPASS"), colours.orange));
    EXPECT_TRUE(f.has_text("MANUAL"));
    EXPECT_TRUE(same_colour(f.text_colour("IDLE"), colours.grey));
    // The idle card (x 664) shows 0 for an unknown position, dim; the bypassed card's Gain is dim.
    const vg_record_call* idle_position = f.text_at("0", 664 + 14, 62);
    ASSERT_NE(idle_position, nullptr);
    EXPECT_TRUE(same_colour(call_colour(idle_position), colours.dim));
    const vg_record_call* bypassed_gain = f.text_at("+4.3 dB", 380 + 132 - 10, 59);
    ASSERT_NE(bypassed_gain, nullptr);
    EXPECT_TRUE(same_colour(call_colour(bypassed_gain), colours.dim));
    // The focused card's position is orange.
    ASSERT_NE(f.text_at("1", 238 + 14, 62), nullptr);
    EXPECT_TRUE(same_colour(call_colour(f.text_at("1", 238 + 14, 62)), colours.orange));
}

TEST(PanelLayout, ReductionBarRisesAtOnceAndFallsHalfADecibelPerFrame) {
    panel_fixture f(1);
    f.slots[0]->min_gain = 0.1f; // 20 dB
    f.frame();
    EXPECT_NEAR(f.e->stage_gr_shown[0], 20.0f, 0.01f);
    f.slots[0]->min_gain = 1.0f;
    for (int32_t i = 0; i < 16; ++i) f.frame();
    EXPECT_NEAR(f.e->stage_gr_shown[0], 12.0f, 0.01f); // still a full track
    for (int32_t i = 0; i < 24; ++i) f.frame();
    EXPECT_NEAR(f.e->stage_gr_shown[0], 0.0f, 0.01f);
}

} // namespace
