// User preset files: where they live, how their names become file names, and the small text format
// they are written in and read back from.
//
// A preset file is user input: anything may sit in the folder under the right name (a huge file, a
// binary one, a truncated one, a FIFO, a device or a link to one). The reader therefore opens regular
// files only and without blocking, reads lines through a fixed 256-byte buffer, never trusts a number
// it reads as an index, and stops after a bounded amount of text. Saving writes a temporary file in
// the same folder and renames it over the old one, so a crash mid-save never leaves a half-written
// preset behind.
//
// Everything here runs on the editor's thread (the host's main thread).
#include "edit_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "params.h"
#include "platform.h"

namespace {

constexpr const char* PRESET_SUFFIX = ".lodrin";
constexpr const char* PRESET_HEADER = "Lodrin preset";
constexpr size_t PRESET_HEADER_LEN = 13;

// A preset we write is a few kilobytes (8 stages x 15 lines). Bytes past this bound are not read,
// whatever they are (a hole of a sparse file reads as NUL bytes): a multi-gigabyte file in the
// folder must not stall the editor's thread for seconds.
constexpr long long PRESET_READ_LIMIT = 1 << 20;

// Parameters written per stage: every row except Bypass, Delta listen and Unity gain, which are
// monitoring switches of a session rather than part of a sound.
bool written_in_file(int32_t p) {
    return p != PARAM_BYPASS && p != PARAM_DELTA_LISTEN && p != PARAM_UNITY_GAIN;
}

// The folder of the user's presets into `out`, created when missing.
bool preset_folder(char* out, size_t capacity) {
    const char* env = getenv("LODRIN_PRESET_DIR");
    if (env != nullptr && env[0] != '\0') {
        if (static_cast<size_t>(snprintf(out, capacity, "%s", env)) >= capacity) return false;
    } else {
        char base[1024];
        if (!user_data_dir("Tovarin", "Lodrin", base, sizeof base)) return false;
        const int n = snprintf(out, capacity, "%s%cPresets", base, PLATFORM_PATH_SEPARATOR);
        if (n < 0 || static_cast<size_t>(n) >= capacity) return false;
    }
    make_directory(out);
    return true;
}

// Whole number as the C library's atoi reads it (blanks, sign, digits), saturated instead of
// overflowing: a file may hold any digits.
long long read_whole_number(const char* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (v < 1000000000LL) v = v * 10 + (*s - '0');
    }
    return negative ? -v : v;
}

// "%.6g" with '.' as the decimal mark whatever the locale says.
void format_value(double v, char* out, size_t capacity) {
    snprintf(out, capacity, "%.6g", v);
    for (char* c = out; *c != '\0'; ++c) {
        if (*c == ',') *c = '.';
    }
}

// One line with "p<id>=<value>": the id from the digits after 'p' (saturated, so a long run of digits
// names no row) and the value from the character after the first '='.
bool read_param_line(const char* line, uint32_t* id, double* value) {
    if (line[0] != 'p' || line[1] < '0' || line[1] > '9') return false;
    const char* eq = strchr(line, '=');
    if (eq == nullptr) return false;
    uint64_t n = 0;
    for (const char* s = line + 1; *s >= '0' && *s <= '9'; ++s) {
        if (n <= UINT32_MAX) n = n * 10 + static_cast<uint64_t>(*s - '0');
    }
    *id = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
    char* end = nullptr;
    const double v = param_strtod(eq + 1, &end);
    *value = end == eq + 1 ? 0.0 : v;
    return true;
}

