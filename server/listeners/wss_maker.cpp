#include <memory>
#include <new>
#include <string>

#include "server/listeners/tls_credentials.h"
#include "tls/tls_connection.h"
#include "websocket/websocket_connection.h"

namespace {

// Accepts become WebSocket connections over TLS: the TLS handshake first,
// then the upgrade, with the credentials in use at that moment.
class CWssMaker final : public CConnectionMaker {
  public:
    CWssMaker(std::shared_ptr<CTlsCredentials> credentials, const std::vector<std::string>& origins,
              bool resumingPage)
        : tls_(std::move(credentials)), origins_(origins), resumingPage_(resumingPage) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted,
                                      CHandshakeBudget& handshakes) override {
        std::unique_ptr<CConnection> tls =
            CTlsConnection::Accept(tls_.Current(), handshakes, accepted);
        if (tls == nullptr) {
            return nullptr;  // closed already
        }
        // A refused allocation destroys `tls`, which closes the socket.
        return std::unique_ptr<CConnection>(
            new (std::nothrow) CWebSocketConnection(std::move(tls), origins_, resumingPage_));
    }
    ListenerKind Kind() const override { return ListenerKind::kWss; }
    void SetOrigins(const std::vector<std::string>& origins) override { origins_ = origins; }
    bool Pass(int elapsedMs) override { return tls_.Pass(elapsedMs); }
    bool Judges() const override { return tls_.ClientCas(); }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a WebSocket one over TLS.
        const CConnection& tls = static_cast<const CWebSocketConnection&>(connection).Transport();
        return static_cast<const CTlsConnection&>(tls).VouchedFor(tls_.Current());
    }

  private:
    CTlsUse tls_;
    // Outlives every connection made here: the server deletes its clients
    // before its listeners. Changed in place, so those connections see the
    // new list.
    std::vector<std::string> origins_;
    const bool resumingPage_;
};

}  // namespace

bool WssSupported() {
    return true;
}

std::unique_ptr<CConnectionMaker> MakeWssMaker(std::shared_ptr<CTlsCredentials> credentials,
                                               const std::vector<std::string>& origins,
                                               bool resumingPage) {
    return std::unique_ptr<CConnectionMaker>(
        new CWssMaker(std::move(credentials), origins, resumingPage));
}
