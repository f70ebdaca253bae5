#include <new>

#include "server/listeners/kinds.h"
#include "websocket/websocket_connection.h"

namespace {
class CWebSocketMaker final : public CConnectionMaker {
  public:
    CWebSocketMaker(const std::vector<std::string>& origins, bool resumingPage)
        : origins_(origins), resumingPage_(resumingPage) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted, CHandshakeBudget&) override {
        std::unique_ptr<CConnection> connection(
            new (std::nothrow) CWebSocketConnection(accepted, origins_, resumingPage_));
        if (connection == nullptr) {
            Platform().CloseSocket(accepted);
        }
        return connection;
    }
    ListenerKind Kind() const override { return ListenerKind::kWs; }
    void SetOrigins(const std::vector<std::string>& origins) override { origins_ = origins; }

  private:
    // Outlives every connection made here: the server deletes its clients
    // before its listeners. Changed in place, so those connections see the
    // new list.
    std::vector<std::string> origins_;
    const bool resumingPage_;
};
}  // namespace

bool WebSocketSupported() {
    return true;
}

std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>& origins,
                                                     bool resumingPage) {
    return std::unique_ptr<CConnectionMaker>(new CWebSocketMaker(origins, resumingPage));
}
