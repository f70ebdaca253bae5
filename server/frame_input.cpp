#include "server/frame_input.h"

#include <cstddef>

#include "stream/frame.h"

namespace {
// The kept bytes grow and shrink in steps of this many.
constexpr int kKeptBlockSize = 1024;
}  // namespace

CFrameInput::CFrameInput()
    : kept_(kKeptBlockSize), cutBytes_(nullptr), cutAvailable_(0), cutOffset_(0) {}

int CFrameInput::MissingBytes() const {
    if (kept_.size == 0) {
        return 0;
    }
    if (kept_.size < frame::kHeaderSize) {
        return frame::kHeaderSize - kept_.size;
    }
    frame::CutResult cut = frame::Cut(kept_.data, static_cast<std::size_t>(kept_.size));
    // Only a frame still arriving is kept; anything else is cut or refused at once.
    return cut.status == frame::CutStatus::kNeedMore ? cut.length + frame::kHeaderSize - kept_.size
                                                     : 0;
}

long long CFrameInput::GrowthFor(int count) const {
    long long mask = kept_.blockSize - 1;
    long long needed = (static_cast<long long>(kept_.size) + count + mask) & ~mask;
    return needed > kept_.Capacity() ? needed - kept_.Capacity() : 0;
}

bool CFrameInput::Keep(const unsigned char* bytes, int count) {
    kept_.Seek(0, 2);
    return kept_.Write(bytes, count) == count;
}

void CFrameInput::BeginCut(const unsigned char* lent, int count) {
    cutBytes_ = kept_.size > 0 ? kept_.data : lent;
    cutAvailable_ = kept_.size > 0 ? kept_.size : count;
    cutOffset_ = 0;
}

CFrameInput::Cut CFrameInput::Next(const unsigned char** payload, int* length) {
    const unsigned char* at = cutBytes_ + cutOffset_;
    frame::CutResult cut = frame::Cut(at, static_cast<std::size_t>(cutAvailable_ - cutOffset_));
    if (cut.status == frame::CutStatus::kBadLength) {
        cutBytes_ = nullptr;
        return Cut::kBadLength;
    }
    if (cut.status == frame::CutStatus::kNeedMore) {
        return Cut::kNeedMore;
    }
    lastCut_ = static_cast<int>(cut.length) + frame::kHeaderSize;
    cutOffset_ += lastCut_;
    *payload = at + frame::kHeaderSize;
    *length = cut.length;
    return Cut::kFrame;
}

const unsigned char* CFrameInput::EndCut(int* restCount) {
    const unsigned char* bytes = cutBytes_;
    cutBytes_ = nullptr;
    *restCount = 0;
    if (bytes == nullptr) {
        return nullptr;
    }
    if (bytes == kept_.data) {
        if (cutOffset_ > 0) {
            ConsumeFront(kept_, cutOffset_);
        }
        return nullptr;
    }
    *restCount = cutAvailable_ - cutOffset_;
    return bytes + cutOffset_;
}

void CFrameInput::Clear() {
    if (cutBytes_ == kept_.data) {
        cutBytes_ = nullptr;
    }
    kept_.SetSize(0);
}

void CFrameInput::GiveBackSpare() {
    if (kept_.size == 0) {
        kept_.SetSize(0);
    }
}
