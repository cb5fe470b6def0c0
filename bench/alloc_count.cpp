// Counting allocator: glibc lets the executable replace malloc, free, calloc
// and realloc; the replacements forward to glibc's own entry points. Sizes
// are the usable sizes of the blocks, which is what the heap really spends
// (minus the per-chunk header, see chunkOverhead()).
#include "alloc_count.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

std::atomic<uint64_t> g_allocs{0};
std::atomic<uint64_t> g_frees{0};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void noteAlloc(void *p) {
    if (p == nullptr) return;
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    const auto size = static_cast<int64_t>(malloc_usable_size(p));
    const int64_t now = g_live.fetch_add(size, std::memory_order_relaxed) + size;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {}
}

void noteFree(void *p) {
    if (p == nullptr) return;
    g_frees.fetch_add(1, std::memory_order_relaxed);
    g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

namespace bench {

HeapCounters heap() {
    return HeapCounters{
        g_allocs.load(std::memory_order_relaxed), g_frees.load(std::memory_order_relaxed),
        g_live.load(std::memory_order_relaxed), g_peak.load(std::memory_order_relaxed)};
}

void resetPeak() {
    g_peak.store(g_live.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace bench

extern "C" {

void *malloc(size_t size) {
    void *p = __libc_malloc(size);
    noteAlloc(p);
    return p;
}

void free(void *p) {
    noteFree(p);
    __libc_free(p);
}

void *calloc(size_t n, size_t size) {
    void *p = __libc_calloc(n, size);
    noteAlloc(p);
    return p;
}

void *realloc(void *old, size_t size) {
    if (old != nullptr && size == 0) {
        free(old);
        return nullptr;
    }
    const auto oldSize = old ? static_cast<int64_t>(malloc_usable_size(old)) : 0;
    void *p = __libc_realloc(old, size);
    if (p == nullptr) return nullptr;  // the old block is untouched
    g_live.fetch_sub(oldSize, std::memory_order_relaxed);
    if (old != nullptr) g_frees.fetch_add(1, std::memory_order_relaxed);
    noteAlloc(p);
    return p;
}

void *memalign(size_t alignment, size_t size) {
    void *p = __libc_memalign(alignment, size);
    noteAlloc(p);
    return p;
}

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    void *p = memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
