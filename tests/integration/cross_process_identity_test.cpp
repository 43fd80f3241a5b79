// Guards the identity of stages across host processes: two lodrin-host sessions load saved states,
// carrying ids no stage has, into all their stages at the same moment, many times over (one state into
// every stage, or state k into stage k of both). However the two processes interleave, exactly one live
// stage ends with each saved id and every other stage keeps the id it ran with, so the chain order
// never meets two members of one identity. A process stopped
// while it holds the lock that makes this so delays a load only up to the lock's bound.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "integration.h"
#include "registry.h"
#include "session_child.h"
#include "shm.h"

namespace {

constexpr uint32_t STAGES = 8;
constexpr int TRIALS = 200;

std::vector<std::string> session_args() {
    return {LODRIN_TEST_HOST,       "session", "--module", integration_module_path(), "--stages",
            std::to_string(STAGES), "--block", "256"};
}

// Reads the replies to `n` commands ("ok" or "error ..."), skipping the other lines a session prints;
// returns how many were "ok", or -1 when a reply did not come within the wait bound.
int replies(child& c, uint32_t n) {
    int ok = 0;
    for (uint32_t got = 0; got < n;) {
        const std::string l = c.wait_for("");
        if (l.empty()) return -1; // nothing within the bound, or the session ended
        if (l == "ok") {
            ++ok;
            ++got;
        } else if (l.rfind("error", 0) == 0) {
            ++got;
        }
    }
    return ok;
}

// The instance id of every live shared slot owned by `a` or `b`, by slot index, as an editor of a
// third process reads them.
std::map<int32_t, uint64_t> ids_of(unsigned a, unsigned b) {
    std::map<int32_t, uint64_t> ids;
    for (int32_t i = 0; i < SHM_SLOT_COUNT; ++i) {
        const shm_slot* s = slot_by_index(i);
        if (!s || !slot_owner_alive_now(s)) continue;
        const unsigned owner = shm_load(s->owner_pid);
        if (owner == a || owner == b) ids[i] = shm_load(s->instance_id);
    }
    return ids;
}

void put_le64(std::string& bytes, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        bytes[at + size_t(i)] = char(uint8_t(v >> (8 * i)));
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(f);
}

// The saved state of stage 1 of `c`, read back from `path`; empty when the save failed.
std::string saved_state(child& c, const std::string& path) {
    c.send("save 1 " + path);
    if (replies(c, 1) != 1) return "";
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Maps the segment the sessions use into this process, as an editor's process would.
bool map_sessions_segment() {
    registry_lock();
    shm_close();
    shm_open();
    registry_unlock();
    return shm_is_shared();
}

} // namespace

TEST(cross_process_identity, a_state_loaded_everywhere_at_once_gives_its_id_to_one_stage) {
    scoped_segment segment("-id");
    child a, b;
    ASSERT_TRUE(a.start(session_args()));
    ASSERT_TRUE(b.start(session_args()));
    unsigned pid_a = 0, pid_b = 0, n = 0;
    const std::string ra = a.wait_for("ready "), rb = b.wait_for("ready ");
    ASSERT_EQ(std::sscanf(ra.c_str(), "ready %u %u", &pid_a, &n), 2) << "A: " << a.tail();
    ASSERT_EQ(std::sscanf(rb.c_str(), "ready %u %u", &pid_b, &n), 2) << "B: " << b.tail();

    // This process reads the sessions' slots as an editor would.
    ASSERT_TRUE(map_sessions_segment());
    ASSERT_EQ(ids_of(pid_a, pid_b).size(), 2 * STAGES) << "both sessions' stages are on the segment";

    const std::string base = std::string(LODRIN_TEST_TMP) + "/identity-" + std::to_string(getpid());
    const std::string saved = base + ".saved";
    const std::string state = saved_state(a, saved);
    ASSERT_GE(state.size(), 16u) << "A: " << a.tail();
    std::vector<std::string> files;
    for (uint32_t s = 1; s <= STAGES; ++s)
        files.push_back(base + "-" + std::to_string(s) + ".state");

    // Two ways of meeting: one state loaded into every stage (a duplicated track, one preset), and
    // stage k of both sessions loading state k (two hosts opening copies of one project), where each
    // of the eight ids is raced for on its own.
    std::mt19937_64 random(uint64_t(getpid()) * 0x9E3779B97F4A7C15ull);
    int shared = 0, unclaimed = 0, moved = 0, races = 0, faulty_trials = 0;
    std::string first_fault;
    for (int t = 0; t < TRIALS; ++t) {
        const bool one_state = t % 2 == 0;
        const std::map<int32_t, uint64_t> before = ids_of(pid_a, pid_b);
        std::vector<uint64_t> ids;
        while (ids.size() < (one_state ? 1u : STAGES)) {
            const uint64_t id = random();
            bool fresh = id != 0;
            for (const auto& [slot, old] : before)
                fresh = fresh && old != id;
            for (uint64_t other : ids)
                fresh = fresh && other != id;
            if (fresh) ids.push_back(id);
        }
        std::string loads;
        for (size_t k = 0; k < ids.size(); ++k) {
            std::string bytes = state;
            put_le64(bytes, 8, ids[k]);
            ASSERT_TRUE(write_file(files[k], bytes));
        }
        for (uint32_t s = 1; s <= STAGES; ++s)
            loads += (s > 1 ? "\nload " : "load ") + std::to_string(s) + " " + files[one_state ? 0 : s - 1];

        // The start barrier: all sixteen loads are in the two pipes before either session reads one.
        child& first = t % 4 < 2 ? a : b;
        child& second = t % 4 < 2 ? b : a;
        first.send(loads);
        second.send(loads);
        ASSERT_EQ(replies(first, STAGES), int(STAGES)) << "trial " << t << ": " << first.tail();
        ASSERT_EQ(replies(second, STAGES), int(STAGES)) << "trial " << t << ": " << second.tail();

        const std::map<int32_t, uint64_t> after = ids_of(pid_a, pid_b);
        ASSERT_EQ(after.size(), before.size()) << "trial " << t;
        const int faults_before = shared + unclaimed;
        for (uint64_t id : ids) {
            int carriers = 0;
            for (const auto& [slot, now] : after)
                carriers += now == id ? 1 : 0;
            ++races;
            if (carriers > 1) ++shared;
            if (carriers == 0) ++unclaimed;
            if (carriers != 1 && first_fault.empty())
                first_fault = "trial " + std::to_string(t) + (one_state ? " (one state)" : " (state k)") +
                              ": " + std::to_string(carriers) + " live stages carry one loaded id";
        }
        faulty_trials += shared + unclaimed > faults_before ? 1 : 0;
        for (const auto& [slot, now] : after) {
            bool loaded_id = false;
            for (uint64_t id : ids)
                loaded_id = loaded_id || now == id;
            if (!loaded_id && now != before.at(slot)) ++moved;
        }
    }
    std::printf("[ identity ] %d of %d loaded ids ended on more than one live stage, %d on none: %d of %d "
                "trials faulty\n",
                shared, races, unclaimed, faulty_trials, TRIALS);
    EXPECT_EQ(shared, 0) << first_fault;
    EXPECT_EQ(unclaimed, 0) << first_fault;
    EXPECT_EQ(moved, 0) << "a stage that did not take the saved id must keep the one it ran with";

    EXPECT_EQ(a.quit(), 0) << "A: " << a.tail();
    EXPECT_EQ(b.quit(), 0) << "B: " << b.tail();
    unlink(saved.c_str());
    for (const std::string& f : files)
        unlink(f.c_str());
}

TEST(cross_process_identity, a_load_ends_within_its_bound_while_a_stopped_process_holds_the_lock) {
    scoped_segment segment("-idlock");
    child a;
    ASSERT_TRUE(a.start(session_args()));
    unsigned pid_a = 0, n = 0;
    ASSERT_EQ(std::sscanf(a.wait_for("ready ").c_str(), "ready %u %u", &pid_a, &n), 2) << a.tail();
    ASSERT_TRUE(map_sessions_segment());
    const std::map<int32_t, uint64_t> before = ids_of(pid_a, pid_a);
    ASSERT_EQ(before.size(), size_t(STAGES));
    const int32_t stage_1 = before.begin()->first; // stages claim slots in order
    const std::string base = std::string(LODRIN_TEST_TMP) + "/identity-lock-" + std::to_string(getpid());
    const std::string saved = base + ".saved", loaded = base + ".state";
    std::string state = saved_state(a, saved);
    ASSERT_GE(state.size(), 16u) << a.tail();
    const uint64_t id = 0x5eed0000cafe0001ull;
    put_le64(state, 8, id);
    ASSERT_TRUE(write_file(loaded, state));

    // A process stopped inside the identity lock.
    const pid_t holder = fork();
    if (holder == 0) {
        if (!shm_identity_lock()) _exit(2);
        raise(SIGSTOP);
        shm_identity_unlock();
        _exit(0);
    }
    ASSERT_GT(holder, 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
    ASSERT_TRUE(WIFSTOPPED(status));

    // The load ends (the saved values apply) after waiting for the lock no longer than its bound, and
    // the stage keeps the id it ran with: nobody could make sure the saved one was free.
    const auto t0 = std::chrono::steady_clock::now();
    a.send("load 1 " + loaded);
    EXPECT_EQ(replies(a, 1), 1) << a.tail();
    const long waited_ms = long(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    EXPECT_GE(waited_ms, SHM_IDENTITY_WAIT_NS / 1000000) << "the stopped holder must not be overtaken";
    EXPECT_EQ(ids_of(pid_a, pid_a).at(stage_1), before.at(stage_1));
    std::printf("[ identity ] a load under a stopped holder ended after %ld ms\n", waited_ms);

    // Killed where it stopped, the holder is dead: the next load takes the id without waiting it out.
    kill(holder, SIGKILL);
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    a.send("load 1 " + loaded);
    EXPECT_EQ(replies(a, 1), 1) << a.tail();
    EXPECT_EQ(ids_of(pid_a, pid_a).at(stage_1), id);

    EXPECT_EQ(a.quit(), 0) << a.tail();
    unlink(saved.c_str());
    unlink(loaded.c_str());
}
