// Guards how a gesture-begin event names the editor that holds it open: a tag that says nothing for a
// private stage, a named editor that counts as alive only while its stage is still the one tagged
// (claimed anew, its slot carries another generation; released, nobody holds it), and a begin event
// for another process's stage that keeps its kind below the tag.
#include "edit_queue.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

namespace {

class EditProducer : public ::testing::Test {
  protected:
    void SetUp() override {
        segment = new test_segment("producer");
        registry_lock();
        shm_open();
        editor = slot_claim();
        target = slot_claim();
        registry_unlock();
    }
    void TearDown() override {
        registry_lock();
        slot_release(editor);
        slot_release(target);
        registry_unlock();
        delete segment;
    }
    test_segment* segment = nullptr;
    shm_slot* editor = nullptr;
    shm_slot* target = nullptr;
};

TEST_F(EditProducer, ATagNamesTheStageOfTheEditorWhileItHoldsIt) {
    ASSERT_TRUE(shm_is_shared());
    ASSERT_TRUE(slot_is_shared(editor));
    EXPECT_EQ(edit_producer_tag(nullptr), 0u);
    EXPECT_TRUE(edit_producer_alive(0));
    const uint32_t tag = edit_producer_tag(editor);
    ASSERT_NE(tag, 0u);
    EXPECT_EQ(tag & 0xFFu, static_cast<uint32_t>(slot_shared_index(editor) + 1));
    EXPECT_TRUE(edit_producer_alive(tag));
    struct row {
        const char* what;
        void (*change)(shm_slot*);
        void (*undo)(shm_slot*);
    } rows[] = {
        {"claimed anew", [](shm_slot* s) { shm_fetch_add(s->generation, 1u); },
         [](shm_slot* s) { shm_fetch_add(s->generation, 0xFFFFFFFFu); }},
        {"released", [](shm_slot* s) { shm_store(s->in_use, 0u); }, [](shm_slot* s) { shm_store(s->in_use, 1u); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        r.change(editor);
        EXPECT_FALSE(edit_producer_alive(tag));
        r.undo(editor);
        EXPECT_TRUE(edit_producer_alive(tag));
    }
    EXPECT_FALSE(edit_producer_alive(0x40u + 1u)) << "a slot index beyond the segment";
}

// The target has no instance in this process (its owner is elsewhere): the begin carries the tag.
TEST_F(EditProducer, ABeginForAnotherProcessesStageCarriesTheTag) {
    shm_store(target->values[PARAM_MIX], 25.0);
    slot_begin_held_gesture(target, PARAM_MIX, editor);
    slot_begin_held_gesture(target, PARAM_MIX, nullptr);
    slot_edit_event e;
    ASSERT_TRUE(slot_take_edit(target, &e));
    EXPECT_EQ(e.kind & EDIT_KIND_MASK, EDIT_KIND_BEGIN);
    EXPECT_EQ(e.kind >> 8, edit_producer_tag(editor));
    EXPECT_EQ(e.value, 25.0);
    ASSERT_TRUE(slot_take_edit(target, &e));
    EXPECT_EQ(e.kind, EDIT_KIND_BEGIN);
}

} // namespace
