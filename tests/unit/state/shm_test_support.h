// Helpers for tests that run on a real segment: a segment name unique to the test process, set through
// LODRIN_SHM, and its removal afterwards, so that tests never meet a user's segment or each other.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "shm.h"
#include "shm_port.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

inline int test_process_id() {
#if defined(_WIN32)
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

inline void test_setenv(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

inline void test_unsetenv(const char* name) {
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

// Removes the named segment's object (POSIX keeps it until unlinked; a Windows mapping goes with its
// last handle).
inline void test_remove_segment(const std::string& name) {
    platform_remove_mapping(name.c_str());
}

// For the life of the object, this process uses a fresh segment of its own: LODRIN_SHM names it, the
// segment state of the process is forgotten before and after, and the object is removed afterwards.
struct test_segment {
    std::string name;
    explicit test_segment(const char* tag) {
        static int serial = 0;
        name = "lodrin-test-" + std::string(tag) + "-" + std::to_string(test_process_id()) + "-" +
               std::to_string(++serial);
        shm_close();
        test_remove_segment(name);
        test_setenv("LODRIN_SHM", name.c_str());
    }
    ~test_segment() {
        shm_close();
        test_remove_segment(name);
        test_unsetenv("LODRIN_SHM");
    }
    test_segment(const test_segment&) = delete;
    test_segment& operator=(const test_segment&) = delete;
};

// A shared slot whose owner has died, in the segment this process uses. POSIX: claimed by a child
// process that ended without releasing it. Windows: a slot of ours that names a process id nobody has.
// Null when the segment is not shared.
inline shm_slot* test_slot_of_dead_owner() {
#if defined(_WIN32)
    shm_slot* s = slot_claim();
    if (!s || !slot_is_shared(s)) return nullptr;
    shm_store(s->owner_pid, 0x7FFFFFFFu);
    return s;
#else
    shm_open();
    if (!shm_is_shared()) return nullptr;
    int fd[2];
    if (pipe(fd) != 0) return nullptr;
    const pid_t child = fork();
    if (child == 0) {
        shm_slot* s = slot_claim();
        const int32_t index = slot_shared_index(s);
        _exit(write(fd[1], &index, sizeof index) == sizeof index ? 0 : 1);
    }
    close(fd[1]);
    int32_t index = -1;
    const bool got = child > 0 && read(fd[0], &index, sizeof index) == sizeof index;
    close(fd[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    return got ? slot_by_index(index) : nullptr;
#endif
}
