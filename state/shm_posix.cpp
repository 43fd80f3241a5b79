// POSIX port of the shared segment (the Linux build).
//
// The segment is a POSIX shared-memory object named "/<name>.<uid>": the uid keeps users apart the way
// the per-logon namespace does on Windows, and mode 0600 keeps other users out. An object that another
// uid owns, that is not a regular file, or that cannot be made large enough is refused, and the caller
// then runs with private slots. Liveness is kill(pid, 0): success or EPERM means the process exists.
#include "shm_port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t current_process_id() {
    return static_cast<int32_t>(getpid());
}

bool process_is_alive(int32_t pid) {
    // kill() with a pid of 0 or below addresses process groups, never one process.
    if (pid < 1) return false;
    if (kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno == EPERM;
}

bool platform_open_mapping(const char* name, size_t size, platform_mapping* out) {
    *out = platform_mapping{nullptr, nullptr, 0};
    char object_name[192];
    const int n =
        std::snprintf(object_name, sizeof object_name, "/%s.%u", name, static_cast<unsigned>(getuid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof object_name) return false;

    // The POSIX call of the same name, not the segment's own shm_open().
    const int fd = ::shm_open(object_name, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;

    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid();
    // A fresh object has size 0; growing it zero-fills, which is the empty header and free slots.
    if (ok && static_cast<size_t>(st.st_size) < size) ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    // Another process may shrink the object between the checks; re-read so that no page of the view lies
    // beyond its end.
    if (ok) ok = fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= size;
    void* base = MAP_FAILED;
    if (ok) base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd); // the view keeps the object alive
    if (base == MAP_FAILED) return false;
    *out = platform_mapping{base, nullptr, size};
    return true;
}

void platform_close_mapping(platform_mapping* mapping) {
    if (mapping->base) munmap(mapping->base, mapping->size);
    *mapping = platform_mapping{nullptr, nullptr, 0};
}
