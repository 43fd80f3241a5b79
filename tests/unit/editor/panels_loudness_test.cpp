// Guards the loudness panel and gain to target: the big number and INT must freeze while paused
// (and gain to target must match the frozen number), the target arithmetic and the Spread shares
// must move each stage's Gain by exactly its part, and a reading of nothing must change nothing.
#include <cmath>

#include "edit_queue.h"
#include "panels_test_support.h"

namespace {

float linear(double db) {
    return static_cast<float>(std::pow(10.0, db / 20.0));
}

TEST(GainToTarget, MovesEveryStageByItsShare) {
    struct target_case {
        uint32_t spread;
        float reading; // short-term of the measured stage
        uint32_t target_index;
        double custom;
        double start_last; // Gain of the last stage before
        double expected[4];
        bool undo_step;
    };
    const target_case cases[] = {
        {1, -16.0f, 1, -16, 5, {0.8, 0.6, 0.4, 0.2}, true},   // Front: 4/10 .. 1/10 of +2
        {0, -16.0f, 1, -16, 5, {0.5, 0.5, 0.5, 0.5}, true},   // Even
        {2, -16.0f, 1, -16, 5, {0.2, 0.4, 0.6, 0.8}, true},   // Back
        {0, -60.0f, 1, -16, 5, {0, 0, 0, 0}, false},          // no usable reading
        {0, -14.04f, 1, -16, 5, {0, 0, 0, 0}, false},         // within 0.05 of the target
        {0, -14.1f, 1, -16, 5, {0.025, 0.025, 0.025, 0.025}, true},
        {0, -16.0f, 7, -16, 5, {0.5, 0.5, 0.5, 0.5}, true},   // index out of range aims at -14
        {0, -20.0f, 4, -16.5, 5, {0.875, 0.875, 0.875, 0.875}, true}, // custom target
        {0, -16.0f, 1, -16, 29.8, {0.5, 0.5, 0.5, 0.2}, true}, // a stage at the limit takes less
    };
    for (const target_case& c : cases) {
        panel_fixture f(4);
        f.inst->ui.spread = c.spread;
        f.inst->ui.loudness_target_index = c.target_index;
        f.inst->ui.custom_target_lufs = c.custom;
        for (int32_t i = 0; i < 4; ++i) f.slots[i]->values[PARAM_GAIN] = i == 3 ? c.start_last : 5.0;
        f.slots[3]->short_term_lufs = c.reading;
        gain_to_target(f.e);
        for (int32_t i = 0; i < 4; ++i) {
            const double start = i == 3 ? c.start_last : 5.0;
            EXPECT_NEAR(f.slots[i]->values[PARAM_GAIN] - start, c.expected[i], 1e-6)
                << "spread " << c.spread << " reading " << c.reading << " stage " << i;
            // One gesture per stage: begin, value, end.
            EXPECT_EQ(slot_edit_pending(f.slots[i]), c.undo_step ? 3u : 0u);
        }
        EXPECT_EQ(f.inst->undo_count, c.undo_step ? 1u : 0u);
    }
}

TEST(GainToTarget, MeasuresTheLastLiveStageAndTheFrozenNumber) {
    panel_fixture f(3);
    f.e->group[2].live = 0;
    f.slots[2]->short_term_lufs = -30.0f; // not processing: not the one measured
    f.slots[1]->short_term_lufs = -17.0f;
    f.frame(); // frozen readout: the panel's last stage falls back to the last live one too
    f.e->loudness_paused = 1;
    f.slots[1]->short_term_lufs = -10.0f;
    f.inst->ui.spread = 0;
    gain_to_target(f.e);
    for (int32_t i = 0; i < 3; ++i) EXPECT_NEAR(f.slots[i]->values[PARAM_GAIN], 1.0, 1e-6);
}

TEST(GainToTarget, EmptyGroupMovesTheOwnStage) {
    panel_fixture f(0);
    f.inst->slot->short_term_lufs = -15.0f;
    gain_to_target(f.e);
    EXPECT_NEAR(f.inst->slot->values[PARAM_GAIN], 1.0, 1e-9);
    EXPECT_EQ(f.inst->undo_count, 1u);
}

TEST(LoudnessPanel, PauseFreezesTheNumbersButNotTheBars) {
    panel_fixture f(2);
    shm_slot* last = f.slots[1];
    last->short_term_lufs = -20.0f;
    last->integrated_lufs = -18.0f;
    f.frame();
    EXPECT_NE(f.text_at("-20.0", 826, 462), nullptr);
    EXPECT_NE(f.text_at("INT  -18.0", 940, 526), nullptr);
    EXPECT_NE(f.text_at("Pause", 758, 526), nullptr);

    f.e->loudness_paused = 1;
    last->short_term_lufs = -10.0f;
    last->integrated_lufs = -12.0f;
    f.frame();
    EXPECT_NE(f.text_at("-20.0", 826, 462), nullptr);
    EXPECT_NE(f.text_at("INT  -18.0", 940, 526), nullptr);
    EXPECT_NE(f.text_at("Resume", 758, 526), nullptr);
    EXPECT_TRUE(same_colour(f.text_colour("Resume"), colours.orange)); // active while paused
    // The short-term bar follows the live -10 LUFS: 288 x 26/36 = 208 high, top at 206.
    bool bar = false;
    for (int32_t i = 0; i < vg_record_count(f.rec); ++i) {
        const vg_record_call* c = vg_record_call_at(f.rec, i);
        if (c->kind == VG_RECORD_FILL && std::abs(c->bounds[0] - 852) < 1.2f && std::abs(c->bounds[2] - 878) < 1.2f &&
            std::abs(c->bounds[1] - 206) < 1.2f)
            bar = true;
    }
    EXPECT_TRUE(bar);

    f.e->loudness_paused = 0;
    f.frame();
    EXPECT_NE(f.text_at("-10.0", 826, 462), nullptr);
    EXPECT_NE(f.text_at("INT  -12.0", 940, 526), nullptr);
}

TEST(LoudnessPanel, ReadoutTextsAndColours) {
    struct readout_case {
        uint32_t mode;
        float momentary, short_term, integrated;
        uint32_t target_index;
        double custom;
        const char* number;
        bool red;
        const char* distance;
        const char* unit;
        const char* tag;
        const char* target_label;
    };
    const readout_case cases[] = {
        {0, -30, -23.0f, -40, 2, -16, "-23.0", false, "+0.0 LU", "LUFS S", "-23 EBU", "-23 LUFS (EBU R128)"},
        {0, -30, -22.4f, -40, 2, -16, "-22.4", true, "+0.6 LU", "LUFS S", "-23 EBU", "-23 LUFS (EBU R128)"},
        {1, -9.5f, -30, -40, 0, -16, "-9.5", false, "-0.5 LU", "LUFS M", "-9 CD", "-9 LUFS (CD)"},
        {2, -30, -30, -100, 7, -16, "-inf", false, "+0.0 LU", "LUFS I", "-14 Strm", "-14 LUFS (Streaming)"},
        {0, -30, -15.9f, -40, 4, -16.5, "-15.9", true, "+0.6 LU", "LUFS S", "-16 Cust", "Custom"},
    };
    for (const readout_case& c : cases) {
        panel_fixture f(1);
        f.inst->ui.readout_mode = c.mode;
        f.inst->ui.loudness_target_index = c.target_index;
        f.inst->ui.custom_target_lufs = c.custom;
        f.slots[0]->momentary_lufs = c.momentary;
        f.slots[0]->short_term_lufs = c.short_term;
        f.slots[0]->integrated_lufs = c.integrated;
        f.frame();
        const vg_record_call* number = f.text_at(c.number, 826, 462);
        ASSERT_NE(number, nullptr) << c.number;
        EXPECT_TRUE(same_colour(call_colour(number), c.red ? colours.alert : colours.text_white)) << c.number;
        EXPECT_NE(f.text_at(c.distance, 832, 472), nullptr) << c.number;
        EXPECT_NE(f.text_at(c.unit, 832, 458), nullptr) << c.number;
        EXPECT_TRUE(f.has_text(c.tag)) << c.tag;
        EXPECT_NE(f.text_at(c.target_label, 878, 500), nullptr) << c.target_label;
    }
}

TEST(LoudnessPanel, PeakHoldAndCeilingAlert) {
    panel_fixture f(1);
    shm_slot* s = f.slots[0];
    s->detected_peak = linear(-3.0);
    f.frame(0.0);
    s->detected_peak = linear(-20.0);
    // Held for 1.6 s, then 0.3 dB per frame, and one second after the hold ran out the reading.
    const struct {
        double t;
        float hold;
    } steps[] = {{0.5, -3.0f}, {1.6, -3.0f}, {1.7, -3.3f}, {1.8, -3.6f}, {2.5, -3.9f}, {2.7, -20.0f}};
    for (const auto& st : steps) {
        f.frame(st.t);
        EXPECT_NEAR(f.e->input_readout.hold, st.hold, 1e-4) << "t " << st.t;
    }

    s->output_true_peak = s->output_true_peak_l = linear(0.0);
    s->output_true_peak_r = linear(-1.0);
    s->values[PARAM_CEILING] = -0.3;
    f.frame(5.0);
    const vg_record_call* out = f.text_at("0.0", 770, 426);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(same_colour(call_colour(out), colours.alert));
}

TEST(LoudnessPanel, ChainReductionSumsEveryLiveStage) {
    panel_fixture f(10);
    for (shm_slot* s : f.slots) s->min_gain = linear(-1.0);
    f.e->group[9].live = 0; // idle stages add nothing
    f.frame();
    EXPECT_NEAR(f.e->chain_gr_shown, 9.0f, 1e-3f);
    EXPECT_NE(f.text_at("-9.0", 816, 426), nullptr);
}

} // namespace
