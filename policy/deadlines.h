#pragma once

// Deadlines on the pass clock: the sum of every pass's elapsed time as the
// clients are given it (capped per pass), so a deadline falls in exactly
// the pass in which a countdown lowered by those same amounts would reach
// zero. They are kept in a timer wheel of slots a few milliseconds wide, so
// setting one is O(1) and a pass looks only at the slots it moved over:
// nothing is visited for a holder whose time has not come.

// Largest elapsed time handed to the clients in one pass: a longer stall of
// the process moves the pass clock by this much only.
constexpr int kMaxElapsedMs = 250;

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

    // The round of turns in this pass: from the holder numbered `first`
    // down to the oldest (lowest number), then from the newest down. Rank
    // is a holder's place in it.
    void BeginRound(unsigned long long first, unsigned long long newest);
    unsigned long long Rank(unsigned long long number) const {
        return number <= first_ ? first_ - number : first_ + 1 + (newest_ - number);
    }
    // The turn at `rank` is under way; EndRound: every turn is done.
    void SetTurn(unsigned long long rank) { turn_ = rank; }
    void EndRound() { turn_ = ~0ull; }
    // True when the turn of the holder numbered `number` has come in this
    // pass (under way or done), as a walk of everyone would have it.
    bool TurnCame(unsigned long long number) const {
        return roundPass_ == pass_ && turn_ != kNoTurn && Rank(number) <= turn_;
    }

    // Sets (or moves) the deadline of `entry` to `at` on the clock.
    void Set(Entry& entry, long long at);
    void Cancel(Entry& entry);
    // Takes out one entry whose time has come (at <= Now()), or null when
    // none is left for this pass.
    Entry* TakeExpired();
    // The earliest deadline set, or `limit` when none comes before it. It
    // looks only at the slots up to `limit`'s, so keep that near.
    long long NextAt(long long limit) const;

  private:
    static constexpr int kSlotShift = 4;  // 16 ms a slot, less than a pass
    static constexpr int kSlots = 2048;   // 32.8 s around: more than any time-out
    static int SlotAt(long long slotTime) { return static_cast<int>(slotTime & (kSlots - 1)); }
    void Unlink(Entry& entry);

    Entry* slots_[kSlots];
    static constexpr unsigned long long kNoTurn = ~0ull - 1;
    unsigned pass_ = 0;
    unsigned roundPass_ = 0;
    unsigned long long first_ = 0;
    unsigned long long newest_ = 0;
    unsigned long long turn_ = kNoTurn;
    long long now_ = 0;
    long long before_ = 0;
    // The slot time (at >> kSlotShift) that TakeExpired looks at next.
    long long sweep_ = 0;
};