bool starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// One line as fgets reads it (at most capacity - 1 bytes, the '\n' kept, NUL bytes stored as read),
// each byte taken from *budget; false when nothing was read, at the end of the file or of the budget.
bool read_line(FILE* f, char* line, size_t capacity, long long* budget) {
    size_t n = 0;
    while (n + 1 < capacity && *budget > 0) {
        const int c = getc(f);
        if (c == EOF) break;
        --*budget;
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n > 0;
}

// Opens an existing regular file for reading, in binary mode so that every byte read is one byte of
// the file (a CR before the line end is no part of a number or a line beginning). Anything else (a FIFO, a device, a
// folder, also behind a link) is refused before it can block or act on being opened.
FILE* open_regular_for_reading(const char* path) {
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return nullptr;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    // Reserved names (CON, NUL, COM1 ...) open devices whatever folder they are given in.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "rb");
    if (f == nullptr) _close(fd);
    return f;
#else
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    // Checked again on the open descriptor: the name may have been swapped since the stat.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) close(fd);
    return f;
#endif
}

// Creates a new file next to `final_path` for writing in text mode; its name goes to `tmp_path`.
FILE* create_temporary(const char* final_path, char* tmp_path, size_t capacity) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const unsigned long long tag = random_u64() ^ static_cast<unsigned long long>(clock_ns());
        const int n = snprintf(tmp_path, capacity, "%s.%016llx.tmp", final_path, tag);
        if (n < 0 || static_cast<size_t>(n) >= capacity) return nullptr;
#if defined(_WIN32)
        const int fd = _open(tmp_path, _O_CREAT | _O_EXCL | _O_WRONLY | _O_TEXT, _S_IREAD | _S_IWRITE);
#else
        const int fd = open(tmp_path, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
#endif
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
#if defined(_WIN32)
        FILE* f = _fdopen(fd, "w");
        if (f == nullptr) _close(fd);
#else
        FILE* f = fdopen(fd, "w");
        if (f == nullptr) close(fd);
#endif
        if (f == nullptr) remove(tmp_path);
        return f;
    }
    return nullptr;
}

bool replace_file(const char* from, const char* to) {
#if defined(_WIN32)
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return rename(from, to) == 0;
#endif
}

} // namespace

bool preset_sanitise_name(const char* name, char* out, size_t capacity) {
    if (name == nullptr || out == nullptr || capacity == 0) return false;
    size_t n = 0;
    for (; name[n] != '\0' && n < 63 && n + 1 < capacity; ++n) {
        const unsigned char c = static_cast<unsigned char>(name[n]);
        out[n] = (c < 32 || strchr("<>:\"/\\|?*", c) != nullptr) ? '_' : static_cast<char>(c);
    }
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '.'))
        --n;
    out[n] = '\0';
    return n > 0;
}

