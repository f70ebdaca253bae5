#pragma once

#include "policy/deadlines.h"

// Idle time after which a client with nothing queued is dropped.
constexpr int kIdleTimeoutMs = 15000;
// Time after which a client whose queued output moves not at all is dropped.
constexpr int kStallTimeoutMs = 15000;
// Time a connection with a handshake of its own (TLS, a WebSocket upgrade)
// has to finish it, so one that never does holds nothing for long.
constexpr int kHandshakeTimeoutMs = 10000;

// The two times after which a client is taken for gone. The idle time runs
// on the pass clock while nothing is queued for the client and stands still
// while output is; then the stall time counts down instead, by the passes
// in which no send takes any of that output, and starts again from its
// full length whenever one takes some.
class CClientTimers {
  public:
    // The idle time's first length is `firstMs`, counted from before the
    // pass that makes the client, as its first turn comes in that pass.
    CClientTimers(const CDeadlines& clock, int firstMs)
        : clock_(clock), idleAt_(clock.Before() + firstMs) {}

    // What is left of the idle time.
    int IdleMs() const {
        return idleFrozen_ ? idleLeft_ : static_cast<int>(idleAt_ - clock_.Now());
    }
    // Where the running idle time ends on the clock.
    long long IdleEndsAt() const { return idleAt_; }
    bool IdleOver() const { return !idleFrozen_ && idleAt_ <= clock_.Now(); }
    // The idle time starts again from its full length.
    void RestartIdle();

    // Output was queued on an empty queue by the client numbered `seq`:
    // the idle time stands still and the wait for the peer starts.
    void OutputQueued(unsigned long long seq);
    // The queue is empty: the idle time runs again, from `from` on the
    // clock (before this pass at a turn, which counts the pass; now after
    // it). True when it had stood still, so the queue just drained.
    bool OutputDrained(long long from);
    // A send took some of the output.
    void Sent() { stallLeftMs_ = kStallTimeoutMs; }
    // A send took nothing in a pass of `elapsedMs`: true once the stall
    // time is up.
    bool SentNothing(int elapsedMs) {
        stallLeftMs_ -= elapsedMs;
        return stallLeftMs_ <= 0;
    }

  private:
    const CDeadlines& clock_;
    // The idle time runs on the clock up to `idleAt_`; while it stands
    // still, `idleLeft_` is what is left of it.
    bool idleFrozen_ = false;
    int idleLeft_ = kIdleTimeoutMs;
    long long idleAt_;
    int stallLeftMs_ = kStallTimeoutMs;
};
