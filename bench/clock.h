#pragma once

#include <cstdint>
#include <ctime>
#include <fstream>

// Monotonic nanoseconds; every time stamp in the bench comes from here, so
// senders and receivers in the one process share the clock.
inline std::int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

constexpr std::int64_t kNsPerMs = 1000000LL;
constexpr std::int64_t kNsPerSec = 1000000000LL;

// The bench's own CPU time, all threads, in nanoseconds.
inline std::int64_t SelfCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// How long the bench was ready to run but had no CPU (0 if unknown).
inline std::int64_t SelfWaitNs() {
    std::ifstream sched("/proc/self/schedstat");
    std::int64_t onCpu = 0, waiting = 0;
    sched >> onCpu >> waiting;
    return waiting;
}
