// Guards the history graph's time line: stages that started at different times, that report
// their clocks late, that paused, or whose hosts give (or lack) steady times must still draw one
// moment in one column, which the column dump shows; and the draw probes must describe the frame.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "panels_test_support.h"

namespace {

// 64000 Hz makes one history entry exactly 1 ms, so simulated times are whole entries.
constexpr double RATE = 64000.0;
constexpr int64_t MS = 1000000;
constexpr int64_t NOW = 100000 * MS;

// One simulated stage. Entry idx was written at time t0 + idx ms (t0_after from entry `gap` on,
// after an idle stretch of `idle` entries); a reduction pulse of 6 dB covers [pulse0, pulse1) and
// [pulse2, pulse3) in time.
struct sim_stage {
    int64_t t0;
    int32_t count;
    int64_t clock_error = 0; // added to the reported time of the last entry
    bool steady = false;
    int64_t steady_base = 0; // samples; a different transport shifts it
    int32_t gap = -1;
    int32_t idle = 0;
    int64_t t0_after = 0;
};

struct pulse {
    int64_t from, to;
};

int64_t entry_time(const sim_stage& s, int32_t idx) {
    return (s.gap >= 0 && idx >= s.gap) ? s.t0_after + idx * MS : s.t0 + idx * MS;
}

void fill(shm_slot* slot, const sim_stage& s, const std::vector<pulse>& pulses) {
    slot->sample_rate = RATE;
    for (int32_t idx = s.count > 8192 ? s.count - 8192 : 0; idx < s.count; ++idx) {
        const uint32_t at = static_cast<uint32_t>(idx) & 8191;
        const bool idle = s.gap >= 0 && idx >= s.gap && idx < s.gap + s.idle;
        const int64_t t = entry_time(s, idx);
        bool in_pulse = false;
        for (const pulse& p : pulses) in_pulse = in_pulse || (t >= p.from && t < p.to);
        slot->history[HISTORY_GAIN][at] = idle ? 1.0f : (in_pulse ? 0.5f : 1.0f);
        slot->history[HISTORY_LEVEL][at] = idle ? -1.0f : 0.5f;
        slot->history[HISTORY_TRUE_PEAK][at] = idle ? 0.0f : 0.4f;
        slot->history[HISTORY_SHORT_TERM][at] = idle ? -100.0f : -20.0f;
    }
    slot->history_counter = static_cast<uint32_t>(s.count);
    const int64_t last = entry_time(s, s.count - 1);
    slot->history_time_ns = last + s.clock_error;
    slot->history_gap_start = s.gap;
    if (s.steady) {
        // Host steady time (samples) of the call that wrote the newest entry: one transport for all.
        const int64_t st = s.steady_base + (last / MS) * 64;
        slot->timing_count = 10;
        slot->timing_steady[9] = st;
        slot->timing_steady[8] = st - 512;
    } else {
        slot->timing_count = 0;
    }
}

struct dump_column {
    float x, in, out, gr[3];
};

struct dump {
    std::string head;
    std::vector<dump_column> cols;
};

std::string temp_base(const char* tag) {
    return (std::filesystem::temp_directory_path() /
            ("lodrin-graph-" + std::string(tag) + "-" + std::to_string(test_process_id())))
        .string();
}

// Draws `frames` frames at `now` and returns the column dump of the last one.
dump draw_and_dump(panel_fixture& f, int32_t frames, int64_t now, const char* tag) {
    for (int32_t i = 0; i < frames - 1; ++i) f.frame(10.0, now);
    const std::string base = temp_base(tag);
    std::snprintf(f.e->dump_path, DUMP_PATH_SIZE, "%s", base.c_str());
    f.e->dump_requested = 1;
    f.frame(10.0, now);
    f.e->dump_requested = 0;
    dump d;
    const std::string name = base + ".cols.txt";
    std::ifstream in(name);
    std::getline(in, d.head);
    std::string line;
    while (std::getline(in, line)) {
        dump_column c{};
        int32_t i = 0;
        if (std::sscanf(line.c_str(), "%d x %f in %f out %f gr %f %f %f", &i, &c.x, &c.in, &c.out, &c.gr[0], &c.gr[1],
                        &c.gr[2]) == 7)
            d.cols.push_back(c);
    }
    in.close();
    std::filesystem::remove(name);
    return d;
}

// First and last column (0 = newest) in which stage s shows the pulse that is `which`-th from the
// newest side, or (-1, -1).
std::pair<int32_t, int32_t> pulse_columns(const dump& d, int32_t s, int32_t which) {
    int32_t seen = -1, first = -1, last = -1;
    bool inside = false;
    for (int32_t i = 0; i < static_cast<int32_t>(d.cols.size()); ++i) {
        const bool on = d.cols[i].gr[s] > 3.0f;
        if (on && !inside) ++seen;
        inside = on;
        if (on && seen == which) {
            if (first < 0) first = i;
            last = i;
        }
    }
    return {first, last};
}

struct align_case {
    const char* name;
    bool steady;
    int64_t clock_error; // of stage 1
    int64_t steady_base; // of stage 1
    bool aligned;
};

class HistoryAlignment : public ::testing::TestWithParam<align_case> {};

TEST_P(HistoryAlignment, ColumnsShowOneMomentForEveryStage) {
    const align_case c = GetParam();
    panel_fixture f(3);
    // Started 8, 5 and 3.5 s ago; each wrote its newest entry 5 ms ago.
    const std::vector<pulse> pulses = {{NOW - 3000 * MS, NOW - 2500 * MS}};
    const int64_t newest = NOW - 5 * MS;
    const int64_t starts[3] = {NOW - 8000 * MS, NOW - 5000 * MS, NOW - 3500 * MS};
    for (int32_t i = 0; i < 3; ++i) {
        sim_stage s;
        s.t0 = starts[i];
        s.count = static_cast<int32_t>((newest - starts[i]) / MS) + 1;
        s.steady = c.steady;
        if (i == 1) {
            s.clock_error = c.clock_error;
            s.steady_base = c.steady_base;
        }
        fill(f.slots[i], s, pulses);
    }
    const dump d = draw_and_dump(f, 12, NOW, c.name);
    EXPECT_EQ(d.head.rfind("W 676.0 B 5 ppx 0.1127 newest 7995 ", 0), 0u) << d.head;
    ASSERT_GT(d.cols.size(), 100u);

    const auto ref = pulse_columns(d, 0, 0);
    ASSERT_GE(ref.first, 0);
    // The pulse, 3.0 to 2.5 s before now and drawn 40 ms late, centres at 686 - 2.71 / 6 x 676.
    EXPECT_NEAR((d.cols[ref.first].x + d.cols[ref.second].x) / 2, 686.0 - 2.71 / 6.0 * 676.0, 3.0);
    EXPECT_NEAR(ref.second - ref.first + 1, 500 / 5, 2); // 500 ms of 5-entry columns
    for (int32_t s = 1; s < 3; ++s) {
        const auto p = pulse_columns(d, s, 0);
        ASSERT_GE(p.first, 0) << c.name << " stage " << s;
        const bool same = std::abs(p.first - ref.first) <= 1 && std::abs(p.second - ref.second) <= 1;
        EXPECT_EQ(same, c.aligned || s == 2) << c.name << " stage " << s << ": " << p.first << ".." << p.second
                                             << " vs " << ref.first << ".." << ref.second;
    }
    // The probe header describes the same frame.
    const graph_probe_header& h = f.e->probe_header;
    EXPECT_EQ(h.frame, 12);
    EXPECT_EQ(h.stage_count, 3);
    EXPECT_EQ(h.anchor_index, 0);
    EXPECT_EQ(h.live_mask, 7u);
    EXPECT_EQ(h.entries_per_column, 5);
    EXPECT_DOUBLE_EQ(h.seconds_per_entry, 0.001);
    EXPECT_DOUBLE_EQ(h.left, 10.0);
    EXPECT_DOUBLE_EQ(h.width, 676.0);
    EXPECT_EQ(h.offsets[0], 0);
    EXPECT_EQ(h.offsets[2], 4500);
    EXPECT_EQ(h.offsets[1], c.aligned ? 3000 : 2960);
    EXPECT_EQ(f.e->probe_record_count, static_cast<int32_t>(d.cols.size()));
    EXPECT_NEAR(f.e->probe_records[0].x, d.cols[0].x, 0.01);
    EXPECT_NEAR(f.e->probe_records[ref.first].gr[0], 6.02f, 0.01f);
}

// Stage 1 stamps its clock 40 ms early (a late host call): with steady times the steady estimate
// places it right; without them the clock estimate is 40 entries off, which the columns show. A
// steady time of another transport (10 s away) is ignored for the clock.
INSTANTIATE_TEST_SUITE_P(Stages, HistoryAlignment,
                         ::testing::Values(align_case{"clock", false, 0, 0, true},
                                           align_case{"steady", true, -40 * MS, 0, true},
                                           align_case{"late_clock", false, -40 * MS, 0, false},
                                           align_case{"other_transport", true, 0, 640000, true}),
                         [](const ::testing::TestParamInfo<align_case>& i) { return std::string(i.param.name); });

TEST(HistoryGraph, PausedStageKeepsItsOlderHistoryInPlace) {
    panel_fixture f(2);
    // Stage 1 pauses at Tp for one second but writes 30 idle entries fewer than the pause lasted,
    // so its offset after the pause is 30 entries larger than before.
    const int64_t tp = NOW - 3000 * MS;
    const std::vector<pulse> pulses = {{tp - 2000 * MS, tp - 1600 * MS}, {tp + 1500 * MS, tp + 1900 * MS}};
    sim_stage a;
    a.t0 = NOW - 9000 * MS;
    sim_stage b;
    b.t0 = NOW - 7000 * MS;
    const int32_t gap = static_cast<int32_t>((tp - b.t0) / MS);
    b.gap = gap;
    b.idle = 970;
    b.t0_after = b.t0 + 30 * MS;

    // Before the pause.
    const int64_t before = tp + 5 * MS;
    a.count = static_cast<int32_t>((before - 5 * MS - a.t0) / MS) + 1;
    b.count = gap;
    sim_stage b_before = b;
    b_before.gap = -1;
    fill(f.slots[0], a, pulses);
    fill(f.slots[1], b_before, pulses);
    for (int32_t i = 0; i < 10; ++i) f.frame(10.0, before);
    EXPECT_EQ(f.e->probe_header.offsets[1], 2000);

    // After it.
    a.count = static_cast<int32_t>((NOW - 5 * MS - a.t0) / MS) + 1;
    b.count = static_cast<int32_t>((NOW - 5 * MS - b.t0_after) / MS) + 1;
    fill(f.slots[0], a, pulses);
    fill(f.slots[1], b, pulses);
    const dump d = draw_and_dump(f, 10, NOW, "pause");
    EXPECT_EQ(f.e->probe_header.offsets[1], 2030);
    for (int32_t which = 0; which < 2; ++which) {
        const auto ref = pulse_columns(d, 0, which);
        const auto p = pulse_columns(d, 1, which);
        ASSERT_GE(ref.first, 0);
        ASSERT_GE(p.first, 0);
        EXPECT_LE(std::abs(p.first - ref.first), 1) << "pulse " << which;
        EXPECT_LE(std::abs(p.second - ref.second), 1) << "pulse " << which;
    }
    // During the pause stage 1 had no audio: column 493 (about 2.47 s back, inside the pause) has
    // stage 0 as its last active stage.
    ASSERT_GT(f.e->probe_record_count, 493);
    EXPECT_EQ(f.e->probe_records[493].last_active, 0);
    EXPECT_EQ(f.e->probe_records[493].first_active, 0);
    EXPECT_EQ(f.e->probe_records[100].last_active, 1);
}

TEST(HistoryGraph, EmptyGroupLeavesOnlyTheFrameInTheProbes) {
    panel_fixture f(0);
    f.frame();
    f.frame();
    const graph_probe_header& h = f.e->probe_header;
    EXPECT_EQ(h.frame, 2);
    EXPECT_EQ(h.stage_count, 0);
    EXPECT_EQ(h.entries_per_column, 0);
    EXPECT_DOUBLE_EQ(h.left, 10.0);
    EXPECT_DOUBLE_EQ(h.width, 676.0);
    EXPECT_EQ(f.e->probe_record_count, 0);
    EXPECT_TRUE(f.has_text("6 S"));
    EXPECT_NE(f.text_at("-24", 692, 100 + 464 * 0.8f), nullptr);
    EXPECT_NE(f.text_at("DB", 692, 562), nullptr);
    EXPECT_EQ(f.text_at("-30", 692, 564), nullptr); // it would print over "DB"
}

} // namespace

TEST(HistoryGraph, ReductionTagStaysClearOfTheGainFader) {
    // The deepest reduction lies at the graph's left edge, where the gain fader (16 to 56) lies
    // over the graph: the tag naming it sits right of the fader, not under it.
    panel_fixture f(1);
    sim_stage a;
    a.t0 = NOW - 9000 * MS;
    a.count = static_cast<int32_t>((NOW - 5 * MS - a.t0) / MS) + 1;
    fill(f.slots[0], a, {{NOW - 7000 * MS, NOW - 5900 * MS}});
    for (int32_t i = 0; i < 10; ++i) f.frame(10.0, NOW);
    const int32_t i = vg_record_find_text(f.rec, "-6.0 dB", 0);
    ASSERT_GE(i, 0) << "the tag is drawn";
    EXPECT_GE(vg_record_call_at(f.rec, i)->bounds[0], 56.0f);
}
