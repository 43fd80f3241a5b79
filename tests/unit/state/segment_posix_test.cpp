// Guards the shared segment across real processes: the header written once when processes start
// together, foreign layouts refused without touching them, dead owners' slots taken over (and live
// owners' slots never), liveness answers cached for no more than a second, and the object kept in a
// private place of the user's that another user cannot take first.
#include "platform.h"
#include "shm.h"
#include "shm_port.h"
#include "shm_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Forks a child that runs `body` and exits with its result; the parent gets the pid.
template <typename F>
pid_t spawn(F body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A one-byte message from child to parent.
struct pipe_pair {
    int fd[2];
    pipe_pair() { EXPECT_EQ(pipe(fd), 0); }
    ~pipe_pair() {
        close(fd[0]);
        close(fd[1]);
    }
    void send(char c) { EXPECT_EQ(write(fd[1], &c, 1), 1); }
    char receive() {
        char c = 0;
        return read(fd[0], &c, 1) == 1 ? c : '\0';
    }
};

bool all_slots_free(const shm_slot* first) {
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        if (shm_load(first[i].in_use) != 0) return false;
    return true;
}

TEST(Segment, ProcessesStartingTogetherInitialiseTheHeaderOnce) {
    for (int round = 0; round < 4; ++round) {
        test_segment seg("start");
        constexpr int kChildren = 6;
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kChildren; ++i) {
            children.push_back(spawn([&] {
                close(gate[1]);
                char c;
                (void)read(gate[0], &c, 1); // returns 0 for every child at once when the gate closes
                shm_close();
                shm_open();
                return (shm_is_shared() ? 1 : 0) | (shm_initialised_here() ? 2 : 0);
            }));
        }
        close(gate[0]);
        close(gate[1]);
        int initialisers = 0, accepted = 0;
        for (pid_t p : children) {
            const int r = wait_exit(p);
            accepted += r & 1;
            initialisers += (r >> 1) & 1;
        }
        EXPECT_EQ(accepted, kChildren);
        EXPECT_EQ(initialisers, 1);

        shm_open();
        ASSERT_TRUE(shm_is_shared());
        EXPECT_FALSE(shm_initialised_here());
        const shm_header* h = shm_header_ptr();
        EXPECT_EQ(h->state, SHM_STATE_READY);
        EXPECT_EQ(h->magic, SHM_MAGIC);
        EXPECT_EQ(h->version, 3u);
        EXPECT_EQ(h->slot_size, 137112u);
        EXPECT_EQ(h->values_per_slot, 17u);
        EXPECT_EQ(h->slot_count, 64u);
    }
}

TEST(Segment, WaitsForAnotherProcessStillInitialising) {
    test_segment seg("wait");
    platform_mapping m;
    ASSERT_TRUE(platform_open_mapping(seg.name.c_str(), SHM_MAPPING_SIZE, &m));
    shm_header* h = static_cast<shm_header*>(m.base);
    // The initialiser's lock, held through this descriptor (which the child shares) until the end.
    ASSERT_TRUE(platform_byte_lock(&m, SHM_INIT_LOCK_BYTE));
    shm_store(h->state, SHM_STATE_INITIALISING);
    const pid_t child = spawn([&] {
        usleep(150000);
        shm_store(h->magic, SHM_MAGIC);
        shm_store(h->version, SHM_VERSION);
        shm_store(h->slot_size, SHM_SLOT_SIZE);
        shm_store(h->values_per_slot, 17u);
        shm_store(h->slot_count, 64u);
        shm_exchange(h->state, SHM_STATE_READY);
        return 0;
    });
    const int64_t t0 = clock_ns();
    shm_open();
    const int64_t waited = clock_ns() - t0;
    EXPECT_EQ(wait_exit(child), 0);
    EXPECT_TRUE(shm_is_shared());
    EXPECT_FALSE(shm_initialised_here());
    EXPECT_GE(waited, 100000000);
    platform_close_mapping(&m);
}

