#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "server_process.h"

// One scenario per function. Each starts its own server, prints progress on
// stderr, appends tab-separated result rows to `out` and returns false when a
// delivery check failed (a lost, reordered or corrupt frame).
struct BenchOptions {
    ServerProcess::Kind kind = ServerProcess::Kind::kTovrel;
    std::string exe;
    struct FanoutRun {
        int clients;
        int size;  // bytes of payload per frame
        int rate;  // frames per second, all senders together
    };
    std::vector<FanoutRun> runs;  // clients never decrease from one run to the next
    std::vector<int> clients;     // idle steps
    double seconds = 4;
    int writers = 4;
    int mib = 3;
    std::string cdfDir;   // where fan-out latency distributions are written
    std::string perfDir;  // where perf profiles of each fan-out run go; none when empty
    std::FILE* out = stdout;
};

bool RunFanout(const BenchOptions& options);
bool RunThroughput(const BenchOptions& options);
bool RunIdle(const BenchOptions& options);