bool preset_path(const char* name, char* path, size_t capacity) {
    if (path == nullptr || capacity == 0) return false;
    char clean[64];
    if (!preset_sanitise_name(name, clean, sizeof clean)) return false;
    char folder[1024];
    if (!preset_folder(folder, sizeof folder)) return false;
    const int n = snprintf(path, capacity, "%s%c%s%s", folder, PLATFORM_PATH_SEPARATOR, clean, PRESET_SUFFIX);
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

namespace {

// True for valid UTF-8: no stray or missing continuation byte (so no character cut off at the end),
// no overlong form, no surrogate, nothing above U+10FFFF.
bool is_utf8(const unsigned char* s, size_t n) {
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        size_t more;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) more = 1, cp = c & 0x1Fu;
        else if (c >= 0xE0 && c <= 0xEF) more = 2, cp = c & 0x0Fu;
        else if (c >= 0xF0 && c <= 0xF4) more = 3, cp = c & 0x07u;
        else return false;
        if (n - i <= more) return false;
        for (size_t k = 1; k <= more; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += more + 1;
    }
    return true;
}

// A file the menu can show as it is: its name without the suffix fits a preset name (63 bytes),
// holds no control character (a line break, a tab ...) and is valid UTF-8. Anything else would be
// shown other than it is named, so it is not listed at all.
bool listable_file(const char* file_name) {
    const size_t n = strlen(file_name);
    const size_t m = strlen(PRESET_SUFFIX);
    if (n <= m || n - m > PRESET_NAME_SIZE - 1) return false;
    for (size_t i = 0; i < n - m; ++i) {
        const unsigned char c = static_cast<unsigned char>(file_name[i]);
        if (c < 32 || c == 127) return false;
    }
    return is_utf8(reinterpret_cast<const unsigned char*>(file_name), n - m);
}

// The path of a file of the folder by its exact name; false for a name that could leave the folder.
bool preset_file_path(const char* file_name, char* path, size_t capacity) {
    if (file_name == nullptr || file_name[0] == '\0' || strchr(file_name, '/') != nullptr ||
        strchr(file_name, '\\') != nullptr || strcmp(file_name, ".") == 0 || strcmp(file_name, "..") == 0)
        return false;
    char folder[1024];
    if (!preset_folder(folder, sizeof folder)) return false;
    const int n = snprintf(path, capacity, "%s%c%s", folder, PLATFORM_PATH_SEPARATOR, file_name);
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

} // namespace

int32_t preset_list(char (*names)[PRESET_NAME_SIZE], int32_t max, char (*files)[PRESET_FILE_NAME_SIZE]) {
    if (names == nullptr || max <= 0) return 0;
    char folder[1024];
    if (!preset_folder(folder, sizeof folder)) return 0;
    static char listed[USER_PRESET_MAX][PRESET_FILE_NAME_SIZE];
    if (max > USER_PRESET_MAX) max = USER_PRESET_MAX;
    const int32_t count = list_files_with_suffix(folder, PRESET_SUFFIX, &listed[0][0], PRESET_FILE_NAME_SIZE, max,
                                                 listable_file);
    const size_t m = strlen(PRESET_SUFFIX);
    for (int32_t i = 0; i < count; ++i) {
        const size_t n = strlen(listed[i]) - m;
        memcpy(names[i], listed[i], n);
        names[i][n] = '\0';
        if (files != nullptr) memcpy(files[i], listed[i], sizeof listed[i]);
    }
    return count;
}

namespace {

// The reading rules on the file at `path`; the record's name becomes `name`.
bool read_preset_at(const char* path, const char* name, preset_record* out) {
    FILE* f = open_regular_for_reading(path);
    if (f == nullptr) return false;

    // Lines of at most 255 bytes, as fgets with 256 bytes reads them: a longer line arrives in
    // pieces, each read as a line of its own. A NUL byte inside a line ends it for every test below.
    char line[256];
    bool valid = false;
    long long budget = PRESET_READ_LIMIT;
    if (!read_line(f, line, sizeof line, &budget) || strncmp(line, PRESET_HEADER, PRESET_HEADER_LEN) != 0) {
        fclose(f);
        return false;
    }
    for (int32_t s = 0; s < PRESET_MAX_STAGES; ++s) {
        for (int32_t p = 0; p < PARAM_COUNT; ++p)
            out->values[s][p] = param_table[p].default_value;
    }
    long long stages = 1;
    long long current = 0; // 0-based; any value a file names, checked before use
    while (read_line(f, line, sizeof line, &budget)) {
        if (starts_with(line, "stages=")) {
            stages = read_whole_number(line + 7);
            valid = true;
        } else if (starts_with(line, "stage=")) {
            current = read_whole_number(line + 6) - 1;
        } else {
            uint32_t id = 0;
            double value = 0.0;
            if (!read_param_line(line, &id, &value)) continue;
            const int32_t p = param_index_of_id(id);
            if (p < 0 || current < 0 || current >= PRESET_MAX_STAGES) continue;
            out->values[current][p] = clamp_param_value(p, value);
        }
    }
    fclose(f);
    if (!valid) return false;
    out->stages = static_cast<int32_t>(stages < 1 ? 1 : stages > PRESET_MAX_STAGES ? PRESET_MAX_STAGES : stages);
    snprintf(out->name, sizeof out->name, "%s", name);
    return true;
}

} // namespace

bool preset_read(const char* name, preset_record* out) {
    if (out == nullptr) return false;
    char path[1200];
    if (!preset_path(name, path, sizeof path)) return false;
    return read_preset_at(path, name, out);
}

bool preset_read_file(const char* file_name, const char* name, preset_record* out) {
    if (out == nullptr) return false;
    char path[1200];
    if (!preset_file_path(file_name, path, sizeof path)) return false;
    return read_preset_at(path, name ? name : "", out);
}

bool preset_write(const preset_record* record) {
    if (record == nullptr || record->stages < 1 || record->stages > PRESET_MAX_STAGES) return false;
    char path[1200];
    if (!preset_path(record->name, path, sizeof path)) return false;
    char tmp[1300];
    FILE* f = create_temporary(path, tmp, sizeof tmp);
    if (f == nullptr) return false;
    bool ok = fprintf(f, "Lodrin preset 1\nname=%s\nstages=%d\n", record->name, record->stages) > 0;
    for (int32_t s = 0; s < record->stages && ok; ++s) {
        ok = fprintf(f, "stage=%d\n", s + 1) > 0;
        for (int32_t p = 0; p < PARAM_COUNT && ok; ++p) {
            if (!written_in_file(p)) continue;
            char value[48];
            format_value(record->values[s][p], value, sizeof value);
            ok = fprintf(f, "p%u=%s # %s\n", param_table[p].id, value, param_table[p].name) > 0;
        }
    }
    ok = fflush(f) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (!ok || !replace_file(tmp, path)) {
        remove(tmp);
        return false;
    }
    return true;
}

void preset_delete(const char* name) {
    char path[1200];
    if (preset_path(name, path, sizeof path)) delete_file(path);
}

void preset_delete_file(const char* file_name) {
    char path[1200];
    if (preset_file_path(file_name, path, sizeof path)) delete_file(path);
}
