// Windows port of the host's operating-system layer.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "host_os.h"

void* host_os_module_open(const char* path, char* err, size_t err_cap) {
    HMODULE h = LoadLibraryA(path);
    if (!h && err && err_cap) std::snprintf(err, err_cap, "LoadLibrary failed (error %lu)", GetLastError());
    return reinterpret_cast<void*>(h);
}

void* host_os_module_symbol(void* module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void host_os_module_close(void* module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

int64_t host_os_clock_ns() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return int64_t(double(c.QuadPart) * 1e9 / double(freq.QuadPart));
}

void host_os_sleep_ns(int64_t ns) {
    if (ns > 0) Sleep(DWORD((ns + 999999) / 1000000));
}

uint64_t host_os_peak_rss_kib() {
    PROCESS_MEMORY_COUNTERS pmc;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc))) return 0;
    return uint64_t(pmc.PeakWorkingSetSize / 1024);
}

uint32_t host_os_pid() {
    return uint32_t(GetCurrentProcessId());
}

int host_os_stdin_ready(int timeout_ms) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetFileType(in) == FILE_TYPE_PIPE) {
        for (int waited = 0;; waited += 5) {
            DWORD avail = 0;
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr)) return 1; // closed: end of input
            if (avail > 0) return 1;
            if (waited >= timeout_ms) return 0;
            Sleep(5);
        }
    }
    return WaitForSingleObject(in, DWORD(timeout_ms)) == WAIT_OBJECT_0 ? 1 : 0;
}

long host_os_stdin_read(char* buf, unsigned long cap) {
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, DWORD(cap), &got, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return long(got);
}

int host_os_poll_fds(const int*, const uint32_t*, uint32_t* got, int n, int timeout_ms) {
    for (int i = 0; i < n; ++i)
        got[i] = 0;
    if (timeout_ms > 0) Sleep(DWORD(timeout_ms));
    return 0;
}

// Windows has no FIFOs in the file system: a token pipe is a named semaphore of the session,
// "Local\lodrin-token-<path>" (backslashes made '_'), whose count is the number of tokens passed and
// not yet taken. Either side may create it first. Descriptors index a small table of handles.
static constexpr int TOKEN_MAX_OPEN = 8;
static constexpr LONG TOKEN_MAX_PENDING = 65536; // as many as a Linux pipe buffer holds
static HANDLE token_handles[TOKEN_MAX_OPEN];

int host_os_token_open(const char* path) {
    char name[MAX_PATH];
    if (std::snprintf(name, sizeof(name), "Local\\lodrin-token-%s", path) >= int(sizeof(name))) return -1;
    for (char* c = name + 6; *c; ++c)
        if (*c == '\\') *c = '_';
    for (int i = 0; i < TOKEN_MAX_OPEN; ++i) {
        if (token_handles[i]) continue;
        HANDLE h = CreateSemaphoreA(nullptr, 0, TOKEN_MAX_PENDING, name);
        if (!h) return -1;
        token_handles[i] = h;
        return i;
    }
    return -1;
}

static HANDLE token_handle(int fd) {
    return fd >= 0 && fd < TOKEN_MAX_OPEN ? token_handles[fd] : nullptr;
}

bool host_os_token_take(int fd, int timeout_ms) {
    HANDLE h = token_handle(fd);
    if (!h) {
        if (timeout_ms > 0) Sleep(DWORD(timeout_ms));
        return false;
    }
    return WaitForSingleObject(h, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms)) == WAIT_OBJECT_0;
}

void host_os_token_pass(int fd) {
    // Fails (the token is dropped) when the count is at its maximum.
    if (HANDLE h = token_handle(fd)) ReleaseSemaphore(h, 1, nullptr);
}

void host_os_close_token(int fd) {
    if (HANDLE h = token_handle(fd)) {
        CloseHandle(h);
        token_handles[fd] = nullptr;
    }
}

bool host_os_file_readable(const char* path) {
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool host_os_absolute_path(const char* path, char* out, size_t cap) {
    DWORD n = GetFullPathNameA(path, DWORD(cap), out, nullptr);
    return n > 0 && n < cap;
}