// A header this layout cannot share: the process runs on private slots and leaves the memory alone.
// A header left initialising by an initialiser that died (its lock free) is initialised again.
struct foreign_header {
    const char* what;
    uint32_t state, magic, version, slot_size, values, slot_count;
    bool accepted;
    bool initialiser_lock_held = false;
    bool initialised_here = false;
};

TEST(Segment, ForeignLayoutIsRefusedAndClaimsStayPrivate) {
    const foreign_header cases[] = {
        {"ours", 2, SHM_MAGIC, 3, 137112, 17, 64, true},
        {"other slot count (not compared)", 2, SHM_MAGIC, 3, 137112, 17, 32, true},
        {"version 2", 2, SHM_MAGIC, 2, 137112, 17, 64, false},
        {"other slot size", 2, SHM_MAGIC, 3, 137104, 17, 64, false},
        {"other value count", 2, SHM_MAGIC, 3, 137112, 16, 64, false},
        {"other magic", 2, 0x12345678, 3, 137112, 17, 64, false},
        {"initialiser died half-way", 1, SHM_MAGIC, 0, 0, 0, 0, true, false, true},
        {"initialiser alive but never finishing", 1, 0, 0, 0, 0, 0, false, true},
    };
    for (const foreign_header& c : cases) {
        SCOPED_TRACE(c.what);
        test_segment seg("foreign");
        platform_mapping m;
        ASSERT_TRUE(platform_open_mapping(seg.name.c_str(), SHM_MAPPING_SIZE, &m));
        shm_header* h = static_cast<shm_header*>(m.base);
        h->magic = c.magic;
        h->version = c.version;
        h->slot_size = c.slot_size;
        h->values_per_slot = c.values;
        h->slot_count = c.slot_count;
        shm_store(h->state, c.state);
        // Our descriptor is another open file description than the one the segment code opens, so
        // this lock stands for a live initialiser in another process.
        if (c.initialiser_lock_held) {
            ASSERT_TRUE(platform_byte_lock(&m, SHM_INIT_LOCK_BYTE));
        }
        const shm_slot* first =
            reinterpret_cast<const shm_slot*>(static_cast<const uint8_t*>(m.base) + SHM_HEADER_SIZE);

        shm_slot* s = slot_claim();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(shm_is_shared(), c.accepted);
        EXPECT_EQ(shm_initialised_here(), c.initialised_here);
        EXPECT_EQ(slot_is_shared(s), c.accepted);
        EXPECT_EQ(slot_count(), c.accepted ? 64 : 1);
        EXPECT_EQ(shm_next_block_sequence(), 1u);
        if (!c.accepted) {
            EXPECT_TRUE(all_slots_free(first));
            EXPECT_EQ(shm_load(h->block_sequence), 0u);
            EXPECT_EQ(slot_by_index(0), s);
            EXPECT_EQ(s->generation, 1u);
            EXPECT_EQ(s->midi_learn_param, -1);
        }
        slot_release(s);
        platform_close_mapping(&m);
    }
}

