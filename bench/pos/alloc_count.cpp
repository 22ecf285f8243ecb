#include "alloc_count.h"

#include <cstddef>

std::atomic<uint64_t> g_heapAllocs{0};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool heapCountingActive() { return false; }
#else
bool heapCountingActive() { return true; }

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);

void* malloc(size_t n) {
    g_heapAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    g_heapAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    g_heapAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
}
#endif
