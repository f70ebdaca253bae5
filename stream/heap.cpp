#include "stream/heap.h"

#include <cstdlib>

namespace {
HeapReallocFn g_realloc = nullptr;
}

void* HeapRealloc(void* block, std::size_t size) {
    return g_realloc != nullptr ? g_realloc(block, size) : std::realloc(block, size);
}

void SetHeapRealloc(HeapReallocFn fn) {
    g_realloc = fn;
}
