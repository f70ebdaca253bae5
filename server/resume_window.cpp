#include "server/resume_window.h"

#include <cstring>

CResumeWindow::CResumeWindow(std::size_t capacity, CMemoryBudget& memory)
    : ring_(new Entry[capacity]),
      capacity_(capacity),
      oldest_(0),
      end_(0),
      bytes_(0),
      anyKept_(false),
      memory_(memory),
      budget_(this) {
    memory_.SetReclaimer(this);
}

CResumeWindow::~CResumeWindow() {
    Clear();
    memory_.SetReclaimer(nullptr);
    memory_.Forget(budget_);
    delete[] ring_;
}

CTaggedFrames CResumeWindow::Keep(const CPosition& position, const char* text, std::size_t length,
                                  CRelayBlocks& blocks) {
    if (end_ - oldest_ == capacity_) {
        DropOldest();
    }
    char at[kPositionTextSize];
    int atLength = FormatPosition(position, at);
    tagged_.assign(at, static_cast<std::size_t>(atLength));
    tagged_ += ' ';
    tagged_.append(text, length);
    Entry& e = At(end_++);
    e.position = position;
    const CEncoding* plain[kFramingCount] = {&LengthFrameEncoding(), &WebSocketEncoding()};
    for (int f = 0; f < kFramingCount; ++f) {
        const CEncoding& encoding = TaggedEncoding(*plain[f]);
        long long wire = encoding.WireSize(tagged_.size());
        e.frames.block[f] = nullptr;
        e.frames.size[f] = wire > 0 ? static_cast<int>(wire) : 0;
        if (wire > 0 && wire <= kMaxQueuedOutput) {
            e.frames.block[f] = blocks.Write(encoding, tagged_.data(), tagged_.size(),
                                             e.frames.size[f], &e.frames.at[f]);
        }
        if (e.frames.block[f] != nullptr) {
            e.frames.block[f]->Retain();
            bytes_ += e.frames.size[f];
        }
    }
    newest_ = position;
    anyKept_ = true;
    Count();
    // Pushed out below, its frames stay whole: the blocks the relay writes
    // into now hold them too.
    CTaggedFrames kept = e.frames;
    // Over the budget, the oldest make room, down to this one itself.
    while (!memory_.Fits(0) && oldest_ != end_) {
        DropOldest();
    }
    return kept;
}

void CResumeWindow::DropOldest() {
    Entry& e = At(oldest_++);
    for (int f = 0; f < kFramingCount; ++f) {
        if (e.frames.block[f] != nullptr) {
            bytes_ -= e.frames.size[f];
            e.frames.block[f]->Release();
            e.frames.block[f] = nullptr;
        }
    }
    // The total falls with it at once, so a loop over Fits sees the room.
    Count();
}

void CResumeWindow::Count() {
    memory_.Update(budget_, bytes_, 0, false);
}

void CResumeWindow::Clear() {
    while (oldest_ != end_) {
        DropOldest();
    }
}

std::uint64_t CResumeWindow::After(const CPosition& position) const {
    std::uint64_t low = oldest_;
    std::uint64_t high = end_;
    while (low < high) {
        std::uint64_t middle = low + (high - low) / 2;
        if (position < PositionOf(middle)) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

bool CResumeWindow::Newest(CPosition* position) const {
    *position = newest_;
    return anyKept_;
}

bool CResumeWindow::Reclaim(long long bytes) {
    if (oldest_ == end_) {
        return false;
    }
    do {
        DropOldest();
    } while (!memory_.Fits(bytes) && oldest_ != end_);
    return true;
}
