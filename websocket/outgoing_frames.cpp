#include "websocket/outgoing_frames.h"

#include <cstdlib>

#include "stream/heap.h"

namespace {
constexpr int kFirstRing = 16;
}  // namespace

COutgoingFrames::~COutgoingFrames() {
    Clear();
}

std::size_t COutgoingFrames::GrowthForOne() const {
    if (count_ < capacity_) {
        return 0;
    }
    return static_cast<std::size_t>(capacity_ == 0 ? kFirstRing : capacity_) * sizeof *ring_;
}

bool COutgoingFrames::Queue(std::uint32_t bytes) {
    if (count_ == capacity_) {
        int grown = capacity_ == 0 ? kFirstRing : 2 * capacity_;
        void* memory = HeapRealloc(nullptr, sizeof *ring_ * static_cast<std::size_t>(grown));
        if (memory == nullptr) {
            return false;
        }
        std::uint32_t* ring = static_cast<std::uint32_t*>(memory);
        for (int i = 0; i < count_; ++i) {
            ring[i] = ring_[(head_ + i) & (capacity_ - 1)];
        }
        std::free(ring_);
        ring_ = ring;
        capacity_ = grown;
        head_ = 0;
    }
    ring_[(head_ + count_) & (capacity_ - 1)] = bytes;
    ++count_;
    return true;
}

void COutgoingFrames::Sent(std::uint64_t bytes) {
    while (bytes > 0 && count_ > 0) {
        std::uint32_t left = ring_[head_] - frontSent_;
        if (bytes < left) {
            frontSent_ += static_cast<std::uint32_t>(bytes);
            return;
        }
        bytes -= left;
        frontSent_ = 0;
        head_ = (head_ + 1) & (capacity_ - 1);
        --count_;
    }
    if (count_ == 0 && capacity_ > kKeptOutgoingFrames) {
        Clear();
    }
}

void COutgoingFrames::GiveBackSpare() {
    if (count_ == 0) {
        Clear();
    }
}

void COutgoingFrames::Clear() {
    std::free(ring_);
    ring_ = nullptr;
    capacity_ = head_ = count_ = 0;
    frontSent_ = 0;
}
