#pragma once

#include <atomic>

#include "policy/deadlines.h"

class CPassTimer;

// Set by the stop handler; the loop ends after the pass that sees it.
extern std::atomic<unsigned char> g_quit;
// Set by the stop handler on a request to stop gently (SIGTERM); a
// second such request sets g_quit.
extern std::atomic<unsigned char> g_drainRequested;

constexpr int kPassSleepMs = 20;

// Runs g_server's passes, each followed by the console's backlog and the
// sleep, until g_quit is set; `timer` (null: none) times them. A request
// to stop gently ends them too, unless `drainSeconds` is not 0: then the
// server drains over that many seconds first, and they end once it has.
void RunServerLoop(CPassTimer* timer = nullptr, int drainSeconds = 0);
