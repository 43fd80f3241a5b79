// Guards a gesture held open by an editor in another process: when that editor's process dies in
// the middle of a drag, the stage's host must still hear the gesture end (a host keeps a touched
// parameter touched, and touch automation keeps writing, until it does). While the editor lives,
// its gesture stays open.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "edit_queue.h"
#include "integration.h"
#include "registry.h"
#include "session_child.h"
#include "shared_slot.h"
#include "shm.h"

namespace {

// Whether the lines hold a gesture event of stage 1 of that kind on parameter `id`.
bool heard(const std::vector<std::string>& lines, const char* kind, unsigned id) {
    for (const std::string& line : lines) {
        char k[32] = "";
        unsigned got = 0;
        if (std::sscanf(line.c_str(), "event 1 %31s %u", k, &got) == 2 && kind == std::string(k) && got == id)
            return true;
    }
    return false;
}

} // namespace

TEST(cross_process_dead_editor, the_owner_ends_a_gesture_whose_editor_died) {
    host_set_thread_role(HOST_THREAD_MAIN);
    const scoped_segment segment("-g");

    child owner;
    ASSERT_TRUE(owner.start({LODRIN_TEST_HOST, "session", "--module", LODRIN_TEST_MODULE, "--stages", "1",
                             "--block", "256", "--set", "Group=E"}));
    const std::string ready = owner.wait_for("ready ");
    unsigned owner_pid = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "ready %u", &owner_pid), 1) << owner.tail();
    shm_slot* slot = shared_slot_of(owner_pid);
    ASSERT_TRUE(shm_is_shared());
    ASSERT_NE(slot, nullptr);
    const unsigned mix = param_table[PARAM_MIX].id;

    // The editor process: a stage of its own (the editor's), then the start of a drag on the
    // owner's stage, and it waits in the middle of the drag until it is killed.
    int ready_pipe[2];
    ASSERT_EQ(pipe(ready_pipe), 0);
    const pid_t editor = fork();
    if (editor == 0) {
        registry_lock();
        shm_slot* own = slot_claim();
        registry_unlock();
        if (own == nullptr || !slot_is_shared(own)) _exit(2);
        shm_store(own->instance_id, uint64_t{0x5EED});
        slot_begin_held_gesture(slot, PARAM_MIX, own);
        slot_set_value(slot, PARAM_MIX, 42.0);
        const char c = 'r';
        if (write(ready_pipe[1], &c, 1) != 1) _exit(3);
        for (;;)
            pause();
    }
    ASSERT_GT(editor, 0);
    close(ready_pipe[1]);
    char c = 0;
    ASSERT_EQ(read(ready_pipe[0], &c, 1), 1) << "the editor process did not start its drag";
    close(ready_pipe[0]);

    // Asks the session for Mix until `done` holds of everything it printed since `mark`.
    std::vector<std::string> seen;
    const auto ask_until = [&](size_t mark, const std::function<bool()>& done, const char* what) {
        return poll_until(
            [&] {
                owner.send("value 1 Mix");
                owner.wait_for("value 1 Mix ");
                seen.assign(owner.lines.begin() + long(mark), owner.lines.end());
                return done();
            },
            [&] { return std::string(what) + "; " + owner.tail(); }, INTEGRATION_WAIT_S, 50);
    };
    const size_t start = owner.lines.size();
    EXPECT_TRUE(ask_until(start, [&] { return heard(seen, "gesture-begin", mix); }, "no gesture begin"));

    // Alive, the editor keeps its gesture: the owner checks its producer every quarter second, so
    // 4 s of process calls (at 256 frames, 48 kHz) give it many chances to get it wrong.
    const uint32_t calls = shm_load(slot->timing_count);
    EXPECT_TRUE(poll_until([&] { return shm_load(slot->timing_count) - calls >= 750; },
                           [&] { return std::string("the owner stopped processing"); }));
    owner.send("value 1 Mix");
    owner.wait_for("value 1 Mix ");
    seen.assign(owner.lines.begin() + long(start), owner.lines.end());
    EXPECT_FALSE(heard(seen, "gesture-end", mix)) << "a live editor's gesture was ended";

    kill(editor, SIGKILL);
    waitpid(editor, nullptr, 0);
    EXPECT_TRUE(ask_until(start, [&] { return heard(seen, "gesture-end", mix); },
                          "the gesture of the dead editor stayed open"));
    EXPECT_EQ(owner.quit(), 0) << "the session must end cleanly, with no CLAP rule broken; " << owner.tail();
}
