#include "tools/tovrel_client/backoff.h"

#include <algorithm>

int CReconnectBackoff::NextDelayMs(std::uint32_t random) {
    // Scaled onto [0, backoff]: the top value of `random` gives the backoff itself.
    const std::uint64_t span = static_cast<std::uint64_t>(backoffMs_) + 1;
    const int delayMs = static_cast<int>((static_cast<std::uint64_t>(random) * span) >> 32);
    backoffMs_ = std::min(backoffMs_ * 2, kMaxMs);
    return delayMs;
}

void CReconnectBackoff::Ended(long long heldMs) {
    if (heldMs >= kStableMs) {
        backoffMs_ = kFirstMs;
    }
}
