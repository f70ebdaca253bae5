#pragma once

#include "platform/platform.h"
#include "stream/shared_block.h"

// The bytes waiting to go out on one connection, oldest first, as runs of
// frames in shared blocks, and how much of the first run has been sent. A
// frame written right behind the previous one in the same block extends
// that run, so a pass's frames usually make one run. A send is gathered
// straight from the blocks, so nothing is copied per receiver, and
// consuming costs in proportion to what was sent. The ring of runs grows by
// doubling; a drained ring of at most `keepRuns` is kept for the next
// frames, so a steady stream allocates nothing.
class COutputQueue {
  public:
    explicit COutputQueue(int keepRuns);
    ~COutputQueue();
    COutputQueue(const COutputQueue&) = delete;
    COutputQueue& operator=(const COutputQueue&) = delete;

    // Bytes still to be sent.
    int Size() const { return bytes_; }
    // Memory of the ring itself (the blocks' bytes are counted by Size).
    int Capacity() const { return capacity_ * static_cast<int>(sizeof(Run)); }
    // The ring memory that queuing bytes at `block`+`at` needs beyond Capacity().
    int GrowthFor(const CSharedBlock* block, int at) const;

    // Queues `length` bytes of `block` from `at` behind the others, holding
    // a reference to the block for a new run. False, with nothing changed,
    // when the ring cannot grow.
    bool Push(CSharedBlock* block, int at, int length);
    // Up to `maxSlices` pieces, at most `maxBytes` in all, from the front.
    // Returns how many were filled.
    int Gather(SendSlice* slices, int maxSlices, int maxBytes) const;
    // Drops the first `count` bytes (at most Size()).
    void Consume(int count);
    // Lets go of every block and frees the ring.
    void Release();

  private:
    struct Run {
        CSharedBlock* block;
        int begin;
        int end;
    };
    Run& At(int i) const { return ring_[(head_ + i) & (capacity_ - 1)]; }
    bool Extends(const CSharedBlock* block, int at) const;

    Run* ring_;
    int capacity_;  // a power of two, or 0
    int head_;
    int count_;
    int bytes_;
    int keepRuns_;
};
