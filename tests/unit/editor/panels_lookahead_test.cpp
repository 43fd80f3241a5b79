// Guards the Lookahead a stage does not run yet: a new Lookahead reaches the engine only when the
// stage's host restarts it, and until then the editor must not show it as one in force (its knob,
// its grid cell and its tooltip say that it waits, and what the stage still runs), while a stage
// that runs what its value asks for, or that is not active, shows it as usual.
#include "panels_test_support.h"

namespace {

struct wait_case {
    uint32_t active;
    double rate;
    uint32_t latency;
    double lookahead_ms;
    bool waits;
    double runs_ms; // when it waits
};

TEST(LookaheadInForce, TheLatencyPublishedAtActivationTellsWhatTheEngineRuns) {
    const wait_case cases[] = {
        {1, 48000, 80, 1.5, false, 0},     // 72 + 8: in force
        {1, 48000, 80, 5.0, true, 1.5},    // edited, not restarted yet
        {1, 48000, 248, 5.0, false, 0},    // restarted
        {1, 44100, 12, 0.1, false, 0},     // 0.1 ms is 4 samples at 44.1 kHz
        {1, 96000, 10, 0.01, false, 0},    // below the range's floor: 2 samples, as the engine rounds
        {0, 48000, 80, 5.0, false, 0},     // inactive: the next activation takes it
        {1, 0, 80, 5.0, false, 0},         // no rate yet
        {1, 1e12, 80, 5.0, false, 0},      // garbage in the segment
        {1, 48000, 3, 5.0, false, 0},      // a latency no engine publishes
    };
    for (const wait_case& c : cases) {
        shm_slot* s = new_test_slot();
        s->active = c.active;
        s->sample_rate = c.rate;
        s->latency = c.latency;
        s->values[PARAM_LOOKAHEAD] = c.lookahead_ms;
        double runs = -1;
        EXPECT_EQ(stage_lookahead_waits(s, &runs), c.waits) << c.rate << " Hz, latency " << c.latency;
        if (c.waits) {
            EXPECT_NEAR(runs, c.runs_ms, 1e-9);
        }
        std::free(s);
    }
    EXPECT_FALSE(stage_lookahead_waits(nullptr, nullptr));
}

TEST(LookaheadInForce, KnobGridAndTooltipSayThatItWaits) {
    for (const bool waits : {false, true}) {
        panel_fixture f(2);
        f.inst->ui.grid_open = 1;
        f.e->focused_index = 1;
        shm_slot* s = f.slots[1];
        s->active = 1;
        s->sample_rate = 48000;
        s->latency = waits ? 80 : 248;
        s->values[PARAM_LOOKAHEAD] = 5.0;
        f.frame();
        char text[32];
        format_param_value(PARAM_LOOKAHEAD, 5.0, text, sizeof text);
        // The knob's value and the second stage's grid cell.
        int32_t shown = 0;
        for (int32_t i = vg_record_find_text(f.rec, text, 0); i >= 0; i = vg_record_find_text(f.rec, text, i + 1)) {
            ++shown;
            EXPECT_TRUE(same_colour(call_colour(vg_record_call_at(f.rec, i)), waits ? colours.alert : colours.text_white))
                << (waits ? "waiting" : "in force") << ", text call " << i;
        }
        EXPECT_EQ(shown, 2) << "knob and grid cell";

        const hit_entry knob{WIDGET_KNOB, 1, PARAM_LOOKAHEAD, 0, 0, 0, 0};
        char title[96], help[200];
        ASSERT_TRUE(editor_widget_tooltip(f.e, &knob, title, sizeof title, help, sizeof help));
        if (waits) {
            EXPECT_EQ(std::string(title), "Lookahead  " + std::string(text) + ", not in force yet");
            EXPECT_EQ(std::string(help),
                      "The stage still runs 1.5 ms: the new lookahead takes effect when its host restarts it.");
        } else {
            EXPECT_EQ(std::string(title), "Lookahead  " + std::string(text));
        }
    }
}

} // namespace
