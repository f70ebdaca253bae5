#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/listener.h"

// WebSocket clients, when this build has them (wslay and libcrypto found).
bool WebSocketSupported();

// The WebSocket kind of listener: an upgrade on "/" joins the room, a plain
// GET of "/" gets the chat page. `origins` lists the pages allowed to open
// a WebSocket; empty allows any. Null in a build without WebSocket support.
std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>& origins);
