#pragma once

#include <cstdint>

// How long to wait before connecting again: a random delay from 0 to the
// backoff (full jitter, so that clients cut off together do not all come
// back at once). The backoff starts at kFirstMs and doubles with every
// attempt up to kMaxMs; a connection that held for kStableMs sets it back
// to the start.
class CReconnectBackoff {
  public:
    static constexpr int kFirstMs = 1000;
    static constexpr int kMaxMs = 30000;
    static constexpr int kStableMs = 60000;

    // The delay before the next attempt, drawn with `random` (uniform over
    // all 32-bit values); then the backoff doubles.
    int NextDelayMs(std::uint32_t random);
    // A connection that lasted `heldMs` has ended.
    void Ended(long long heldMs);

  private:
    int backoffMs_ = kFirstMs;
};
