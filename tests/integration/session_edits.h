// When a lodrin-host session has told everything its host heard of edits made here, in another
// process, through the stages' slots. Waiting for the session to go quiet would end early whenever a
// busy machine holds it up; instead the test waits, under a bound, until the owner has taken every
// edit out of the slots, and then reads the session's output up to the reply to a command sent after
// that: the session prints a block's host events before it reads the next command.
#pragma once

#include <string>
#include <vector>

#include "edit_queue.h"
#include "integration.h"
#include "session_child.h"
#include "shm.h"

namespace {

// Process calls each stage makes after its ring is empty before the command goes out: a VST3 host
// hears of edits on its run-loop timer (16 ms) rather than in the block that drained them, and the
// session runs at most five blocks back to back, so 16 calls of 256 frames at 48 kHz span more than
// one timer period.
constexpr uint32_t CALLS_AFTER_DRAIN = 16;

// Waits until the owner of every slot of `slots` has drained its edit ring and taken any request to
// resynchronise, then CALLS_AFTER_DRAIN more process calls of each, then sends `command` and reads
// up to the line starting with `reply`. Returns the lines read meanwhile, the reply last; on a bound
// running out the test fails with what was seen and the lines read so far come back.
std::vector<std::string> heard_after_edits(child& owner, const std::vector<shm_slot*>& slots,
                                           const std::string& command, const std::string& reply) {
    std::vector<uint32_t> drained_at(slots.size(), 0);
    std::vector<bool> drained(slots.size(), false);
    const auto all_past = [&] {
        bool all = true;
        for (size_t i = 0; i < slots.size(); ++i) {
            shm_slot* s = slots[i];
            const uint32_t calls = shm_load(s->timing_count);
            const bool resync_asked = (shm_load(s->request_flags) & SLOT_REQUEST_RESYNC) != 0;
            if (!drained[i] && slot_edit_pending(s) == 0 && !resync_asked) {
                drained[i] = true;
                drained_at[i] = calls;
            }
            all = all && drained[i] && calls - drained_at[i] >= CALLS_AFTER_DRAIN;
        }
        return all;
    };
    const size_t mark = owner.lines.size();
    EXPECT_TRUE(poll_until(all_past, [&] {
        std::string s = "the owner did not take the edits:";
        for (size_t i = 0; i < slots.size(); ++i)
            s += " [pending " + std::to_string(slot_edit_pending(slots[i])) + ", flags " +
                 std::to_string(shm_load(slots[i]->request_flags)) + ", calls " +
                 std::to_string(shm_load(slots[i]->timing_count)) + "]";
        return s;
    })) << owner.tail();
    owner.send(command);
    const std::string r = owner.wait_for(reply);
    EXPECT_NE(r, "") << "no reply to \"" << command << "\"; " << owner.tail();
    return std::vector<std::string>(owner.lines.begin() + long(mark), owner.lines.end());
}

} // namespace
