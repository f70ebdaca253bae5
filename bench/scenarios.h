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
    std::vector<int> clients;
    std::vector<int> sizes;
    std::vector<int> rates;  // fan-out frames per second, one per client count
    double seconds = 4;
    int writers = 4;
    int mib = 3;
    std::string cdfDir;  // where fan-out latency distributions are written
    std::FILE* out = stdout;
};

bool RunFanout(const BenchOptions& options);
bool RunThroughput(const BenchOptions& options);
bool RunIdle(const BenchOptions& options);

const char* KindName(ServerProcess::Kind kind);
