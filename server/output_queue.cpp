#include "server/output_queue.h"

#include <cstdlib>

#include "stream/heap.h"

namespace {
constexpr int kFirstRing = 16;
}  // namespace

COutputQueue::COutputQueue(int keepRuns)
    : ring_(nullptr), capacity_(0), head_(0), count_(0), bytes_(0), keepRuns_(keepRuns) {}

COutputQueue::~COutputQueue() {
    Release();
}

bool COutputQueue::Extends(const CSharedBlock* block, int at) const {
    if (count_ == 0) {
        return false;
    }
    const Run& last = At(count_ - 1);
    return last.block == block && last.end == at;
}

int COutputQueue::GrowthFor(const CSharedBlock* block, int at) const {
    if (count_ < capacity_ || Extends(block, at)) {
        return 0;
    }
    return (capacity_ == 0 ? kFirstRing : capacity_) * static_cast<int>(sizeof(Run));
}

bool COutputQueue::Push(CSharedBlock* block, int at, int length) {
    if (Extends(block, at)) {
        At(count_ - 1).end += length;
        bytes_ += length;
        return true;
    }
    if (count_ == capacity_) {
        int grown = capacity_ == 0 ? kFirstRing : 2 * capacity_;
        void* memory = HeapRealloc(nullptr, sizeof(Run) * static_cast<size_t>(grown));
        if (memory == nullptr) {
            return false;
        }
        Run* ring = static_cast<Run*>(memory);
        for (int i = 0; i < count_; ++i) {
            ring[i] = At(i);
        }
        std::free(ring_);
        ring_ = ring;
        capacity_ = grown;
        head_ = 0;
    }
    block->Retain();
    ++count_;
    At(count_ - 1) = Run{block, at, at + length};
    bytes_ += length;
    return true;
}

int COutputQueue::Gather(SendSlice* slices, int maxSlices, int maxBytes) const {
    int filled = 0;
    for (int i = 0; i < count_ && filled < maxSlices && maxBytes > 0; ++i) {
        const Run& run = At(i);
        int take = run.end - run.begin;
        take = take < maxBytes ? take : maxBytes;
        slices[filled].data = run.block->Bytes() + run.begin;
        slices[filled].length = take;
        ++filled;
        maxBytes -= take;
    }
    return filled;
}

void COutputQueue::Consume(int count) {
    bytes_ -= count;
    while (count > 0) {
        Run& run = At(0);
        int left = run.end - run.begin;
        if (count < left) {
            run.begin += count;
            return;
        }
        count -= left;
        run.block->Release();
        head_ = (head_ + 1) & (capacity_ - 1);
        --count_;
    }
    if (count_ == 0 && capacity_ > keepRuns_) {
        Release();
    }
}

void COutputQueue::Release() {
    for (int i = 0; i < count_; ++i) {
        At(i).block->Release();
    }
    std::free(ring_);
    ring_ = nullptr;
    capacity_ = head_ = count_ = bytes_ = 0;
}
