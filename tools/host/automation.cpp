// Parsing of parameter settings and automation files.
#include "automation.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void trim(char* s) {
    size_t n = std::strlen(s);
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
        s[--n] = 0;
    size_t b = 0;
    while (s[b] == ' ' || s[b] == '\t')
        ++b;
    if (b) std::memmove(s, s + b, n - b + 1);
}

} // namespace

bool parse_setting(const char* text, param_setting* out, char* err, size_t cap) {
    *out = param_setting{};
    out->frame = -1;
    const char* eq = std::strchr(text, '=');
    if (!eq) {
        std::snprintf(err, cap, "setting \"%s\" has no '=' (expected [STAGE:]NAME=VALUE)", text);
        return false;
    }
    const char* name = text;
    const char* colon = std::strchr(text, ':');
    if (colon && colon < eq) {
        char* end = nullptr;
        long st = std::strtol(text, &end, 10);
        if (end != colon || st < 1 || st > 64) {
            std::snprintf(err, cap, "setting \"%s\": the stage before ':' must be a number 1..64", text);
            return false;
        }
        out->stage = uint32_t(st);
        name = colon + 1;
    }
    size_t nlen = size_t(eq - name);
    if (nlen == 0 || nlen >= sizeof(out->name)) {
        std::snprintf(err, cap, "setting \"%s\": missing or overlong parameter name", text);
        return false;
    }
    std::memcpy(out->name, name, nlen);
    out->name[nlen] = 0;
    trim(out->name);
    std::snprintf(out->value, sizeof(out->value), "%s", eq + 1);
    trim(out->value);
    if (!out->value[0]) {
        std::snprintf(err, cap, "setting \"%s\": missing value", text);
        return false;
    }
    return true;
}

namespace {

// Bounds of an automation file: what no real file comes near, so that a device or a pipe that never
// ends ("/dev/zero", an endless stream of blank lines) ends in an error instead of a hang.
constexpr int64_t MAX_FILE_BYTES = int64_t{64} << 20;

enum { LINE_OK, LINE_END, LINE_TOO_LONG, LINE_NUL, LINE_FILE_TOO_LARGE };

// Reads one line (without its newline) into `line`; counts the bytes read into `*total`.
int read_line(FILE* f, char* line, size_t cap, int64_t* total) {
    size_t len = 0;
    int c = std::getc(f);
    if (c == EOF) return LINE_END;
    for (; c != EOF && c != '\n'; c = std::getc(f)) {
        if (++*total > MAX_FILE_BYTES) return LINE_FILE_TOO_LARGE;
        if (c == '\0') return LINE_NUL;
        if (len + 1 >= cap) return LINE_TOO_LONG;
        line[len++] = static_cast<char>(c);
    }
    if (c == '\n' && ++*total > MAX_FILE_BYTES) return LINE_FILE_TOO_LARGE;
    line[len] = '\0';
    return LINE_OK;
}

} // namespace

int32_t read_automation(const char* path, double rate, param_setting* out, int32_t cap, char* err,
                        size_t err_cap) {
    FILE* f = std::fopen(path, "r");
    if (!f) {
        std::snprintf(err, err_cap, "cannot read automation file %s: %s", path, std::strerror(errno));
        return -1;
    }
    char line[512];
    int32_t n = 0;
    int lineno = 0;
    int64_t total = 0;
    for (;;) {
        const int got = read_line(f, line, sizeof line, &total);
        if (got == LINE_END) break;
        ++lineno;
        if (got != LINE_OK) {
            std::snprintf(err, err_cap, "%s:%d: %s", path, lineno,
                          got == LINE_TOO_LONG ? "line too long"
                          : got == LINE_NUL    ? "NUL byte in a line (not a text file)"
                                               : "file too large for an automation file");
            std::fclose(f);
            return -1;
        }
        trim(line);
        if (!line[0] || line[0] == '#') continue;
        char* sp = line;
        while (*sp && *sp != ' ' && *sp != '\t')
            ++sp;
        if (!*sp) {
            std::snprintf(err, err_cap, "%s:%d: expected \"TIME [STAGE:]NAME=VALUE\"", path, lineno);
            std::fclose(f);
            return -1;
        }
        *sp = 0;
        char* end = nullptr;
        double t = std::strtod(line, &end);
        int64_t frame;
        if (end && *end == 's' && end[1] == 0) {
            frame = int64_t(std::floor(t * rate + 0.5));
        } else if (end && *end == 0 && std::floor(t) == t) {
            frame = int64_t(t);
        } else {
            std::snprintf(err, err_cap, "%s:%d: bad time \"%s\" (frames, or seconds with 's')", path, lineno,
                          line);
            std::fclose(f);
            return -1;
        }
        if (frame < 0) {
            std::snprintf(err, err_cap, "%s:%d: negative time", path, lineno);
            std::fclose(f);
            return -1;
        }
        if (n >= cap) {
            std::snprintf(err, err_cap, "%s: more than %d automation points", path, cap);
            std::fclose(f);
            return -1;
        }
        char msg[256];
        if (!parse_setting(sp + 1, &out[n], msg, sizeof(msg))) {
            std::snprintf(err, err_cap, "%s:%d: %s", path, lineno, msg);
            std::fclose(f);
            return -1;
        }
        out[n].frame = frame;
        // Stable insertion by time.
        int32_t i = n;
        param_setting cur = out[n];
        while (i > 0 && out[i - 1].frame > cur.frame) {
            out[i] = out[i - 1];
            --i;
        }
        out[i] = cur;
        ++n;
    }
    if (std::ferror(f)) {
        std::snprintf(err, err_cap, "cannot read automation file %s: %s", path, std::strerror(errno));
        std::fclose(f);
        return -1;
    }
    std::fclose(f);
    return n;
}
