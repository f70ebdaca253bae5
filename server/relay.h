#pragma once

#include <cstddef>

#include "connection/encoding.h"
#include "stream/shared_block.h"

// Bound on what one participant may have queued: a peer that stops reading
// is dropped rather than let it grow the server without limit. No frame
// longer than this is written.
constexpr int kMaxQueuedOutput = 33554432;

// One relayed message as the participants get it: its text, and its frame
// in each encoding, written into a shared block the first time a
// participant with that encoding asks for it.
class COutgoing {
  public:
    // Where the frame for `encoding` is; a null block when it cannot be
    // had (too long to queue, or the heap refused).
    void Frame(const CEncoding& encoding, CSharedBlock** block, int* at, int* size);

  private:
    friend class CRelay;
    COutgoing(class CRelay& relay, const char* text, std::size_t length);

    class CRelay& relay_;
    const char* text_;
    std::size_t length_;
    bool written_[kEncodingCount] = {};
    CSharedBlock* block_[kEncodingCount] = {};
    int at_[kEncodingCount] = {};
    int size_[kEncodingCount] = {};
};

// Anyone in the room: it is handed each relayed message.
class CParticipant {
  public:
    // Queues `message` for this participant. Never removes anyone from the
    // room, so the room's list stays intact while it is walked.
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

// The room as this instance serves it: who is in it, the last three
// relayed messages, and the relay of one message to all of them, the
// sender included. Relayed frames are written one behind the other into
// one block per encoding, so each participant's queue holds the frames of
// a pass as one run.
class CRelay {
  public:
    constexpr CRelay() : history{nullptr, nullptr, nullptr}, blocks_{}, first_(nullptr) {}
    ~CRelay();
    CRelay(const CRelay&) = delete;
    CRelay& operator=(const CRelay&) = delete;

    // Adds a newcomer and queues the history for it, oldest first.
    void Join(CParticipant* participant);
    void Leave(CParticipant* participant);

    // Relays one message to everyone and keeps it in the history. Takes
    // ownership of `message` (a malloc'd NUL-terminated text).
    void Broadcast(char* message);
    // Stores a message as the newest history entry without sending it,
    // pushing the oldest out; takes ownership.
    void KeepInHistory(char* message);
    void ClearHistory();

    // The last three relayed messages, newest first; each is the heap
    // buffer received for it, owned here until pushed out.
    char* history[3];

  private:
    friend class COutgoing;
    // Where the frame of `text` in `encoding` now is; false when the heap
    // refused a block.
    bool Write(const CEncoding& encoding, const char* text, std::size_t length, int size, int* at,
               CSharedBlock** block);

    CSharedBlock* blocks_[kEncodingCount];
    CParticipant* first_;
};
