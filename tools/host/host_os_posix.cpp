// POSIX port of the host's operating-system layer.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clap/ext/posix_fd_support.h"
#include "host_os.h"

void* host_os_module_open(const char* path, char* err, size_t err_cap) {
    void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h && err && err_cap) {
        const char* why = dlerror();
        std::snprintf(err, err_cap, "%s", why ? why : "unknown dlopen failure");
    }
    return h;
}

void* host_os_module_symbol(void* module, const char* name) {
    return module ? dlsym(module, name) : nullptr;
}

void host_os_module_close(void* module) {
    if (module) dlclose(module);
}

int64_t host_os_clock_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void host_os_sleep_ns(int64_t ns) {
    if (ns <= 0) return;
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0) {}
}

uint64_t host_os_peak_rss_kib() {
    rusage ru{};
    if (getrusage(RUSAGE_SELF, &ru) != 0) return 0;
    return uint64_t(ru.ru_maxrss); // Linux reports KiB
}

uint32_t host_os_pid() {
    return uint32_t(getpid());
}

int host_os_stdin_ready(int timeout_ms) {
    pollfd p{0, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 ? 1 : 0;
}

long host_os_stdin_read(char* buf, unsigned long cap) {
    for (;;) {
        ssize_t n = read(0, buf, cap);
        if (n < 0 && errno == EINTR) continue;
        return long(n);
    }
}

int host_os_poll_fds(const int* fds, const uint32_t* want, uint32_t* got, int n, int timeout_ms) {
    pollfd p[16];
    if (n > 16) n = 16;
    for (int i = 0; i < n; ++i) {
        p[i].fd = fds[i];
        p[i].events = short(((want[i] & CLAP_POSIX_FD_READ) ? POLLIN : 0) |
                            ((want[i] & CLAP_POSIX_FD_WRITE) ? POLLOUT : 0));
        p[i].revents = 0;
    }
    int r = poll(p, nfds_t(n), timeout_ms);
    int ready = 0;
    for (int i = 0; i < n; ++i) {
        uint32_t f = 0;
        if (r > 0) {
            if (p[i].revents & POLLIN) f |= CLAP_POSIX_FD_READ;
            if (p[i].revents & POLLOUT) f |= CLAP_POSIX_FD_WRITE;
            if (p[i].revents & (POLLERR | POLLHUP | POLLNVAL)) f |= CLAP_POSIX_FD_ERROR;
        }
        got[i] = f;
        if (f) ++ready;
    }
    return ready;
}

int host_os_token_open(const char* path) {
    // Read-write on a FIFO never blocks in open and keeps the pipe usable whichever side goes away.
    // Anything else is refused: the token bytes would overwrite a regular file or reach a device.
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool host_os_token_take(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char c;
    return read(fd, &c, 1) == 1;
}

void host_os_token_pass(int fd) {
    char c = 1;
    ssize_t w = write(fd, &c, 1);
    (void)w;
}

void host_os_close_token(int fd) {
    close(fd);
}

bool host_os_file_readable(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, R_OK) == 0;
}

bool host_os_absolute_path(const char* path, char* out, size_t cap) {
    char buf[PATH_MAX];
    if (!realpath(path, buf)) return false;
    if (std::strlen(buf) + 1 > cap) return false;
    std::memcpy(out, buf, std::strlen(buf) + 1);
    return true;
}
