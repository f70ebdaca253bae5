#pragma once

#include <atomic>
#include <functional>

#include "policy/deadlines.h"

class CPassTimer;

// Set by the stop handler; the loop ends after the pass that sees it.
extern std::atomic<unsigned char> g_quit;
// Set by the stop handler on a request to stop gently (SIGTERM); a
// second such request sets g_quit.
extern std::atomic<unsigned char> g_drainRequested;

// Set by the stop handler on a hang-up while a reload is what one asks
// for; the loop reloads between two passes and clears it.
extern std::atomic<unsigned char> g_reloadRequested;

constexpr int kPassSleepMs = 20;
// With --low-latency, the least time from one pass's start to the next's,
// in microseconds, so that under load what arrives meanwhile still goes out
// in one send.
constexpr int kMinPassGapUs = 250;
// The gap after a pass that moved no byte.
constexpr int kStillPassGapUs = 1000;

// Runs g_server's passes, each followed by the console's backlog and the
// sleep (with --low-latency: a wait for the sockets, up to the next
// deadline, within the sleep and no shorter than the gap), until g_quit is
// set; `timer` (null: none) times them. A request to stop gently ends them
// too, unless `drainSeconds` is not 0: then the server drains over that many
// seconds first, and they end once it has. `reload` (empty: none) runs
// before the next pass after each request.
void RunServerLoop(CPassTimer* timer = nullptr, int drainSeconds = 0,
                   const std::function<void()>& reload = {});
