// Guards the other road of an editor's edit: queued in a stage's slot while its host is not
// processing, it must reach the host through a params flush, even one with no input list, as
// gesture-begin, value and gesture-end at time 0; a full output list loses events but never the value.
#include <cstring>

#include "edit_queue.h"
#include "integration.h"
#include "registry.h"
#include "shm.h"

class edit_flush : public module_test {
  protected:
    // The slot of a stage of this process, found through the identity its state carries.
    shm_slot* slot_of(host_stage* s) {
        host_ostream os;
        EXPECT_TRUE(host_stage_save(s, &os, 0));
        uint64_t id = 0;
        if (os.size >= 16) std::memcpy(&id, os.data + 8, 8);
        host_ostream_free(&os);
        registry_lock();
        shm_open();
        registry_unlock();
        for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
            shm_slot* slot = slot_by_index(i);
            if (slot && shm_load(slot->in_use) == 1 && shm_load(slot->instance_id) == id) return slot;
        }
        return nullptr;
    }
};

TEST_F(edit_flush, queued_edits_reach_the_host_through_flush) {
    host_stage* s = make_stage();
    ASSERT_NE(s, nullptr);
    shm_slot* slot = slot_of(s);
    ASSERT_NE(slot, nullptr) << "the stage's slot must be in the shared segment";
    const int32_t ceiling = 2; // table index of Ceiling, CLAP id 3
    slot_begin_gesture(slot, ceiling);
    slot_set_value(slot, ceiling, -4.0);
    slot_end_gesture(slot, ceiling);
    EXPECT_EQ(value_of(s, "Ceiling"), -4.0) << "the value is in the slot at once";

    host_stage_flush(s, nullptr);
    auto rec = take_records(s);
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec[0].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(rec[1].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(rec[1].value, -4.0);
    EXPECT_EQ(rec[2].type, CLAP_EVENT_PARAM_GESTURE_END);
    for (auto& r : rec) {
        EXPECT_EQ(r.param_id, 3u);
        EXPECT_EQ(r.time, 0u);
        EXPECT_EQ(r.from_flush, 1);
    }
    host_stage_flush(s, nullptr);
    EXPECT_TRUE(take_records(s).empty()) << "a drained ring delivers nothing twice";
}

TEST_F(edit_flush, raised_flags_become_dirty_and_flush_requests_on_the_main_thread) {
    host_stage* s = make_active_stage();
    ASSERT_NE(s, nullptr);
    shm_slot* slot = slot_of(s);
    ASSERT_NE(slot, nullptr);
    slot_set_value(slot, 1, 3.0); // Gain, from "another process" (no local owner in this registry copy)
    std::vector<float> l(256), r(256);
    float* io[2] = {l.data(), r.data()};
    process(s, io, 2, io, 2, 256);
    auto rec = take_records(s);
    ASSERT_EQ(rec.size(), 1u) << "the processing call drains the queued value";
    EXPECT_EQ(rec[0].param_id, 2u);
    EXPECT_GE(s->n_request_callback.load(), 1u);
    uint32_t dirty = s->n_mark_dirty.load(), flush = s->n_request_flush.load();
    host_stage_pump(s, &audio);
    EXPECT_EQ(s->n_mark_dirty.load(), dirty + 1);
    EXPECT_EQ(s->n_request_flush.load(), flush + 1);
    host_stage_pump(s, &audio);
    EXPECT_EQ(s->n_mark_dirty.load(), dirty + 1) << "the flags were taken once";
}

TEST_F(edit_flush, a_full_output_list_loses_events_not_values) {
    host_stage* s = make_active_stage();
    shm_slot* slot = slot_of(s);
    ASSERT_NE(slot, nullptr);
    for (int k = 0; k < 10; ++k)
        slot_set_value(slot, 16, double(k * 10)); // Mix
    std::vector<float> l(256), r(256);
    float* io[2] = {l.data(), r.data()};
    clap_process_status st = CLAP_PROCESS_ERROR;
    auto job = [&] { st = host_stage_process(s, io, 2, io, 2, 256, -1, nullptr, 2); };
    host_audio_call(&audio, job);
    EXPECT_EQ(st, CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(take_records(s).size(), 2u);
    EXPECT_EQ(value_of(s, "Mix"), 90.0);
    EXPECT_EQ(slot_edit_pending(slot), 0u) << "the ring is emptied even when the host takes fewer";
}

TEST_F(edit_flush, an_events_only_call_delivers_queued_edits) {
    host_stage* s = make_active_stage();
    shm_slot* slot = slot_of(s);
    ASSERT_NE(slot, nullptr);
    slot_set_value(slot, 3, 250.0);        // Release
    process(s, nullptr, 0, nullptr, 0, 0); // no audio ports at all
    auto rec = take_records(s);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].param_id, 4u);
    EXPECT_EQ(rec[0].value, 250.0);
    EXPECT_EQ(rec[0].from_flush, 0);
}
