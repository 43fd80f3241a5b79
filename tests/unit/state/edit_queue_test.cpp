// Guards the edit queue: events carry the clamped value and the right kind in order, a full or corrupt
// ring drops events without overrunning it, indices survive wrapping, the owner hears of edits through
// its host when it lives in this process and through the slot's flags otherwise, and a ring lock left
// held by a dead producer does not hang every later edit.
#include "edit_queue.h"
#include "platform.h"
#include "registry.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

struct host_calls {
    int logs = 0, flushes = 0, dirties = 0;
    std::string last_log;
    plugin_instance* last_instance = nullptr;
};
host_calls calls;

const registry_host_notify fake_host = {
    [](plugin_instance* i, const char* text) {
        ++calls.logs;
        calls.last_log = text;
        calls.last_instance = i;
    },
    [](plugin_instance* i) {
        ++calls.flushes;
        calls.last_instance = i;
    },
    [](plugin_instance* i) {
        ++calls.dirties;
        calls.last_instance = i;
    },
};

std::vector<slot_edit_event> drain(shm_slot* slot) {
    std::vector<slot_edit_event> out;
    slot_edit_event e;
    while (slot_take_edit(slot, &e))
        out.push_back(e);
    return out;
}

class EditQueue : public ::testing::Test {
  protected:
    test_segment seg{"edit"};
    int owner_tag = 0;
    plugin_instance* owner = reinterpret_cast<plugin_instance*>(&owner_tag);
    shm_slot* local = nullptr;  // owned by an attached instance of this process
    shm_slot* remote = nullptr; // owned by nobody here, as a stage of another process

    void SetUp() override {
        calls = host_calls{};
        registry_set_host_notify(&fake_host);
        local = registry_attach(owner);
        registry_lock();
        remote = slot_claim();
        registry_unlock();
        ASSERT_NE(local, nullptr);
        ASSERT_NE(remote, nullptr);
    }
    void TearDown() override {
        registry_detach(owner, local);
        registry_lock();
        slot_release(remote);
        registry_unlock();
        registry_set_host_notify(nullptr);
    }
};

TEST_F(EditQueue, GestureCarriesOldValueThenNewValueTwice) {
    shm_store(local->values[PARAM_GAIN], 3.0);
    slot_begin_gesture(local, PARAM_GAIN);
    slot_set_value(local, PARAM_GAIN, 7.5);
    slot_end_gesture(local, PARAM_GAIN);
    const auto events = drain(local);
    ASSERT_EQ(events.size(), 3u);
    const uint32_t kinds[] = {EDIT_KIND_BEGIN, EDIT_KIND_VALUE, EDIT_KIND_END};
    const double values[] = {3.0, 7.5, 7.5};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].param_id, 2u); // the host id of Gain, not its table index
        EXPECT_EQ(events[i].kind, kinds[i]);
        EXPECT_EQ(events[i].value, values[i]);
    }
    EXPECT_EQ(slot_value(local, PARAM_GAIN), 7.5);
    // A local owner hears through its host, and the flags stay clear.
    EXPECT_EQ(calls.flushes, 3);
    EXPECT_EQ(calls.dirties, 1);
    EXPECT_EQ(calls.logs, 0);
    EXPECT_EQ(calls.last_instance, owner);
    EXPECT_EQ(slot_take_requests(local), 0u);
}

TEST_F(EditQueue, StoredAndQueuedValuesAreClamped) {
    struct clamp_case {
        int32_t index;
        double in, out;
    };
    const clamp_case cases[] = {
        {PARAM_STAGE, 2.6, 3.0},     {PARAM_GROUP, 40.0, 15.0}, {PARAM_GAIN, NAN, 0.0},
        {PARAM_LOOKAHEAD, NAN, 1.5}, {PARAM_CEILING, 5.0, 0.0}, {PARAM_RELEASE, 1.0, 5.0},
    };
    for (const clamp_case& c : cases) {
        slot_set_value(local, c.index, c.in);
        EXPECT_EQ(slot_value(local, c.index), c.out) << c.index;
        const auto events = drain(local);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].param_id, param_table[c.index].id);
        EXPECT_EQ(events[0].value, c.out) << c.index;
    }
    // Out-of-table indices and a null slot are ignored.
    slot_set_value(local, PARAM_COUNT, 1.0);
    slot_begin_gesture(local, -1);
    slot_set_value(nullptr, PARAM_GAIN, 1.0);
    EXPECT_EQ(slot_edit_pending(local), 0u);
}

