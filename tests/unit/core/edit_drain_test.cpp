// Guards what the host hears of editor edits: however many edits pile up while the stage does not
// drain, whatever garbage the shared ring holds and however small the host's output list, the host
// ends with the slot's values, its gestures balanced (no begin inside an open gesture, no end outside
// one), and no value sent twice or out of order.
#include <map>
#include <vector>

#include "core_test_support.h"
#include "edit_queue.h"

namespace {

struct active_stage : test_stage {
    explicit active_stage(fake_host& host) : test_stage(host) {
        EXPECT_TRUE(plugin->activate(plugin, 48000.0, 1, 1024));
    }
};

// Runs process calls (each with a fresh output list of `capacity` events) until one sends nothing,
// collecting what the host got.
std::vector<recorded_event> drain_calls(const clap_plugin* plugin, size_t capacity) {
    std::vector<recorded_event> all;
    test_audio a(64);
    for (int call = 0; call < 64; ++call) {
        test_output_events out;
        out.capacity = capacity;
        run_process(plugin, &a, nullptr, &out);
        if (out.events.empty()) break;
        all.insert(all.end(), out.events.begin(), out.events.end());
    }
    return all;
}

// The host's side: replays the events, failing on an unbalanced gesture; checks that every parameter
// the host heard of ends at the slot's value and that no gesture stays open.
void expect_host_view_matches(const std::vector<recorded_event>& events, const shm_slot* slot) {
    std::map<uint32_t, bool> open;
    std::map<uint32_t, double> last;
    for (size_t k = 0; k < events.size(); ++k) {
        const recorded_event& e = events[k];
        if (e.type == CLAP_EVENT_PARAM_GESTURE_BEGIN) {
            EXPECT_FALSE(open[e.param_id]) << "begin inside an open gesture, event " << k;
            open[e.param_id] = true;
        } else if (e.type == CLAP_EVENT_PARAM_GESTURE_END) {
            EXPECT_TRUE(open[e.param_id]) << "end without a begin, event " << k;
            open[e.param_id] = false;
        } else if (e.type == CLAP_EVENT_PARAM_VALUE) {
            last[e.param_id] = e.value;
        }
    }
    for (const auto& [id, is_open] : open)
        EXPECT_FALSE(is_open) << "gesture left open on " << id;
    for (const auto& [id, value] : last) {
        const int32_t index = param_index_of_id(id);
        ASSERT_GE(index, 0);
        EXPECT_EQ(value, slot_setting(slot, index)) << "host and stage apart on " << id;
    }
}

std::vector<double> values_of(const std::vector<recorded_event>& events, uint32_t id) {
    std::vector<double> out;
    for (const recorded_event& e : events)
        if (e.type == CLAP_EVENT_PARAM_VALUE && e.param_id == id) out.push_back(e.value);
    return out;
}

TEST(EditDrain, EditsPilingUpPastTheRingReachTheHostAsTheSlotHasThem) {
    struct pile_case {
        int edits;
        size_t host_list; // events the host's output list takes per call
    };
    for (const pile_case c : {pile_case{300, 1u << 20}, pile_case{1000, 1u << 20}, pile_case{1000, 7}}) {
        SCOPED_TRACE(testing::Message() << c.edits << " edits, list of " << c.host_list);
        fake_host host;
        active_stage stage(host);
        shm_slot* slot = stage.slot();
        drain_calls(stage.plugin, 1u << 20); // settle what the host knows
        const uint32_t mix = param_table[PARAM_MIX].id;
        // One drag of Mix with c.edits steps, and a click on Gain, while the stage does not drain.
        slot_begin_gesture(slot, PARAM_MIX);
        for (int i = 1; i <= c.edits; ++i)
            slot_set_value(slot, PARAM_MIX, i * 0.09);
        slot_end_gesture(slot, PARAM_MIX);
        slot_begin_gesture(slot, PARAM_GAIN);
        slot_set_value(slot, PARAM_GAIN, 7.5);
        slot_end_gesture(slot, PARAM_GAIN);

        const std::vector<recorded_event> events = drain_calls(stage.plugin, c.host_list);
        expect_host_view_matches(events, slot);
        const std::vector<double> mixes = values_of(events, mix);
        ASSERT_FALSE(mixes.empty());
        EXPECT_EQ(mixes.back(), c.edits * 0.09);
        for (size_t k = 1; k < mixes.size(); ++k)
            ASSERT_LT(mixes[k - 1], mixes[k]) << "a value repeated or reordered at " << k;
        EXPECT_EQ(values_of(events, param_table[PARAM_GAIN].id), std::vector<double>{7.5});
        EXPECT_TRUE(drain_calls(stage.plugin, 1u << 20).empty()); // nothing more, nothing twice
    }
}

// Writes one entry into a slot's edit ring the way a foreign process could.
void queue_raw(shm_slot* slot, uint32_t param_id, uint32_t kind, double value) {
    const uint32_t w = shm_load(slot->edit_write);
    slot_edit_event& e = slot->edit_ring[w & (EDIT_RING_SIZE - 1)];
    shm_store(e.param_id, param_id);
    shm_store(e.kind, kind);
    shm_store(e.value, value);
    shm_exchange(slot->edit_write, w + 1);
}

TEST(EditDrain, GarbageInTheRingNeverUnbalancesGesturesOrHidesTheSlotsValues) {
    struct garbage_case {
        const char* what;
        void (*write)(shm_slot* slot);
    };
    const garbage_case cases[] = {
        {"unknown kinds",
         [](shm_slot* s) {
             shm_store(s->values[PARAM_GAIN], 12.0);
             queue_raw(s, 2, 7, 12.0);
             queue_raw(s, 2, 0xFFFFFFFFu, 12.0);
         }},
        {"end without begin, begin twice",
         [](shm_slot* s) {
             queue_raw(s, 15, EDIT_KIND_END, 0.0);
             queue_raw(s, 15, EDIT_KIND_BEGIN, 0.0);
             queue_raw(s, 15, EDIT_KIND_BEGIN, 0.0);
             shm_store(s->values[PARAM_MIX], 40.0);
             queue_raw(s, 15, EDIT_KIND_VALUE, 40.0);
         }},
        {"begin left open, value of no parameter",
         [](shm_slot* s) {
             queue_raw(s, 2, EDIT_KIND_BEGIN, 0.0);
             shm_store(s->values[PARAM_CEILING], -3.0);
             queue_raw(s, 999, EDIT_KIND_VALUE, -3.0);
         }},
        {"indices of no real queue",
         [](shm_slot* s) {
             shm_store(s->values[PARAM_GAIN], 3.0);
             shm_store(s->edit_write, shm_load(s->edit_read) + 5000);
         }},
    };
    for (const garbage_case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_host host;
        active_stage stage(host);
        shm_slot* slot = stage.slot();
        drain_calls(stage.plugin, 1u << 20);
        c.write(slot);
        const std::vector<recorded_event> events = drain_calls(stage.plugin, 1u << 20);
        expect_host_view_matches(events, slot);
        // Every value a foreign writer left in the slot reached the host.
        for (int32_t i : {PARAM_GAIN, PARAM_MIX, PARAM_CEILING}) {
            const std::vector<double> v = values_of(events, param_table[i].id);
            if (slot_setting(slot, i) != param_table[i].default_value) {
                ASSERT_FALSE(v.empty()) << i;
                EXPECT_EQ(v.back(), slot_setting(slot, i));
            }
        }
    }
}

} // namespace
