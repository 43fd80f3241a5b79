// Guards the offset tracking behind the history graph: a one-frame glitch must not move a stage's
// history, a lasting change must be taken after the hysteresis, and a pause or a stale stretch must
// keep the entries before it on the offset that was right for them.
#include "../../../editor/panels/history_align.h"
#include "panels_test_support.h"

namespace {

struct ui_slot_record fresh_record() {
    struct ui_slot_record r {};
    r.floor = -1;
    r.last_gap = -1;
    return r;
}

// Frames (1-based) until the accepted offset becomes `to`, feeding `to` after 8 frames of `from`;
// 0 when it never does within 40 frames.
int32_t frames_to_accept(int32_t from, int32_t to) {
    struct ui_slot_record r = fresh_record();
    for (int32_t i = 0; i < 8; ++i) ui_position_tracker(&r, true, from, 1000 + i, false, -1);
    for (int32_t f = 1; f <= 40; ++f) {
        ui_position_tracker(&r, true, to, 1008 + f, false, -1);
        if (r.offset == to) return f;
    }
    return 0;
}

TEST(HistoryAlign, MedianAndHysteresis) {
    // A larger estimate is the median of the full ring after 4 frames, a smaller one after 5; it is
    // accepted on the 8th frame in a row that the median differs.
    EXPECT_EQ(frames_to_accept(10, 11), 11);
    EXPECT_EQ(frames_to_accept(10, 9), 12);

    struct ui_slot_record r = fresh_record();
    for (int32_t i = 0; i < 8; ++i) ui_position_tracker(&r, true, 10, 1000 + i, false, -1);
    ui_position_tracker(&r, true, 14, 1008, false, -1); // one glitch
    for (int32_t i = 0; i < 20; ++i) {
        ui_position_tracker(&r, true, 10, 1009 + i, false, -1);
        EXPECT_EQ(r.offset, 10);
    }

    // Before the ring is full, every frame takes the median at once.
    struct ui_slot_record young = fresh_record();
    ui_position_tracker(&young, true, 5, 100, false, -1);
    EXPECT_EQ(young.offset, 5);
    ui_position_tracker(&young, true, 7, 101, false, -1);
    EXPECT_EQ(young.offset, 7);
}

TEST(HistoryAlign, FloorOfANewRecord) {
    struct ui_slot_record cold = fresh_record();
    ui_position_tracker(&cold, true, 0, 4000, false, -1);
    EXPECT_EQ(cold.floor, 0); // while the editor warms up the whole ring is drawn
    struct ui_slot_record warm = fresh_record();
    ui_position_tracker(&warm, true, 0, 4000, true, -1);
    EXPECT_EQ(warm.floor, 4000); // listed later: its history starts now
    EXPECT_EQ(history_lookup(&warm, 3999, 4001), -1);
    EXPECT_EQ(history_lookup(&warm, 4000, 4001), 4000);
}

TEST(HistoryAlign, PauseAndStaleStretchesKeepTheirOffset) {
    struct lookup_case {
        int32_t e, expected;
    };
    struct break_case {
        bool pause; // else a stale stretch
        std::vector<lookup_case> lookups;
    };
    // Offset 10 until entry 1000, offset 40 after. Anchor entries before 1010 read the old mapping,
    // those from 1040 on the new one; the 30 anchor entries in between have no stage entry.
    const break_case cases[] = {
        {true, {{900, 890}, {1009, 999}, {1010, -1}, {1039, -1}, {1040, 1000}, {1100, 1060}, {1200, -1}}},
        {false, {{900, 890}, {1009, 999}, {1040, 1000}, {1100, 1060}}},
    };
    for (const break_case& c : cases) {
        struct ui_slot_record r = fresh_record();
        for (int32_t i = 0; i < 8; ++i) ui_position_tracker(&r, true, 10, 993 + i, false, -1);
        if (c.pause) {
            ui_position_tracker(&r, true, 40, 1100, false, 1000);
        } else {
            ui_position_tracker(&r, false, 10, 1000, false, -1); // stale at 1000
            ui_position_tracker(&r, false, 10, 1000, false, -1);
            ui_position_tracker(&r, true, 40, 1100, false, -1);
        }
        ASSERT_EQ(r.segment_count, 1);
        EXPECT_EQ(r.segment_ends[0], 1000);
        EXPECT_EQ(r.segment_offsets[0], 10);
        EXPECT_EQ(r.offset, 40);
        for (const lookup_case& l : c.lookups)
            EXPECT_EQ(history_lookup(&r, l.e, 1100), l.expected) << "pause " << c.pause << " e " << l.e;
        // The same pause seen again opens no second segment.
        if (c.pause) {
            ui_position_tracker(&r, true, 40, 1101, false, 1000);
            EXPECT_EQ(r.segment_count, 1);
        }
    }
}

TEST(HistoryAlign, OldSegmentsAndEntriesLeaveWithTheRing) {
    struct ui_slot_record r = fresh_record();
    ui_position_tracker(&r, true, 0, 100, false, -1);
    ui_position_tracker(&r, true, 0, 200, false, 100); // a pause at 100
    ASSERT_EQ(r.segment_count, 1);
    EXPECT_EQ(history_lookup(&r, 50, 200), 50);
    ui_position_tracker(&r, true, 0, 100 + 8192, false, 100);
    EXPECT_EQ(r.segment_count, 0);
    EXPECT_EQ(history_lookup(&r, 8292, 8293), 8292);
    EXPECT_EQ(history_lookup(&r, 101, 8293), -1); // overwritten in the ring
    EXPECT_EQ(history_lookup(&r, 8293, 8293), -1); // not written yet
}

TEST(HistoryAlign, RecordTableDropsTheOldestOf64) {
    panel_fixture f(0);
    std::vector<shm_slot*> slots;
    for (int32_t i = 0; i < 65; ++i) slots.push_back(new_test_slot());
    for (int32_t i = 0; i < 65; ++i) {
        struct ui_slot_record* r = ui_slot_record(f.e, slots[i]);
        EXPECT_EQ(r->floor, -1);
        r->offset = i;
    }
    EXPECT_EQ(f.e->slot_record_count, 64);
    EXPECT_EQ(ui_slot_record(f.e, slots[64])->offset, 64);
    EXPECT_EQ(ui_slot_record(f.e, slots[1])->offset, 1);
    EXPECT_EQ(f.e->slot_records[0].slot, slots[1]);
    for (shm_slot* s : slots) std::free(s);
}

} // namespace

