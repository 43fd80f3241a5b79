// Helpers for tests that run on a real segment: a segment name unique to the test process, set through
// LODRIN_SHM, and its removal afterwards, so that tests never meet a user's segment or each other.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "shm.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
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
#if defined(_WIN32)
    (void)name;
#else
    const std::string object = "/" + name + "." + std::to_string(getuid());
    shm_unlink(object.c_str());
#endif
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
