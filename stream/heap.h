#pragma once

#include <cstddef>

// The general-purpose heap as used by streams and message buffers. Tests
// replace the function to make allocations fail on purpose.
using HeapReallocFn = void* (*)(void* block, std::size_t size);

// realloc semantics: null block allocates; null result means out of memory
// and leaves the block as it was.
void* HeapRealloc(void* block, std::size_t size);

// Replaces the allocator; null restores the standard one.
void SetHeapRealloc(HeapReallocFn fn);
