#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "policy/memory_budget.h"
#include "server/outgoing.h"
#include "server/position.h"

// The last relayed messages kept for clients that come back: up to a
// capacity, oldest first, each with its position and its tagged frames
// (one per framing), written once into the relay's shared blocks. A replay
// queues references to those frames, so nothing is copied per client.
// Kept messages are numbered from the first ever, and the numbers only
// grow: a replay cursor is such a number, and those below Oldest() left
// before it reached them. What they hold counts in the memory budget; when
// the budget needs room, the oldest go first.
class CResumeWindow final : public CMemoryReclaimer {
  public:
    CResumeWindow(std::size_t capacity, CMemoryBudget& memory);
    ~CResumeWindow();
    CResumeWindow(const CResumeWindow&) = delete;
    CResumeWindow& operator=(const CResumeWindow&) = delete;

    // Keeps `length` bytes of `text` at `position` as the newest message,
    // pushing out the oldest when full or when the budget is over; its
    // tagged frames are written into `blocks`. Returns them.
    CTaggedFrames Keep(const CPosition& position, const char* text, std::size_t length,
                       CRelayBlocks& blocks);
    // Lets every kept message go; the numbers go on from where they were.
    void Clear();

    // The numbers of the oldest kept message and one past the newest.
    std::uint64_t Oldest() const { return oldest_; }
    std::uint64_t End() const { return end_; }
    const CPosition& PositionOf(std::uint64_t number) const { return At(number).position; }
    const CTaggedFrames& FramesOf(std::uint64_t number) const { return At(number).frames; }
    // The first kept message after `position`; End() when none is.
    std::uint64_t After(const CPosition& position) const;
    // The newest position ever kept, held or not; false when there is none.
    bool Newest(CPosition* position) const;

    // CMemoryReclaimer: the oldest go until `bytes` more fit.
    bool Reclaim(long long bytes) override;

  private:
    struct Entry {
        CPosition position;
        CTaggedFrames frames;
    };
    Entry& At(std::uint64_t number) const { return ring_[number % capacity_]; }
    void DropOldest();
    void Count();

    Entry* ring_;
    std::size_t capacity_;
    std::uint64_t oldest_;
    std::uint64_t end_;
    long long bytes_;
    CPosition newest_;
    bool anyKept_;
    CMemoryBudget& memory_;
    CMemoryBudget::Entry budget_;
    // Where a tagged text is put together before it is framed.
    std::string tagged_;
};
