#include "stream/shared_block.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "stream/frame.h"
#include "stream/heap.h"

CSharedBlock* CSharedBlock::Make(int capacity) {
    if (capacity < 0 || static_cast<std::size_t>(capacity) > 0x7FFFFFFF - sizeof(CSharedBlock)) {
        return nullptr;
    }
    void* memory = HeapRealloc(nullptr, sizeof(CSharedBlock) + static_cast<std::size_t>(capacity));
    if (memory == nullptr) {
        return nullptr;
    }
    CSharedBlock* block = new (memory) CSharedBlock();
    block->refs_ = 1;
    block->capacity_ = capacity;
    block->used_ = 0;
    return block;
}

long long CSharedBlock::FrameSize(std::size_t length) {
    long long size = frame::kHeaderSize + static_cast<long long>(length);
    return size <= 0x7FFFFFFF - static_cast<long long>(sizeof(CSharedBlock)) ? size : -1;
}

int CSharedBlock::AppendFrame(const char* text, std::size_t length) {
    int at = used_;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(this + 1) + at;
    frame::EncodeLength(static_cast<std::int32_t>(length), bytes);
    std::memcpy(bytes + frame::kHeaderSize, text, length);
    used_ += frame::kHeaderSize + static_cast<int>(length);
    return at;
}

int CSharedBlock::Append(const void* bytes, std::size_t length) {
    int at = used_;
    if (length > 0) {
        std::memcpy(reinterpret_cast<unsigned char*>(this + 1) + at, bytes, length);
    }
    used_ += static_cast<int>(length);
    return at;
}

bool CSharedBlock::Rewind() {
    if (refs_ != 1) {
        return false;
    }
    used_ = 0;
    return true;
}

void CSharedBlock::Release() {
    if (--refs_ == 0) {
        std::free(this);
    }
}
