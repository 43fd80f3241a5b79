// POSIX port of the shared segment (the Linux build).
//
// Where the object lives: the file <folder>/<name> in the first of these folders that is usable, tried
// in this order and nowhere else, so that every process of the user that sees the same environment
// picks the same folder:
//   1. <runtime>/lodrin, when $XDG_RUNTIME_DIR is an absolute path naming a real directory (not a link)
//      of our uid with mode 0700. The desktop gives each logged-in user this private folder (emptied at
//      logout). Nobody else can enter it, so `lodrin` is made 0700 when it is not, and once the runtime
//      folder is private nothing further down is tried: a bad `lodrin` there means private slots.
//   2. /dev/shm/lodrin-<uid>: memory, like the runtime folder, for sessions without one (ssh, su,
//      containers); the uid keeps users apart the way the per-logon namespace does on Windows.
//      /dev/shm is writable by everyone, so another user may have put something at this name first;
//      then the folder is passed over, not refused, which would leave every process of ours on private
//      slots. Should they take it away again, the processes started after that make ours there while
//      those started before stay in the home folder until they end; the name is ours from then on.
//   3. $HOME/.cache/lodrin, when HOME is absolute (`.cache` is made 0700 when missing). Nobody else can
//      write there. The file sits on the home's file system, which mmap and fallocate serve as well.
// Folders 2 and 3 are made 0700 when missing; an existing one is used only when it is a real directory
// of our uid that grants nothing to group or others (one that others could write to may already hold
// what they planted). When no folder is usable the caller runs with private slots.
//
// Only the folders decide the place: once one is chosen, an object in it that cannot be used is
// refused and nothing further is tried, since the next process may well succeed there and the chain
// would split. The object must be a regular file of our own uid that grants nothing to group or
// others, opened without following a link; anything else is refused. Our folder in /dev/shm stays when
// its segments are removed, so the name cannot change hands while processes of ours rely on it.
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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
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

__attribute__((format(printf, 3, 4))) bool format(char* out, size_t capacity, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(out, capacity, fmt, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

// What to do with a folder of ours that grants group or other access.
enum class loose_folder {
    repair, // nobody else could have entered it (it lies inside a private folder): make it 0700
    refuse, // others may have planted something in it: do not use it
};

// Opens the folder `path` (creating it 0700 when missing) for openat(): a real directory, not a link, of
// our uid that grants nothing to group or others. -1 otherwise.
int open_private_folder(const char* path, loose_folder loose) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) return -1;
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return -1;
    struct stat st;
    bool ok = fstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
    if (ok && (st.st_mode & 0077) != 0) ok = loose == loose_folder::repair && fchmod(dir, 0700) == 0;
    if (!ok) {
        close(dir);
        return -1;
    }
    return dir;
}

enum class place { runtime, dev_shm, home };

// The folder of `p` as this environment names it, written to `out`; false where it names none. Says
// nothing about whether the folder is usable.
bool place_folder(place p, char* out, size_t capacity) {
    switch (p) {
        case place::runtime: {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            return runtime && runtime[0] == '/' && format(out, capacity, "%s/lodrin", runtime);
        }
        case place::dev_shm:
            return format(out, capacity, "/dev/shm/lodrin-%u", static_cast<unsigned>(getuid()));
        case place::home: {
            const char* home = std::getenv("HOME");
            return home && home[0] == '/' && format(out, capacity, "%s/.cache/lodrin", home);
        }
    }
    return false;
}

// The folder that holds the segment (the first usable place of the header comment), opened; -1 when
// there is none.
int open_segment_folder() {
    char path[4096];
    if (private_runtime_dir())
        return place_folder(place::runtime, path, sizeof path)
                   ? open_private_folder(path, loose_folder::repair)
                   : -1;
    if (place_folder(place::dev_shm, path, sizeof path)) {
        const int dir = open_private_folder(path, loose_folder::refuse);
        if (dir >= 0) return dir;
    }
    if (!place_folder(place::home, path, sizeof path)) return -1;
    char* last = std::strrchr(path, '/'); // .cache itself, made private when missing
    *last = '\0';
    const bool parent = mkdir(path, 0700) == 0 || errno == EEXIST;
    *last = '/';
    return parent ? open_private_folder(path, loose_folder::refuse) : -1;
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
    // Every place this environment names, usable or not. Only the object goes: the folders stay ours.
    char path[4096];
    for (place p : {place::runtime, place::dev_shm, place::home}) {
        if (!place_folder(p, path, sizeof path)) continue;
        const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0) continue;
        struct stat st;
        if (fstat(dir, &st) == 0 && st.st_uid == getuid()) unlinkat(dir, name, 0);
        close(dir);
    }
}

// Says on stderr, once per opening, why this process runs without the shared segment: its stages then
// form chains only with each other, which a user would otherwise never learn. Returns false.
static bool refuse(const char* name, const char* why) {
    std::fprintf(stderr,
                 "Lodrin: no shared segment \"%s\" (%s); stages of this process see only each other\n", name,
                 why);
    return false;
}

bool platform_open_mapping(const char* name, size_t size, platform_mapping* out) {
    *out = PLATFORM_NO_MAPPING;
    if (!name_is_plain(name)) return refuse(name, "the name is not a plain file name");

    const int dir = open_segment_folder();
    if (dir < 0)
        return refuse(
            name, private_runtime_dir()
                      ? "the folder lodrin in XDG_RUNTIME_DIR is not a private folder of ours"
                      : "neither /dev/shm/lodrin-<uid> nor $HOME/.cache/lodrin is a private folder of ours");
    const int fd = openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(dir);
    if (fd < 0) return refuse(name, std::strerror(errno));

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
        return refuse(name, "the object is not a private file of ours, or its memory cannot be reserved");
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