TEST_F(EditQueue, FullRingDropsAndLogsEachEventForALocalOwner) {
    for (int i = 0; i < 256; ++i)
        slot_queue_event(local, PARAM_MIX, EDIT_KIND_VALUE, i);
    EXPECT_EQ(slot_edit_pending(local), 256u);
    EXPECT_EQ(calls.logs, 0);
    slot_queue_event(local, PARAM_MIX, EDIT_KIND_VALUE, 1000);
    slot_set_value(local, PARAM_MIX, 42.0);
    EXPECT_EQ(calls.logs, 2);
    EXPECT_EQ(calls.last_log, "edit queue full, host will miss an event");
    EXPECT_EQ(calls.flushes, 258);                 // each queued event, and each drop so the ring drains soon
    EXPECT_EQ(slot_value(local, PARAM_MIX), 42.0); // the value holds even though its event was lost

    const auto events = drain(local);
    ASSERT_EQ(events.size(), 256u);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(events[i].value, i);
    slot_queue_event(local, PARAM_MIX, EDIT_KIND_VALUE, 5);
    EXPECT_EQ(slot_edit_pending(local), 1u);
}

TEST_F(EditQueue, RemoteOwnerGetsFlagBitsAndNoHostCalls) {
    slot_begin_gesture(remote, PARAM_GAIN);
    EXPECT_EQ(slot_take_requests(remote), SLOT_REQUEST_FLUSH);
    slot_set_value(remote, PARAM_GAIN, 4.0);
    slot_end_gesture(remote, PARAM_GAIN);
    EXPECT_EQ(slot_take_requests(remote), SLOT_REQUEST_FLUSH | SLOT_REQUEST_DIRTY);
    EXPECT_EQ(slot_take_requests(remote), 0u);
    EXPECT_EQ(drain(remote).size(), 3u);

    for (int i = 0; i < 300; ++i)
        slot_queue_event(remote, PARAM_GAIN, EDIT_KIND_VALUE, i);
    EXPECT_EQ(slot_take_requests(remote), SLOT_REQUEST_FLUSH);
    EXPECT_EQ(calls.logs + calls.flushes + calls.dirties, 0);
    EXPECT_EQ(drain(remote).size(), 256u);
}

TEST_F(EditQueue, IndicesWrapAt2To32) {
    // Read at 2^32 - 1 and write at 1: two events queued, in entries 255 and 0.
    shm_store(local->edit_ring[255].value, 1.0);
    shm_store(local->edit_ring[0].value, 2.0);
    shm_store(local->edit_read, 0xFFFFFFFFu);
    shm_store(local->edit_write, 1u);
    EXPECT_EQ(slot_edit_pending(local), 2u);
    auto events = drain(local);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].value, 1.0);
    EXPECT_EQ(events[1].value, 2.0);

    shm_store(local->edit_read, 0xFFFFFFFEu);
    shm_store(local->edit_write, 0xFFFFFFFEu);
    for (int i = 0; i < 4; ++i)
        slot_queue_event(local, PARAM_INPUT, EDIT_KIND_VALUE, i);
    EXPECT_EQ(local->edit_write, 2u);
    EXPECT_EQ(slot_edit_pending(local), 4u);
    events = drain(local);
    ASSERT_EQ(events.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(events[i].value, i);
    EXPECT_EQ(local->edit_read, 2u);
}

