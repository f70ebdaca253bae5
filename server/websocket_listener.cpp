#include <new>

#include "server/websocket.h"
#include "websocket/websocket_connection.h"

namespace {
class CWebSocketMaker final : public CConnectionMaker {
  public:
    explicit CWebSocketMaker(const std::vector<std::string>& origins) : origins_(origins) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted) override {
        std::unique_ptr<CConnection> connection(new (std::nothrow)
                                                    CWebSocketConnection(accepted, origins_));
        if (connection == nullptr) {
            Platform().CloseSocket(accepted);
        }
        return connection;
    }
    const char* Kind() const override { return "ws"; }

  private:
    // Outlives every connection made here: the server deletes its clients
    // before its listeners.
    const std::vector<std::string> origins_;
};
}  // namespace

bool WebSocketSupported() {
    return true;
}

std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>& origins) {
    return std::unique_ptr<CConnectionMaker>(new CWebSocketMaker(origins));
}