TEST(Segment, DeadOwnersSlotIsTakenOverOnlyWhenNoSlotIsFree) {
    test_segment seg("takeover");
    pipe_pair ready, hold;
    const pid_t child = spawn([&] {
        shm_close();
        shm_slot* s = slot_claim();
        if (!s || slot_shared_index(s) != 0) return 1;
        shm_store(s->instance_id, uint64_t{0x1234});
        shm_store(s->values[PARAM_GAIN], 6.0);
        shm_store(s->history_gap_start, 7);
        shm_store(s->midi_cc[3], 64);
        shm_store(s->timing_count, 99u);
        shm_store(s->chain_serial, 5u);
        ready.send('r');
        hold.receive(); // never answered: the parent kills us
        return 0;
    });
    ASSERT_EQ(ready.receive(), 'r');

    shm_open();
    ASSERT_TRUE(shm_is_shared());
    shm_slot* child_slot = slot_by_index(0);
    ASSERT_NE(child_slot, nullptr);
    const uint32_t generation = child_slot->generation;

    std::vector<shm_slot*> ours;
    for (int i = 1; i < SHM_SLOT_COUNT; ++i) {
        ours.push_back(slot_claim());
        ASSERT_EQ(slot_shared_index(ours.back()), i);
    }
    // Every shared slot is in use and the child lives: a private slot.
    shm_slot* extra = slot_claim();
    ASSERT_NE(extra, nullptr);
    EXPECT_FALSE(slot_is_shared(extra));
    EXPECT_EQ(shm_load(child_slot->instance_id), 0x1234u);
    slot_release(extra);

    kill(child, SIGKILL);
    EXPECT_EQ(wait_exit(child), -1);

    shm_slot* taken = slot_claim();
    ASSERT_EQ(taken, child_slot);
    EXPECT_EQ(taken->in_use, 1u);
    EXPECT_EQ(taken->owner_pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(taken->generation, generation + 1);
    EXPECT_EQ(taken->instance_id, 0u);
    EXPECT_EQ(taken->values[PARAM_GAIN], 0.0);
    EXPECT_EQ(taken->timing_count, 0u);
    EXPECT_EQ(taken->chain_serial, 0u);
    EXPECT_EQ(taken->history_gap_start, -1);
    EXPECT_EQ(taken->midi_learn_param, -1);
    for (int32_t cc : taken->midi_cc)
        EXPECT_EQ(cc, -1);

    // Our own slots are never taken over, even with every slot in use.
    shm_slot* more = slot_claim();
    EXPECT_FALSE(slot_is_shared(more));
    slot_release(more);
    for (shm_slot* s : ours)
        slot_release(s);
    slot_release(taken);
}

TEST(Segment, FreeSlotIsPreferredOverADeadOwnersSlot) {
    test_segment seg("prefer");
    const pid_t child = spawn([] {
        shm_close();
        shm_slot* s = slot_claim();
        return s && slot_shared_index(s) == 0 ? 0 : 1;
    });
    ASSERT_EQ(wait_exit(child), 0); // exited without releasing slot 0
    shm_slot* s = slot_claim();
    EXPECT_EQ(slot_shared_index(s), 1);
    ASSERT_NE(slot_by_index(0), nullptr);
    EXPECT_FALSE(slot_owner_alive(slot_by_index(0)));
    slot_release(s);
}

TEST(Segment, LivenessOfAnotherProcessIsRefreshedAtMostOncePerSecond) {
    test_segment seg("liveness");
    pipe_pair ready, hold;
    const pid_t child = spawn([&] {
        shm_close();
        if (!slot_claim()) return 1;
        ready.send('r');
        hold.receive();
        return 0;
    });
    ASSERT_EQ(ready.receive(), 'r');
    shm_open();
    const shm_slot* s = slot_by_index(0);
    ASSERT_NE(s, nullptr);

    const int64_t first_query = clock_ns();
    EXPECT_TRUE(slot_owner_alive(s));
    kill(child, SIGKILL);
    wait_exit(child);
    EXPECT_FALSE(process_is_alive(child));
    // Within the second the cached answer stands (the test is void if the machine stalled past it).
    const bool cached = slot_owner_alive(s);
    if (clock_ns() - first_query < 900000000) {
        EXPECT_TRUE(cached);
    }
    while (clock_ns() - first_query <= 1000000000)
        usleep(20000);
    EXPECT_FALSE(slot_owner_alive(s));
}

// A temporary folder, removed with everything in it however the test ends.
struct temp_folder {
    std::string path;
    explicit temp_folder(mode_t mode = 0700) {
        char tmpl[] = "/tmp/lodrin-segment-XXXXXX";
        if (mkdtemp(tmpl)) path = tmpl;
        chmod(path.c_str(), mode);
    }
    ~temp_folder() {
        if (path.empty()) return;
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
};

// XDG_RUNTIME_DIR for the life of the object (unset with null), restored afterwards.
struct runtime_dir_env {
    std::string saved;
    bool had;
    explicit runtime_dir_env(const char* value) {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        had = old != nullptr;
        if (had) saved = old;
        if (value)
            setenv("XDG_RUNTIME_DIR", value, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    ~runtime_dir_env() {
        if (had)
            setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
};

// The user's folder in /dev/shm, the place of the segment without a private runtime folder.
std::string dev_shm_folder() {
    return "/dev/shm/lodrin-" + std::to_string(getuid());
}

TEST(Segment, ObjectLivesInThePrivateRuntimeFolderElseInDevShm) {
    struct place_case {
        const char* what;
        mode_t runtime_mode; // 0: XDG_RUNTIME_DIR unset
        bool in_runtime;
    };
    const place_case cases[] = {
        {"private runtime folder", 0700, true},
        {"runtime folder others may enter", 0755, false},
        {"no runtime folder", 0, false},
    };
    for (const place_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_folder runtime(c.runtime_mode ? c.runtime_mode : 0700);
        runtime_dir_env env(c.runtime_mode ? runtime.path.c_str() : nullptr);
        test_segment seg("place");
        shm_open();
        ASSERT_TRUE(shm_is_shared());
        const std::string in_runtime = runtime.path + "/lodrin/" + seg.name;
        const std::string in_shm = dev_shm_folder() + "/" + seg.name;
        struct stat st;
        EXPECT_EQ(stat(in_runtime.c_str(), &st) == 0, c.in_runtime);
        EXPECT_EQ(stat(in_shm.c_str(), &st) == 0, !c.in_runtime);
        ASSERT_EQ(stat((c.in_runtime ? in_runtime : in_shm).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_uid, getuid());
        EXPECT_EQ(static_cast<size_t>(st.st_size), SHM_MAPPING_SIZE);
        // Reserved, not only promised: every page has its block.
        EXPECT_GE(static_cast<size_t>(st.st_blocks) * 512, SHM_MAPPING_SIZE);
        struct stat dir;
        ASSERT_EQ(lstat((c.in_runtime ? runtime.path + "/lodrin" : dev_shm_folder()).c_str(), &dir), 0);
        EXPECT_TRUE(S_ISDIR(dir.st_mode));
        EXPECT_EQ(dir.st_mode & 0777, 0700u);
    }
}

TEST(Segment, ObjectThatIsNotOursAndPrivateIsRefused) {
    // Each case plants something at the object's path before the first open; the process must then
    // run on private slots and leave the planted thing as it was.
    struct plant_case {
        const char* what;
        bool in_runtime;
        int (*plant)(const char* path);
    };
    const plant_case cases[] = {
        {"object open to everyone", false,
         [](const char* p) {
             const int fd = open(p, O_RDWR | O_CREAT | O_EXCL, 0600);
             const int r = fd >= 0 && fchmod(fd, 0666) == 0 ? 0 : -1;
             if (fd >= 0) close(fd);
             return r;
         }},
        {"object the group may read", true,
         [](const char* p) {
             const int fd = open(p, O_RDWR | O_CREAT | O_EXCL, 0600);
             const int r = fd >= 0 && fchmod(fd, 0640) == 0 ? 0 : -1;
             if (fd >= 0) close(fd);
             return r;
         }},
        {"link to a file elsewhere", true, [](const char* p) { return symlink("/tmp/lodrin-nowhere", p); }},
        {"link in /dev/shm", false, [](const char* p) { return symlink("/tmp/lodrin-nowhere", p); }},
        {"folder", true, [](const char* p) { return mkdir(p, 0700); }},
        {"named pipe", true, [](const char* p) { return mkfifo(p, 0600); }},
    };
    for (const plant_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_folder runtime;
        runtime_dir_env env(c.in_runtime ? runtime.path.c_str() : nullptr);
        test_segment seg("plant");
        const std::string folder = c.in_runtime ? runtime.path + "/lodrin" : dev_shm_folder();
        ASSERT_TRUE(mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
        const std::string path = folder + "/" + seg.name;
        ASSERT_EQ(c.plant(path.c_str()), 0);
        struct stat before, after;
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        shm_slot* s = slot_claim();
        ASSERT_NE(s, nullptr);
        EXPECT_FALSE(shm_is_shared());
        EXPECT_FALSE(slot_is_shared(s));
        slot_release(s);
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size);
        if (S_ISDIR(after.st_mode))
            rmdir(path.c_str());
        else
            unlink(path.c_str());
    }
    struct stat st;
    EXPECT_NE(lstat("/tmp/lodrin-nowhere", &st), 0); // no link was followed
}

TEST(Segment, ExitedButUnreapedOwnerIsDead) {
    // A zombie still answers kill(pid, 0); its locks are gone all the same.
    test_segment seg("zombie");
    const pid_t child = spawn([] {
        shm_close();
        return slot_claim() ? 0 : 1;
    });
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(process_is_alive(child)); // what a process-id test would believe
    shm_open();
    const shm_slot* left = slot_by_index(0);
    ASSERT_NE(left, nullptr);
    EXPECT_FALSE(slot_owner_alive(left));
    EXPECT_EQ(wait_exit(child), 0);
}

// Runs `body` in a grandchild inside a new namespace of the given kind (made by a child, as
// "unshare -f" does). Returns its exit code, or 77 when the kernel refuses the namespace.
template <typename F>
int in_new_namespace(int flags, F body) {
    const pid_t child = spawn([&] {
        if (unshare(flags) != 0) return 77;
        if (flags & CLONE_NEWNS) {
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        }
        const pid_t inner = spawn(body);
        return wait_exit(inner) & 0xFF;
    });
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

TEST(Segment, OwnersInAnotherPidNamespaceStayAlive) {
    if (geteuid() != 0) GTEST_SKIP() << "a PID namespace needs root here";
    test_segment seg("pidns");
    std::vector<shm_slot*> ours;
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        ours.push_back(slot_claim());
    ASSERT_TRUE(slot_is_shared(ours.back()));
    const int r = in_new_namespace(CLONE_NEWPID, [] {
        if (getpid() != 1) return 10; // really another namespace: our ids mean nothing there
        shm_close();
        shm_slot* s = slot_claim();
        if (!s) return 11;
        if (slot_is_shared(s)) return 12; // took a live slot over
        for (int i = 0; i < SHM_SLOT_COUNT; ++i)
            if (!slot_owner_alive(slot_by_index(i))) return 13;
        return 0;
    });
    if (r == 77) GTEST_SKIP() << "the kernel refused a PID namespace";
    EXPECT_EQ(r, 0);
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        EXPECT_EQ(shm_load(ours[i]->owner_pid), static_cast<uint32_t>(getpid())) << i;
    for (shm_slot* s : ours)
        slot_release(s);
}

TEST(Segment, FullTmpfsGivesPrivateSlotsNotSigbus) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    for (const bool runtime : {false, true}) {
        SCOPED_TRACE(runtime ? "runtime folder on a small tmpfs" : "small /dev/shm");
        test_segment seg("fulltmpfs");
        const int r = in_new_namespace(CLONE_NEWNS, [&] {
            // 4 MB: less than one segment. Only this mount namespace sees it.
            if (mount("lodrin-test", "/dev/shm", "tmpfs", 0, "size=4m,mode=1777") != 0) return 20;
            if (runtime) {
                if (mkdir("/dev/shm/run", 0700) != 0) return 21;
                setenv("XDG_RUNTIME_DIR", "/dev/shm/run", 1);
            } else {
                unsetenv("XDG_RUNTIME_DIR");
            }
            shm_close();
            shm_slot* s = slot_claim();
            if (!s) return 22;
            if (shm_is_shared() || slot_is_shared(s)) return 23;
            shm_store(s->values[PARAM_GAIN], 6.0);
            for (uint32_t i = 0; i < HISTORY_SIZE; ++i)
                shm_store(s->history[HISTORY_GAIN][i], 0.5f);
            slot_release(s);
            return 0;
        });
        if (r == 77) GTEST_SKIP() << "the kernel refused a mount namespace";
        EXPECT_EQ(r, 0) << "128 + 7 is SIGBUS";
    }
}

TEST(Segment, SmallObjectIsGrownAndForeignOwnerIsRefused) {
    runtime_dir_env env(nullptr);
    // Made the way the segment code makes it, then left at another size or owner.
    const auto plant = [](const std::string& name, off_t size) {
        if (mkdir(dev_shm_folder().c_str(), 0700) != 0 && errno != EEXIST) return false;
        const int fd =
            open((dev_shm_folder() + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const bool ok = fd >= 0 && ftruncate(fd, size) == 0;
        if (fd >= 0) close(fd);
        return ok;
    };
    {
        test_segment seg("small");
        ASSERT_TRUE(plant(seg.name, 4096));
        shm_open();
        EXPECT_TRUE(shm_is_shared());
    }
    if (geteuid() != 0) GTEST_SKIP() << "changing an object's owner needs root";
    test_segment seg("owner");
    ASSERT_TRUE(plant(seg.name, static_cast<off_t>(SHM_MAPPING_SIZE)));
    ASSERT_EQ(chown((dev_shm_folder() + "/" + seg.name).c_str(), 12345, 12345), 0);
    shm_slot* s = slot_claim();
    EXPECT_FALSE(shm_is_shared());
    EXPECT_FALSE(slot_is_shared(s));
    slot_release(s);
}

// Runs `body` with a /dev/shm of its own (a fresh tmpfs in a new mount namespace), XDG_RUNTIME_DIR
// unset and HOME set to `home`, so that the user's folder in /dev/shm can be tampered with while other
// programs of this user go on using the real one. 77 when the kernel refuses.
template <typename F>
int with_own_dev_shm(const std::string& home, F body) {
    return in_new_namespace(CLONE_NEWNS, [&] {
        if (mount("lodrin-test", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) return 77;
        unsetenv("XDG_RUNTIME_DIR");
        setenv("HOME", home.c_str(), 1);
        shm_close();
        return body();
    });
}

enum class placed { dev_shm, home, nowhere };

// Inside with_own_dev_shm: this process's segment is shared exactly when `where` names a place, its
// object is a private file of ours there (and no object of ours is at the other place), in a private
// folder, and the removal helper finds it. 0, or the number of the check that failed.
int check_place(const std::string& name, const std::string& home, placed where) {
    shm_slot* s = slot_claim();
    if (!s) return 11;
    const bool shared = shm_is_shared() && slot_is_shared(s);
    slot_release(s);
    if (shared != (where != placed::nowhere)) return 12;
    const std::string folders[] = {dev_shm_folder(), home + "/.cache/lodrin"};
    struct stat st;
    for (int i = 0; i < 2; ++i) {
        const bool ours = lstat((folders[i] + "/" + name).c_str(), &st) == 0 && st.st_uid == getuid();
        if (ours != (static_cast<int>(where) == i)) return 13 + i;
    }
    if (where == placed::nowhere) return 0;
    const std::string& folder = folders[static_cast<int>(where)];
    const std::string object = folder + "/" + name;
    if (lstat(object.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 0777) != 0600)
        return 15;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & 0777) != 0700) return 16;
    shm_close();
    platform_remove_mapping(name.c_str());
    return lstat(object.c_str(), &st) == 0 ? 17 : 0;
}

TEST(Segment, UnusableFolderInDevShmGivesWayToTheHomeFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "a /dev/shm of the test's own needs root";
    using prepare_fn = int (*)(const std::string& shm_folder, const std::string& home);
    struct folder_case {
        const char* what;
        prepare_fn prepare; // 0 when done
        placed where;
    };
    static const prepare_fn loose_dev_shm_folder = [](const std::string& shm, const std::string&) {
        return mkdir(shm.c_str(), 0700) == 0 ? chmod(shm.c_str(), 0755) : -1;
    };
    const folder_case cases[] = {
        {"nothing there yet", [](const std::string&, const std::string&) { return 0; }, placed::dev_shm},
        {"our folder from before",
         [](const std::string& shm, const std::string&) { return mkdir(shm.c_str(), 0700); },
         placed::dev_shm},
        {"our folder others may enter", loose_dev_shm_folder, placed::home},
        {"link to a private folder of ours",
         [](const std::string& shm, const std::string& home) {
             const std::string target = home + "/elsewhere";
             return mkdir(target.c_str(), 0700) == 0 ? symlink(target.c_str(), shm.c_str()) : -1;
         },
         placed::home},
        {"file",
         [](const std::string& shm, const std::string&) {
             const int fd = open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             return fd >= 0 ? close(fd) : -1;
         },
         placed::home},
        {"our folder others may enter, and no HOME",
         [](const std::string& shm, const std::string& home) {
             return loose_dev_shm_folder(shm, home) == 0 ? unsetenv("HOME") : -1;
         },
         placed::nowhere},
        {"our folder others may enter, and a home folder others may enter",
         [](const std::string& shm, const std::string& home) {
             const std::string folder = home + "/.cache/lodrin";
             return loose_dev_shm_folder(shm, home) == 0 && mkdir((home + "/.cache").c_str(), 0700) == 0 &&
                            mkdir(folder.c_str(), 0700) == 0
                        ? chmod(folder.c_str(), 0755)
                        : -1;
         },
         placed::nowhere},
        // The private runtime folder comes first and alone: its own trouble sends nobody elsewhere.
        {"private runtime folder whose lodrin is a link",
         [](const std::string&, const std::string& home) {
             const std::string run = home + "/run", target = home + "/elsewhere";
             if (mkdir(run.c_str(), 0700) != 0 || mkdir(target.c_str(), 0700) != 0) return -1;
             if (symlink(target.c_str(), (run + "/lodrin").c_str()) != 0) return -1;
             return setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
         },
         placed::nowhere},
    };
    for (const folder_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_folder home;
        test_segment seg("folder");
        const int r = with_own_dev_shm(home.path, [&] {
            if (c.prepare(dev_shm_folder(), home.path) != 0) return 10;
            return check_place(seg.name, home.path, c.where);
        });
        if (r == 77) GTEST_SKIP() << "the kernel refused a mount namespace";
        EXPECT_EQ(r, 0) << "failed check";
        if (c.where == placed::home) {
            struct stat st;
            ASSERT_EQ(lstat((home.path + "/.cache").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u); // made private when missing
        }
    }
}

// A uid that no account has, standing for another local user; 0 when none is free.
uid_t unused_uid() {
    for (uid_t u = 61000; u < 62000; ++u)
        if (!getpwuid(u)) return u;
    return 0;
}

// Runs `body` in a child process that has become `uid` (group `uid`, no other groups); its exit code.
template <typename F>
int as_user(uid_t uid, F body) {
    return wait_exit(spawn([&] {
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return 90;
        return body();
    }));
}

// This process and a child of it on the segment: each is on the shared segment and finds the other's
// slot in use, with the instance id the other wrote and its owner alive. 0, or the failed check.
int two_processes_share() {
    shm_close();
    shm_slot* mine = slot_claim();
    if (!mine || !slot_is_shared(mine)) return 1;
    shm_store(mine->instance_id, uint64_t{0xA1});
    const int32_t my_index = slot_shared_index(mine);
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) return 2;
    const pid_t child = spawn([&] {
        close(up[0]);
        close(down[1]);
        shm_close();
        shm_slot* s = slot_claim();
        if (!s || !slot_is_shared(s)) return 3;
        const shm_slot* parents = slot_by_index(my_index);
        if (!parents || shm_load(parents->instance_id) != 0xA1u || !slot_owner_alive(parents)) return 4;
        shm_store(s->instance_id, uint64_t{0xB2});
        const int32_t index = slot_shared_index(s);
        if (write(up[1], &index, sizeof index) != sizeof index) return 5;
        char c;
        (void)read(down[0], &c, 1); // alive until the parent has looked
        return 0;
    });
    close(up[1]);
    close(down[0]);
    int32_t index = -1;
    const bool got = read(up[0], &index, sizeof index) == sizeof index;
    const shm_slot* childs = got ? slot_by_index(index) : nullptr;
    const bool seen =
        childs && index != my_index && shm_load(childs->instance_id) == 0xB2u && slot_owner_alive(childs);
    close(down[1]);
    close(up[0]);
    const int child_result = wait_exit(child);
    slot_release(mine);
    if (child_result != 0) return child_result;
    return seen ? 0 : 6;
}

TEST(Segment, AnotherUserTakingOurNamesInDevShmFirstLeavesTheChainShared) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const uid_t other = unused_uid();
    if (other == 0) GTEST_SKIP() << "no free uid to act as another user";
    // Each case also takes "/<name>.<uid>", the name a shm_open() of ours would use, as a private
    // object of the other user's.
    struct squat_case {
        const char* what;
        int (*squat)(const std::string& folder, const std::string& name); // 0 when done
        placed where;
    };
    const squat_case cases[] = {
        {"only the shared-memory object name", [](const std::string&, const std::string&) { return 0; },
         placed::dev_shm},
        {"their private folder at our folder's name",
         [](const std::string& folder, const std::string&) { return mkdir(folder.c_str(), 0700); },
         placed::home},
        {"their folder at our folder's name, open to all, with our object's name in it",
         [](const std::string& folder, const std::string& name) {
             if (mkdir(folder.c_str(), 0777) != 0 || chmod(folder.c_str(), 0777) != 0) return -1;
             const int fd = open((folder + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
             return fd >= 0 ? close(fd) : -1;
         },
         placed::home},
        // Followed, it would put our object straight into /dev/shm, where its name is theirs to take.
        {"their link at our folder's name",
         [](const std::string& folder, const std::string&) { return symlink("/dev/shm", folder.c_str()); },
         placed::home},
        {"their file at our folder's name",
         [](const std::string& folder, const std::string&) {
             const int fd = open(folder.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             return fd >= 0 ? close(fd) : -1;
         },
         placed::home},
    };
    for (const squat_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_folder home;
        test_segment seg("squat");
        const int r = with_own_dev_shm(home.path, [&] {
            // Named here: getuid() in the other user's process is theirs.
            const std::string folder = dev_shm_folder();
            const std::string object = "/dev/shm/" + seg.name + "." + std::to_string(getuid());
            const int squatted = as_user(other, [&] {
                const int fd = open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                if (fd < 0) return 91;
                close(fd);
                return c.squat(folder, seg.name) == 0 ? 0 : 92;
            });
            if (squatted != 0) return squatted;
            if (const int shared = two_processes_share(); shared != 0) return shared;
            // What they made is theirs still, untouched.
            struct stat st;
            if (lstat(object.c_str(), &st) != 0 || st.st_uid != other || st.st_size != 0) return 20;
            if (c.where == placed::home && (lstat(folder.c_str(), &st) != 0 || st.st_uid != other)) return 21;
            return check_place(seg.name, home.path, c.where);
        });
        if (r == 77) GTEST_SKIP() << "the kernel refused a mount namespace";
        EXPECT_EQ(r, 0) << "failed check";
    }
}

} // namespace
