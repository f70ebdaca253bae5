#pragma once

#include <cstdint>
#include <ctime>

// Monotonic nanoseconds; every time stamp in the bench comes from here, so
// senders and receivers in the one process share the clock.
inline std::int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

constexpr std::int64_t kNsPerMs = 1000000LL;
constexpr std::int64_t kNsPerSec = 1000000000LL;
