#pragma once

#include <string>

#include "tools/tovrel_client/options.h"

// The modes of the tool. Each connects, does its work and returns the exit
// status: 0 done, 1 the connection failed or a reply did not come.
int RunChat(const ClientOptions& options, bool readInput);  // plain mode and --listen
// --listen --reconnect: runs until interrupted, coming back after every loss.
int RunResumingListen(const ClientOptions& options);
int RunPing(const ClientOptions& options);
int RunFast(const ClientOptions& options);
int RunSend(const ClientOptions& options);
int RunStats(const ClientOptions& options);  // PORT is the metrics port

// Prints one received payload as one line, escaped unless raw, and flushes
// so that a pipe sees it at once.
void PrintFrame(const std::string& payload, bool raw);

// How long leaving may wait for the server to close after our end.
constexpr int kFinishTimeoutMs = 3000;
