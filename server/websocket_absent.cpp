// A build without WebSocket support (no wslay for its system): the option
// that would add a WebSocket listener is refused at start.
#include "server/websocket.h"

bool WebSocketSupported() {
    return false;
}

std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>&) {
    return nullptr;
}
