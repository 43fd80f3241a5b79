// Win32 port of the platform layer (the Windows build).
#define _CRT_RAND_S
#include <stdlib.h>

#include "platform.h"
#include "platform_internal.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <windows.h>

static_assert(sizeof(platform_lock) == sizeof(SRWLOCK));

static std::atomic<int64_t> counter_frequency{0};

int64_t platform_counter_ns() {
    // The frequency is read once; racing first calls may each read it, which is harmless.
    int64_t freq = counter_frequency.load(std::memory_order_relaxed);
    if (freq == 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        freq = f.QuadPart;
        counter_frequency.store(freq, std::memory_order_relaxed);
    }
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const int64_t count = c.QuadPart;
    // Whole seconds and the remainder separately, so that count x 1e9 cannot overflow.
    return (count / freq) * 1000000000 + ((count % freq) * 1000000000) / freq;
}

void lock_init(platform_lock* lock) {
    InitializeSRWLock(reinterpret_cast<PSRWLOCK>(lock));
}
void lock_acquire(platform_lock* lock) {
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(lock));
}
void lock_release(platform_lock* lock) {
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(lock));
}

static uint32_t random_u32() {
    unsigned int v = 0;
    if (rand_s(&v) != 0) return 0;
    return v;
}

uint64_t random_u64() {
    uint64_t hi = random_u32();
    uint64_t lo = random_u32();
    return (hi << 32) | lo;
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

bool make_directory(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS; // 183
}

bool delete_file(const char* path) {
    return DeleteFileA(path) != 0;
}

int32_t list_files_with_suffix(const char* folder, const char* suffix, char* entries, size_t entry_size,
                               int32_t max_count, bool (*keep)(const char* name)) {
    if (folder == nullptr || suffix == nullptr || entries == nullptr || entry_size == 0) return 0;
    char pattern[1200];
    snprintf(pattern, sizeof pattern, "%s\\*%s", folder, suffix);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    const size_t m = strlen(suffix);
    int32_t count = 0;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const size_t n = strlen(fd.cFileName);
        if (!platform_name_has_suffix(fd.cFileName, n, suffix, m)) continue;
        // A character the ANSI code page cannot carry comes back as '?', which names no file.
        if (strchr(fd.cFileName, '?') != nullptr) continue;
        if (keep != nullptr && !keep(fd.cFileName)) continue;
        platform_offer_entry(entries, entry_size, &count, max_count, fd.cFileName, n, m);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return count;
}

bool user_data_dir(const char* first, const char* second, char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    const char* base = getenv("APPDATA");
    if (base == nullptr || base[0] == '\0') base = getenv("USERPROFILE");
    if (base == nullptr || base[0] == '\0') return false;
    snprintf(out, size, "%s\\%s", base, first);
    if (!make_directory(out)) return false;
    size_t len = strlen(out);
    snprintf(out + len, size - len, "\\%s", second);
    return make_directory(out);
}
