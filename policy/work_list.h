#pragma once

// The holders that must have their turn in every pass whatever their
// socket says: those with output queued or a drop pending. A holder adds
// itself when it gets such work and is taken off once it has none, so a
// pass finds them without looking at anyone else. Each addition is
// counted, so a pass can tell whether others got work during a turn.
class CWorkList {
  public:
    // One holder's place in the list; lives in the holder.
    struct Entry {
        explicit Entry(void* owner) : owner(owner) {}
        void* const owner;
        bool listed = false;
        Entry* next = nullptr;
        Entry* prev = nullptr;
    };

    constexpr CWorkList() : first_(nullptr), additions_(0), lastAdded_(nullptr) {}

    void Add(Entry& entry);
    void Remove(Entry& entry);
    Entry* First() const { return first_; }

    // Additions so far, and the entry added last.
    unsigned long long Additions() const { return additions_; }
    const Entry* LastAdded() const { return lastAdded_; }

  private:
    Entry* first_;
    unsigned long long additions_;
    const Entry* lastAdded_;
};
