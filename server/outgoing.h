#pragma once

#include <cstddef>

#include "connection/encoding.h"
#include "stream/shared_block.h"

// Bound on what one client may have queued: a peer that stops reading is
// dropped rather than let it grow the server without limit. No frame longer
// than this is written.
constexpr int kMaxQueuedOutput = 33554432;

// The blocks relayed frames are written into, one per encoding: frames go
// one behind the other, so each queue holds the frames of a pass as one
// run, and a block is written from the front again once no queue holds any
// of it.
class CRelayBlocks {
  public:
    constexpr CRelayBlocks() : blocks_{} {}
    ~CRelayBlocks();
    CRelayBlocks(const CRelayBlocks&) = delete;
    CRelayBlocks& operator=(const CRelayBlocks&) = delete;

    // Writes the `size`-byte frame of `text` in `encoding`; null when the
    // heap refused a block, else the block with the frame at `*at`.
    CSharedBlock* Write(const CEncoding& encoding, const char* text, std::size_t length, int size,
                        int* at);

  private:
    CSharedBlock* blocks_[kEncodingCount];
};

// One relayed message as its receivers get it: its text, and its frame in
// each encoding, written the first time a receiver with that encoding asks
// for it, so once per encoding whatever the number of receivers.
class COutgoing {
  public:
    COutgoing(CRelayBlocks& blocks, const char* text, std::size_t length)
        : blocks_(blocks), text_(text), length_(length) {}

    // Where the frame for `encoding` is; a null block when it cannot be
    // had (too long to queue, or the heap refused).
    void Frame(const CEncoding& encoding, CSharedBlock** block, int* at, int* size);

  private:
    CRelayBlocks& blocks_;
    const char* text_;
    std::size_t length_;
    bool written_[kEncodingCount] = {};
    CSharedBlock* block_[kEncodingCount] = {};
    int at_[kEncodingCount] = {};
    int size_[kEncodingCount] = {};
};

// Anyone in the room, as the room sees it.
class CParticipant {
  public:
    // Queues a relayed message. Never removes anyone from the room, so the
    // room's list stays intact while it is walked.
    virtual void Deliver(COutgoing& message) = 0;
    // Queues a stored text (the history) for this participant alone.
    virtual void Replay(const char* text) = 0;

  protected:
    ~CParticipant() {}

  private:
    friend class CRelay;
    CParticipant* nextInRoom_ = nullptr;
    CParticipant* prevInRoom_ = nullptr;
};
