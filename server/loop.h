#pragma once

#include <atomic>

#include "policy/deadlines.h"

class CPassTimer;

// Set by the stop handler; the loop ends after the pass that sees it.
extern std::atomic<unsigned char> g_quit;

constexpr int kPassSleepMs = 20;

// Runs g_server's passes, each followed by the console's backlog and the
// sleep, until g_quit is set; `timer` (null: none) times them.
void RunServerLoop(CPassTimer* timer = nullptr);
