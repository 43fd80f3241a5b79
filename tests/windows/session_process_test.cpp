// Guards the whole Windows stack across processes: stages of two lodrin-host processes that load the
// Windows module must count as one chain, an edit made in a third process must reach the owner's host,
// and a host killed without warning must drop out of the chain; otherwise an editor on Windows would
// show a split chain, lose edits or keep a dead stage.
#include "child_process.h"
#include "edit_queue.h"
#include "registry.h"
#include "shm.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Bounds for one machine with every core busy and Wine in the way: a session starts in well under a
// second and replies in milliseconds when idle.
constexpr DWORD START_MS = 60000;
constexpr DWORD REPLY_MS = 20000;
constexpr DWORD CHAIN_MS = 30000;

// One lodrin-host session: `stages` stages in Group `group`, processing in real time, or with
// `token` ("--pass-token NAME" / "--wait-token NAME") in lock-step with another session.
struct session : child_process {
    unsigned stages = 0;
    unsigned pid = 0;

    bool open(unsigned n, const char* group, const std::string& token = std::string()) {
        const char* host = getenv("LODRIN_TEST_HOST");
        const char* module = getenv("LODRIN_TEST_MODULE");
        if (host == nullptr || module == nullptr) return false;
        stages = n;
        char args[512];
        snprintf(args, sizeof args, "session --stages %u --set Group=%s --seconds 300 %s --module \"%s\"", n,
                 group, token.c_str(), windows_path(module).c_str());
        if (!start(windows_path(host), args)) return false;
        unsigned n_ready = 0;
        const std::string ready = wait_for("ready ", START_MS);
        if (sscanf(ready.c_str(), "ready %u %u", &pid, &n_ready) == 2 && n_ready == n) return true;
        ADD_FAILURE() << "session of " << n << " stages: \"" << ready << "\" instead of ready";
        return false;
    }

    // The group count each stage of this session reports, in stage order.
    std::vector<unsigned> counts() {
        send("count\n");
        std::vector<unsigned> out;
        for (unsigned i = 0; i < stages; ++i) {
            unsigned stage = 0, count = 0, position = 0;
            const std::string l = wait_for("count ", REPLY_MS);
            if (sscanf(l.c_str(), "count %u %u %u", &stage, &count, &position) != 3) {
                ADD_FAILURE() << "unexpected reply \"" << l << "\"";
                break;
            }
            out.push_back(count);
        }
        return out;
    }
};

// Polls until every stage of `s` reports `want` stages in its group, for up to `ms` milliseconds of
// wall time; reports the counts last seen when that passes.
bool counts_become(session& s, unsigned want, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const std::vector<unsigned> c = s.counts();
        bool all = c.size() == s.stages;
        for (unsigned n : c)
            all = all && n == want;
        if (all) return true;
        if (GetTickCount() - start >= ms) {
            std::string seen;
            for (unsigned n : c)
                seen += std::to_string(n) + " ";
            ADD_FAILURE() << "group counts " << seen << "instead of " << want << " after " << ms << " ms";
            return false;
        }
        Sleep(100);
    }
}

TEST(SessionsAcrossProcesses, TwoHostsFormOneChainTakeEditsAndADeadHostLeavesIt) {
    char name[64];
    snprintf(name, sizeof name, "lodrin-wsession-%lu", GetCurrentProcessId());
    _putenv_s("LODRIN_SHM", name);

    // A's two stages and B's one are one serial chain, as one host's track would call them: B processes
    // a block only after A has (lock-step), so a busy machine cannot make them look parallel.
    const std::string token = std::string(name) + "-token";
    session a, b, other;
    ASSERT_TRUE(a.open(2, "C", "--pass-token " + token))
        << "cannot start lodrin-host (LODRIN_TEST_HOST, LODRIN_TEST_MODULE)";
    ASSERT_TRUE(b.open(1, "C", "--wait-token " + token));
    ASSERT_TRUE(other.open(1, "D")); // another group in the same segment stays apart

    EXPECT_TRUE(counts_become(a, 3, CHAIN_MS));
    EXPECT_TRUE(counts_become(b, 3, CHAIN_MS));
    EXPECT_TRUE(counts_become(other, 1, CHAIN_MS));

    // An edit of B's stage made here, as an editor in a third process makes it, reaches B's host as
    // one gesture and stays in B's stage.
    registry_lock();
    shm_open();
    registry_unlock();
    ASSERT_TRUE(shm_is_shared());
    shm_slot* target = nullptr;
    for (int32_t i = 0; i < SHM_SLOT_COUNT && target == nullptr; ++i) {
        shm_slot* s = slot_by_index(i);
        if (s != nullptr && shm_load(s->owner_pid) == b.pid) target = s;
    }
    ASSERT_NE(target, nullptr) << "no slot of process " << b.pid;
    const int32_t gain = 1; // table index of Gain, CLAP id 2
    slot_begin_gesture(target, gain);
    slot_set_value(target, gain, 6.0);
    slot_end_gesture(target, gain);
    EXPECT_EQ(b.wait_for("event ", REPLY_MS), "event 1 gesture-begin 2");
    EXPECT_EQ(b.wait_for("event ", REPLY_MS), "event 1 value 2 6");
    EXPECT_EQ(b.wait_for("event ", REPLY_MS), "event 1 gesture-end 2");
    EXPECT_EQ(b.wait_for("dirty ", REPLY_MS), "dirty 1");
    b.send("value 1 Gain\n");
    EXPECT_EQ(b.wait_for("value ", REPLY_MS), "value 1 Gain 6 6.0 dB");

    // A host that crashes releases nothing; its stage stops processing and leaves the chain.
    ASSERT_TRUE(TerminateProcess(b.pi.hProcess, 1));
    ASSERT_TRUE(b.wait_exit());
    EXPECT_TRUE(counts_become(a, 2, CHAIN_MS));

    a.send("quit\n");
    other.send("quit\n");
}

} // namespace
