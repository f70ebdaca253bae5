#pragma once

// Time a sender may stay over its rate without a pause before it is dropped.
constexpr long long kFloodDropMs = 30000;

// One sender's message credit on the pass clock (milliseconds): `rate`
// messages a second on average, up to `burst` at once. It starts full. A
// message is taken whole or not at all, and the time its credit returns is
// known, so a sender over its rate can be filed by it instead of looked at.
// The bucket also remembers since when its sender has been over its rate
// without a pause (Refused, until Paused). Counted in millionths of a
// message, so times computed from it are exact. Pure numbers.
class CTokenBucket {
  public:
    // From `now` on: `rate` <= 0 is no limit; `burst` <= 0 is 2 × rate, at
    // least 1. Credit gathered so far stays, within the new burst; a bucket
    // that had no limit starts full.
    void SetLimits(double rate, double burst, long long now);
    bool Limited() const { return perMs_ > 0; }
    // Takes one message's credit; false, taking nothing, when less is left.
    bool Take(long long now);
    // When one message's credit is there: `now` or later.
    long long CreditAt(long long now);
    // A message waited for credit at `now`; and the sender paused (had
    // nothing more waiting while it had credit).
    void Refused(long long now) {
        if (overSince_ < 0) {
            overSince_ = now;
        }
    }
    void Paused() { overSince_ = -1; }
    // When it was first refused since its last pause; -1: not over its rate.
    long long OverSince() const { return overSince_; }

  private:
    static constexpr long long kOne = 1000000;  // one message
    void Refill(long long now);

    long long perMs_ = 0;  // credit gained per millisecond; 0: no limit
    long long burst_ = 0;
    long long credit_ = 0;
    long long at_ = 0;  // the time `credit_` stands at
    long long overSince_ = -1;
};
