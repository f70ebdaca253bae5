#include "metrics/counters.h"

const char* const kEndCauseNames[] = {"peer_closed",  "timeout",         "stall",
                                      "invalid_size", "output_overflow", "memory_budget",
                                      "error",        "shutdown",        "flood"};
const char* const kListenerKindNames[] = {"tcp", "tls", "ws", "wss"};
const char* const kRefusalCauseNames[] = {"address", "max_clients", "max_per_address"};
const char* const kResumeOutcomeNames[] = {"replayed", "missed", "unknown"};

namespace {
const std::int64_t kPassBounds[kPassBuckets] = {5000,  10000, 19000, 20000,  21000,  22000,
                                                25000, 30000, 50000, 100000, 250000, 1000000};
const std::int64_t kWorkBounds[kWorkBuckets] = {100,  250,   500,   1000,   2000,
                                                5000, 10000, 20000, 100000, 250000};
const std::int64_t kIntakeBounds[kIntakeBuckets] = {0, 1024, 4096, 16384, 32768, 49152};
}  // namespace

CMetrics g_metrics = {0,
                      {},
                      {},
                      {},
                      0,
                      0,
                      0,
                      0,
                      0,
                      {kPassBounds, {}, 0, 0},
                      {kWorkBounds, {}, 0, 0},
                      {kIntakeBounds, {}, 0, 0},
                      {},
                      0,
                      0,
                      0,
                      0};
