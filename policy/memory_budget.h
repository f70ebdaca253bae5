#pragma once

// What all clients hold for their output queues and partly received input,
// kept as one running total that each change adjusts, so the bound costs
// nothing per pass. When more room is needed than the bound leaves, the
// budget names the entry holding the most; its owner frees it (a client
// that holds nothing but a drained buffer gives that back, any other is
// dropped) until the room is there. Entries are filed by the power of two
// of what they hold, so a change is O(1) and the largest is found by
// looking through one class. The budget knows entries only by their
// numbers and an opaque owner.
// Memory that a holder other than a client gives up on demand (the kept
// messages of the resume window): it goes before any client is dropped.
class CMemoryReclaimer {
  public:
    // Frees some of what it holds, until `bytes` more fit or it holds
    // nothing; false when it freed nothing.
    virtual bool Reclaim(long long bytes) = 0;

  protected:
    ~CMemoryReclaimer() {}
};

class CMemoryBudget {
  public:
    // One holder's place in the budget; lives in the holder.
    struct Entry {
        explicit Entry(void* owner) : owner(owner) {}
        void* const owner;
        long long bytes = 0;   // memory held
        long long queued = 0;  // of that, bytes waiting to go out or to complete a frame
        int sizeClass = -1;    // -1: not filed (nothing held, or being dropped)
        Entry* next = nullptr;
        Entry* prev = nullptr;
    };

    constexpr CMemoryBudget() : classes_{}, total_(0), limit_(0), reclaimer_(nullptr) {}

    void SetLimit(long long bytes) { limit_ = bytes; }
    long long Limit() const { return limit_; }

    // Brings the total up to date with what `entry` holds now. An entry
    // that is no `candidate` (its holder is being dropped) counts but is
    // never named.
    void Update(Entry& entry, long long bytes, long long queued, bool candidate);
    // Takes an entry out for good (its holder is being destroyed).
    void Forget(Entry& entry);
    // True when `bytes` more fit within the limit.
    bool Fits(long long bytes) const { return total_ + bytes <= limit_; }
    // The entry to free first: the one holding the most, and of equal
    // holdings the one with more queued. Null when none is filed.
    Entry* Largest() const;

    long long Total() const { return total_; }

    // Who gives memory up before a client is dropped for it; null: none.
    void SetReclaimer(CMemoryReclaimer* reclaimer) { reclaimer_ = reclaimer; }
    // Asks it for room for `bytes` more; false when it freed nothing.
    bool Reclaim(long long bytes) { return reclaimer_ != nullptr && reclaimer_->Reclaim(bytes); }

  private:
    static constexpr int kClasses = 64;
    void File(Entry& entry, int sizeClass);

    Entry* classes_[kClasses];
    long long total_;
    long long limit_;
    CMemoryReclaimer* reclaimer_;
};
