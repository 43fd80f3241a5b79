// The scan log. Opening and closing per line keeps every line on disk even when the host dies at
// the next step, and lets several instances and processes append to one file. The line is formatted
// first and handed over in one write, so concurrent writers interleave whole lines.
#include "scan_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

void scan_log(const char* message) {
    const char* path = std::getenv("LODRIN_SCANLOG");
    if (!path || !path[0]) return;
    FILE* file = std::fopen(path, "ab");
    if (!file) return;
    char line[600];
    const long long ms = static_cast<long long>(clock_ns() / 1000000);
    int n = std::snprintf(line, sizeof line, "%lld %s\n", ms, message ? message : "");
    if (n > 0) {
        size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
        if (len == sizeof line - 1) line[len - 1] = '\n';
        std::fwrite(line, 1, len, file);
    }
    std::fclose(file);
}
