// Guards what a stage's host hears of edits made in another process when things go wrong between
// them: the owning host process stopped while hundreds of edits queue (more than the ring holds), an
// editor stopped inside the ring lock while another editor edits, and garbage in the ring. Each time
// the owner's host must end with the slot's value, every gesture it saw balanced, and no value twice.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "edit_queue.h"
#include "integration.h"
#include "registry.h"
#include "session_child.h"
#include "shared_slot.h"
#include "session_edits.h"
#include "shm.h"

namespace {

struct host_event {
    std::string kind; // "gesture-begin", "gesture-end", "value"
    unsigned id = 0;
    double value = 0;
};

// The events of stage 1 among lines a session printed.
std::vector<host_event> events_in(const std::vector<std::string>& lines) {
    std::vector<host_event> out;
    for (const std::string& line : lines) {
        char kind[32] = "";
        host_event e;
        if (std::sscanf(line.c_str(), "event 1 %31s %u %lf", kind, &e.id, &e.value) < 2) continue;
        e.kind = kind;
        out.push_back(e);
    }
    return out;
}

void edit_values(shm_slot* slot, int count, double first, double step) {
    slot_begin_gesture(slot, PARAM_MIX);
    for (int k = 0; k < count; ++k)
        slot_set_value(slot, PARAM_MIX, first + k * step);
    slot_end_gesture(slot, PARAM_MIX);
}

shm_slot* edited_slot = nullptr;

void stop_inside(shm_slot*) {
    raise(SIGSTOP);
}

// Waits for the editor process `pid` to stop (options WUNTRACED) or to end, at most the wait bound,
// and returns its wait status; at the bound the test fails and the process is killed.
int wait_editor(pid_t pid, int options, const char* what) {
    int status = -1;
    bool seen = false;
    EXPECT_TRUE(poll_until([&] { return seen = waitpid(pid, &status, WNOHANG | options) != 0; },
                           [&] { return std::string("the editor process did not ") + what; },
                           INTEGRATION_WAIT_S, 5));
    if (!seen) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

// An editor process that stops itself inside the ring lock while queueing a Mix value.
pid_t start_stopped_editor(double value) {
    const pid_t pid = fork();
    if (pid == 0) {
        edit_ring_set_held_hook(stop_inside);
        slot_set_value(edited_slot, PARAM_MIX, value);
        _exit(0);
    }
    if (pid > 0) {
        EXPECT_TRUE(WIFSTOPPED(wait_editor(pid, WUNTRACED, "stop inside the ring lock")));
    }
    return pid;
}

void write_raw(shm_slot* slot, uint32_t id, uint32_t kind, double value) {
    const uint32_t w = shm_load(slot->edit_write);
    slot_edit_event& e = slot->edit_ring[w & (EDIT_RING_SIZE - 1)];
    shm_store(e.param_id, id);
    shm_store(e.kind, kind);
    shm_store(e.value, value);
    shm_exchange(slot->edit_write, w + 1);
    shm_fetch_or(slot->request_flags, SLOT_REQUEST_FLUSH);
}

} // namespace

TEST(cross_process_edit_faults, the_owners_host_ends_at_the_slots_values) {
    host_set_thread_role(HOST_THREAD_MAIN);
    const scoped_segment segment("-f");

    child owner;
    ASSERT_TRUE(owner.start({LODRIN_TEST_HOST, "session", "--module", LODRIN_TEST_MODULE, "--stages", "1",
                             "--block", "256", "--set", "Group=D"}));
    const std::string ready = owner.wait_for("ready ");
    unsigned owner_pid = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "ready %u", &owner_pid), 1) << owner.tail();
    edited_slot = shared_slot_of(owner_pid);
    ASSERT_TRUE(shm_is_shared());
    ASSERT_NE(edited_slot, nullptr);
    shm_slot* slot = edited_slot;
    const unsigned mix = param_table[PARAM_MIX].id;

    struct fault_case {
        const char* what;
        void (*make)(shm_slot* slot, pid_t owner);
        bool values_rise; // every Mix value the host hears is above the one before
    };
    const fault_case cases[] = {
        {"owner stopped while 300 edits queue",
         [](shm_slot* s, pid_t o) {
             kill(o, SIGSTOP);
             edit_values(s, 300, 1.0, 0.09);
             kill(o, SIGCONT);
         },
         true},
        {"owner stopped while 1000 edits queue",
         [](shm_slot* s, pid_t o) {
             kill(o, SIGSTOP);
             edit_values(s, 1000, 30.0, 0.05);
             kill(o, SIGCONT);
         },
         true},
        {"editor stopped inside the ring lock",
         [](shm_slot* s, pid_t) {
             const pid_t editor = start_stopped_editor(81.0);
             slot_set_value(s, PARAM_MIX, 82.0); // gives up at the bound: the lock is held
             slot_set_value(s, PARAM_GAIN, 4.5);
             // The owner takes no ring lock: it goes on processing (and resynchronising its host)
             // while the stopped editor holds it.
             const uint32_t calls = shm_load(s->timing_count);
             EXPECT_TRUE(poll_until([&] { return shm_load(s->timing_count) - calls >= 32; }, [&] {
                 return "the owner made " + std::to_string(shm_load(s->timing_count) - calls) +
                        " process calls while the lock was held";
             }));
             kill(editor, SIGCONT);
             wait_editor(editor, 0, "end");
         },
         false},
        {"garbage kinds",
         [](shm_slot* s, pid_t) {
             shm_store(s->values[PARAM_MIX], 90.0);
             write_raw(s, 15, 7, 90.0);
             write_raw(s, 15, EDIT_KIND_END, 90.0);
             write_raw(s, 2, EDIT_KIND_BEGIN, 0.0);
             write_raw(s, 2, EDIT_KIND_BEGIN, 0.0);
         },
         false},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(slot, static_cast<pid_t>(owner_pid));
        // Everything the host heard of the case comes before the reply to this command.
        const std::vector<std::string> lines =
            heard_after_edits(owner, {slot}, "value 1 Mix", "value 1 Mix ");
        const std::vector<host_event> events = events_in(lines);
        std::map<unsigned, bool> open;
        std::map<unsigned, double> last;
        std::vector<double> mixes;
        for (const host_event& e : events) {
            if (e.kind == "gesture-begin") {
                EXPECT_FALSE(open[e.id]) << "begin inside an open gesture on " << e.id;
                open[e.id] = true;
            } else if (e.kind == "gesture-end") {
                EXPECT_TRUE(open[e.id]) << "end without a begin on " << e.id;
                open[e.id] = false;
            } else if (e.kind == "value") {
                last[e.id] = e.value;
                if (e.id == mix) mixes.push_back(e.value);
            }
        }
        for (const auto& [id, is_open] : open)
            EXPECT_FALSE(is_open) << "gesture left open on " << id;
        ASSERT_FALSE(mixes.empty());
        EXPECT_EQ(last[mix], slot_value(slot, PARAM_MIX));
        for (const auto& [id, value] : last)
            EXPECT_EQ(value, slot_value(slot, param_index_of_id(id))) << id;
        if (c.values_rise) {
            for (size_t k = 1; k < mixes.size(); ++k)
                ASSERT_LT(mixes[k - 1], mixes[k]) << "a value repeated or reordered at " << k;
        } else {
            for (size_t k = 1; k < mixes.size(); ++k)
                EXPECT_NE(mixes[k - 1], mixes[k]) << "the same value twice in a row at " << k;
        }
        // The owner's own view agrees.
        const std::string v = lines.empty() ? "" : lines.back();
        double shown = -1;
        EXPECT_EQ(std::sscanf(v.c_str(), "value 1 Mix %lf", &shown), 1) << v;
        EXPECT_EQ(shown, slot_value(slot, PARAM_MIX));
    }
    const size_t after_cases = owner.lines.size();
    EXPECT_EQ(owner.quit(), 0) << "the session must end cleanly, with no CLAP rule broken; " << owner.tail();
    const std::vector<std::string> rest(owner.lines.begin() + long(after_cases), owner.lines.end());
    EXPECT_TRUE(events_in(rest).empty()) << "the host heard events after every edit had been told";
}
