// The allocator replacement behind alloc_counter.h (POSIX). Each replacement forwards to the next
// definition in the lookup order (the C library's, or a sanitizer's), found with dlsym(RTLD_NEXT).
// dlsym itself may allocate while the forwards are being looked up; those few early requests are
// served from a static arena that is never freed.
#include "alloc_counter.h"

// A sanitizer owns the allocator and must see every call first; under one (and on Windows)
// nothing is replaced and counting is unavailable.
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

bool alloc_counter_available() {
    return false;
}
void alloc_counter_set_counting(bool) {}
uint64_t alloc_counter_count() {
    return 0;
}

#else

#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using malloc_fn = void* (*)(size_t);
using calloc_fn = void* (*)(size_t, size_t);
using realloc_fn = void* (*)(void*, size_t);
using free_fn = void (*)(void*);
using memalign_fn = void* (*)(size_t, size_t);
using posix_memalign_fn = int (*)(void**, size_t, size_t);

malloc_fn next_malloc;
calloc_fn next_calloc;
realloc_fn next_realloc;
free_fn next_free;
memalign_fn next_memalign;
memalign_fn next_aligned_alloc;
posix_memalign_fn next_posix_memalign;

std::atomic<uint64_t> counted{0};
// Initial-exec TLS of the executable: reading it never allocates.
thread_local bool counting = false;

alignas(64) unsigned char arena[65536];
size_t arena_used = 0;
bool resolving = false;

bool in_arena(const void* p) {
    auto* b = static_cast<const unsigned char*>(p);
    return b >= arena && b < arena + sizeof(arena);
}

void* arena_alloc(size_t n) {
    size_t at = (arena_used + 63) & ~size_t(63);
    if (at + n > sizeof(arena)) return nullptr;
    arena_used = at + n;
    return arena + at; // static storage: already zero
}

void resolve() {
    if (next_malloc || resolving) return;
    resolving = true;
    next_calloc = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
    next_realloc = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    next_free = reinterpret_cast<free_fn>(dlsym(RTLD_NEXT, "free"));
    next_memalign = reinterpret_cast<memalign_fn>(dlsym(RTLD_NEXT, "memalign"));
    next_aligned_alloc = reinterpret_cast<memalign_fn>(dlsym(RTLD_NEXT, "aligned_alloc"));
    next_posix_memalign = reinterpret_cast<posix_memalign_fn>(dlsym(RTLD_NEXT, "posix_memalign"));
    next_malloc = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
    resolving = false;
}

inline void count() {
    if (counting) counted.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

bool alloc_counter_available() {
    resolve();
    return next_malloc != nullptr;
}

void alloc_counter_set_counting(bool on) {
    counting = on;
}

uint64_t alloc_counter_count() {
    return counted.load(std::memory_order_relaxed);
}

extern "C" {

void* malloc(size_t n) {
    resolve();
    if (!next_malloc) return arena_alloc(n);
    count();
    return next_malloc(n);
}

void* calloc(size_t a, size_t b) {
    resolve();
    if (!next_calloc) return (b && a > SIZE_MAX / b) ? nullptr : arena_alloc(a * b);
    count();
    return next_calloc(a, b);
}

void* realloc(void* p, size_t n) {
    resolve();
    if (p && in_arena(p)) {
        // Never freed; copy out what the arena block can hold (its size is unknown, bounded by the end).
        void* q = malloc(n);
        if (q) {
            size_t avail = size_t(arena + sizeof(arena) - static_cast<unsigned char*>(p));
            std::memcpy(q, p, n < avail ? n : avail);
        }
        return q;
    }
    if (!next_realloc) return arena_alloc(n);
    count();
    return next_realloc(p, n);
}

void free(void* p) {
    if (!p || in_arena(p)) return;
    resolve();
    if (next_free) next_free(p);
}

void* memalign(size_t align, size_t n) {
    resolve();
    if (!next_memalign) return nullptr;
    count();
    return next_memalign(align, n);
}

void* aligned_alloc(size_t align, size_t n) {
    resolve();
    if (!next_aligned_alloc) return nullptr;
    count();
    return next_aligned_alloc(align, n);
}

int posix_memalign(void** out, size_t align, size_t n) {
    resolve();
    if (!next_posix_memalign) return 12; // ENOMEM
    count();
    return next_posix_memalign(out, align, n);
}

} // extern "C"

// Global operator new and delete over the counted C allocator. With -fno-exceptions a failed
// allocation of the throwing forms ends the program, as an uncaught bad_alloc would.
namespace {
void* new_or_die(size_t n) {
    void* p = malloc(n ? n : 1);
    if (!p) std::abort();
    return p;
}
void* new_aligned_or_die(size_t n, std::align_val_t a) {
    size_t al = size_t(a) < sizeof(void*) ? sizeof(void*) : size_t(a);
    void* p = nullptr;
    if (posix_memalign(&p, al, n ? n : 1) != 0) std::abort();
    return p;
}
} // namespace

void* operator new(size_t n) {
    return new_or_die(n);
}
void* operator new[](size_t n) {
    return new_or_die(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return malloc(n ? n : 1);
}
void* operator new(size_t n, std::align_val_t a) {
    return new_aligned_or_die(n, a);
}
void* operator new[](size_t n, std::align_val_t a) {
    return new_aligned_or_die(n, a);
}
void operator delete(void* p) noexcept {
    free(p);
}
void operator delete[](void* p) noexcept {
    free(p);
}
void operator delete(void* p, size_t) noexcept {
    free(p);
}
void operator delete[](void* p, size_t) noexcept {
    free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    free(p);
}

#endif
