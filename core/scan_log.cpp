// The scan log. Opening and closing per line keeps every line on disk even when the host dies at
// the next step, and lets several instances and processes append to one file. The line is formatted
// first and handed over in one write (appending), so concurrent writers interleave whole lines.
#include "scan_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

#if defined(_WIN32)
static void scan_log_append(const char* path, const char* line, size_t len) {
    FILE* file = std::fopen(path, "ab");
    if (!file) return;
    std::fwrite(line, 1, len, file);
    std::fclose(file);
}
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The path comes from the environment and may name anything. A link planted there must not redirect
// the appends, a FIFO must not block the host's plug-in scan, and only a regular file of the user's own
// is written: no-follow and non-blocking open, then a check of what was opened.
static void scan_log_append(const char* path, const char* line, size_t len) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == getuid()) {
        const ssize_t written = write(fd, line, len);
        (void)written; // write errors are ignored
    }
    close(fd);
}
#endif

void scan_log(const char* message) {
    const char* path = std::getenv("LODRIN_SCANLOG");
    if (!path || !path[0]) return;
    char line[600];
    const long long ms = static_cast<long long>(clock_ns() / 1000000);
    int n = std::snprintf(line, sizeof line, "%lld %s\n", ms, message ? message : "");
    if (n <= 0) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    if (len == sizeof line - 1) line[len - 1] = '\n';
    scan_log_append(path, line, len);
}
