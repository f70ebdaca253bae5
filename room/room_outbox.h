#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

constexpr std::size_t kMaxHeldMessages = 10000;  // held while Redis is away
constexpr std::size_t kMaxHeldBytes = 16u << 20;

// This instance's messages on their way into the room's stream, oldest
// first. Each is numbered when it is held and kept until Redis has it: its
// add answered, or, with a replica to wait for, a replica holding it. Adds
// sent but unanswered when the link broke are uncertain: while the link
// recovers they are let go as the stream shows them, and sent again once
// it has been read to its end without them. Past the bound new messages are
// dropped and counted; the drops, the adds sent again and what is left at
// a stop are told on the console.
class CRoomOutbox {
  public:
    struct Held {
        char* text;
        std::size_t length;
        std::uint64_t seq;
        bool uncertain;  // sent, but the link broke before the answer
    };

    CRoomOutbox();
    ~CRoomOutbox();
    CRoomOutbox(const CRoomOutbox&) = delete;
    CRoomOutbox& operator=(const CRoomOutbox&) = delete;

    // Takes ownership of a NUL-terminated heap buffer.
    void Hold(char* message);
    // The oldest message not sent on this connection, or null.
    const Held* NextUnsent() const {
        return sentAdds_ < held_.size() ? &held_[sentAdds_] : nullptr;
    }
    // NextUnsent's add is queued.
    void Sent() { ++sentAdds_; }
    // The oldest add is answered: its message is let go.
    void Confirmed();
    // The oldest add not yet answered is answered, and is kept until a
    // replica holds it (OnReplica).
    void AwaitReplica() { ++awaitingReplica_; }
    void OnReplica();
    // The link broke: what was sent is uncertain, and the link recovers.
    void Broken();
    // Recovering: adds wait until the stream shows what it already has.
    bool Recovering() const { return recovering_; }
    // Recovering, the stream holds this instance's message numbered `seq`:
    // it and the uncertain ones before it are not sent again.
    void FoundInStream(std::uint64_t seq);
    // Recovering, the stream was read to its end: the uncertain messages it
    // lacked were never written, and are sent again.
    void CaughtUp();
    // Once Redis answers: the drops are told when room is back.
    void ReportDrops();
    // At a stop, with `unwrittenAdds` of the adds sent still unwritten:
    // tells how many were not confirmed and how many never sent.
    void ReportAtStop(std::size_t unwrittenAdds) const;

    bool Empty() const { return held_.empty(); }
    std::size_t Count() const { return held_.size(); }
    std::size_t SentAdds() const { return sentAdds_; }
    // Marks this instance's entries in the stream; with the next number,
    // what it can have written so far.
    const std::string& Tag() const { return tag_; }
    std::uint64_t NextSeq() const { return nextSeq_; }
    unsigned long long Dropped() const { return dropped_; }

  private:
    void ReleaseOldest();

    std::deque<Held> held_;
    std::size_t heldBytes_ = 0;
    std::size_t sentAdds_ = 0;
    std::size_t awaitingReplica_ = 0;  // the oldest sent, answered
    std::uint64_t nextSeq_ = 0;
    std::string tag_;
    bool recovering_ = false;
    unsigned long long dropped_ = 0;
    unsigned long long droppedTold_ = 0;  // of dropped_, in a "Dropped" line
    bool dropping_ = false;               // "Holding full" said
};
