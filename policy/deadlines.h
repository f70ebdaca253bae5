#pragma once

// Deadlines on the pass clock: the sum of every pass's elapsed time as the
// clients are given it (capped per pass), so a deadline falls in exactly
// the pass in which a countdown lowered by those same amounts would reach
// zero. They are kept in a timer wheel of slots a few milliseconds wide, so
// setting one is O(1) and a pass looks only at the slots it moved over:
// nothing is visited for a holder whose time has not come.
class CDeadlines {
  public:
    // One holder's deadline; lives in the holder.
    struct Entry {
        explicit Entry(void* owner) : owner(owner) {}
        void* const owner;
        long long at = 0;
        int slot = -1;  // -1: not set
        Entry* next = nullptr;
        Entry* prev = nullptr;
    };

    constexpr CDeadlines() : slots_{} {}
    CDeadlines(const CDeadlines&) = delete;
    CDeadlines& operator=(const CDeadlines&) = delete;

    // A pass begins that moves the clock by `elapsedMs`.
    void Advance(int elapsedMs);
    // The pass under way: counts from 1, and skips 0 when it wraps, so 0
    // can stand for "never".
    unsigned Pass() const { return pass_; }
    // The clock after this pass's elapsed time, and before it.
    long long Now() const { return now_; }
    long long Before() const { return before_; }

    // Sets (or moves) the deadline of `entry` to `at` on the clock.
    void Set(Entry& entry, long long at);
    void Cancel(Entry& entry);
    // Takes out one entry whose time has come (at <= Now()), or null when
    // none is left for this pass.
    Entry* TakeExpired();

  private:
    static constexpr int kSlotShift = 4;  // 16 ms a slot, less than a pass
    static constexpr int kSlots = 2048;   // 32.8 s around: more than any time-out
    static int SlotAt(long long slotTime) { return static_cast<int>(slotTime & (kSlots - 1)); }
    void Unlink(Entry& entry);

    Entry* slots_[kSlots];
    unsigned pass_ = 0;
    long long now_ = 0;
    long long before_ = 0;
    // The slot time (at >> kSlotShift) that TakeExpired looks at next.
    long long sweep_ = 0;
};
