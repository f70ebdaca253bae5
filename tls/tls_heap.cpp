#include "tls/tls_heap.h"

#include <openssl/crypto.h>

#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#define TOVREL_BLOCK_SIZE(p) malloc_usable_size(p)
#endif

namespace {
long long g_live = 0;
// What the connections are charged with, all together.
long long g_charged = 0;
bool g_counting = false;

#ifdef TOVREL_BLOCK_SIZE
long long SizeOf(void* block) {
    return block != nullptr ? static_cast<long long>(TOVREL_BLOCK_SIZE(block)) : 0;
}

void* CountedMalloc(std::size_t bytes, const char*, int) {
    void* block = std::malloc(bytes);
    g_live += SizeOf(block);
    return block;
}

void CountedFree(void* block, const char*, int) {
    g_live -= SizeOf(block);
    std::free(block);
}

void* CountedRealloc(void* block, std::size_t bytes, const char* file, int line) {
    if (block != nullptr && bytes == 0) {
        CountedFree(block, file, line);
        return nullptr;
    }
    long long before = SizeOf(block);
    void* moved = std::realloc(block, bytes);
    if (moved != nullptr) {
        g_live += SizeOf(moved) - before;
    }
    return moved;
}
#endif
}  // namespace

bool CountTlsHeap() {
#ifdef TOVREL_BLOCK_SIZE
    if (!g_counting) {
        g_counting = CRYPTO_set_mem_functions(CountedMalloc, CountedRealloc, CountedFree) == 1;
    }
#endif
    return g_counting;
}

long long TlsHeapBytes() {
    return g_live;
}

long long TlsHeapOutsideConnections() {
    long long outside = g_live - g_charged;
    return outside > 0 ? outside : 0;
}

void CTlsHeapCharge::End() {
    // What another's calls allocated may be freed in this one's: never below none.
    long long bytes = bytes_ + TlsHeapBytes() - before_;
    bytes = bytes > 0 ? bytes : 0;
    g_charged += bytes - bytes_;
    bytes_ = bytes;
}

void CTlsHeapCharge::Release() {
    g_charged -= bytes_;
    bytes_ = 0;
}
