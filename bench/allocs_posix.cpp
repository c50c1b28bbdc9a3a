// Counting wrappers over glibc's allocator. Every allocating entry point
// counts once; free does not count.
#include "bench_allocs.h"

#include <errno.h>
#include <stddef.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

static uint64_t g_allocations;
static __thread int t_excluded;

static inline void Count() {
    if (!t_excluded) __atomic_add_fetch(&g_allocations, 1, __ATOMIC_RELAXED);
}

bool AllocCountSupported() { return true; }
uint64_t AllocCount() { return __atomic_load_n(&g_allocations, __ATOMIC_RELAXED); }
void AllocExcludeThisThread() { t_excluded = 1; }

extern "C" {

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    Count();
    return __libc_realloc(p, size);
}

void free(void* p) { __libc_free(p); }

void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    Count();
    void* p = __libc_memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
