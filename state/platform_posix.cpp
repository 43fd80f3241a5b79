// POSIX port of the platform layer (the Linux build).
//
// The monotonic clock is CLOCK_MONOTONIC, whose zero point (boot) is shared by every process of the
// machine, so timestamps written into the shared segment compare across processes.
#include "platform.h"
#include "platform_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

int64_t platform_counter_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void lock_init(platform_lock* lock) {
    pthread_mutex_init(&lock->mutex, nullptr);
}
void lock_acquire(platform_lock* lock) {
    pthread_mutex_lock(&lock->mutex);
}
void lock_release(platform_lock* lock) {
    pthread_mutex_unlock(&lock->mutex);
}

static uint32_t random_u32() {
    uint32_t v = 0;
    if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) return 0;
    return v;
}

uint64_t random_u64() {
    uint64_t hi = random_u32();
    uint64_t lo = random_u32();
    return (hi << 32) | lo;
}

void sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

bool make_directory(const char* path) {
    if (mkdir(path, 0777) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool delete_file(const char* path) {
    return unlink(path) == 0;
}

int32_t list_files_with_suffix(const char* folder, const char* suffix, char* entries, size_t entry_size,
                               int32_t max_count, bool (*keep)(const char* name)) {
    if (folder == nullptr || suffix == nullptr || entries == nullptr || entry_size == 0) return 0;
    DIR* dir = opendir(folder);
    if (dir == nullptr) return 0;
    const size_t m = strlen(suffix);
    int32_t count = 0;
    char path[1200];
    while (dirent* de = readdir(dir)) {
        const size_t n = strlen(de->d_name);
        if (!platform_name_has_suffix(de->d_name, n, suffix, m)) continue;
        if (keep != nullptr && !keep(de->d_name)) continue;
        if (static_cast<size_t>(snprintf(path, sizeof path, "%s/%s", folder, de->d_name)) >= sizeof path)
            continue;
        struct stat st;
        if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) continue;
        platform_offer_entry(entries, entry_size, &count, max_count, de->d_name, n, m);
    }
    closedir(dir);
    return count;
}

// $XDG_DATA_HOME, else $HOME/.local/share (creating .local and share when missing).
static bool base_data_dir(char* out, size_t size) {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] != '\0') {
        snprintf(out, size, "%s", xdg);
        return true;
    }
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') return false;
    snprintf(out, size, "%s/.local", home);
    if (!make_directory(out)) return false;
    snprintf(out, size, "%s/.local/share", home);
    return make_directory(out);
}

bool user_data_dir(const char* first, const char* second, char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    char base[1024];
    if (!base_data_dir(base, sizeof base)) return false;
    snprintf(out, size, "%s/%s", base, first);
    if (!make_directory(out)) return false;
    size_t len = strlen(out);
    snprintf(out + len, size - len, "/%s", second);
    return make_directory(out);
}
