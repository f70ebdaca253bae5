#include "stream/byte_queue.h"

#include <cstdlib>
#include <cstring>

#include "stream/heap.h"

namespace {
constexpr long long kGranule = 1024;

long long RoundUp(long long n) {
    return (n + kGranule - 1) / kGranule * kGranule;
}
}  // namespace

CByteQueue::CByteQueue(int keepLimit)
    : data_(nullptr), head_(0), tail_(0), capacity_(0), keepLimit_(keepLimit) {}

CByteQueue::~CByteQueue() {
    std::free(data_);
}

long long CByteQueue::CapacityFor(int count) const {
    long long need = static_cast<long long>(tail_) + (count > 0 ? count : 0);
    if (need <= capacity_) {
        return capacity_;
    }
    if (need > MaxSize()) {
        return -1;
    }
    long long doubled = 2LL * capacity_;
    long long grown = RoundUp(need > doubled ? need : doubled);
    return grown < MaxSize() ? grown : MaxSize();
}

unsigned char* CByteQueue::Append(int count) {
    long long capacity = CapacityFor(count);
    if (capacity < 0) {
        return nullptr;
    }
    if (capacity != capacity_) {
        void* grown = HeapRealloc(data_, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            return nullptr;
        }
        data_ = static_cast<unsigned char*>(grown);
        capacity_ = static_cast<int>(capacity);
    }
    unsigned char* at = data_ + tail_;
    tail_ += count > 0 ? count : 0;
    return at;
}

void CByteQueue::Consume(int count) {
    head_ += count;
    if (head_ >= tail_) {
        head_ = tail_ = 0;
        if (capacity_ > keepLimit_) {
            Release();
        }
        return;
    }
    int left = Size();
    if (head_ < left) {
        return;
    }
    std::memmove(data_, data_ + head_, static_cast<size_t>(left));
    head_ = 0;
    tail_ = left;
    // A buffer grown for a backlog that has mostly gone is given back.
    if (capacity_ > keepLimit_ && 4LL * left <= capacity_) {
        long long wanted = RoundUp(2LL * left > keepLimit_ ? 2LL * left : keepLimit_);
        if (wanted < capacity_) {
            Resize(static_cast<int>(wanted));
        }
    }
}

void CByteQueue::Release() {
    std::free(data_);
    data_ = nullptr;
    head_ = tail_ = capacity_ = 0;
}

void CByteQueue::Resize(int capacity) {
    void* resized = HeapRealloc(data_, static_cast<size_t>(capacity));
    if (resized != nullptr) {  // a refused shrink keeps the larger buffer
        data_ = static_cast<unsigned char*>(resized);
        capacity_ = capacity;
    }
}
