#include "websocket/decoded_frames.h"

#include <cstdlib>
#include <cstring>

#include "stream/frame.h"
#include "stream/heap.h"

namespace {
// Decoded bytes kept allocated between messages.
constexpr std::size_t kKeptDecoded = 16384;

void PutLength(unsigned char* at, unsigned long long length) {
    std::uint32_t v = length > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(length);
    frame::EncodeLength(static_cast<std::int32_t>(v), at);
}
}  // namespace

CDecodedFrames::~CDecodedFrames() {
    std::free(data_);
}

std::size_t CDecodedFrames::CapacityFor(std::size_t more) const {
    if (capacity_ - size_ >= more) {
        return capacity_;
    }
    std::size_t want = capacity_ == 0 ? 1024 : capacity_;
    while (want - size_ < more) {
        want *= 2;
    }
    return want;
}

std::size_t CDecodedFrames::GrowthFor(std::size_t more) const {
    return CapacityFor(more) - capacity_;
}

void CDecodedFrames::GiveBackSpare() {
    if (size_ == 0) {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
    }
}

void CDecodedFrames::Clear() {
    size_ = ready_ = read_ = start_ = length_ = 0;
    streaming_ = false;
    GiveBackSpare();
}

bool CDecodedFrames::Reserve(std::size_t more) {
    std::size_t want = CapacityFor(more);
    if (want == capacity_) {
        return true;
    }
    void* grown = HeapRealloc(data_, want);
    if (grown == nullptr) {
        return false;
    }
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = want;
    return true;
}

int CDecodedFrames::Take(void* buffer, int length) {
    int n = Ready() < length ? Ready() : length;
    if (n <= 0) {
        return 0;
    }
    std::memcpy(buffer, data_ + read_, static_cast<std::size_t>(n));
    read_ += static_cast<std::size_t>(n);
    if (read_ == ready_) {
        // All handed over: what is left is the message being put together.
        std::size_t rest = size_ - ready_;
        if (rest > 0) {
            std::memmove(data_, data_ + ready_, rest);
        }
        start_ = start_ >= ready_ ? start_ - ready_ : 0;
        size_ = rest;
        ready_ = read_ = 0;
        if (size_ == 0 && capacity_ > kKeptDecoded) {
            std::free(data_);
            data_ = nullptr;
            capacity_ = 0;
        }
    }
    return n;
}

bool CDecodedFrames::Begin(long long knownLength) {
    if (!Reserve(frame::kHeaderSize)) {
        return false;
    }
    start_ = size_;
    length_ = 0;
    streaming_ = knownLength >= 0;
    PutLength(data_ + size_, streaming_ ? static_cast<unsigned long long>(knownLength) : 0);
    size_ += frame::kHeaderSize;
    if (streaming_) {
        ready_ = size_;
    }
    return true;
}

bool CDecodedFrames::Append(const unsigned char* bytes, std::size_t length) {
    if (!Reserve(length)) {
        return false;
    }
    std::memcpy(data_ + size_, bytes, length);
    size_ += length;
    length_ += length;
    if (streaming_) {
        ready_ = size_;
    }
    return true;
}

void CDecodedFrames::Finish() {
    if (!streaming_) {
        PutLength(data_ + start_, length_);
    }
    ready_ = size_;
    streaming_ = false;
}

bool CDecodedFrames::Refuse(unsigned long long length) {
    if (ready_ < size_) {
        size_ = ready_;  // the message being put together goes
    }
    if (!Reserve(frame::kHeaderSize)) {
        return false;
    }
    PutLength(data_ + size_, length);
    size_ += frame::kHeaderSize;
    ready_ = size_;
    streaming_ = false;
    return true;
}
