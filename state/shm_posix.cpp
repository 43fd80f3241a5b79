// POSIX port of the shared segment (the Linux build).
//
// Where the object lives: the desktop gives each logged-in user a private runtime folder
// ($XDG_RUNTIME_DIR, owned by the user, mode 0700, emptied at logout). When it is there and private,
// the segment is the file <runtime>/lodrin/<name>, so no other user can squat the name or plant a link
// in its place. Otherwise it is the POSIX shared-memory object "/<name>.<uid>" (the uid keeps users
// apart the way the per-logon namespace does on Windows). Either way the object must be a regular file
// of our own uid that grants nothing to group or others; anything else is refused and the caller runs
// with private slots.
//
// Memory: tmpfs only promises pages when a file grows, and the first store to a page that cannot be had
// kills the process with SIGBUS (a full /dev/shm, a small container tmpfs). The whole object is reserved
// (fallocate) before it is mapped, and a failed reservation refuses the segment.
//
// Liveness: open-file-description locks (F_OFD_SETLK) on single bytes of the object. They belong to the
// descriptor, which stays open as long as the view, so they last exactly as long as the process keeps
// the segment and vanish with it however it ends.
#include "shm_port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

namespace {

// The user's private runtime folder, when there is one: an absolute path naming a real directory (not
// a link) of our uid with mode 0700.
const char* private_runtime_dir() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || dir[0] != '/') return nullptr;
    struct stat st;
    if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 0777) != 0700)
        return nullptr;
    return dir;
}

// A name that stays one path component and one object name.
bool name_is_plain(const char* name) {
    return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

bool format(char* out, size_t capacity, const char* fmt, const char* a, unsigned b) {
    const int n = std::snprintf(out, capacity, fmt, a, b);
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

// Opens (creating when missing) <runtime>/lodrin/<name>; the folder is made and kept 0700.
int open_in_runtime_dir(const char* runtime, const char* name) {
    char folder[4096];
    const int n = std::snprintf(folder, sizeof folder, "%s/lodrin", runtime);
    if (n < 0 || static_cast<size_t>(n) >= sizeof folder) return -1;
    if (mkdir(folder, 0700) != 0 && errno != EEXIST) return -1;
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    struct stat st;
    bool ok = fstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
    if (ok && (st.st_mode & 0077) != 0) ok = fchmod(dir, 0700) == 0;
    const int fd = ok ? openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    close(dir);
    return fd;
}

bool lock_command(int fd, int command, short type, uint64_t byte, short* found) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(byte);
    fl.l_len = 1;
    fl.l_pid = 0; // required for open-file-description locks
    if (fcntl(fd, command, &fl) != 0) return false;
    if (found) *found = fl.l_type;
    return true;
}

} // namespace

void platform_remove_mapping(const char* name) {
    if (!name_is_plain(name)) return;
    char path[4096];
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && std::snprintf(path, sizeof path, "%s/lodrin/%s", runtime, name) > 0)
        unlink(path);
    if (format(path, sizeof path, "/%s.%u", name, static_cast<unsigned>(getuid()))) ::shm_unlink(path);
}

bool platform_open_mapping(const char* name, size_t size, platform_mapping* out) {
    *out = PLATFORM_NO_MAPPING;
    if (!name_is_plain(name)) return false;

    int fd = -1;
    if (const char* runtime = private_runtime_dir()) {
        fd = open_in_runtime_dir(runtime, name);
    } else {
        char object_name[192];
        if (!format(object_name, sizeof object_name, "/%s.%u", name, static_cast<unsigned>(getuid())))
            return false;
        // The POSIX call of the same name, not the segment's own shm_open().
        fd = ::shm_open(object_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0) return false;

    // Only a regular file of our own that nobody else may open: an object another user made, or one
    // that grants group or other access, would let others read or change our stages.
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 0077) == 0;
    // A fresh object has size 0; growing it zero-fills, which is the empty header and free slots.
    if (ok && static_cast<size_t>(st.st_size) < size) ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    // The kernel's fallocate() itself, which is what posix_fallocate() asks first: where the file system
    // lacks it, the C library's stand-in writes a zero byte into every block it believes empty, which
    // races with the stores of processes already using the segment. Such a file system is refused.
    if (ok) {
        int r;
        while ((r = fallocate(fd, 0, 0, static_cast<off_t>(size))) != 0 && errno == EINTR) {}
        ok = r == 0;
    }
    // Another process of the user may shrink the object between the checks; re-read so that no page of
    // the view lies beyond its end.
    if (ok) ok = fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= size;
    void* base = MAP_FAILED;
    if (ok) base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return false;
    }
    *out = platform_mapping{base, nullptr, fd, size};
    return true;
}

void platform_close_mapping(platform_mapping* mapping) {
    if (mapping->base) munmap(mapping->base, mapping->size);
    if (mapping->fd >= 0) close(mapping->fd);
    *mapping = PLATFORM_NO_MAPPING;
}

bool platform_mapping_own_descriptor(platform_mapping* mapping) {
    if (mapping->fd < 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", mapping->fd);
    // The /proc entry is a link by nature; the inode comparison below makes sure it led to our object.
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat a, b;
    if (fstat(fd, &a) != 0 || fstat(mapping->fd, &b) != 0 || a.st_ino != b.st_ino || a.st_dev != b.st_dev) {
        close(fd);
        return false;
    }
    // Closing our copy of the inherited descriptor leaves the parent's locks alone: they belong to the
    // description, which the parent still holds open.
    close(mapping->fd);
    mapping->fd = fd;
    return true;
}

bool platform_byte_lock(const platform_mapping* mapping, uint64_t byte) {
    return mapping->fd >= 0 && lock_command(mapping->fd, F_OFD_SETLK, F_WRLCK, byte, nullptr);
}

void platform_byte_unlock(const platform_mapping* mapping, uint64_t byte) {
    if (mapping->fd >= 0) lock_command(mapping->fd, F_OFD_SETLK, F_UNLCK, byte, nullptr);
}

bool platform_byte_locked_elsewhere(const platform_mapping* mapping, uint64_t byte) {
    short found = F_UNLCK;
    if (mapping->fd < 0 || !lock_command(mapping->fd, F_OFD_GETLK, F_WRLCK, byte, &found)) return true;
    return found != F_UNLCK;
}