TEST_F(EditQueue, CorruptIndicesAreDroppedAndResynchronised) {
    const int32_t differences[] = {257, 1000, -1, -5, INT32_MIN};
    for (int32_t d : differences) {
        SCOPED_TRACE(d);
        shm_store(remote->edit_read, 100u);
        shm_store(remote->edit_write, 100u + static_cast<uint32_t>(d));
        EXPECT_LE(slot_edit_pending(remote), 256u);
        const uint32_t w = remote->edit_write;
        slot_queue_event(remote, PARAM_GAIN, EDIT_KIND_VALUE, 1.0);
        EXPECT_EQ(remote->edit_write, w); // a corrupt ring takes nothing
        EXPECT_EQ(slot_take_requests(remote), SLOT_REQUEST_FLUSH);
        slot_edit_event e;
        EXPECT_FALSE(slot_take_edit(remote, &e));
        EXPECT_EQ(slot_edit_pending(remote), 0u);
        slot_queue_event(remote, PARAM_GAIN, EDIT_KIND_VALUE, 2.0);
        ASSERT_TRUE(slot_take_edit(remote, &e));
        EXPECT_EQ(e.value, 2.0);
    }
}

TEST_F(EditQueue, LockLeftHeldByADeadProducerIsTakenOver) {
    for (uint32_t held : {1u, 2u, 0xFFFFFFFFu}) {
        shm_store(local->edit_lock, held);
        slot_set_value(local, PARAM_GAIN, 6.0);
        EXPECT_EQ(shm_load(local->edit_lock), 0u) << held;
        const auto events = drain(local);
        ASSERT_EQ(events.size(), 1u) << held;
        EXPECT_EQ(events[0].value, 6.0);
    }
}

// A producer caught inside the lock for `hold_ms` (a preempted or suspended editor) while another
// producer edits the same slot: a short hold is waited for and both events arrive in order; a hold past
// the wait bound makes the second producer give its event up (its value is in the slot) and ask for a
// resynchronisation, the holder is never overtaken and, resuming late, gives its own stale event up.
std::atomic<int> hold_ms{0};
std::atomic<bool> holder_inside{false};
void hold_inside(shm_slot*) {
    if (holder_inside.exchange(true)) return; // only the first producer is held
    sleep_ms(static_cast<uint32_t>(hold_ms.load()));
}

TEST_F(EditQueue, LiveHolderIsWaitedForBoundedlyAndNeverOvertaken) {
    struct hold_case {
        int ms;
        bool queued; // both events; past the bound neither (the holder's own is stale by then)
    };
    for (const hold_case c : {hold_case{30, true}, hold_case{600, false}}) {
        SCOPED_TRACE(c.ms);
        (void)slot_take_requests(remote);
        (void)slot_take_resync(remote);
        hold_ms = c.ms;
        holder_inside = false;
        edit_ring_set_held_hook(hold_inside);
        const uint32_t w0 = shm_load(remote->edit_write);
        std::thread first([&] { slot_set_value(remote, PARAM_GAIN, 5.0); });
        while (!holder_inside)
            std::this_thread::yield();
        const int64_t t0 = clock_ns();
        slot_set_value(remote, PARAM_MIX, 40.0);
        const int64_t waited = clock_ns() - t0;
        first.join();
        edit_ring_set_held_hook(nullptr);

        EXPECT_EQ(shm_load(remote->edit_lock), 0u);
        EXPECT_EQ(slot_value(remote, PARAM_MIX), 40.0); // the value holds either way
        EXPECT_EQ(slot_value(remote, PARAM_GAIN), 5.0);
        const auto events = drain(remote);
        ASSERT_EQ(events.size(), c.queued ? 2u : 0u);
        if (c.queued) {
            EXPECT_EQ(events[0].param_id, param_table[PARAM_GAIN].id);
            EXPECT_EQ(events[0].value, 5.0);
            EXPECT_EQ(events[1].param_id, param_table[PARAM_MIX].id);
        }
        EXPECT_EQ(shm_load(remote->edit_write), w0 + static_cast<uint32_t>(events.size()));
        EXPECT_EQ(slot_take_resync(remote), !c.queued);
        if (!c.queued) {
            EXPECT_GE(waited, 240000000);
            EXPECT_LT(waited, 550000000); // gave up at the bound, did not wait for the holder
        }
    }
}

} // namespace
