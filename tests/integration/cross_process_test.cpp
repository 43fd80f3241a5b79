// Guards the meeting of stages across host processes: two lodrin-host sessions with stages of one
// group, run in lock-step as one serial chain, see each other's stages in their chain listings, an edit made
// through the registry's edit calls (as an editor in a third process makes it) reaches the owning host as
// gesture-begin, value and gesture-end events plus a state-dirty mark, and the stages of a killed process
// leave the listings once its death is seen (live window of 500 ms, liveness cache of one second).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "edit_queue.h"
#include "edit_internal.h"
#include "editor.h"
#include "integration.h"
#include "plugin_instance.h"
#include "registry.h"
#include "session_child.h"
#include "session_edits.h"
#include "shm.h"

namespace {

// A session of `stages` stages in `group`, of the module under test unless another is named.
std::vector<std::string> session_args(uint32_t stages, const char* group,
                                      const char* module = integration_module_path()) {
    return {LODRIN_TEST_HOST, "session",
            "--module",       module,
            "--stages",       std::to_string(stages),
            "--block",        "256",
            "--set",          std::string("Group=") + group};
}

// The group count A reports for its first stage, or -1 when no answer came.
int count_of_first(child& a) {
    a.send("count");
    std::string l = a.wait_for("count 1 ");
    unsigned s = 0, n = 0, p = 0;
    if (std::sscanf(l.c_str(), "count %u %u %u", &s, &n, &p) != 3) return -1;
    return int(n);
}

// Milliseconds from `t0` to now.
long ms_since(std::chrono::steady_clock::time_point t0) {
    const auto d = std::chrono::steady_clock::now() - t0;
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

} // namespace

TEST(cross_process, edits_listing_and_death) {
    host_set_thread_role(HOST_THREAD_MAIN);
    std::string shm_name = std::string(integration_shm_name()) + "-x";
    setenv("LODRIN_SHM", shm_name.c_str(), 1);

    // B runs in lock-step after A, as the two processes of one serial chain do.
    std::string fifo = std::string(LODRIN_TEST_TMP) + "/xproc-" + std::to_string(getpid()) + ".fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    child a, b;
    // A always runs the CLAP module; B the module under test, so with the VST3 bundle one chain holds
    // stages of both kinds.
    std::vector<std::string> args_a = session_args(2, "C", LODRIN_TEST_MODULE), args_b = session_args(3, "C");
    args_a.insert(args_a.end(), {"--pass-token", fifo});
    args_b.insert(args_b.end(), {"--wait-token", fifo});
    ASSERT_TRUE(a.start(args_a));
    ASSERT_TRUE(b.start(args_b));
    ASSERT_NE(a.wait_for("ready "), "") << "A: " << a.tail();
    std::string rb = b.wait_for("ready ");
    ASSERT_NE(rb, "") << "B: " << b.tail();
    unsigned b_pid = 0, b_n = 0;
    ASSERT_EQ(std::sscanf(rb.c_str(), "ready %u %u", &b_pid, &b_n), 2);

    // Both processes' stages are live members of group C.
    int seen = -1;
    EXPECT_TRUE(poll_until(
        [&] { return (seen = count_of_first(a)) == 5; },
        [&] { return "A's listing held " + std::to_string(seen) + " stages, not its 2 and B's 3"; },
        INTEGRATION_WAIT_S, 50))
        << "A: " << a.tail();

    // An edit of one of B's stages, made here through the registry's edit calls.
    registry_lock();
    shm_open();
    registry_unlock();
    ASSERT_TRUE(shm_is_shared());
    shm_slot* target = nullptr;
    for (int32_t i = 0; i < SHM_SLOT_COUNT && !target; ++i) {
        shm_slot* s = slot_by_index(i);
        if (s && shm_load(s->in_use) == 1 && shm_load(s->owner_pid) == b_pid) target = s;
    }
    ASSERT_NE(target, nullptr) << "no slot of B found";
    const int32_t gain = 1; // table index of Gain, CLAP id 2
    slot_begin_gesture(target, gain);
    slot_set_value(target, gain, 6.0);
    slot_end_gesture(target, gain);

    std::string begin = b.wait_for("event ");
    ASSERT_NE(begin, "") << "B's host received no event; B: " << b.tail();
    unsigned k = 0;
    ASSERT_EQ(std::sscanf(begin.c_str(), "event %u", &k), 1);
    std::string ks = std::to_string(k);
    EXPECT_EQ(begin, "event " + ks + " gesture-begin 2");
    EXPECT_EQ(b.wait_for("event "), "event " + ks + " value 2 6") << b.tail();
    EXPECT_EQ(b.wait_for("event "), "event " + ks + " gesture-end 2") << b.tail();
    EXPECT_TRUE(b.wait_seen("dirty " + ks)) << "the edit must mark B's state dirty; B: " << b.tail();
    b.send("value " + ks + " Gain");
    EXPECT_EQ(b.wait_for("value "), "value " + ks + " Gain 6 6.0 dB") << b.tail();

    // Kill B: its stages leave A's listing within the live window.
    b.kill_now();
    const auto t0 = std::chrono::steady_clock::now(); // B is dead and reaped: its locks are gone
    // A listing answers after the request that asked for it; on a busy machine the answers come
    // late, so B's stages count as still listed only from the sending of a request that found them.
    long still_listed_ms = -1, gone_ms = -1;
    int after = -1;
    EXPECT_TRUE(poll_until(
        [&] {
            const long sent = ms_since(t0);
            after = count_of_first(a);
            if (after == 2) {
                gone_ms = ms_since(t0);
                return true;
            }
            still_listed_ms = sent;
            return false;
        },
        [&] { return "A's listing still held " + std::to_string(after) + " stages"; },
        INTEGRATION_WAIT_S, 20))
        << "A: " << a.tail();
    // A listing takes the stages whose owner process lives; the owner's death is seen through the
    // registry's one-second liveness cache, and the stages stop being live 500 ms after their last
    // call, so the whole of B leaves A's listing within that second and a few polls.
    EXPECT_LE(still_listed_ms, 1300)
        << "B's stages were still listed " << still_listed_ms << " ms after its death";
    std::printf("[ cross    ] B's stages left A's listing %ld..%ld ms after B was killed\n", still_listed_ms,
                gone_ms);

    a.send("report");
    EXPECT_EQ(a.quit(), 0) << "A must end cleanly, with no CLAP rule broken; " << a.tail();
    unlink(fifo.c_str());
    for (auto& l : a.lines)
        if (l.rfind("audio-thread allocations:", 0) == 0) {
            EXPECT_EQ(l, "audio-thread allocations: 0");
        }
    integration_unlink_shm(shm_name.c_str());
}

// One session with two tracks of two stages: the tracks' calls come in both orders, so the listing
// learns two chains, each in its processing order.
TEST(cross_process, tracks_form_their_own_chains) {
    std::string shm_name = std::string(integration_shm_name()) + "-t";
    setenv("LODRIN_SHM", shm_name.c_str(), 1);
    child s;
    std::vector<std::string> args = session_args(4, "B");
    args.push_back("--tracks");
    args.push_back("2");
    ASSERT_TRUE(s.start(args));
    ASSERT_NE(s.wait_for("ready "), "") << s.tail();
    const std::vector<std::string> want = {"count 1 2 1", "count 2 2 2", "count 3 2 1", "count 4 2 2"};
    std::vector<std::string> got;
    EXPECT_TRUE(poll_until(
        [&] {
            s.send("count");
            got.clear();
            for (size_t i = 0; i < want.size(); ++i)
                got.push_back(s.wait_for("count "));
            return got == want;
        },
        [&] {
            std::string l = "each track is one chain of two, in order; the last listing read:";
            for (auto& g : got)
                l += " \"" + g + "\"";
            return l;
        },
        INTEGRATION_WAIT_S, 50));
    EXPECT_EQ(s.quit(), 0) << s.tail();
    integration_unlink_shm(shm_name.c_str());
}

// A running session restarts a stage whose Lookahead changed (stop, deactivate, activate) and reads
// the new latency, and the stage keeps processing afterwards.
TEST(cross_process, session_restarts_on_a_lookahead_change) {
    std::string shm_name = std::string(integration_shm_name()) + "-r";
    setenv("LODRIN_SHM", shm_name.c_str(), 1);
    child s;
    ASSERT_TRUE(s.start(session_args(1, "A")));
    ASSERT_NE(s.wait_for("ready "), "") << s.tail();
    s.send("set 1:Lookahead=3");
    EXPECT_EQ(s.wait_for("restart "), "restart 1 latency 152") << s.tail();
    // The process calls the report counts, or -1 when no report came.
    std::string rep;
    const auto processed = [&] {
        s.send("report");
        rep = s.wait_for("stage 1:");
        const size_t at = rep.find(" process ");
        return at == std::string::npos ? -1L : std::atol(rep.c_str() + at + 9);
    };
    const long at_restart = processed();
    EXPECT_NE(rep.find("latency 152 "), std::string::npos) << rep;
    EXPECT_NE(rep.find("restarts 1 "), std::string::npos) << rep;
    ASSERT_GE(at_restart, 0) << s.tail();
    EXPECT_TRUE(poll_until([&] { return processed() > at_restart; },
                           [&] { return "no process call after the restart: " + rep; }));
    EXPECT_EQ(s.quit(), 0) << s.tail();
    integration_unlink_shm(shm_name.c_str());
}

// An editor in this process over a chain whose stages belong to a lodrin-host session: every write
// it makes (a click, its undo, a chain preset over all stages, A/B swaps) reaches the session's host
// as values framed by gesture begin and end, and what the host last heard of every parameter ends
// equal to the stage's slot.
TEST(cross_process, editor_edits_reach_the_owner_as_gestures) {
    std::string shm_name = std::string(integration_shm_name()) + "-e";
    setenv("LODRIN_SHM", shm_name.c_str(), 1);
    child s;
    std::vector<std::string> args = session_args(3, "D");
    for (const char* set : {"1:Input=1", "2:Input=2", "3:Input=3"})
        args.insert(args.end(), {"--set", set});
    ASSERT_TRUE(s.start(args));
    ASSERT_NE(s.wait_for("ready "), "") << s.tail();

    // This process may have mapped another test's segment: map the session's.
    registry_lock();
    shm_close();
    shm_open();
    registry_unlock();
    ASSERT_TRUE(shm_is_shared());
    // The editor's own stage lives here, in another group, and views the session's group.
    plugin_instance* own = new plugin_instance();
    own->slot = registry_attach(own);
    ASSERT_NE(own->slot, nullptr);
    own->instance_id = 0x5eed;
    shm_store(own->slot->instance_id, own->instance_id);
    shm_slot* remote_any = nullptr;
    for (int32_t i = 0; i < SHM_SLOT_COUNT && !remote_any; ++i) {
        shm_slot* sl = slot_by_index(i);
        if (sl && sl != own->slot && shm_load(sl->in_use) == 1) remote_any = sl;
    }
    ASSERT_NE(remote_any, nullptr);
    const double group = slot_value(remote_any, PARAM_GROUP);
    for (int32_t p = 0; p < PARAM_COUNT; ++p)
        shm_store(own->slot->values[p], param_table[p].default_value);
    ASSERT_NE(group, 0.0);
    editor_state* ed = new editor_state();
    ed->instance = own;
    ed->focused_index = -1;
    ed->shown_group = static_cast<int32_t>(group);
    ASSERT_TRUE(poll_until(
        [&] {
            editor_refresh_group(ed);
            return ed->group_count == 3;
        },
        [&] {
            return "the editor's group held " + std::to_string(ed->group_count) +
                   " stages, not the session's 3";
        },
        INTEGRATION_WAIT_S, 50))
        << s.tail();
    // Session stage k (1-based) is the one whose Input is k.
    auto stage_of = [&](int32_t i) { return static_cast<int>(slot_value(ed->group[i].slot, PARAM_INPUT)); };
    const std::vector<shm_slot*> slots = {ed->group[0].slot, ed->group[1].slot, ed->group[2].slot};

    // The host's view: the last value it received per stage and parameter id; gestures must frame
    // every value.
    std::map<std::pair<int, unsigned>, double> heard;
    std::set<std::pair<int, unsigned>> open;
    int framing_errors = 0, values = 0;
    // Takes in the events the host heard of the edits made so far (they all come before the reply to
    // `command`) and returns that reply.
    auto listen = [&](const std::string& command, const std::string& reply) {
        const std::vector<std::string> lines = heard_after_edits(s, slots, command, reply);
        for (const std::string& l : lines) {
            unsigned k = 0, id = 0;
            double v = 0;
            char kind[32] = "";
            if (std::sscanf(l.c_str(), "event %u %31s %u %lf", &k, kind, &id, &v) < 3) continue;
            const auto key = std::make_pair(int(k), id);
            if (!std::strcmp(kind, "gesture-begin")) {
                framing_errors += open.count(key) ? 1 : 0;
                open.insert(key);
            } else if (!std::strcmp(kind, "gesture-end")) {
                framing_errors += open.erase(key) ? 0 : 1;
            } else if (!std::strcmp(kind, "value")) {
                framing_errors += open.count(key) ? 0 : 1;
                heard[key] = v;
                ++values;
            }
        }
        return lines.empty() ? std::string() : lines.back();
    };

    const int k1 = stage_of(1);
    const std::string gain_of_k1 = "value " + std::to_string(k1) + " Gain";
    editor_set_param(ed, 1, PARAM_GAIN, 6.0);
    listen(gain_of_k1, gain_of_k1 + " ");
    EXPECT_EQ(heard[std::make_pair(k1, 2u)], 6.0);
    history_undo(ed);
    EXPECT_EQ(listen(gain_of_k1, gain_of_k1 + " "), gain_of_k1 + " 0 0.0 dB");
    EXPECT_EQ(heard[std::make_pair(k1, 2u)], 0.0) << "the undo reached the owner";

    // Many stages and parameters at once.
    preset_menu_action(ed, PRESET_ACTION_CHAIN, 8);
    ab_swap(ed);
    editor_set_param(ed, 0, PARAM_RELEASE, 321.0);
    ab_swap(ed);
    history_undo(ed);
    history_redo(ed);
    listen(gain_of_k1, gain_of_k1 + " ");
    EXPECT_EQ(framing_errors, 0);
    EXPECT_TRUE(open.empty()) << "every gesture ended";
    EXPECT_GT(values, 30);
    int compared = 0;
    for (int32_t i = 0; i < 3; ++i) {
        const int k = stage_of(i);
        for (int32_t p = 0; p < PARAM_COUNT; ++p) {
            const auto it = heard.find(std::make_pair(k, param_table[p].id));
            if (it == heard.end()) continue;
            EXPECT_EQ(it->second, slot_value(ed->group[i].slot, p)) << "stage " << k << " " << param_table[p].name;
            ++compared;
        }
    }
    EXPECT_GE(compared, 30);

    delete ed;
    registry_detach(own, own->slot);
    delete own;
    const size_t told = s.lines.size();
    EXPECT_EQ(s.quit(), 0) << s.tail();
    for (size_t i = told; i < s.lines.size(); ++i)
        EXPECT_NE(s.lines[i].rfind("event ", 0), 0u) << "the host heard more after every edit had been told: "
                                                     << s.lines[i];
    integration_unlink_shm(shm_name.c_str());
}
