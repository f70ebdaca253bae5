#include "stream/memory_stream.h"

#include <cstdlib>
#include <cstring>

#include "stream/heap.h"

CMemoryStream::CMemoryStream(int blockSize)
    : data(nullptr), position(0), size(0), blockSize(blockSize), capacity_(0) {}

CMemoryStream::~CMemoryStream() {
    std::free(data);
}

int CMemoryStream::RoundUp(int n) const {
    // Done in unsigned arithmetic: n never exceeds MaxSize(), so it fits.
    unsigned mask = static_cast<unsigned>(blockSize) - 1u;
    return static_cast<int>((static_cast<unsigned>(n) + mask) & ~mask);
}

bool CMemoryStream::SetSize(int newSize) {
    if (newSize < 0) {
        newSize = 0;
    }
    if (newSize > MaxSize()) {
        return false;
    }
    int newCapacity = RoundUp(newSize);
    if (capacity_ != newCapacity) {
        if (newCapacity <= 0) {
            std::free(data);
            data = nullptr;
        } else {
            void* grown = HeapRealloc(data, static_cast<size_t>(newCapacity));
            if (grown == nullptr) {
                return false;
            }
            data = static_cast<unsigned char*>(grown);
        }
        capacity_ = newCapacity;
    }
    size = newSize;
    if (position > newSize) {
        position = newSize;
    }
    return true;
}

int CMemoryStream::Write(const void* src, int count) {
    if (count <= 0) {
        return 0;
    }
    // 64-bit sum so that a huge count is refused instead of wrapping.
    long long end = static_cast<long long>(position) + count;
    if (end > size) {
        if (end > MaxSize() || !SetSize(static_cast<int>(end))) {
            return 0;
        }
    }
    std::memcpy(data + position, src, static_cast<size_t>(count));
    position += count;
    return count;
}

int CMemoryStream::Read(void* dst, int count) {
    if (count <= 0) {
        return 0;
    }
    if (count > size - position) {
        count = size - position;
    }
    if (count <= 0) {
        return 0;
    }
    std::memcpy(dst, data + position, static_cast<size_t>(count));
    position += count;
    return count;
}

int CMemoryStream::Seek(int offset, int origin) {
    long long target = position;
    if (origin == 0) {
        target = offset;
    } else if (origin == 1) {
        target = static_cast<long long>(position) + offset;
    } else if (origin == 2) {
        target = static_cast<long long>(size) + offset;
    }
    if (target > size) {
        target = size;
    } else if (target < 0) {
        target = 0;
    }
    position = static_cast<int>(target);
    return position;
}

void ConsumeFront(CMemoryStream& stream, int count) {
    int remaining = stream.size - count;
    if (remaining > 0) {
        std::memmove(stream.data, stream.data + count, static_cast<size_t>(remaining));
    }
    // The bytes have already moved, so a shrink the heap refuses must not
    // leave the old size behind: the larger buffer is kept and stays valid.
    if (!stream.SetSize(remaining)) {
        stream.size = remaining;
    }
    stream.position = 0;
}
