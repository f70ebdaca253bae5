#include "tools/tovrel_client/backoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::uint32_t kTop = UINT32_MAX;

// The highest draw gives the whole backoff, so the backoff can be read off.
TEST(ReconnectBackoff, DelaysSpanZeroToABackoffThatDoublesUpToTheCap) {
    CReconnectBackoff backoff;
    int expected = CReconnectBackoff::kFirstMs;
    for (int attempt = 0; expected < CReconnectBackoff::kMaxMs * 2; ++attempt) {
        const int capped = std::min(expected, CReconnectBackoff::kMaxMs);
        CReconnectBackoff low = backoff;
        CReconnectBackoff middle = backoff;
        EXPECT_EQ(low.NextDelayMs(0), 0) << attempt;
        const int half = middle.NextDelayMs(kTop / 2);
        EXPECT_GE(half, capped / 2 - 1) << attempt;
        EXPECT_LE(half, capped / 2 + 1) << attempt;
        EXPECT_EQ(backoff.NextDelayMs(kTop), capped) << attempt;
        expected *= 2;
    }
}

TEST(ReconnectBackoff, OnlyAStableConnectionStartsItAgain) {
    const struct {
        long long heldMs;
        int nextTopDelayMs;
    } cases[] = {
        {CReconnectBackoff::kStableMs - 1, CReconnectBackoff::kFirstMs * 4},
        {CReconnectBackoff::kStableMs, CReconnectBackoff::kFirstMs},
    };
    for (const auto& c : cases) {
        CReconnectBackoff backoff;
        backoff.NextDelayMs(kTop);
        backoff.NextDelayMs(kTop);
        backoff.Ended(c.heldMs);
        EXPECT_EQ(backoff.NextDelayMs(kTop), c.nextTopDelayMs) << c.heldMs;
    }
}

}  // namespace
