#pragma once

#include <cstddef>
#include <cstdint>

#include "connection/encoding.h"
#include "server/position.h"
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

// A kept message's tagged frames, one per framing (null block: none could
// be had); each block holds a reference for the one who keeps them.
struct CTaggedFrames {
    CSharedBlock* block[kFramingCount] = {};
    int at[kFramingCount] = {};
    int size[kFramingCount] = {};
};

// One relayed message as its receivers get it: its text, and its frame in
// each plain encoding, written the first time a receiver with that
// encoding asks for it, so once per encoding whatever the number of
// receivers. Its tagged frames, when it was kept for resumes, are written
// once where it is kept.
class COutgoing {
  public:
    COutgoing(CRelayBlocks& blocks, const char* text, std::size_t length)
        : blocks_(blocks), text_(text), length_(length) {}

    // The frames for tagged encodings.
    void SetTagged(const CTaggedFrames& tagged) { tagged_ = tagged; }
    // Where the frame for `encoding` is; a null block when it cannot be
    // had (too long to queue, or the heap refused).
    void Frame(const CEncoding& encoding, CSharedBlock** block, int* at, int* size);

  private:
    CRelayBlocks& blocks_;
    const char* text_;
    std::size_t length_;
    bool written_[kFramingCount] = {};
    CSharedBlock* block_[kFramingCount] = {};
    int at_[kFramingCount] = {};
    int size_[kFramingCount] = {};
    CTaggedFrames tagged_;
};

// A resuming participant's place in the replay, as the room keeps it.
struct CReplayState {
    enum Stage : unsigned char {
        kNone,       // never resumed: plain delivery
        kAsked,      // "@RESUME" read before the room's history: waits for it
        kReplaying,  // relayed messages reach it through its cursor
        kLive,       // resumed: every relayed message goes out tagged
    };
    Stage stage = kNone;
    bool hasFrom = false;    // a position was given
    bool fromValid = false;  // and it reads as one
    bool missedKnown = true;
    CPosition from;
    // The next kept message to queue, by its number in the window.
    std::uint64_t cursor = 0;
    std::uint64_t replayed = 0;
    std::uint64_t missed = 0;
};

// Anyone in the room, as the room sees it.
class CParticipant {
  public:
    // Queues a relayed message. Never removes anyone from the room, so the
    // room's list stays intact while it is walked.
    virtual void Deliver(COutgoing& message) = 0;
    // Queues a stored text (the history) for this participant alone.
    virtual void Replay(const char* text) = 0;
    // Its plain encoding; a resumed one gets the tagged one of it.
    virtual const CEncoding& Encoding() const = 0;
    // Whether more of a replay should be queued now: its output is short
    // (about one send's worth) and it is not being dropped.
    virtual bool WantsMore() const = 0;
    // Queues `size` frame bytes at `at` in a shared block; a null block is
    // a frame that could not be had.
    virtual void Queue(CSharedBlock* block, int at, int size) = 0;

    // Asked to resume and not yet caught up: it needs its turns for that.
    bool Resuming() const {
        return replay_.stage == CReplayState::kAsked || replay_.stage == CReplayState::kReplaying;
    }
    // Its replay has started: relayed messages wait for its cursor.
    bool Replaying() const { return replay_.stage == CReplayState::kReplaying; }
    // Resumed: what is relayed goes out to it tagged.
    bool Tagged() const { return replay_.stage == CReplayState::kLive; }

  protected:
    ~CParticipant() {}

  private:
    friend class CRelay;
    CParticipant* nextInRoom_ = nullptr;
    CParticipant* prevInRoom_ = nullptr;
    CReplayState replay_;
};