TEST(HistoryAlign, SmoothingRunsAtEveryRate) {
    // One stage writing in real time, its entry times jittering by 0.4 entries: the smoothed anchor
    // time must absorb the jitter (the display time moves on by one frame's worth of entries, give
    // or take a few hundredths) instead of being reset to the jittering raw time on every frame.
    for (const double fs : {44100.0, 48000.0, 96000.0, 192000.0}) {
        SCOPED_TRACE(std::to_string(fs) + " Hz");
        panel_fixture f(1);
        shm_slot* s = f.slots[0];
        const double dt = 64.0 * 1e9 / fs;
        const int64_t t0 = 1000000000;
        double last_position = 0.0; // the display time in anchor entries
        for (int32_t k = 1; k <= 120; ++k) {
            const int64_t now = t0 + static_cast<int64_t>(k * 16666667.0);
            const int32_t cnt = static_cast<int32_t>((now - t0) / dt);
            const double jitter = (k % 2 ? 0.4 : -0.4) * dt;
            s->history_counter = static_cast<uint32_t>(cnt);
            s->history_time_ns = t0 + static_cast<int64_t>((cnt - 1) * dt + jitter);
            const history_frame h = history_align_step(f.e, k, now, fs);
            const double position = h.newest + h.frac;
            if (k > 20) {
                EXPECT_NEAR(position - last_position, 16666667.0 / dt, 0.1) << "frame " << k;
            }
            last_position = position;
        }
    }
}
